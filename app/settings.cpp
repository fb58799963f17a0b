#include "settings.h"

#include <QtGlobal>
#include <algorithm>
#include <array>
#include <filesystem>
#include <limits>
#include <set>
#include <stdexcept>

#include "app/inifile.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "platform/port/comports.h"

namespace vos {

bool IsRegistered = false;

namespace {

constexpr int kUntitledTextId = 108;
constexpr int kCannotSaveTextId = 102;
// The two texts of catalogue id 108: an untitled name counts whatever the language.
constexpr std::string_view kUntitledCzech = "Bezejmena.cfg";
constexpr std::string_view kUntitledEnglish = "Untitled.cfg";

using Widths = std::array<std::int32_t, kConfigColumnCount>;
constexpr Widths kDefaultWidths = {150, 70, 80, 100, 100, 150};
std::array<Widths, 2> heldWidths = {kDefaultWidths, kDefaultWidths};
ConfigColumnWidths* attachedEditor = nullptr;

std::function<void()> mainCaptionUpdater;
SettingsNotifier notifier;

void Notify(Note kind, const std::string& text)
{
    if (notifier)
        notifier(kind, text);
    else if (kind == Note::Log)
        qInfo("%s", text.c_str());
    else
        qWarning("%s", text.c_str());
}

constexpr ConfigView kViews[] = {ConfigView::Tree, ConfigView::List};

const char* SectionOf(ConfigView view) { return view == ConfigView::Tree ? "ConfigTree" : "ConfigList"; }

std::string ColumnKey(int column) { return "Col" + std::to_string(column) + "Width"; }

Widths& Held(ConfigView view) { return heldWidths[view == ConfigView::Tree ? 0 : 1]; }

void ApplyHeldWidths()
{
    if (!attachedEditor)
        return;
    for (const auto view : kViews)
        for (int c = 0; c < kConfigColumnCount; ++c)
            attachedEditor->SetColumnWidth(view, c, Held(view)[static_cast<std::size_t>(c)]);
}

// The file holds seconds; the variable milliseconds in 32 bits, so the seconds are held to
// what still fits once multiplied.
std::int32_t SecondsToMs(std::int32_t seconds)
{
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max() / 1000;
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min() / 1000;
    return std::clamp(seconds, kMin, kMax) * 1000;
}

bool FileExists(const std::string& name)
{
    std::error_code ec;
    const auto status = std::filesystem::status(name, ec);
    return std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// A relative configuration name is taken from the settings file's folder, not from wherever
// the program happened to be started.
std::string BesideSettingsFile(const std::string& name)
{
    const std::filesystem::path path(name);
    const auto folder = std::filesystem::path(vx::IniFileName).parent_path();
    if (name.empty() || path.is_absolute() || folder.empty())
        return name;
    return (folder / path).lexically_normal().string();
}

// "COM<n>" with n a positive decimal number; 0 for any other key.
std::int32_t PortNumberOfKey(std::string_view key)
{
    if (key.size() < 4 || (key[0] | 0x20) != 'c' || (key[1] | 0x20) != 'o' || (key[2] | 0x20) != 'm')
        return 0;
    const auto digits = key.substr(3);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return std::max<std::int32_t>(IniFile::ParseInteger(digits).value_or(0), 0);
}

void ReadPorts(const IniFile& ini)
{
    plat::clearComPortDevices();
    std::set<std::int32_t> seen;
    for (const auto& key : ini.ReadSection("Ports")) {
        const auto n = PortNumberOfKey(key);
        const auto device = ini.ReadString("Ports", key, "");
        if (n < 1 || device.empty()) {
            Notify(Note::Log, "Settings: [Ports] entry \"" + key + "\" ignored; expected COM<n>=<device>");
            continue;
        }
        // The first of two equal keys counts, as for every key.
        if (seen.insert(n).second)
            plat::setComPortDevice(n, device);
    }
}

// What the editor uses of this unit.
class SettingsFileNames final : public ConfigFileNames {
public:
    void SetConfigFileName(const std::string& name) override { vos::SetConfigFileName(name); }
    bool IsUntitledConfig() const override { return vos::IsUntitledConfig(); }
    void SaveCfgFileName() override { vos::SaveCfgFileName(); }
};
SettingsFileNames settingsFileNames;

}  // namespace

void AttachConfigColumns(ConfigColumnWidths* editor)
{
    attachedEditor = editor;
    ApplyHeldWidths();
}

void SetMainCaptionUpdater(std::function<void()> update) { mainCaptionUpdater = std::move(update); }

void SetSettingsNotifier(SettingsNotifier n) { notifier = std::move(n); }

void ReadSettings()
{
    using namespace vx;
    AttachConfigFileNames(&settingsFileNames);
    const IniFile ini(IniFileName);

    LogEvents = ini.ReadBool("Main", "LogEvents", true);
    ShowMessages = ini.ReadBool("Main", "ShowMessages", false);
    NumOfEventLines = ini.ReadInteger("Main", "NumOfEventLines", 200);
    ComLogging = ini.ReadBool("Main", "ComLogging", false);
    NumOfComLines = ini.ReadInteger("Main", "NumOfComLines", 100);
    ComLogToFile = ini.ReadBool("Main", "ComLogToFile", false);
    OPCLogging = ini.ReadBool("Main", "OPCLogging", false);
    OPCNumLogLines = ini.ReadInteger("Main", "OPCNumLogLines", 1000);
    OPCLogToFile = ini.ReadBool("Main", "OPCLogToFile", false);
    Language = ini.ReadInteger("Main", "Language", 0);
    VarTypesSigning = ini.ReadInteger("Main", "VarTypesSigning", 0);
    FlatListView = ini.ReadBool("Main", "FlatListView", true);

    // After Language, so that the untitled name is in the configured language.
    std::string cfg = BesideSettingsFile(ini.ReadString("Main", "CfgFileName", GetLangText(kUntitledTextId)));
    if (!FileExists(cfg))
        cfg = GetLangText(kUntitledTextId);
    SetConfigFileName(cfg);

    IsRegistered = ini.ReadBool("Main", "IsRegistered", false);
    VarUniqueness = ini.ReadInteger("Main", "VarUniqueness", 0);
    ArrWatchMaxLen = ini.ReadInteger("Main", "ArrWatchMaxLen", 255);
    ArrWatchOffset = ini.ReadInteger("Main", "ArrWatchOffset", 0);

    for (const auto view : kViews)
        for (int c = 0; c < kConfigColumnCount; ++c)
            Held(view)[static_cast<std::size_t>(c)] =
                ini.ReadInteger(SectionOf(view), ColumnKey(c), kDefaultWidths[static_cast<std::size_t>(c)]);
    ApplyHeldWidths();

    ServerAddress = ini.ReadInteger("Communication", "ServerAddress", 126);
    ConnectRate = ini.ReadInteger("Communication", "ConnectRate", 30000);
    CommDelay = std::max(ini.ReadInteger("Communication", "CommDelay", 20), 0);
    MaxPacketLen = std::clamp(ini.ReadInteger("Communication", "MaxPacketLen", 255), 10, 255);
    MaxBadCommCount = ini.ReadInteger("Communication", "MaxBadCommCount", 3);
    // A channel is restarted only after a packet had all its attempts.
    MaxBadComToReset = ini.ReadInteger("Communication", "MaxBadComToReset", 0);
    if (MaxBadComToReset > 0 && MaxBadComToReset < MaxBadCommCount)
        MaxBadComToReset = static_cast<std::int32_t>(
            std::min<std::int64_t>(std::int64_t{MaxBadCommCount} + 1, std::numeric_limits<std::int32_t>::max()));
    DifferentPacketLen = ini.ReadBool("Communication", "DifferentPacketLen", false);
    CheckTimestamp = ini.ReadBool("Communication", "CheckTimestamp", false);

    UseRTS = ini.ReadBool("DataFlowControl", "UseRTS", false);
    UseDTR = ini.ReadBool("DataFlowControl", "UseDTR", false);
    RequireCTS = ini.ReadBool("DataFlowControl", "RequireCTS", UseRTS);
    RequireDSR = ini.ReadBool("DataFlowControl", "RequireDSR", UseDTR);

    timBeforeDial = SecondsToMs(ini.ReadInteger("Modem", "timBeforeDial", 20));
    timSameCall = SecondsToMs(ini.ReadInteger("Modem", "timSameCall", 60));
    timTildeDelay = ini.ReadInteger("Modem", "timTildeDelay", 25);

    ReadPorts(ini);

    Notify(Note::Log, ini.Existed() ? "Settings read from " + IniFileName
                                    : "Settings file " + IniFileName + " not found; defaults in use");
}

void WriteSettings()
{
    using namespace vx;
    // Written as a whole at the end: a failure leaves the file as it was.
    IniFile ini(IniFileName);

    ini.WriteBool("Main", "LogEvents", LogEvents);
    ini.WriteBool("Main", "ShowMessages", ShowMessages);
    ini.WriteInteger("Main", "NumOfEventLines", NumOfEventLines);
    ini.WriteBool("Main", "ComLogging", ComLogging);
    ini.WriteInteger("Main", "NumOfComLines", NumOfComLines);
    ini.WriteInteger("Main", "Language", Language);
    ini.WriteInteger("Main", "VarTypesSigning", VarTypesSigning);
    ini.WriteBool("Main", "FlatListView", FlatListView);
    ini.WriteBool("Main", "IsRegistered", IsRegistered);
    ini.WriteInteger("Main", "VarUniqueness", VarUniqueness);
    ini.WriteInteger("Main", "ArrWatchMaxLen", ArrWatchMaxLen);
    ini.WriteInteger("Main", "ArrWatchOffset", ArrWatchOffset);

    for (const auto view : kViews)
        for (int c = 0; c < kConfigColumnCount; ++c) {
            auto& held = Held(view)[static_cast<std::size_t>(c)];
            if (attachedEditor)
                held = attachedEditor->ColumnWidth(view, c);
            ini.WriteInteger(SectionOf(view), ColumnKey(c), held);
        }

    ini.WriteInteger("Communication", "ServerAddress", ServerAddress);
    ini.WriteInteger("Communication", "ConnectRate", ConnectRate);
    ini.WriteInteger("Communication", "CommDelay", CommDelay);
    ini.WriteInteger("Communication", "MaxBadCommCount", MaxBadCommCount);
    ini.WriteInteger("Communication", "MaxPacketLen", MaxPacketLen);
    ini.WriteInteger("Communication", "MaxBadComToReset", MaxBadComToReset);
    ini.WriteBool("Communication", "DifferentPacketLen", DifferentPacketLen);
    ini.WriteBool("Communication", "CheckTimestamp", CheckTimestamp);

    ini.WriteBool("DataFlowControl", "UseRTS", UseRTS);
    ini.WriteBool("DataFlowControl", "UseDTR", UseDTR);
    // A value that follows its switch is not kept, so an old differing value cannot come
    // back at the next start.
    if (RequireCTS != UseRTS)
        ini.WriteBool("DataFlowControl", "RequireCTS", RequireCTS);
    else
        ini.DeleteKey("DataFlowControl", "RequireCTS");
    if (RequireDSR != UseDTR)
        ini.WriteBool("DataFlowControl", "RequireDSR", RequireDSR);
    else
        ini.DeleteKey("DataFlowControl", "RequireDSR");

    ini.WriteInteger("Modem", "timBeforeDial", timBeforeDial / 1000);
    ini.WriteInteger("Modem", "timSameCall", timSameCall / 1000);
    ini.WriteInteger("Modem", "timTildeDelay", timTildeDelay);

    ini.UpdateFile();
}

void SaveCfgFileName()
{
    std::string reason;
    try {
        IniFile ini(vx::IniFileName);
        ini.WriteString("Main", "CfgFileName", vx::CfgFileName);
        ini.UpdateFile();
        return;
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown error";
    }
    Notify(Note::Log, "Settings: CfgFileName not saved: " + reason);
    Notify(Note::Error, vx::FormatText(vx::GetLangText(kCannotSaveTextId), {vx::CfgFileName}));
}

void SetConfigFileName(const std::string& name)
{
    vx::CfgFileName = name;
    if (mainCaptionUpdater)
        mainCaptionUpdater();
}

bool IsUntitledConfig()
{
    // A name written on Windows may still carry its drive and backslashes.
    std::string_view name = vx::CfgFileName;
    const auto sep = name.find_last_of("/\\:");
    if (sep != std::string_view::npos)
        name.remove_prefix(sep + 1);
    return name == kUntitledCzech || name == kUntitledEnglish;
}

void ResetAppSettings()
{
    IsRegistered = false;
    ResetConfigSettings();
    OPCLogging = false;
    OPCNumLogLines = 0;
    OPCLogToFile = false;
    heldWidths = {kDefaultWidths, kDefaultWidths};
    plat::clearComPortDevices();
}

}  // namespace vos
