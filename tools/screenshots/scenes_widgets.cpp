// The shared small widgets: the progress window with each of its captions, and a check group
// box, ticked and cleared, laid out as the variable page holds its scaling box.
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_lang.h"
#include "editor/widgets/check_group_box.h"
#include "editor/widgets/splash.h"
#include "scene.h"

namespace shots {

std::vector<Scene> WidgetScenes();

namespace {

Scene splash(std::string name, std::int32_t captionId)
{
    return {std::move(name), [captionId]() -> std::unique_ptr<QWidget> {
                auto window = std::make_unique<vos::TF_Splash>(captionId);
                window->SetMaximum(250);
                window->SetPosition(100);
                return window;
            }};
}

QString text(std::int32_t id) { return QString::fromStdString(vx::GetLangText(id)); }

Scene checkGroupBox(std::string name, bool ticked)
{
    return {std::move(name), [ticked]() -> std::unique_ptr<QWidget> {
                auto host = std::make_unique<QWidget>();
                host->setWindowTitle(QStringLiteral("TCheckGroupBox"));
                auto* outer = new QVBoxLayout(host.get());
                auto* box = new vos::TCheckGroupBox;
                box->setObjectName(QStringLiteral("GB_VarScaled"));
                box->SetCheckBoxCaption(text(254));
                auto* form = new QFormLayout(box);
                form->addRow(text(255), new QLineEdit(QStringLiteral("°C")));
                form->addRow(text(257), new QLineEdit(QStringLiteral("0 .. 32767")));
                outer->addWidget(box);
                box->Loaded();
                box->SetChecked(ticked);
                host->resize(300, 140);
                return host;
            }};
}

}  // namespace

std::vector<Scene> WidgetScenes()
{
    return {
        splash("F_Splash-import", vos::kSplashImportingText),
        splash("F_Splash-saving", vos::kSplashSavingText),
        splash("F_Splash-loading", vos::kSplashLoadingText),
        checkGroupBox("GB_VarScaled-ticked", true),
        checkGroupBox("GB_VarScaled-cleared", false),
    };
}

}  // namespace shots
