#pragma once
// The settings unit: reads the settings file into the settings variables once at start,
// writes them back, and owns the current configuration file name. The communication
// settings themselves live in comm/vx_def.h, the editor's in editor/config_settings.h.
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "editor/config_settings.h"
#include "opc/opc_globals.h"

namespace vos {

// Settings declared here; the rest are those of vx_def.h.
extern bool IsRegistered;
// The OPC call log's settings belong to the OPC layer, which reads them.
using opc::OPCLogging;
using opc::OPCLogToFile;
using opc::OPCNumLogLines;
// VarUniqueness, the name counters and CfgHeader belong to the editor; this unit reads
// and writes VarUniqueness and resets all of them.

// The two views of the editor whose column widths the file keeps.
enum class ConfigView { Tree, List };
inline constexpr int kConfigColumnCount = 6;

// Implemented by the editor frame; attached while it exists.
class ConfigColumnWidths {
public:
    virtual ~ConfigColumnWidths() = default;
    virtual std::int32_t ColumnWidth(ConfigView view, int column) const = 0;
    virtual void SetColumnWidth(ConfigView view, int column, std::int32_t width) = 0;
};
// Attaching hands the editor the widths read so far; nullptr detaches. Without an editor
// the widths read are kept and written back as they were.
void AttachConfigColumns(ConfigColumnWidths* editor);

// The main window's caption update, run by SetConfigFileName; empty for none.
void SetMainCaptionUpdater(std::function<void()> update);

// Where the settings unit reports: Log lines for the log, Error for an error box with an
// OK button. The default writes both to the Qt log.
enum class Note { Log, Error };
using SettingsNotifier = std::function<void(Note kind, const std::string& text)>;
void SetSettingsNotifier(SettingsNotifier notifier);  // empty restores the default

// Reads every key of the file named by vx::IniFileName. File errors go on to the caller.
// Also attaches this unit's file-name operations to the editor (vos::ConfigFileNames).
// [Ports] entries COMn=device go to the port layer's map (plat::comPortDevice). A relative
// CfgFileName names a file in the settings file's folder.
void ReadSettings();
// Writes every setting the program changes back to the file; keys it does not write keep
// their lines. File errors go on to the caller.
void WriteSettings();
// For every writer of the settings file: true when the file is one the program leaves as it
// is (not a text file, write-protected for the user); the first such answer is logged, once
// per reading of the settings.
class IniFile;
bool LeaveSettingsFileAlone(const IniFile& ini);
// Writes only Main/CfgFileName. A failure is reported (catalogue message 102) and the
// name stays in memory; nothing is thrown.
void SaveCfgFileName();
void SetConfigFileName(const std::string& name);
// Whether the name part of vx::CfgFileName is one of the untitled names of either
// language; case-sensitive.
bool IsUntitledConfig();

// ConnectRate, timBeforeDial and timSameCall are edited and stored in seconds but held in
// milliseconds in 32 bits: the most seconds that still fit once multiplied.
inline constexpr std::int32_t kMaxDelaySeconds = std::numeric_limits<std::int32_t>::max() / 1000;
// MaxBadComToReset as used: a channel is restarted only after a packet had all its attempts,
// so a value above 0 and below MaxBadCommCount becomes MaxBadCommCount + 1, held at the
// 32-bit maximum.
std::int32_t UsableMaxBadComToReset(std::int32_t maxBadComToReset, std::int32_t maxBadCommCount);

// Puts this unit's variables, counters, header, column widths and ports back to their
// state before reading (for tests and a second start).
void ResetAppSettings();

}  // namespace vos
