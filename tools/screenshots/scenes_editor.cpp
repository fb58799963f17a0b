// The configuration editor frame on a small sample configuration: every detail page and
// sub-page, the empty page of a mixed selection, and the list.
#include <QObject>
#include <QTabWidget>
#include <QTreeView>
#include <memory>
#include <string>

#include "app/server_start.h"
#include "editor/config_editor.h"
#include "editor/config_model.h"
#include "editor/frm_config.h"
#include "editor/frm_config_pages.h"
#include "scene.h"

namespace shots {

namespace {

struct Sample {
    vos::TConfigNode* server = nullptr;
    vos::TConfigNode* station = nullptr;
    vos::TConfigNode* folder = nullptr;
    vos::TConfigNode* variable = nullptr;
    vos::TConfigNode* modem = nullptr;
};

Sample BuildSample(vos::TConfigEditor& editor)
{
    Sample s;
    s.server = editor.Tree().First();
    s.station = editor.CreateNode(vos::nkStation, s.server);
    editor.CreateStationServiceItems(s.station);
    s.station->Rec().Comment = "Boiler house, line 1";
    s.station->Rec().StandbyConnectionType = 4;
    s.folder = editor.CreateNode(vos::nkFolder, s.station);
    s.variable = editor.CreateNode(vos::nkVariable, s.folder);
    auto& v = s.variable->Rec();
    v.Name = "Temperature";
    v.VarType = 18;
    v.Address = 120;
    v.Units = "degC";
    v.Scaled = 1;
    v.ScaledVarType = 4;
    v.InstrumentHigh = 1000;
    v.ScaledHigh = 150;
    v.Simulated = 1;
    v.SimulationType = 2;
    v.SimulationMax = 1000;
    v.SimulationGain = 10;
    v.SimulationPeriod = 1000;
    v.HiLimit = 900;
    v.CloseLabel = "On";
    v.OpenLabel = "Off";
    for (int i = 0; i < 4; ++i) {
        auto* more = editor.CreateNode(vos::nkVariable, s.folder);
        more->Rec().VarType = i % 2 ? 11 : 0x2012;
        more->Rec().ArrayLength = i % 2 ? 0 : 8;
        more->Rec().Address = 200 + i;
    }
    s.modem = editor.CreateNode(vos::nkModem, s.server);
    editor.CreateModemServiceItems(s.modem);
    return s;
}

// A frame over its own server objects; what to select decides the page, then the sub-page.
Scene EditorScene(std::string name, std::function<void(vos::TFrm_Config&, const Sample&)> show)
{
    return {std::move(name), [show]() -> std::unique_ptr<QWidget> {
                auto* server = new vos::TServerStart;
                auto frame = std::make_unique<vos::TFrm_Config>(server->Editor(), server->FileCommands(),
                                                                server->Validation(), server->Registrar(), nullptr);
                QObject::connect(frame.get(), &QObject::destroyed, [server] { delete server; });
                frame->InitEditor();
                const Sample sample = BuildSample(server->Editor());
                frame->ApplyCaptions();
                // The widths a fresh settings file gives the two views.
                const int widths[] = {150, 70, 80, 100, 100, 150};
                for (int c = 0; c < 6; ++c) {
                    frame->SetColumnWidth(false, c, widths[c]);
                    frame->SetColumnWidth(true, c, widths[c]);
                }
                frame->resize(900, 560);
                show(*frame, sample);
                return frame;
            }};
}

void SelectAndShow(vos::TFrm_Config& frame, vos::TConfigNode* node)
{
    frame.SelectTreeNode(node);
    frame.ShowSelection();
}

void SubPage(vos::TFrm_Config& frame, const char* tabs, int index)
{
    if (auto* tab = frame.findChild<QTabWidget*>(QString::fromLatin1(tabs)))
        tab->setCurrentIndex(index);
}

}  // namespace

std::vector<Scene> EditorScenes()
{
    std::vector<Scene> scenes;
    scenes.push_back(EditorScene("Frm_Config-TS_Server", [](vos::TFrm_Config& f, const Sample& s) {
        SelectAndShow(f, s.server);
    }));
    scenes.push_back(EditorScene("Frm_Config-TS_Station-TS_StMainConnection", [](vos::TFrm_Config& f, const Sample& s) {
        SelectAndShow(f, s.station);
        SubPage(f, "PageControl_Station", 0);
    }));
    scenes.push_back(
        EditorScene("Frm_Config-TS_Station-TS_StStandByConnection", [](vos::TFrm_Config& f, const Sample& s) {
            SelectAndShow(f, s.station);
            SubPage(f, "PageControl_Station", 1);
        }));
    scenes.push_back(EditorScene("Frm_Config-TS_Folder", [](vos::TFrm_Config& f, const Sample& s) {
        SelectAndShow(f, s.folder);
    }));
    const char* const kVarPages[] = {"TS_VarSimulation", "TS_VarContactLabel", "TS_VarScaled", "TS_VarLimits"};
    for (int i = 0; i < 4; ++i)
        scenes.push_back(EditorScene(std::string("Frm_Config-TS_Variable-") + kVarPages[i],
                                     [i](vos::TFrm_Config& f, const Sample& s) {
                                         SelectAndShow(f, s.variable);
                                         SubPage(f, "PageControl_Variable", i);
                                     }));
    scenes.push_back(EditorScene("Frm_Config-TS_Modem", [](vos::TFrm_Config& f, const Sample& s) {
        SelectAndShow(f, s.modem);
    }));
    scenes.push_back(EditorScene("Frm_Config-TS_Empty", [](vos::TFrm_Config& f, const Sample& s) {
        SelectAndShow(f, s.station);
        f.VST_Tree()->selectionModel()->select(f.TreeModel()->IndexOf(s.variable),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
        f.ShowSelection();
    }));
    scenes.push_back(EditorScene("Frm_Config-VST_List-flat", [](vos::TFrm_Config& f, const Sample& s) {
        SelectAndShow(f, s.station);
        f.PMnList_ShowFlatClick();
    }));
    return scenes;
}

}  // namespace shots
