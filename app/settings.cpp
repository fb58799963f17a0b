#include "settings.h"

#include <QLoggingCategory>
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

Q_LOGGING_CATEGORY(lcSettings, "vx.app.settings")

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
        qCInfo(lcSettings, "%s", text.c_str());
    else
        qCWarning(lcSettings, "%s", text.c_str());
}

// Set once a settings file that cannot be written has been reported, so that every later
// write leaves it alone without saying so again.
bool unwritableReported = false;

bool LeaveAlone(const IniFile& ini)
{
    const char* why = !ini.IsText()        ? "is not a text file"
                      : ini.WriteProtected() ? "is write-protected"
                                             : nullptr;
    if (!why)
        return false;
    if (!unwritableReported)
        qCWarning(lcSettings, "Settings file %s %s; it is left as it is and settings changed in this run are not saved",
                  ini.FileName().c_str(), why);
    unwritableReported = true;
    return true;
}

// The value read for a key, for a report: decoded and kept short.
std::string Shown(const std::string& raw)
{
    constexpr std::size_t kMax = 40;
    std::string text = IniFile::DecodeValue(raw);
    if (text.size() <= kMax)
        return text;
    std::size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;  // not inside a character
    return text.substr(0, cut) + "...";
}

void ReportCorrected(std::string_view section, std::string_view key, const std::string& raw, std::string_view why,
                     std::int64_t used)
{
    qCWarning(lcSettings, "Settings: [%.*s] %.*s=%s %.*s; using %lld", static_cast<int>(section.size()),
              section.data(), static_cast<int>(key.size()), key.data(), Shown(raw).c_str(),
              static_cast<int>(why.size()), why.data(), static_cast<long long>(used));
}

// Reads keys like the file layer and says which values it did not take as they stand.
class Reader {
public:
    explicit Reader(const IniFile& ini) : ini_(ini) {}

    std::int32_t Integer(std::string_view section, std::string_view key, std::int32_t def) const
    {
        const auto raw = ini_.ReadRaw(section, key);
        if (!raw)
            return def;
        const auto value = IniFile::ParseInteger(*raw);
        if (!value) {
            ReportCorrected(section, key, *raw, "is not a number", def);
            return def;
        }
        return *value;
    }
    bool Bool(std::string_view section, std::string_view key, bool def) const
    {
        return Integer(section, key, def ? 1 : 0) != 0;
    }
    // A value outside lo..hi becomes the nearer bound.
    std::int32_t Clamped(std::string_view section, std::string_view key, std::int32_t def, std::int32_t lo,
                         std::int32_t hi) const
    {
        const auto value = Integer(section, key, def);
        const auto used = std::clamp(value, lo, hi);
        if (used != value)
            ReportCorrected(section, key, *ini_.ReadRaw(section, key), OutOfRange(lo, hi), used);
        return used;
    }
    // A value outside lo..hi gives the default.
    std::int32_t InRange(std::string_view section, std::string_view key, std::int32_t def, std::int32_t lo,
                         std::int32_t hi) const
    {
        const auto value = Integer(section, key, def);
        if (value >= lo && value <= hi)
            return value;
        ReportCorrected(section, key, *ini_.ReadRaw(section, key), OutOfRange(lo, hi), def);
        return def;
    }
    void Report(std::string_view section, std::string_view key, std::string_view why, std::int64_t used) const
    {
        ReportCorrected(section, key, ini_.ReadRaw(section, key).value_or(""), why, used);
    }

private:
    static std::string OutOfRange(std::int32_t lo, std::int32_t hi)
    {
        return "is out of range " + std::to_string(lo) + ".." + std::to_string(hi);
    }
    const IniFile& ini_;
};

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
constexpr std::int32_t kMaxSeconds = kMaxDelaySeconds;
constexpr std::int32_t kMinSeconds = std::numeric_limits<std::int32_t>::min() / 1000;

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

bool LeaveSettingsFileAlone(const IniFile& ini) { return LeaveAlone(ini); }

void ReadSettings()
{
    using namespace vx;
    AttachConfigFileNames(&settingsFileNames);
    const IniFile ini(IniFileName);
    const Reader in(ini);
    unwritableReported = false;

    LogEvents = in.Bool("Main", "LogEvents", true);
    ShowMessages = in.Bool("Main", "ShowMessages", false);
    NumOfEventLines = in.Integer("Main", "NumOfEventLines", 200);
    ComLogging = in.Bool("Main", "ComLogging", false);
    NumOfComLines = in.Integer("Main", "NumOfComLines", 100);
    ComLogToFile = in.Bool("Main", "ComLogToFile", false);
    OPCLogging = in.Bool("Main", "OPCLogging", false);
    OPCNumLogLines = in.Integer("Main", "OPCNumLogLines", 1000);
    OPCLogToFile = in.Bool("Main", "OPCLogToFile", false);
    Language = in.Integer("Main", "Language", 0);
    VarTypesSigning = in.Integer("Main", "VarTypesSigning", 0);
    FlatListView = in.Bool("Main", "FlatListView", true);

    // After Language, so that the untitled name is in the configured language.
    std::string cfg = BesideSettingsFile(ini.ReadString("Main", "CfgFileName", GetLangText(kUntitledTextId)));
    if (!FileExists(cfg))
        cfg = GetLangText(kUntitledTextId);
    SetConfigFileName(cfg);

    IsRegistered = in.Bool("Main", "IsRegistered", false);
    VarUniqueness = in.Integer("Main", "VarUniqueness", 0);
    ArrWatchMaxLen = in.Integer("Main", "ArrWatchMaxLen", 255);
    ArrWatchOffset = in.Integer("Main", "ArrWatchOffset", 0);

    for (const auto view : kViews)
        for (int c = 0; c < kConfigColumnCount; ++c)
            Held(view)[static_cast<std::size_t>(c)] =
                in.Integer(SectionOf(view), ColumnKey(c), kDefaultWidths[static_cast<std::size_t>(c)]);
    ApplyHeldWidths();

    // The telegrams carry one byte of address, as does the settings dialog: anything else
    // is a typing error, not an address to cut to its low byte.
    ServerAddress = in.InRange("Communication", "ServerAddress", 126, 0, 255);
    ConnectRate = in.Integer("Communication", "ConnectRate", 30000);
    CommDelay = in.Clamped("Communication", "CommDelay", 20, 0, std::numeric_limits<std::int32_t>::max());
    MaxPacketLen = in.Clamped("Communication", "MaxPacketLen", 255, 10, 255);
    MaxBadCommCount = in.Integer("Communication", "MaxBadCommCount", 3);
    MaxBadComToReset = in.Integer("Communication", "MaxBadComToReset", 0);
    if (const auto usable = UsableMaxBadComToReset(MaxBadComToReset, MaxBadCommCount); usable != MaxBadComToReset) {
        MaxBadComToReset = usable;
        in.Report("Communication", "MaxBadComToReset", "is below MaxBadCommCount", MaxBadComToReset);
    }
    DifferentPacketLen = in.Bool("Communication", "DifferentPacketLen", false);
    CheckTimestamp = in.Bool("Communication", "CheckTimestamp", false);

    UseRTS = in.Bool("DataFlowControl", "UseRTS", false);
    UseDTR = in.Bool("DataFlowControl", "UseDTR", false);
    RequireCTS = in.Bool("DataFlowControl", "RequireCTS", UseRTS);
    RequireDSR = in.Bool("DataFlowControl", "RequireDSR", UseDTR);

    timBeforeDial = in.Clamped("Modem", "timBeforeDial", 20, kMinSeconds, kMaxSeconds) * 1000;
    timSameCall = in.Clamped("Modem", "timSameCall", 60, kMinSeconds, kMaxSeconds) * 1000;
    timTildeDelay = in.Integer("Modem", "timTildeDelay", 25);

    ReadPorts(ini);

    Notify(Note::Log, ini.Existed() ? "Settings read from " + IniFileName
                                    : "Settings file " + IniFileName + " not found; defaults in use");
    LeaveSettingsFileAlone(ini);
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

    if (!LeaveSettingsFileAlone(ini))
        ini.UpdateFile();
}

void SaveCfgFileName()
{
    std::string reason;
    try {
        IniFile ini(vx::IniFileName);
        ini.WriteString("Main", "CfgFileName", vx::CfgFileName);
        // A file reported as one the program leaves alone is no failure of this save.
        if (!LeaveSettingsFileAlone(ini))
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

std::int32_t UsableMaxBadComToReset(std::int32_t maxBadComToReset, std::int32_t maxBadCommCount)
{
    if (maxBadComToReset <= 0 || maxBadComToReset >= maxBadCommCount)
        return maxBadComToReset;
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(std::int64_t{maxBadCommCount} + 1, std::numeric_limits<std::int32_t>::max()));
}

void ResetAppSettings()
{
    IsRegistered = false;
    unwritableReported = false;
    ResetConfigSettings();
    OPCLogging = false;
    OPCNumLogLines = 0;
    OPCLogToFile = false;
    heldWidths = {kDefaultWidths, kDefaultWidths};
    plat::clearComPortDevices();
}

}  // namespace vos
