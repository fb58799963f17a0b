#pragma once
// The main window's commands: the flat tool bar that serves as its menu bar (ToolBar_Main),
// the menu tree its buttons drop down (PMnu_Main), the action list that carries the two
// keyboard shortcuts and whose enabled state decides whether they work (ActionList1), and the
// images of items and actions (MenuImageList). The handlers are TF_Main's own methods.
#include <QIcon>
#include <string_view>

#include "editor/config_editor.h"

class QAbstractItemView;
class QAction;
class QMenu;
class QObject;
class QToolBar;
class QToolButton;

namespace vos {

class TF_Main;
class TFrm_Config;

// MenuImageList: the images, drawn in code.
enum TMenuImage : int {
    miNone = -1,
    miNew,
    miOpen,
    miSave,
    miSaveAs,
    miHide,
    miShutdown,
    miRegisterConfig,
    miRegisterServer,
    miUnregisterServer,
    miNewDevice,
    miNewModem,
    miNewItem,
    miNewBranch,
    miImport,
    miCut,
    miCopy,
    miPaste,
    miDuplicate,
    miDelete,
    miViewConfig,
    miViewRuntime,
    miSettings,
    miAbout,
    miCount
};
// The image of index; the null icon outside the list.
QIcon MenuImage(int index);

// The view copies no cell text to the desktop's clipboard on the copy keys.
void SwitchOffTextCopy(QAbstractItemView& view);
// The editor's status text in the current Language for the list it shows, the list untouched.
void RetranslateStatusText(TFrm_Config& frame);

class TMainMenu {
public:
    static constexpr int kButtonHeight = 21;

    // Builds everything on form (which owns the widgets and actions) and makes the tool bar
    // the window's menu bar. The items start as a fresh window has them: View > Configuration
    // disabled, the rest enabled.
    explicit TMainMenu(TF_Main& form);
    TMainMenu(const TMainMenu&) = delete;
    TMainMenu& operator=(const TMainMenu&) = delete;

    QToolBar* ToolBar_Main() const { return toolBar_; }
    QMenu* PMnu_Main() const { return menu_; }
    QObject* ActionList1() const { return actionList_; }
    // The menu item (mnu_...), tool-bar button (TBtn_...) or action (Ac_...) so named;
    // nullptr for none.
    QAction* Item(std::string_view name) const;
    QToolButton* Button(std::string_view name) const;
    QAction* Action(std::string_view name) const;

    // Every caption of the items and buttons in the current Language.
    void ApplyCaptions();
    // The Edit items follow the editor's buttons for the focused node; New modem never changes.
    // While the runtime view is in front, the items it disabled stay disabled (a file loaded
    // from there selects a node in the hidden editor).
    void SetEditCommands(const TEditorCommands& commands);
    void SetRegisterConfigEnabled(bool enabled);
    // The enabling lists of View > Configuration and View > Runtime.
    void ConfigViewShown();
    void RuntimeViewShown();

private:
    TF_Main& form_;
    QToolBar* toolBar_ = nullptr;
    QMenu* menu_ = nullptr;
    QObject* actionList_ = nullptr;
    bool runtimeShown_ = false;
};

}  // namespace vos
