#include "editor/config_settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "comm/vx_def.h"

namespace {

TEST(ConfigSettings, EveryVarUniquenessButZeroMeansTheStation)
{
    const std::pair<std::int32_t, bool> cases[] = {{0, false}, {1, true}, {2, true}, {-1, true}, {INT32_MIN, true}};
    for (const auto& [value, station] : cases) {
        vos::VarUniqueness = value;
        EXPECT_EQ(vos::VarUniqueInStation(), station) << value;
    }
    vos::ResetConfigSettings();
    EXPECT_EQ(vos::VarUniqueness, 0);
}

class RecordingNames : public vos::ConfigFileNames {
public:
    void SetConfigFileName(const std::string& name) override { calls.push_back("set " + name); }
    bool IsUntitledConfig() const override { return true; }
    void SaveCfgFileName() override { calls.push_back("save"); }
    std::vector<std::string> calls;
};

TEST(ConfigSettings, FileNamesGoThroughWhatIsAttached)
{
    vx::ResetSettings();
    RecordingNames names;
    vos::AttachConfigFileNames(&names);
    vos::CfgFileNames().SetConfigFileName("/srv/a.cfg");
    vos::CfgFileNames().SaveCfgFileName();
    EXPECT_TRUE(vos::CfgFileNames().IsUntitledConfig());
    EXPECT_EQ(names.calls, (std::vector<std::string>{"set /srv/a.cfg", "save"}));
    EXPECT_EQ(vx::CfgFileName, "");

    // Without the settings unit the name is only held in memory.
    vos::AttachConfigFileNames(nullptr);
    const struct {
        std::int32_t language;
        const char* name;
        bool untitled;
    } cases[] = {
        {1, "/srv/Untitled.cfg", true}, {1, "Untitled.cfg", true},   {1, "/srv/untitled.cfg", false},
        {0, "C:\\x\\Bezejmena.cfg", true}, {1, "/srv/plant.cfg", false}, {1, "", false},
    };
    for (const auto& k : cases) {
        vx::Language = k.language;
        vos::CfgFileNames().SetConfigFileName(k.name);
        EXPECT_EQ(vx::CfgFileName, k.name);
        EXPECT_EQ(vos::CfgFileNames().IsUntitledConfig(), k.untitled) << k.name;
        vos::CfgFileNames().SaveCfgFileName();
    }
    vx::ResetSettings();
}

}  // namespace
