#pragma once
// The settings the configuration editor works with. They belong to the settings unit, which
// reads and writes them from app/; they live here so that the editor reaches them without
// depending on the application.
#include <cstdint>
#include <string>

namespace vos {

// 0: a variable's name is unique within its folder; any other value: within its station.
extern std::int32_t VarUniqueness;
// Whether names must be unique within the whole station. Every value other than 0 counts
// as 1, so that a hand-edited 2 does not leave the station's folders unsearched.
inline bool VarUniqueInStation() { return VarUniqueness != 0; }

// Last number used in a default station, variable, folder and modem name.
extern std::int32_t StationCounter;
extern std::int32_t VariableCounter;
extern std::int32_t FolderCounter;
extern std::int32_t ModemCounter;

// Header of the last configuration file read.
struct TCfgHeader {
    std::uint32_t Version = 0;
    std::string Signature;
    std::uint32_t NodeCount = 0;
    std::uint32_t DataOffset = 0;
};
extern TCfgHeader CfgHeader;

// The settings unit's operations on the configuration file name; app/ attaches them.
class ConfigFileNames {
public:
    virtual ~ConfigFileNames() = default;
    // Sets vx::CfgFileName and updates the main window's caption.
    virtual void SetConfigFileName(const std::string& name) = 0;
    // Whether vx::CfgFileName names an untitled configuration.
    virtual bool IsUntitledConfig() const = 0;
    // Writes vx::CfgFileName into the settings file; reports its own failure.
    virtual void SaveCfgFileName() = 0;
};
// nullptr detaches.
void AttachConfigFileNames(ConfigFileNames* names);
// The attached operations; without any, a stand-in that only keeps the name in memory
// (untitled: the name part is the current language's untitled name; saving does nothing).
ConfigFileNames& CfgFileNames();

// VarUniqueness, the counters and CfgHeader back to their state before reading.
void ResetConfigSettings();

}  // namespace vos
