// Renders the program's windows and dialogs in both languages to PNG files for review by eye:
//   screenshots --out DIR [NAME...]   every scene, or those whose name contains one of NAME
//   screenshots DIR [NAME...]         the same
//   screenshots --list             the scene names
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise. Files are
// NAME-cs.png and NAME-en.png; Czech is rendered first, as the program starts in Czech.
#include <QApplication>
#include <QDir>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "comm/vx_def.h"
#include "scene.h"

namespace {

std::vector<shots::Scene> allScenes()
{
    std::vector<shots::Scene> scenes = shots::MessageDialogScenes();
    for (auto& scene : shots::WidgetScenes())
        scenes.push_back(std::move(scene));
    for (auto& scene : shots::MainWindowScenes())
        scenes.push_back(std::move(scene));
    for (auto& scene : shots::EditorScenes())
        scenes.push_back(std::move(scene));
    for (auto& scene : shots::RuntimeScenes())
        scenes.push_back(std::move(scene));
    for (auto& scene : shots::SettingsScenes())
        scenes.push_back(std::move(scene));
    for (auto& scene : shots::MenuScenes())
        scenes.push_back(std::move(scene));
    return scenes;
}

struct LanguageRun {
    std::int32_t language;
    const char* suffix;
};
constexpr LanguageRun kLanguages[] = {{0, "cs"}, {1, "en"}};

// The offscreen platform draws no window frame: a plain one with the title stands in, so
// that the title can be reviewed with the rest.
QImage framed(QWidget& w)
{
    const QPixmap client = w.grab();
    if (!w.isWindow())
        return client.toImage();
    const int border = 1;
    QFont titleFont = w.font();
    titleFont.setBold(true);
    const int titleHeight = QFontMetrics(titleFont).height() + 10;
    QImage image(client.width() + border * 2, client.height() + titleHeight + border, QImage::Format_ARGB32);
    image.fill(QColor(0x50, 0x50, 0x50));
    QPainter p(&image);
    p.fillRect(QRect(border, border, client.width(), titleHeight - border), QColor(0xdd, 0xe4, 0xee));
    p.setFont(titleFont);
    p.setPen(Qt::black);
    p.drawText(QRect(border + 8, border, client.width() - 40, titleHeight - border), Qt::AlignVCenter | Qt::AlignLeft,
               w.windowTitle());
    p.drawText(QRect(border + client.width() - 28, border, 20, titleHeight - border), Qt::AlignCenter,
               QStringLiteral("\u00d7"));
    p.drawPixmap(border, titleHeight, client);
    return image;
}

bool wanted(const std::string& name, const std::vector<std::string>& filters)
{
    if (filters.empty())
        return true;
    for (const std::string& f : filters)
        if (name.find(f) != std::string::npos)
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt wants a private runtime directory; a bare shell often has none.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const std::string dir = "/tmp/vx-screenshots-runtime-" + std::to_string(::getuid());
        ::mkdir(dir.c_str(), 0700);
        ::chmod(dir.c_str(), 0700);
        qputenv("XDG_RUNTIME_DIR", dir.c_str());
    }
    QApplication app(argc, argv);

    const std::vector<shots::Scene> scenes = allScenes();
    if (argc >= 2 && std::string(argv[1]) == "--list") {
        for (const shots::Scene& s : scenes)
            std::printf("%s\n", s.name.c_str());
        return 0;
    }
    int first = 1;
    if (argc >= 3 && std::string(argv[1]) == "--out")
        first = 2;
    if (argc <= first || argv[first][0] == '-') {
        std::fprintf(stderr, "usage: screenshots --out DIR [NAME...] | --list\n");
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[first]);
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "screenshots: cannot create %s\n", argv[first]);
        return 1;
    }
    const std::vector<std::string> filters(argv + first + 1, argv + argc);

    int written = 0;
    int failed = 0;
    for (const LanguageRun& run : kLanguages) {
        vx::Language = run.language;
        for (const shots::Scene& scene : scenes) {
            if (!wanted(scene.name, filters))
                continue;
            std::unique_ptr<QWidget> widget = scene.build();
            widget->show();
            QCoreApplication::processEvents();
            const QString file = QDir(outDir).filePath(QString::fromStdString(scene.name) + "-" + run.suffix + ".png");
            if (framed(*widget).save(file, "PNG")) {
                ++written;
            } else {
                std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(file));
                ++failed;
            }
            widget->hide();
        }
    }
    std::printf("%d file(s) written to %s\n", written, qPrintable(outDir));
    return failed == 0 ? 0 : 1;
}
