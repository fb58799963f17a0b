// The message dialog with every type and every button set in use, with catalogue texts as the
// program's callers build them, plus a custom box with all buttons and a long message.
#include <string>

#include "comm/vx_lang.h"
#include "comm/vx_msgdlg_form.h"
#include "scene.h"

namespace shots {

namespace {

using vx::GetLangText;

Scene dialog(std::string name, std::function<std::string()> text, vx::TMsgDlgType type, vx::TMsgDlgButtons buttons)
{
    return {std::move(name), [text = std::move(text), type, buttons]() -> std::unique_ptr<QWidget> {
                return vx::CreateMessageDialog(text(), type, buttons);
            }};
}

constexpr vx::TMsgDlgButtons kAllButtons = (1u << vx::kMsgDlgButtonKinds) - 1;

}  // namespace

std::vector<Scene> MessageDialogScenes()
{
    return {
        dialog("msgdlg-error-ok", [] { return GetLangText(103) + "3" + GetLangText(104); }, vx::mtError,
               vx::mbOKOnly),
        dialog("msgdlg-information-ok", [] { return GetLangText(130); }, vx::mtInformation, vx::mbOKOnly),
        dialog("msgdlg-warning-ok", [] { return GetLangText(115) + " 'Device1.Tank.Level'" + GetLangText(121); },
               vx::mtWarning, vx::mbOKOnly),
        dialog("msgdlg-confirmation-yesno", [] { return GetLangText(134); }, vx::mtConfirmation, vx::mbYesNo),
        dialog("msgdlg-confirmation-yesnocancel", [] { return GetLangText(106); }, vx::mtConfirmation,
               vx::mbYesNoCancel),
        dialog("msgdlg-warning-long",
               [] {
                   return GetLangText(0) + " 'Device1'" + GetLangText(117) + " " + GetLangText(0) + " 'Device2'" +
                          GetLangText(137) + " " + GetLangText(115) + " 'Device2.Pump.Speed'" + GetLangText(121);
               },
               vx::mtWarning, vx::mbOKOnly),
        dialog("msgdlg-custom-all", [] { return GetLangText(107); }, vx::mtCustom, kAllButtons),
    };
}

}  // namespace shots
