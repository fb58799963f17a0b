#pragma once
// The editor's file commands: a new configuration, loading and saving one. Their file
// dialogs, questions and progress window sit behind TConfigFileUi, which the editor's frame
// answers with dialogs and the tests answer directly; messages 101 and 102 go through the
// message notifier (vx::NotifyMessage). The bytes are read and written by config_file_format.h.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "comm/vx_msgdlg.h"
#include "config_editor.h"
#include "config_file_format.h"

namespace vos {

// Catalogue texts of the commands.
inline constexpr std::int32_t kMsgCannotLoadConfig = 101;
inline constexpr std::int32_t kMsgCannotSaveConfig = 102;
inline constexpr std::int32_t kMsgSaveChanges = 106;
inline constexpr std::int32_t kTextUntitledConfig = 108;
inline constexpr std::int32_t kTextOpenConfigTitle = 403;
inline constexpr std::int32_t kTextConfigFileFilter = 404;
inline constexpr std::int32_t kTextSaveConfigTitle = 405;
inline constexpr std::int32_t kTextSavingConfig = 407;
inline constexpr std::int32_t kTextLoadingConfig = 408;
inline constexpr char kConfigFileExtension[] = "cfg";

// A file dialog as the commands ask for it.
struct TFileDialogRequest {
    std::string Title;
    std::string Filter;      // "description|pattern|description|pattern"
    std::string DefaultExt;  // without the dot
    std::string FileName;    // preset
};

// What the commands ask of the user and show. The defaults: every file dialog is cancelled
// (no file name given), questions go to the message dialog (vx::ShowMessageDlg), and there
// is no progress window.
class TConfigFileUi {
public:
    virtual ~TConfigFileUi() = default;
    // The file to write or to read; nullopt when cancelled. Nothing asks about overwriting.
    virtual std::optional<std::string> SaveFileDialog(const TFileDialogRequest& request);
    virtual std::optional<std::string> OpenFileDialog(const TFileDialogRequest& request);
    // A confirmation with these buttons; the result of the button pressed (vx::mrYes ...).
    virtual int Ask(const std::string& text, vx::TMsgDlgButtons buttons);
    // The progress window (TF_Splash): created with its caption, given its maximum (shown
    // only while that is above 0), moved on, and freed whatever happens.
    virtual void ProgressOpen(const std::string& /*caption*/) {}
    virtual void ProgressMaximum(std::size_t /*maximum*/) {}
    virtual void ProgressPosition(std::size_t /*position*/) {}
    virtual void ProgressClose() {}
    // A save is complete: the list view repaints and the edited-control marks go
    // (TControlPropsList.RestoreColors).
    virtual void ConfigurationSaved() {}
};

// Which command runs a save or a load.
enum class TSaveSender {
    Save,    // the save button and action, the close query, the "Save changes?" answer
    SaveAs,  // mnu_FileSaveAs: always through the file dialog
};
enum class TLoadSender {
    Settings,  // start-up: CfgFileName, no dialog
    Dialog,    // TBtn_Load and mnu_FileOpen
};

enum class TLoadResult {
    Loaded,    // the file was read
    NewFile,   // no such file: a fresh server node under that name
    Failed,    // message 101 shown, a fresh server node
    Stopped,   // cancelled, or the save asked for did not happen: nothing changed
};

class TConfigFileCommands {
public:
    explicit TConfigFileCommands(TConfigEditor& editor) : editor_(editor) {}
    TConfigFileCommands(const TConfigFileCommands&) = delete;
    TConfigFileCommands& operator=(const TConfigFileCommands&) = delete;

    // nullptr: the defaults of TConfigFileUi.
    void SetUi(TConfigFileUi* ui) { ui_ = ui; }

    // Hook for the whole-tree validation that runs after every successful load, once the
    // tree is sorted and the counters are raised. The validation unit attaches it.
    using TLoadedTreeCheck = std::function<void(TConfigEditor& editor)>;
    void SetLoadedTreeCheck(TLoadedTreeCheck check) { loadedTreeCheck_ = std::move(check); }

    // True when the file was written. The file is replaced in one step: on any failure the
    // old file is intact, message 102 shows, Modified stays and no node's Saved changes.
    bool SaveConfiguration(TSaveSender sender = TSaveSender::Save);
    TLoadResult LoadConfiguration(TLoadSender sender);
    // False when it stopped (Cancel, or the save asked for did not happen).
    bool NewConfiguration();

    // The last load failed: the next save asks for a file name, preset to the failed file,
    // as for an untitled configuration, rather than writing over it unasked.
    bool LoadFailed() const { return loadFailed_; }

private:
    TConfigFileUi& Ui();
    // "Save changes?" when Modified; false when the command must stop.
    bool SaveChangesFirst();
    // Why a load failed: where in the file, when the bytes were at fault.
    struct TConfigLoadError {
        std::optional<std::size_t> Offset;
        std::string Reason;
    };
    // Reads file into the editor's tree; the error when it could not.
    std::optional<TConfigLoadError> ReadFile(const std::string& file);

    TConfigEditor& editor_;
    TConfigFileUi* ui_ = nullptr;
    TLoadedTreeCheck loadedTreeCheck_;
    bool loadFailed_ = false;
};

}  // namespace vos
