#include "vx_msgdlg.h"

namespace vx {

namespace {
TMessageDlgAnswer& answerHook()
{
    static TMessageDlgAnswer answer;
    return answer;
}
}  // namespace

int ShowMessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int)
{
    if (answerHook())
        return answerHook()(text, type, buttons);
    return mrCancel;
}

void SetMessageDlgAnswer(TMessageDlgAnswer answer) { answerHook() = std::move(answer); }

}  // namespace vx
