// The main window's five drop-down menus, each open below its tool-bar button over the window.
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QObject>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>
#include <memory>
#include <string>

#include "app/main_menu.h"
#include "app/main_window.h"
#include "app/server_start.h"
#include "comm/vx_def.h"
#include "scene.h"

namespace shots {

namespace {

Scene menuScene(const char* button)
{
    return {std::string("F_Main-") + button, [button]() -> std::unique_ptr<QWidget> {
                // The window only lends its picture: it goes before the picture is shown.
                vos::TServerStart server;
                vos::TMainWindowSeams seams;
                seams.CreateTray = [](QObject*) { return std::unique_ptr<vos::TTrayIcon>(); };
                auto window = std::make_unique<vos::TF_Main>(server, false, std::move(seams));
                vx::CfgFileName = "/opt/vorn/Demo.cfg";
                window->UpdateMainCaption();
                window->ApplyLanguage();
                window->show();
                QCoreApplication::processEvents();

                QToolButton* tool = window->MainMenu()->Button(button);
                QMenu* menu = tool->menu();
                tool->setDown(true);
                const QPoint at = tool->mapTo(window.get(), QPoint(0, tool->height()));
                menu->popup(window->mapToGlobal(at));
                QCoreApplication::processEvents();
                const QPixmap open = menu->grab();
                menu->hide();

                QPixmap picture = window->grab();
                {
                    QPainter p(&picture);
                    p.drawPixmap(at, open);
                    p.setPen(QColor(0x80, 0x80, 0x80));
                    p.drawRect(QRect(at, open.size()).adjusted(0, 0, -1, -1));
                }
                tool->setDown(false);
                window->hide();

                auto label = std::make_unique<QLabel>();
                label->setWindowTitle(window->windowTitle());
                label->setPixmap(picture);
                label->resize(picture.size());
                return label;
            }};
}

}  // namespace

std::vector<Scene> MenuScenes()
{
    return {menuScene("TBtn_File"), menuScene("TBtn_Register"), menuScene("TBtn_Edit"), menuScene("TBtn_View"),
            menuScene("TBtn_Help")};
}

}  // namespace shots
