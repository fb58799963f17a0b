#pragma once
// A group box whose caption is a check box: clearing it disables everything inside.
#include <QFont>
#include <QString>
#include <QWidget>

class QCheckBox;

namespace vos {

// Children are laid out in ClientRect() (the contents rectangle). The check box is the child
// named "CheckBox"; the box hands it its focus.
class TCheckGroupBox : public QWidget {
    Q_OBJECT

public:
    explicit TCheckGroupBox(QWidget* parent = nullptr);

    QString CheckBoxCaption() const;
    void SetCheckBoxCaption(const QString& caption);
    QFont CheckBoxFont() const;
    void SetCheckBoxFont(const QFont& font);
    bool Checked() const;
    // A new value sets the check box and runs its click steps, which fire OnCheck.
    void SetChecked(bool checked);
    bool DrawFrame() const { return drawFrame_; }
    void SetDrawFrame(bool draw);
    // True: OnCheck reports the group box as its sender, false: the check box.
    bool GlobalSender() const { return globalSender_; }
    void SetGlobalSender(bool global) { globalSender_ = global; }
    // The 3-D look: a two-colour frame and one more pixel of border.
    bool Ctl3D() const { return ctl3D_; }
    void SetCtl3D(bool on);

    // Once the children are in place: fits the check box to its caption and enables the
    // children when it is ticked, disables them when not (the check box itself is skipped).
    void Loaded();

    // The area left for the children: below the check box, inside the border.
    QRect ClientRect() const { return contentsRect(); }

    // Sets the own enabled state of every child of container but skip (may be none), in order;
    // an edit-like child gets the window colour when enabled and the button face when not,
    // unless it is light yellow; containers are followed down, except a nested check group
    // box, whose children stay as they are.
    static void SetChildrenEnabled(QWidget* container, QWidget* skip, bool enabled);

    // The light yellow that SetChildrenEnabled leaves on an edit-like child.
    static constexpr QRgb kLightYellow = qRgb(255, 255, 128);

signals:
    void OnCheck(QObject* sender);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CheckBoxClick();
    void FitCheckBox();
    void UpdateClientArea();
    void OwnEnabledChanged(bool enabled);

    QCheckBox* CheckBox;
    bool drawFrame_ = true;
    bool globalSender_ = true;
    bool ctl3D_ = true;
    bool ownEnabled_ = true;  // the box's own state, as last acted on
};

}  // namespace vos
