#include "main_menu.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDialog>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "app/app_exception.h"
#include "app/dlg_about.h"
#include "app/dlg_settings.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "comm/vx_lang.h"
#include "editor/config_list_model.h"
#include "editor/config_view_text.h"
#include "editor/frm_config.h"
#include "editor/frm_runtime.h"
#include "opc/opc_register.h"

namespace vos {

namespace {

QString Lang(std::int32_t id) { return QString::fromStdString(vx::GetLangText(id)); }

enum : std::int32_t {
    kTextAbout = 55,  // "About %s"
    kTextSettings = 60,
};

// --- MenuImageList ---

constexpr int kImageSize = 16;

void DrawPage(QPainter& p, const QRectF& r)
{
    // A sheet with its top right corner folded.
    const double fold = 4;
    QPainterPath path;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(QColor(90, 90, 90));
    p.setBrush(Qt::white);
    p.drawPath(path);
    p.drawLine(QPointF(r.right() - fold, r.top()), QPointF(r.right() - fold, r.top() + fold));
    p.drawLine(QPointF(r.right() - fold, r.top() + fold), QPointF(r.right(), r.top() + fold));
}

void DrawDisk(QPainter& p, const QRectF& r)
{
    p.setPen(QColor(20, 50, 110));
    p.setBrush(QColor(50, 100, 190));
    p.drawRect(r);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(r.left() + 2, r.top(), r.width() - 4, r.height() * 0.4));
    p.setBrush(QColor(170, 170, 170));
    p.drawRect(QRectF(r.left() + 3, r.bottom() - r.height() * 0.35, r.width() - 6, r.height() * 0.35));
}

void DrawCross(QPainter& p, QColor colour, const QRectF& r)
{
    p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(r.topLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomLeft());
}

void DrawPlus(QPainter& p, QColor colour, QPointF centre, double half)
{
    p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(centre - QPointF(half, 0), centre + QPointF(half, 0));
    p.drawLine(centre - QPointF(0, half), centre + QPointF(0, half));
}

void DrawArrowDown(QPainter& p, QColor colour, double x, double top, double bottom)
{
    p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(x, top), QPointF(x, bottom - 2));
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(QPolygonF({QPointF(x - 3.5, bottom - 4), QPointF(x + 3.5, bottom - 4), QPointF(x, bottom + 0.5)}));
}

void DrawWindow(QPainter& p, const QRectF& r)
{
    p.setPen(QColor(60, 70, 90));
    p.setBrush(Qt::white);
    p.drawRect(r);
    p.setBrush(QColor(60, 110, 200));
    p.drawRect(QRectF(r.left(), r.top(), r.width(), 3));
}

void DrawMenuImage(QPainter& p, int index)
{
    switch (index) {
    case miNew:
        DrawPage(p, QRectF(3.5, 1.5, 9, 13));
        break;
    case miOpen:
        p.setPen(QColor(150, 110, 20));
        p.setBrush(QColor(240, 200, 60));
        p.drawRect(QRectF(1.5, 3.5, 11, 10));
        p.setBrush(QColor(250, 225, 120));
        p.drawPolygon(QPolygonF({QPointF(3.5, 7.5), QPointF(15.5, 7.5), QPointF(12.5, 13.5), QPointF(1.5, 13.5)}));
        break;
    case miSave:
        DrawDisk(p, QRectF(2.5, 2.5, 11, 11));
        break;
    case miSaveAs:
        DrawDisk(p, QRectF(1.5, 1.5, 10, 10));
        // A pen over the disk: a new name.
        p.setPen(QPen(QColor(200, 120, 20), 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(9, 14), QPointF(14.5, 8.5));
        break;
    case miHide:
        DrawWindow(p, QRectF(1.5, 1.5, 13, 10));
        DrawArrowDown(p, QColor(40, 40, 40), 8, 4, 15);
        break;
    case miShutdown:
        p.setPen(QPen(QColor(200, 30, 30), 2, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(2.5, 3, 11, 11), 120 * 16, 300 * 16);
        p.drawLine(QPointF(8, 1.5), QPointF(8, 7.5));
        break;
    case miRegisterConfig:
        p.setPen(QPen(QColor(30, 140, 60), 2, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(2.5, 2.5, 11, 11), 30 * 16, 280 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 140, 60));
        p.drawPolygon(QPolygonF({QPointF(10, 1), QPointF(15.5, 4.5), QPointF(10.5, 8)}));
        break;
    case miRegisterServer:
        p.drawPixmap(0, 0, ConfigImage(0).pixmap(kImageSize, kImageSize));
        DrawPlus(p, QColor(30, 150, 60), QPointF(11.5, 11.5), 4);
        break;
    case miUnregisterServer:
        p.drawPixmap(0, 0, ConfigImage(0).pixmap(kImageSize, kImageSize));
        DrawCross(p, QColor(200, 30, 30), QRectF(8.5, 8.5, 6, 6));
        break;
    case miNewDevice:
        p.drawPixmap(0, 0, ConfigImage(3).pixmap(kImageSize, kImageSize));
        break;
    case miNewModem:
        p.drawPixmap(0, 0, ConfigImage(8).pixmap(kImageSize, kImageSize));
        break;
    case miNewItem:
        p.drawPixmap(0, 0, ConfigImage(11).pixmap(kImageSize, kImageSize));
        break;
    case miNewBranch:
        p.drawPixmap(0, 0, ConfigImage(1).pixmap(kImageSize, kImageSize));
        break;
    case miImport:
        DrawPage(p, QRectF(4.5, 4.5, 10, 11));
        DrawArrowDown(p, QColor(30, 100, 200), 5, 0.5, 11);
        break;
    case miCut:
        // Scissors: two blades crossing above two rings.
        p.setPen(QPen(QColor(80, 80, 80), 1.5));
        p.drawLine(QPointF(5, 1.5), QPointF(10.5, 10));
        p.drawLine(QPointF(11, 1.5), QPointF(5.5, 10));
        p.setPen(QPen(QColor(190, 40, 40), 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(2, 10, 4.5, 4.5));
        p.drawEllipse(QRectF(9.5, 10, 4.5, 4.5));
        break;
    case miCopy:
        DrawPage(p, QRectF(1.5, 1.5, 8, 10));
        DrawPage(p, QRectF(6.5, 4.5, 8, 10));
        break;
    case miPaste:
        p.setPen(QColor(110, 70, 30));
        p.setBrush(QColor(190, 140, 70));
        p.drawRect(QRectF(1.5, 2.5, 10, 12));
        p.setBrush(QColor(200, 200, 200));
        p.drawRect(QRectF(4.5, 1.5, 4, 2));
        DrawPage(p, QRectF(6.5, 6.5, 8, 8));
        break;
    case miDuplicate:
        DrawPage(p, QRectF(1.5, 1.5, 8, 10));
        DrawPage(p, QRectF(6.5, 4.5, 8, 10));
        DrawPlus(p, QColor(30, 150, 60), QPointF(10.5, 10.5), 2.5);
        break;
    case miDelete:
        DrawCross(p, QColor(200, 30, 30), QRectF(3.5, 3.5, 9, 9));
        break;
    case miViewConfig:
        // A small tree: a root and two children hanging from one line.
        p.setPen(QColor(90, 90, 90));
        p.drawLine(QPointF(4, 5), QPointF(4, 12.5));
        p.drawLine(QPointF(4, 8.5), QPointF(9, 8.5));
        p.drawLine(QPointF(4, 12.5), QPointF(9, 12.5));
        p.setBrush(QColor(240, 200, 60));
        p.drawRect(QRectF(1.5, 1.5, 5, 4));
        p.setBrush(QColor(70, 140, 70));
        p.drawRect(QRectF(9.5, 6.5, 5, 4));
        p.drawRect(QRectF(9.5, 10.5, 5, 4));
        break;
    case miViewRuntime: {
        DrawWindow(p, QRectF(1.5, 1.5, 13, 12));
        // A live value: a trend line.
        p.setPen(QPen(QColor(30, 150, 60), 1.5));
        const QPointF trend[] = {{3, 11}, {6, 7}, {8, 9}, {11, 5}, {13.5, 6}};
        p.drawPolyline(trend, static_cast<int>(std::size(trend)));
        break;
    }
    case miSettings: {
        // A gear: eight teeth around a ring.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(100, 110, 125));
        p.translate(8, 8);
        for (int i = 0; i < 8; ++i) {
            p.drawRect(QRectF(-1.5, -7.5, 3, 4));
            p.rotate(45);
        }
        p.drawEllipse(QPointF(0, 0), 5, 5);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(0, 0), 2, 2);
        p.resetTransform();
        break;
    }
    case miAbout: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 100, 200));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(7, 3.5, 2, 2));
        p.drawRect(QRectF(7, 6.5, 2, 6));
        break;
    }
    default:
        break;
    }
}

// --- The menu tree and the action list ---

using TRun = void (*)(TF_Main& form, QObject* sender);

template <void (TF_Main::*Handler)(QObject*)>
void Run(TF_Main& form, QObject* sender)
{
    (form.*Handler)(sender);
}

template <void (TF_Main::*Handler)()>
void RunWithoutSender(TF_Main& form, QObject*)
{
    (form.*Handler)();
}

// An item of a sub-menu; no name: a separator.
struct TMenuItemDef {
    const char* Name;
    std::int32_t TextId;
    const char* Suffix;  // the key the item names, after the caption
    int Image;
    int Tag;
    TRun Handler;
};

constexpr TMenuItemDef kSeparator{nullptr, 0, "", miNone, 0, nullptr};

constexpr TMenuItemDef kFileItems[] = {
    {"mnu_FileNew", 499, "", miNew, 0, &Run<&TF_Main::Ac_NewConfigExecute>},
    {"mnu_FileOpen", 501, "", miOpen, 0, &Run<&TF_Main::Ac_LoadConfigExecute>},
    {"mnu_FileSave", 502, " (F2)", miSave, 0, &Run<&TF_Main::Ac_SaveConfigExecute>},
    {"mnu_FileSaveAs", 503, "", miSaveAs, 0, &Run<&TF_Main::Ac_SaveConfigExecute>},
    kSeparator,
    {"mnu_FileHide", 504, "", miHide, 0, &RunWithoutSender<&TF_Main::Ac_HideServerExecute>},
    {"mnu_FileShutdown", 505, "", miShutdown, 0, &RunWithoutSender<&TF_Main::Ac_ShutDownServerExecute>},
};

constexpr TMenuItemDef kRegisterItems[] = {
    {"mnu_RegisterConfig", 120, "", miRegisterConfig, 0, &Run<&TF_Main::mnu_RegisterConfigClick>},
    kSeparator,
    {"mnu_RegisterServer", 507, "", miRegisterServer, 0, &Run<&TF_Main::Ac_RegisterServerExecute>},
    {"mnu_UnregisterServer", 508, "", miUnregisterServer, 0, &Run<&TF_Main::Ac_UnregisterServerExecute>},
};

constexpr TMenuItemDef kEditItems[] = {
    {"mnu_NewDevice", 109, "", miNewDevice, ntStation, &Run<&TF_Main::Ac_NewObjectExecute>},
    {"mnu_NewModem", 141, "", miNewModem, ntModem, &Run<&TF_Main::Ac_NewObjectExecute>},
    {"mnu_NewItem", 110, "", miNewItem, ntVariable, &Run<&TF_Main::Ac_NewObjectExecute>},
    {"mnu_NewBranch", 111, "", miNewBranch, ntFolder, &Run<&TF_Main::Ac_NewObjectExecute>},
    {"mnu_Import", 119, "", miImport, 0, &Run<&TF_Main::Ac_ImportExecute>},
    kSeparator,
    {"mnu_Cut", 142, "", miCut, 0, &Run<&TF_Main::Ac_CutExecute>},
    {"mnu_Copy", 143, "", miCopy, 0, &Run<&TF_Main::Ac_CopyExecute>},
    {"mnu_Paste", 144, "", miPaste, 0, &Run<&TF_Main::Ac_PasteExecute>},
    {"mnu_Duplicate", 112, " (Ctrl+D)", miDuplicate, 0, &Run<&TF_Main::Ac_DuplicateExecute>},
    {"mnu_Delete", 113, " (Del)", miDelete, 0, &Run<&TF_Main::Ac_DeleteExecute>},
};

constexpr TMenuItemDef kViewItems[] = {
    {"mnu_ViewConfig", 510, "", miViewConfig, 0, &Run<&TF_Main::Ac_ViewConfigExecute>},
    {"mnu_ViewRuntime", 511, "", miViewRuntime, 0, &Run<&TF_Main::Ac_ViewRuntimeExecute>},
    kSeparator,
    {"mnu_ViewSettings", 512, "", miSettings, 0, &Run<&TF_Main::Ac_ViewSettingsExecute>},
};

constexpr TMenuItemDef kHelpItems[] = {
    {"mnu_About", 514, "", miAbout, 0, &Run<&TF_Main::Ac_AboutExecute>},
};

// A top-level item of PMnu_Main and the tool-bar button that drops it down.
struct TSubMenuDef {
    const char* Name;
    const char* Button;
    std::int32_t TextId;
    std::span<const TMenuItemDef> Items;
};

constexpr TSubMenuDef kSubMenus[] = {
    {"mnu_File", "TBtn_File", 500, kFileItems},
    {"mnu_Register", "TBtn_Register", 506, kRegisterItems},
    {"mnu_Edit", "TBtn_Edit", 515, kEditItems},
    {"mnu_View", "TBtn_View", 509, kViewItems},
    {"mnu_Help", "TBtn_Help", 513, kHelpItems},
};

struct TActionDef {
    const char* Name;
    int Image;
    QKeyCombination Shortcut;  // none: no key
    TRun Handler;
};

constexpr QKeyCombination kNoKey{};

const TActionDef kActions[] = {
    {"Ac_ShutDownServer", miShutdown, kNoKey, &RunWithoutSender<&TF_Main::Ac_ShutDownServerExecute>},
    {"Ac_RegisterServer", miRegisterServer, kNoKey, &Run<&TF_Main::Ac_RegisterServerExecute>},
    {"Ac_UnregisterServer", miUnregisterServer, kNoKey, &Run<&TF_Main::Ac_UnregisterServerExecute>},
    {"Ac_HideServer", miHide, kNoKey, &RunWithoutSender<&TF_Main::Ac_HideServerExecute>},
    {"Ac_LoadConfig", miOpen, kNoKey, &Run<&TF_Main::Ac_LoadConfigExecute>},
    {"Ac_SaveConfig", miSave, QKeyCombination(Qt::Key_F2), &Run<&TF_Main::Ac_SaveConfigExecute>},
    {"Ac_ViewConfig", miViewConfig, kNoKey, &Run<&TF_Main::Ac_ViewConfigExecute>},
    {"Ac_ViewRuntime", miViewRuntime, kNoKey, &Run<&TF_Main::Ac_ViewRuntimeExecute>},
    {"Ac_ViewSettings", miSettings, kNoKey, &Run<&TF_Main::Ac_ViewSettingsExecute>},
    {"Ac_About", miAbout, kNoKey, &Run<&TF_Main::Ac_AboutExecute>},
    {"Ac_NewObject", miNewDevice, kNoKey, &Run<&TF_Main::Ac_NewObjectExecute>},
    {"Ac_Import", miImport, kNoKey, &Run<&TF_Main::Ac_ImportExecute>},
    {"Ac_Duplicate", miDuplicate, QKeyCombination(Qt::CTRL | Qt::Key_D), &Run<&TF_Main::Ac_DuplicateExecute>},
    {"Ac_Delete", miDelete, kNoKey, &Run<&TF_Main::Ac_DeleteExecute>},
    {"Ac_Cut", miCut, kNoKey, &Run<&TF_Main::Ac_CutExecute>},
    {"Ac_Copy", miCopy, kNoKey, &Run<&TF_Main::Ac_CopyExecute>},
    {"Ac_Paste", miPaste, kNoKey, &Run<&TF_Main::Ac_PasteExecute>},
    {"Ac_NewConfig", miNew, kNoKey, &Run<&TF_Main::Ac_NewConfigExecute>},
};

// What the view commands switch: the actions whose keys work only in the editor's view.
constexpr const char* kEditorViewActions[] = {"Ac_NewObject", "Ac_SaveConfig", "Ac_Duplicate", "Ac_Delete",
                                              "Ac_Import"};
// The items the runtime view disables; the configuration view gives them back to the editor.
constexpr const char* kRuntimeDisabledItems[] = {"mnu_NewDevice", "mnu_NewItem",      "mnu_NewBranch", "mnu_Import",
                                                 "mnu_Duplicate", "mnu_Delete", "mnu_ViewRuntime"};

bool RuntimeViewDisables(std::string_view item)
{
    return std::find(std::begin(kRuntimeDisabledItems), std::end(kRuntimeDisabledItems), item) !=
           std::end(kRuntimeDisabledItems);
}

void Connect(TF_Main& form, QAction* action, TRun run)
{
    QObject::connect(action, &QAction::triggered, &form, [&form, action, run] {
        Guarded([&] { run(form, action); });
    });
}

// Swallows the copy keys before the view copies its current cell's text.
class TTextCopyBlocker final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy))
            return true;
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

QIcon MenuImage(int index)
{
    if (index < 0 || index >= miCount)
        return {};
    QPixmap pm(kImageSize, kImageSize);
    pm.fill(Qt::transparent);
    {
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        DrawMenuImage(p, index);
    }
    return QIcon(pm);
}

void SwitchOffTextCopy(QAbstractItemView& view) { view.installEventFilter(new TTextCopyBlocker(&view)); }

void RetranslateStatusText(TFrm_Config& frame)
{
    TConfigListModel* list = frame.ListModel();
    auto* label = frame.SB_ConfigTree() ? frame.SB_ConfigTree()->findChild<QLabel*>(
                                              QStringLiteral("SB_ConfigTree_Panel0"))
                                        : nullptr;
    if (!list || !label || !list->Shown())
        return;
    // The counts the list made when it was filled, taken from its rows: folders are rows only
    // when the list is not flat, just as they are counted only then.
    TListCounts counts;
    for (int row = 0; row < list->rowCount(); ++row) {
        const TConfigNode* node = list->NodeOf(list->index(row, 0));
        if (node && node->Rec().Kind == nkFolder)
            ++counts.Folders;
        else if (node)
            ++counts.Items;
    }
    label->setText(QString::fromStdString(StatusBarText(*list->Shown(), counts)));
}

// --- TMainMenu ---

TMainMenu::TMainMenu(TF_Main& form) : form_(form)
{
    toolBar_ = new QToolBar(&form);
    toolBar_->setObjectName(QStringLiteral("ToolBar_Main"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    // Buttons that drop a menu down, as a menu bar's titles do: no arrow beside the caption.
    toolBar_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0px; }"));

    menu_ = new QMenu(&form);
    menu_->setObjectName(QStringLiteral("PMnu_Main"));
    for (const TSubMenuDef& def : kSubMenus) {
        QMenu* sub = menu_->addMenu(QString());
        sub->setObjectName(QString::fromLatin1(def.Name));
        sub->menuAction()->setObjectName(QString::fromLatin1(def.Name));
        for (const TMenuItemDef& item : def.Items) {
            if (!item.Name) {
                sub->addSeparator();
                continue;
            }
            QAction* action = sub->addAction(MenuImage(item.Image), QString());
            action->setObjectName(QString::fromLatin1(item.Name));
            if (item.Tag != 0)
                action->setData(item.Tag);
            Connect(form, action, item.Handler);
        }
        auto* button = new QToolButton(toolBar_);
        button->setObjectName(QString::fromLatin1(def.Button));
        button->setAutoRaise(true);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setPopupMode(QToolButton::InstantPopup);
        button->setFixedHeight(kButtonHeight);
        button->setMenu(sub);
        toolBar_->addWidget(button);
    }
    // At start the editor is in front.
    Item("mnu_ViewConfig")->setEnabled(false);

    actionList_ = new QObject(&form);
    actionList_->setObjectName(QStringLiteral("ActionList1"));
    for (const TActionDef& def : kActions) {
        auto* action = new QAction(MenuImage(def.Image), QString(), actionList_);
        action->setObjectName(QString::fromLatin1(def.Name));
        Connect(form, action, def.Handler);
        if (def.Shortcut == kNoKey)
            continue;
        // Only the shortcuts need the window: there the enabled action hears its key.
        action->setShortcut(QKeySequence(def.Shortcut));
        action->setShortcutContext(Qt::WindowShortcut);
        form.addAction(action);
    }
    form.setMenuWidget(toolBar_);
    ApplyCaptions();
}

QAction* TMainMenu::Item(std::string_view name) const
{
    return menu_->findChild<QAction*>(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
}

QToolButton* TMainMenu::Button(std::string_view name) const
{
    return toolBar_->findChild<QToolButton*>(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
}

QAction* TMainMenu::Action(std::string_view name) const
{
    return actionList_->findChild<QAction*>(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())),
                                            Qt::FindDirectChildrenOnly);
}

void TMainMenu::ApplyCaptions()
{
    for (const TSubMenuDef& def : kSubMenus) {
        Item(def.Name)->setText(Lang(def.TextId));
        // "&": the caption's first letter becomes the button's Alt key.
        Button(def.Button)->setText(QStringLiteral("&") + Lang(def.TextId));
        for (const TMenuItemDef& item : def.Items)
            if (item.Name)
                Item(item.Name)->setText(Lang(item.TextId) + QString::fromLatin1(item.Suffix));
    }
}

void TMainMenu::SetEditCommands(const TEditorCommands& commands)
{
    const std::pair<const char*, bool> items[] = {
        {"mnu_NewDevice", commands.NewStation}, {"mnu_NewItem", commands.NewVariable},
        {"mnu_NewBranch", commands.NewFolder},  {"mnu_Import", commands.Import},
        {"mnu_Cut", commands.Cut},              {"mnu_Copy", commands.Copy},
        {"mnu_Paste", commands.Paste},          {"mnu_Duplicate", commands.Duplicate},
        {"mnu_Delete", commands.Delete},
    };
    for (const auto& [name, enabled] : items)
        if (!runtimeShown_ || !RuntimeViewDisables(name))
            Item(name)->setEnabled(enabled);
}

void TMainMenu::SetRegisterConfigEnabled(bool enabled) { Item("mnu_RegisterConfig")->setEnabled(enabled); }

void TMainMenu::ConfigViewShown()
{
    runtimeShown_ = false;
    Item("mnu_ViewRuntime")->setEnabled(true);
    Item("mnu_ViewConfig")->setEnabled(false);
    for (const char* name : kEditorViewActions)
        Action(name)->setEnabled(true);
}

void TMainMenu::RuntimeViewShown()
{
    runtimeShown_ = true;
    for (const char* name : kRuntimeDisabledItems)
        Item(name)->setEnabled(false);
    Item("mnu_ViewConfig")->setEnabled(true);
    for (const char* name : kEditorViewActions)
        Action(name)->setEnabled(false);
}

// --- TF_Main's commands ---

void TF_Main::Ac_NewConfigExecute(QObject*)
{
    if (configFrame_)
        configFrame_->NewConfiguration();
}

void TF_Main::Ac_LoadConfigExecute(QObject*)
{
    // From the menu the editor always asks for the file.
    if (configFrame_)
        configFrame_->LoadConfiguration();
}

void TF_Main::Ac_SaveConfigExecute(QObject* sender)
{
    if (!configFrame_)
        return;
    const bool saveAs = menu_ && sender && sender == menu_->Item("mnu_FileSaveAs");
    configFrame_->SaveConfiguration(saveAs);
}

void TF_Main::mnu_RegisterConfigClick(QObject*)
{
    if (configFrame_)
        configFrame_->RefreshExecute();
}

void TF_Main::Ac_RegisterServerExecute(QObject*)
{
    // Tells the user itself how it went (messages 129 and 130).
    opc::RegisterServer(opc::kServerProgID, IsRegistered);
}

void TF_Main::Ac_UnregisterServerExecute(QObject*) { opc::UnregisterServer(opc::kServerProgID, IsRegistered); }

void TF_Main::Ac_NewObjectExecute(QObject* sender)
{
    const auto* action = qobject_cast<const QAction*>(sender);
    if (!configFrame_ || !action)
        return;
    const int tag = action->data().toInt();
    if (tag == ntStation || tag == ntModem || tag == ntVariable || tag == ntFolder)
        configFrame_->NewObjectExecute(tag);
}

void TF_Main::Ac_ImportExecute(QObject*)
{
    if (configFrame_)
        configFrame_->ImportConfiguration();
}

void TF_Main::Ac_CutExecute(QObject*)
{
    if (configFrame_)
        configFrame_->TBtn_CutClick();
}

void TF_Main::Ac_CopyExecute(QObject*)
{
    if (configFrame_)
        configFrame_->TBtn_CopyClick();
}

void TF_Main::Ac_PasteExecute(QObject*)
{
    if (configFrame_)
        configFrame_->TBtn_PasteClick();
}

void TF_Main::Ac_DuplicateExecute(QObject*)
{
    if (configFrame_)
        configFrame_->TBtn_DuplicateClick();
}

void TF_Main::Ac_DeleteExecute(QObject*)
{
    if (configFrame_)
        configFrame_->DeleteExecute();
}

void TF_Main::Ac_ViewConfigExecute(QObject*)
{
    if (!frames_)
        return;
    BringConfigToFront();
    if (menu_) {
        // What the editor enabled last comes back first; ShowSelection then enables for the
        // focused node, when it shows one.
        menu_->ConfigViewShown();
        menu_->SetEditCommands(editCommands_);
    }
    configFrame_->ShowSelection();
}

void TF_Main::Ac_ViewRuntimeExecute(QObject*)
{
    if (!frames_)
        return;
    frames_->setCurrentWidget(runtimeFrame_);
    if (menu_)
        menu_->RuntimeViewShown();
}

void TF_Main::Ac_ViewSettingsExecute(QObject*)
{
    if (headless_)
        return;
    // After OK the dialog applies what changed at once, before it writes the file.
    TDlg_Settings dialog(this, [this] {
        if (configFrame_)
            configFrame_->RefreshTypeComboTexts();
        ApplyLanguage();
        UpdateMainCaption();
    });
    dialog.setWindowTitle(QString::fromStdString(vx::GetLangText(kTextSettings)));
    RunDialog(dialog);
}

void TF_Main::Ac_AboutExecute(QObject*)
{
    if (headless_)
        return;
    TDlg_About dialog(this);
    dialog.setWindowTitle(
        QString::fromStdString(vx::FormatText(vx::GetLangText(kTextAbout), {std::string(TDlg_About::kProductName)})));
    RunDialog(dialog);
}

void TF_Main::RunDialog(QDialog& dialog)
{
    if (seams_.RunDialog)
        seams_.RunDialog(dialog);
    else
        dialog.exec();
}

}  // namespace vos
