#pragma once
// The program's message dialog: a modal box whose title and button captions come from the
// message catalogue, so it speaks the language of the Language setting.
#include <cstdint>
#include <functional>
#include <string>

namespace vx {

enum TMsgDlgType : std::uint8_t {
    mtWarning = 0,
    mtError = 1,
    mtInformation = 2,
    mtConfirmation = 3,
    mtCustom = 4,
};

// Button kinds in their fixed order, which is also their order on screen.
enum TMsgDlgBtn : int {
    mbYes = 0,
    mbNo = 1,
    mbOK = 2,
    mbCancel = 3,
    mbAbort = 4,
    mbRetry = 5,
    mbIgnore = 6,
    mbAll = 7,
    mbNoToAll = 8,
    mbYesToAll = 9,
    mbHelp = 10,
};
inline constexpr int kMsgDlgButtonKinds = 11;

// A set of button kinds: bit n for kind n.
using TMsgDlgButtons = std::uint16_t;
constexpr TMsgDlgButtons msgDlgButton(TMsgDlgBtn kind) { return static_cast<TMsgDlgButtons>(1u << kind); }
// The sets in use.
inline constexpr TMsgDlgButtons mbOKOnly = msgDlgButton(mbOK);                          // 4
inline constexpr TMsgDlgButtons mbYesNo = msgDlgButton(mbYes) | msgDlgButton(mbNo);     // 3
inline constexpr TMsgDlgButtons mbYesNoCancel = mbYesNo | msgDlgButton(mbCancel);        // 11

// The results of the buttons; closing the box gives mrCancel.
enum TModalResult : int {
    mrNone = 0,
    mrOk = 1,
    mrCancel = 2,
    mrAbort = 3,
    mrRetry = 4,
    mrIgnore = 5,
    mrYes = 6,
    mrNo = 7,
    mrAll = 8,
    mrNoToAll = 9,
    mrYesToAll = 10,
};

// The program's title, which the custom dialog type shows.
inline constexpr char kApplicationTitle[] = "Vorn OPC server";

// Shows the dialog modally and returns the result of the button pressed. Without a display
// (the offscreen or minimal platform, or no QApplication) nothing is shown: the text goes to
// the log (category "vx.msgdlg") and the result is that of the set's cancel button, the
// answer that does nothing harmful (mrCancel when the set has none).
int ShowMessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext = 0);

// Answers ShowMessageDlg in place of the dialog (tests, and callers that must not block);
// empty restores the dialog.
using TMessageDlgAnswer = std::function<int(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons)>;
void SetMessageDlgAnswer(TMessageDlgAnswer answer);

// The application's help, called by the Help button with the dialog's help context; the
// dialog stays open. Empty (the default) only logs the request: the program has no help file.
using TMessageDlgHelp = std::function<void(int helpContext)>;
void SetMessageDlgHelp(TMessageDlgHelp help);

}  // namespace vx
