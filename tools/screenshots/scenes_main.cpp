// The main window over the demo configuration, with each of its frames in front.
#include <QObject>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "app/server_start.h"
#include "comm/vx_def.h"
#include "scene.h"

namespace shots {

namespace {

Scene mainWindow(std::string name, bool runtimeInFront)
{
    return {std::move(name), [runtimeInFront]() -> std::unique_ptr<QWidget> {
                // The server's objects live as long as the window; no tray for a picture.
                auto* server = new vos::TServerStart;
                vos::TMainWindowSeams seams;
                seams.CreateTray = [](QObject*) { return std::unique_ptr<vos::TTrayIcon>(); };
                auto window = std::make_unique<vos::TF_Main>(*server, false, std::move(seams));
                QObject::connect(window.get(), &QObject::destroyed, [server] { delete server; });
                vx::CfgFileName = "/opt/vorn/Demo.cfg";
                window->UpdateMainCaption();
                window->ApplyLanguage();
                if (runtimeInFront)
                    window->ViewRuntime();
                return window;
            }};
}

}  // namespace

std::vector<Scene> MainWindowScenes()
{
    return {
        mainWindow("F_Main-Frm_Config", false),
        mainWindow("F_Main-Frm_Runtime", true),
    };
}

}  // namespace shots
