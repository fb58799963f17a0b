#pragma once
// One picture of a window or dialog for review by eye: a name and a builder that makes the
// widget in the current Language. Each part of the user interface adds its own list.
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace shots {

struct Scene {
    std::string name;
    std::function<std::unique_ptr<QWidget>()> build;
};

std::vector<Scene> MessageDialogScenes();
std::vector<Scene> WidgetScenes();
std::vector<Scene> MainWindowScenes();
std::vector<Scene> EditorScenes();
std::vector<Scene> RuntimeScenes();
std::vector<Scene> SettingsScenes();
std::vector<Scene> MenuScenes();

}  // namespace shots
