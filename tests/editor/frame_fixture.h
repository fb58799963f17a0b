#pragma once
// The editor's frame over a fresh editor, offscreen: message boxes and notes answered and
// recorded, the file dialogs answered through the seams, and what the frame asks of the main
// window recorded.
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_msgdlg.h"
#include "comm/vx_notify.h"
#include "editor/config_file.h"
#include "editor/config_register.h"
#include "editor/config_validate.h"
#include "editor/frm_config.h"
#include "editor/main_window_link.h"
#include "editor/widgets/control_props.h"
#include "editor_fixture.h"

namespace editor_test {

// Records what the editor asks of the main window.
class RecordingLink : public vos::TMainWindowLink {
public:
    void ShutDownServer() override { ++shutDowns; }
    void ViewRuntime() override { ++runtimeViews; }
    void SetEditCommands(const vos::TEditorCommands& commands) override { editCommands.push_back(commands); }
    void SetRegisterConfigEnabled(bool enabled) override { registerEnabled.push_back(enabled); }
    void RunForcedUpdate(std::function<void()> update) override { update(); }

    int shutDowns = 0;
    int runtimeViews = 0;
    std::vector<vos::TEditorCommands> editCommands;
    std::vector<bool> registerEnabled;
};

// A message box the frame showed.
struct Box {
    std::string Text;
    vx::TMsgDlgType Type;
};

class FrameFixture : public EditorFixture {
protected:
    void SetUp() override
    {
        EditorFixture::SetUp();
        vx::FlatListView = false;
        vos::ControlPropsList = std::make_unique<vos::TControlPropsList>();
        editor.SetValidator(&validation);
        vx::SetMessageDlgAnswer([this](const std::string& text, vx::TMsgDlgType type, vx::TMsgDlgButtons) {
            boxes.push_back({text, type});
            return answer;
        });
        vx::SetMessageNotifier([this](vx::TMessageKind, const std::string& text) { notes.push_back(text); });
        ASSERT_TRUE(dir.isValid());
        vos::TFrmConfigSeams seams;
        seams.OpenFileDialog = [this](const vos::TFileDialogRequest& r) {
            openRequests.push_back(r);
            return openAnswer;
        };
        seams.SaveFileDialog = [this](const vos::TFileDialogRequest& r) {
            saveRequests.push_back(r);
            return saveAnswer;
        };
        AddSeams(seams);
        frame = std::make_unique<vos::TFrm_Config>(editor, fileCommands, validation, registrar, &link, seams);
        frame->InitEditor();
        if (showOnSetUp)
            ShowFrame();
    }
    void TearDown() override
    {
        frame.reset();
        vos::ControlPropsList.reset();
        vx::SetMessageDlgAnswer({});
        vx::SetMessageNotifier({});
        editor.SetValidator(nullptr);
        vx::FlatListView = false;
        EditorFixture::TearDown();
    }

    // The seams a fixture adds to the recorded file dialogs.
    virtual void AddSeams(vos::TFrmConfigSeams&) {}

    void ShowFrame()
    {
        frame->resize(1000, 700);
        frame->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
    }

    std::string Path(const char* name) const { return (dir.path() + "/" + name).toStdString(); }
    QTreeView* Tree() const { return frame->VST_Tree(); }
    template <class T = QWidget>
    T* Child(const std::string& name) const
    {
        auto* w = frame->findChild<T*>(QString::fromStdString(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    static std::vector<std::string> ChildNames(const vos::TConfigNode* parent)
    {
        std::vector<std::string> names;
        for (int i = 0; i < parent->ChildCount(); ++i)
            names.push_back(parent->Child(i)->Rec().Name);
        return names;
    }

    vos::TConfigFileCommands fileCommands{editor};
    vos::TConfigValidation validation{editor};
    vos::TConfigRegistrar registrar{editor};
    RecordingLink link;
    QTemporaryDir dir;
    std::unique_ptr<vos::TFrm_Config> frame;

    // Set by a fixture's constructor: false when its SetUp fills the tree first and then calls
    // ShowFrame.
    bool showOnSetUp = true;
    int answer = vx::mrYes;
    std::vector<Box> boxes;
    std::vector<std::string> notes;
    std::optional<std::string> openAnswer;
    std::optional<std::string> saveAnswer;
    std::vector<vos::TFileDialogRequest> openRequests;
    std::vector<vos::TFileDialogRequest> saveRequests;
};

}  // namespace editor_test
