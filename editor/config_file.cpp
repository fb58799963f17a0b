#include "config_file.h"

#include <QLoggingCategory>
#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_notify.h"
#include "config_settings.h"
#include "platform/savefile.h"

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcConfigFile, "vx.editor.configfile")

TConfigFileUi defaultUi;

// The progress window lives for one read or write and goes whatever happens.
class ProgressWindow {
public:
    ProgressWindow(TConfigFileUi& ui, const std::string& caption) : ui_(ui) { ui_.ProgressOpen(caption); }
    ~ProgressWindow() { ui_.ProgressClose(); }
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    TConfigProgress Bar()
    {
        return {[this](std::size_t maximum) { ui_.ProgressMaximum(maximum); },
                [this](std::size_t position) { ui_.ProgressPosition(position); }};
    }

private:
    TConfigFileUi& ui_;
};

// The whole file; its size is what the reader may hold in memory anyway.
std::string ReadWholeFile(const std::string& file)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        throw std::runtime_error(ec ? ec.message() : "not a regular file");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open the file");
    // The size is a hint: the file may change meanwhile, and what is there is read.
    std::string bytes;
    const auto size = std::filesystem::file_size(file, ec);
    bytes.resize(ec ? 0 : static_cast<std::size_t>(size));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    char buffer[4096];
    while (in && (in.read(buffer, sizeof buffer) || in.gcount() > 0))
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (in.bad())
        throw std::runtime_error("cannot read the file");
    return bytes;
}

std::string Text(std::int32_t id) { return vx::GetLangText(id); }

}  // namespace

std::optional<std::string> TConfigFileUi::SaveFileDialog(const TFileDialogRequest& /*request*/) { return std::nullopt; }

std::optional<std::string> TConfigFileUi::OpenFileDialog(const TFileDialogRequest& /*request*/) { return std::nullopt; }

int TConfigFileUi::Ask(const std::string& text, vx::TMsgDlgButtons buttons)
{
    return vx::ShowMessageDlg(text, vx::mtConfirmation, buttons);
}

TConfigFileUi& TConfigFileCommands::Ui() { return ui_ ? *ui_ : defaultUi; }

bool TConfigFileCommands::SaveChangesFirst()
{
    if (!editor_.Modified())
        return true;
    const int answer = Ui().Ask(Text(kMsgSaveChanges), vx::mbYesNoCancel);
    if (answer == vx::mrNo)
        return true;
    if (answer != vx::mrYes)
        return false;  // Cancel, or the box closed
    // A save that was cancelled or failed leaves the edits unsaved: going on would lose them.
    SaveConfiguration(TSaveSender::Save);
    return !editor_.Modified();
}

bool TConfigFileCommands::SaveConfiguration(TSaveSender sender)
{
    if (auto* validator = editor_.Validator(); validator && !validator->ValidateChangeList())
        return false;
    TFileDialogRequest request{Text(kTextSaveConfigTitle), Text(kTextConfigFileFilter), kConfigFileExtension, {}};
    auto& names = CfgFileNames();
    if (vx::CfgFileName.empty())
        names.SetConfigFileName(Text(kTextUntitledConfig));
    if (names.IsUntitledConfig() || sender == TSaveSender::SaveAs || loadFailed_) {
        request.FileName = vx::CfgFileName;
        const auto chosen = Ui().SaveFileDialog(request);
        if (!chosen)
            return false;
        names.SetConfigFileName(*chosen);
    }

    const std::string file = vx::CfgFileName;
    try {
        ProgressWindow progress(Ui(), Text(kTextSavingConfig));
        const std::string bytes = WriteConfiguration(editor_.Tree(), progress.Bar());
        plat::SaveFile(file, bytes);
    } catch (const std::exception& e) {
        qCWarning(lcConfigFile, "Cannot save the configuration to %s: %s", file.c_str(), e.what());
        vx::NotifyMessage(vx::TMessageKind::Error, vx::FormatText(Text(kMsgCannotSaveConfig), {file}));
        return false;
    }

    // Only a complete file makes the nodes saved.
    auto& tree = editor_.Tree();
    for (auto* node : tree)
        if (!node->Rec().Saved) {
            node->Rec().Saved = 1;
            tree.NotifyChanged(node);
        }
    Ui().ConfigurationSaved();
    editor_.SetModified(false);
    loadFailed_ = false;
    return true;
}

std::optional<TConfigFileCommands::TConfigLoadError> TConfigFileCommands::ReadFile(const std::string& file)
{
    try {
        ProgressWindow progress(Ui(), Text(kTextLoadingConfig));
        const std::string bytes = ReadWholeFile(file);
        const TConfigReadResult result = ReadConfiguration(bytes, editor_.Tree(), progress.Bar());
        if (!result.Ok)
            return TConfigLoadError{result.Error.Offset, result.Error.Reason};
        CfgHeader = result.Header;
        StationCounter = std::max(StationCounter, result.StationCounter);
        VariableCounter = std::max(VariableCounter, result.VariableCounter);
        FolderCounter = std::max(FolderCounter, result.FolderCounter);
        ModemCounter = std::max(ModemCounter, result.ModemCounter);
    } catch (const std::exception& e) {
        editor_.Tree().Clear();
        return TConfigLoadError{std::nullopt, e.what()};
    }
    editor_.SortTreeByName();
    return std::nullopt;
}

TLoadResult TConfigFileCommands::LoadConfiguration(TLoadSender sender)
{
    if (!SaveChangesFirst())
        return TLoadResult::Stopped;
    if (sender == TLoadSender::Dialog) {
        const TFileDialogRequest request{Text(kTextOpenConfigTitle), Text(kTextConfigFileFilter), kConfigFileExtension,
                                         vx::CfgFileName};
        const auto chosen = Ui().OpenFileDialog(request);
        if (!chosen)
            return TLoadResult::Stopped;
        CfgFileNames().SetConfigFileName(*chosen);
    }

    const std::string file = vx::CfgFileName;
    TLoadResult result = TLoadResult::Loaded;
    std::optional<TConfigLoadError> error;
    {
        // One reset for the views over clearing, reading, sorting and any recovery.
        TConfigTreeReset reset(editor_.Tree());
        editor_.ClearConfiguration();
        std::error_code ec;
        const bool exists = std::filesystem::exists(file, ec);
        if (ec)
            error = TConfigLoadError{std::nullopt, ec.message()};
        else if (exists)
            error = ReadFile(file);
        if (error) {
            // Nothing half-loaded: a fresh server, counters and header as after clearing.
            editor_.ClearConfiguration();
            editor_.CreateNode(nkServer, nullptr);
            result = TLoadResult::Failed;
        } else if (!exists) {
            editor_.CreateNode(nkServer, nullptr);
            result = TLoadResult::NewFile;
        }
    }

    // The settings keep naming the failed file, so the next start reports it again; the next
    // save asks where to write instead of putting a nearly empty configuration over it.
    loadFailed_ = result == TLoadResult::Failed;
    if (result == TLoadResult::Loaded) {
        editor_.SetRegisterEnabled(true);  // not yet the registered configuration
        if (loadedTreeCheck_)
            loadedTreeCheck_(editor_);
    }
    editor_.SetModified(false);
    if (error) {
        if (error->Offset)
            qCWarning(lcConfigFile, "Cannot load the configuration from %s: at byte %zu: %s", file.c_str(),
                      *error->Offset, error->Reason.c_str());
        else
            qCWarning(lcConfigFile, "Cannot load the configuration from %s: %s", file.c_str(), error->Reason.c_str());
        vx::NotifyMessage(vx::TMessageKind::Error, vx::FormatText(Text(kMsgCannotLoadConfig), {file}));
    }
    return result;
}

bool TConfigFileCommands::NewConfiguration()
{
    if (!SaveChangesFirst())
        return false;
    {
        TConfigTreeReset reset(editor_.Tree());
        editor_.ClearConfiguration();
        CfgFileNames().SetConfigFileName(Text(kTextUntitledConfig));
        editor_.CreateNode(nkServer, nullptr);
    }
    editor_.SetModified(false);
    loadFailed_ = false;
    return true;
}

}  // namespace vos
