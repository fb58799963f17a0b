#pragma once
// The message dialog's form, laid out at run time from the text and the button set; open to
// tests and to the screenshot program, which build it without showing it modally.
#include <QDialog>
#include <memory>
#include <string>

#include "comm/vx_msgdlg.h"

class QPushButton;

namespace vx {

class TMessageForm : public QDialog {
    Q_OBJECT

public:
    // Takes the system's message font; the default font stays when there is none.
    explicit TMessageForm(QWidget* parent = nullptr);

    // The caller's help context, handed to the help hook by the Help button.
    int HelpContext = 0;

    // The button of a kind, nullptr when the kind is not in the set.
    QPushButton* Button(TMsgDlgBtn kind) const { return buttons_[kind]; }
    // The buttons that Enter and Esc press; nullptr when the set has none.
    QPushButton* DefaultButton() const { return defaultButton_; }
    QPushButton* CancelButton() const { return cancelButton_; }

public slots:
    // The close box: the Cancel result, whatever the set.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend std::unique_ptr<TMessageForm> CreateMessageDialog(const std::string&, TMsgDlgType, TMsgDlgButtons);

    QPushButton* buttons_[kMsgDlgButtonKinds] = {};
    QPushButton* defaultButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
};

// Builds and lays out the dialog without showing it; the caller owns it.
std::unique_ptr<TMessageForm> CreateMessageDialog(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons);

}  // namespace vx
