#include "config_settings.h"

#include <string_view>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"

namespace vos {

std::int32_t VarUniqueness = 0;
std::int32_t StationCounter = 0;
std::int32_t VariableCounter = 0;
std::int32_t FolderCounter = 0;
std::int32_t ModemCounter = 0;
TCfgHeader CfgHeader;

namespace {

constexpr int kUntitledTextId = 108;

class NameInMemory final : public ConfigFileNames {
public:
    void SetConfigFileName(const std::string& name) override { vx::CfgFileName = name; }
    bool IsUntitledConfig() const override
    {
        std::string_view name = vx::CfgFileName;
        const auto sep = name.find_last_of("/\\:");
        if (sep != std::string_view::npos)
            name.remove_prefix(sep + 1);
        return name == vx::GetLangText(kUntitledTextId);
    }
    void SaveCfgFileName() override {}
};

NameInMemory inMemory;
ConfigFileNames* attached = nullptr;

}  // namespace

void AttachConfigFileNames(ConfigFileNames* names) { attached = names; }

ConfigFileNames& CfgFileNames() { return attached ? *attached : inMemory; }

void ResetConfigSettings()
{
    VarUniqueness = 0;
    StationCounter = VariableCounter = FolderCounter = ModemCounter = 0;
    CfgHeader = {};
}

}  // namespace vos
