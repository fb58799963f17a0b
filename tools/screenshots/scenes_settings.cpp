// The settings dialog on each of its pages and inner pages, with the values a first start
// reads, and the About box.
#include <QTabWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/dlg_about.h"
#include "app/dlg_settings.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "scene.h"

namespace shots {

namespace {

// The settings of a start without a settings file, for as long as the dialog loads them;
// the other scenes find the variables as they were.
class FirstStartSettings {
public:
    FirstStartSettings()
    {
        using namespace vx;
        ServerAddress = 126;
        ConnectRate = 30000;
        CommDelay = 20;
        MaxPacketLen = 255;
        MaxBadCommCount = 3;
        MaxBadComToReset = 0;
        timBeforeDial = 20000;
        timSameCall = 60000;
        timTildeDelay = 25;
        ArrWatchMaxLen = 255;
        ArrWatchOffset = 0;
    }
    ~FirstStartSettings()
    {
        using namespace vx;
        ServerAddress = saved_.ServerAddress;
        ConnectRate = saved_.ConnectRate;
        CommDelay = saved_.CommDelay;
        MaxPacketLen = saved_.MaxPacketLen;
        MaxBadCommCount = saved_.MaxBadCommCount;
        MaxBadComToReset = saved_.MaxBadComToReset;
        timBeforeDial = saved_.timBeforeDial;
        timSameCall = saved_.timSameCall;
        timTildeDelay = saved_.timTildeDelay;
        ArrWatchMaxLen = saved_.ArrWatchMaxLen;
        ArrWatchOffset = saved_.ArrWatchOffset;
    }
    FirstStartSettings(const FirstStartSettings&) = delete;
    FirstStartSettings& operator=(const FirstStartSettings&) = delete;

private:
    struct Values {
        std::int32_t ServerAddress = vx::ServerAddress;
        std::int32_t ConnectRate = vx::ConnectRate;
        std::int32_t CommDelay = vx::CommDelay;
        std::int32_t MaxPacketLen = vx::MaxPacketLen;
        std::int32_t MaxBadCommCount = vx::MaxBadCommCount;
        std::int32_t MaxBadComToReset = vx::MaxBadComToReset;
        std::int32_t timBeforeDial = vx::timBeforeDial;
        std::int32_t timSameCall = vx::timSameCall;
        std::int32_t timTildeDelay = vx::timTildeDelay;
        std::int32_t ArrWatchMaxLen = vx::ArrWatchMaxLen;
        std::int32_t ArrWatchOffset = vx::ArrWatchOffset;
    } saved_;
};

enum class Page { Common, General, Modem, Config, Runtime };

Scene settings(std::string name, Page page)
{
    return {std::move(name), [page]() -> std::unique_ptr<QWidget> {
                std::unique_ptr<vos::TDlg_Settings> dlg;
                {
                    FirstStartSettings values;
                    dlg = std::make_unique<vos::TDlg_Settings>();
                }
                // As the settings command captions it.
                dlg->setWindowTitle(QString::fromStdString(vx::GetLangText(60)));
                switch (page) {
                case Page::Common: dlg->PgCtrl_Settings->setCurrentWidget(dlg->TS_Common); break;
                case Page::General:
                case Page::Modem:
                    dlg->PgCtrl_Settings->setCurrentWidget(dlg->TS_Communications);
                    dlg->PgCtrl_Communications->setCurrentWidget(page == Page::General ? dlg->TS_General
                                                                                       : dlg->TS_Modem);
                    break;
                case Page::Config: dlg->PgCtrl_Settings->setCurrentWidget(dlg->TS_Config); break;
                case Page::Runtime: dlg->PgCtrl_Settings->setCurrentWidget(dlg->TS_Runtime); break;
                }
                return dlg;
            }};
}

}  // namespace

std::vector<Scene> SettingsScenes()
{
    return {
        settings("Dlg_Settings-common", Page::Common),
        settings("Dlg_Settings-communication-general", Page::General),
        settings("Dlg_Settings-communication-modem", Page::Modem),
        settings("Dlg_Settings-config", Page::Config),
        settings("Dlg_Settings-runtime", Page::Runtime),
        {"Dlg_About",
         []() -> std::unique_ptr<QWidget> {
             auto box = std::make_unique<vos::TDlg_About>();
             box->setWindowTitle(QString::fromStdString(
                 vx::FormatText(vx::GetLangText(55), {std::string(vos::TDlg_About::kProductName)})));
             return box;
         }},
    };
}

}  // namespace shots
