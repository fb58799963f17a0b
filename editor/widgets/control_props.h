#pragma once
// The marks of edited input controls: the editor registers its detail controls once, marks
// a control yellow when the user changes it and gives every marked control its colour back
// after a save or when it shows another node.
#include <QColor>
#include <QObject>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class QWidget;

namespace vos {

// The mark of an edited control: red and green full, blue 0.
inline constexpr QRgb kMarkColor = qRgb(255, 255, 0);

// A control's "colour" is the background it shows its value on: the Base role for edit-like
// controls (edits, memos, spin edits, combo boxes, list and tree views), the Window role,
// filled, for the rest (check boxes, check group boxes). No control: std::invalid_argument.
bool IsEditLike(const QWidget* control);
QColor ControlColor(const QWidget* control);
void SetControlColor(QWidget* control, const QColor& color);

// True while the program itself fills input controls or restores their colours: changes
// reported meanwhile are the program's, not the user's, and mark nothing.
extern bool FillingControls;

// Holds FillingControls at 1 and gives back the value it found, so a nested fill cannot end
// the outer one early.
class TFillingControlsGuard {
public:
    TFillingControlsGuard() : previous_(FillingControls) { FillingControls = true; }
    ~TFillingControlsGuard() { FillingControls = previous_; }
    TFillingControlsGuard(const TFillingControlsGuard&) = delete;
    TFillingControlsGuard& operator=(const TFillingControlsGuard&) = delete;

private:
    bool previous_;
};

struct TControlProps {
    QWidget* Control = nullptr;  // not owned
    bool Changed = false;        // edited since its colour was last restored
    QColor SavedColor;           // the colour to restore
};

// Owns one entry per registered control, found from the control through a map, so that the
// control carries nothing of ours. An entry goes when its control is destroyed.
class TControlPropsList : public QObject {
public:
    TControlPropsList() = default;
    ~TControlPropsList() override;
    TControlPropsList(const TControlPropsList&) = delete;
    TControlPropsList& operator=(const TControlPropsList&) = delete;

    // Registers control with its current colour; the new entry's index. A control already
    // registered keeps its entry and gives its index. Throws std::invalid_argument for none.
    int AddControl(QWidget* control);
    // Every changed control, first to last, gets its SavedColor back and is unchanged again.
    void RestoreColors();

    int Count() const { return static_cast<int>(items_.size()); }
    const TControlProps& Items(int index) const { return *items_.at(static_cast<std::size_t>(index)); }
    // The entry of control, nullptr when it is not registered.
    TControlProps* Find(const QWidget* control) const;

    // The marking step of the editor's change handler: a registered, unchanged control
    // reported while FillingControls is 0 saves its current colour and turns yellow. True
    // when it was marked now.
    bool MarkChanged(QWidget* control);

private:
    void Forget(const QObject* control);

    std::vector<std::unique_ptr<TControlProps>> items_;
    std::unordered_map<const QObject*, TControlProps*> byControl_;
};

// The one list, made by the main window's creation and freed by its destruction.
extern std::unique_ptr<TControlPropsList> ControlPropsList;

// Changed of the control's entry in ControlPropsList; false for an unregistered control or
// without a list.
bool IsControlChanged(const QWidget* control);
// The marking step on ControlPropsList (false without a list).
bool MarkControlChanged(QWidget* control);
// Sets the control's own enabled state. Throws std::invalid_argument for no control.
void SetControlEnabled(QWidget* control, bool enabled);
// Shows a validation error at control: every stacked or tab page that holds it comes to the
// front, the control takes the focus when it can, then text is shown in the message dialog
// as an error with OK; the dialog's result. Without a control only the message is shown.
int ShowControlError(QWidget* control, const std::string& text);

}  // namespace vos
