// bench_editor: what the configuration editor's views cost with a large configuration.
//
// Generates stations x folders x variables (by default 10 x 10 x 1,000 = 100,000 variables)
// straight into the editor's tree, then times, offscreen, with the views laid out and painted
// (each step ends by grabbing the widget): building the frame over the tree and showing
// VST_Tree; expanding one folder of 1,000; sorting the whole tree by each of columns 0 to 4;
// filling VST_List with the flat list on, for the server and for the stations; duplicating a
// station (by default one of 10,000 variables); expanding everything, then selecting all and
// showing the selection. Prints a table; there is no pass or fail.
#include <QApplication>
#include <QPixmap>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "editor/config_editor.h"
#include "editor/config_file.h"
#include "editor/config_list_model.h"
#include "editor/config_model.h"
#include "editor/config_register.h"
#include "editor/config_settings.h"
#include "editor/config_validate.h"
#include "editor/frm_config.h"
#include "editor/widgets/control_props.h"
#include "platform/text.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int Arg(int argc, char** argv, const char* name, int fallback)
{
    const std::string key = std::string("--") + name;
    for (int i = 1; i + 1 < argc; ++i)
        if (key == argv[i])
            return std::max(1, std::atoi(argv[i + 1]));
    return fallback;
}

// Names in no particular order, so that sorting by name has work to do.
std::uint32_t Scramble(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x45d9f3bu;
    x ^= x >> 16;
    return x;
}

void Generate(vos::TConfigTree& tree, int stations, int folders, int variables)
{
    vos::TConfigTreeReset reset(tree);
    auto* server = tree.AddChild(tree.Root(), vos::TConfigNodeRec::WithDefaults(vos::nkServer));
    std::uint32_t serial = 0;
    for (int s = 0; s < stations; ++s) {
        auto rec = vos::TConfigNodeRec::WithDefaults(vos::nkStation);
        rec.Name = "Station" + std::to_string(Scramble(static_cast<std::uint32_t>(s)) % 1000);
        rec.BusAddress = static_cast<std::int32_t>(Scramble(static_cast<std::uint32_t>(s) + 7) % 32);
        rec.StationType = s % 3;
        auto* station = tree.AddChild(server, rec);
        for (int f = 0; f < folders; ++f) {
            auto frec = vos::TConfigNodeRec::WithDefaults(vos::nkFolder);
            frec.Name = "Folder" + std::to_string(Scramble(static_cast<std::uint32_t>(f + 100 * s)) % 1000);
            auto* folder = tree.AddChild(station, frec);
            for (int v = 0; v < variables; ++v, ++serial) {
                const std::uint32_t r = Scramble(serial);
                auto vrec = vos::TConfigNodeRec::WithDefaults(vos::nkVariable);
                vrec.Name = "Var" + std::to_string(r % 1000000) + "_" + std::to_string(v);
                vrec.VarType = vos::kVarTypeList[r % 10];
                vrec.Zone = static_cast<std::int32_t>(r % 5);
                vrec.Address = static_cast<std::int32_t>((r >> 4) % 65536);
                vrec.BitNumber = vrec.VarType == 11 ? static_cast<std::int32_t>((r >> 8) % 8) : 0;
                vrec.Readable = (r >> 12) % 4 != 0;
                vrec.Writable = (r >> 14) % 3 != 0;
                vrec.Simulated = (r >> 16) % 4 == 0;
                vrec.SimulationType = static_cast<std::int32_t>((r >> 18) % 3);
                vrec.Valid = 1;
                tree.AddChild(folder, vrec);
            }
        }
    }
}

struct Row {
    std::string step;
    double ms;
};

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int stations = Arg(argc, argv, "stations", 10);
    const int folders = Arg(argc, argv, "folders", 10);
    const int variables = Arg(argc, argv, "variables", 1000);
    plat::setCollationLocale("en_US");
    vx::Language = 1;

    vos::TConfigEditor editor;
    vos::TConfigFileCommands fileCommands(editor);
    vos::TConfigValidation validation(editor);
    vos::TConfigRegistrar registrar(editor);
    editor.SetValidator(&validation);
    vos::ControlPropsList = std::make_unique<vos::TControlPropsList>();

    std::vector<Row> rows;
    auto start = Clock::now();
    Generate(editor.Tree(), stations, folders, variables);
    rows.push_back({"generate the tree (no views)", MsSince(start)});
    const std::size_t nodes = editor.Tree().NodeCount();

    // Each step ends with the views painted, as a user would see them.
    const auto paint = [&app](QWidget* widget) {
        app.processEvents();
        (void)widget->grab();
    };

    start = Clock::now();
    auto frame = std::make_unique<vos::TFrm_Config>(editor, fileCommands, validation, registrar, nullptr);
    frame->InitEditor();
    frame->resize(1200, 800);
    frame->show();
    paint(frame.get());
    rows.push_back({"build the models and show VST_Tree", MsSince(start)});

    auto* tree = frame->VST_Tree();
    auto* model = frame->TreeModel();
    vos::TConfigNode* server = editor.Tree().First();
    vos::TConfigNode* station = server->FirstChild();
    vos::TConfigNode* folder = station->FirstChild();
    tree->expand(model->IndexOf(station));
    paint(tree);
    start = Clock::now();
    tree->expand(model->IndexOf(folder));
    paint(tree);
    rows.push_back({"expand a folder of " + std::to_string(folder->ChildCount()), MsSince(start)});

    for (int column = 0; column <= 4; ++column) {
        start = Clock::now();
        frame->VST_TreeHeaderClick(column);
        paint(tree);
        rows.push_back({"sort the whole tree by column " + std::to_string(column), MsSince(start)});
    }

    vx::FlatListView = true;
    start = Clock::now();
    frame->UpdateStatusBar(server);
    paint(frame->VST_List());
    rows.push_back({"fill VST_List for the server, flat (" + std::to_string(frame->ListModel()->rowCount()) + " rows)",
                    MsSince(start)});

    // Stations are not folders, so the server's flat list holds its stations only; the flat
    // lists of the stations hold every variable.
    start = Clock::now();
    frame->UpdateStatusBar(station);
    paint(frame->VST_List());
    rows.push_back({"fill VST_List for a station, flat (" + std::to_string(frame->ListModel()->rowCount()) + " rows)",
                    MsSince(start)});
    start = Clock::now();
    int listed = 0;
    for (auto* s = server->FirstChild(); s; s = s->NextSibling()) {
        frame->UpdateStatusBar(s);
        paint(frame->VST_List());
        listed += frame->ListModel()->rowCount();
    }
    rows.push_back({"fill VST_List for every station in turn (" + std::to_string(listed) + " rows)", MsSince(start)});

    // The duplicate command on the first station, as the user runs it: copy, repair, select, show.
    std::size_t stationVariables = 0;
    for (auto* n = station->FirstChild(); n; n = vos::TConfigTree::Next(n)) {
        if (!station->Contains(n))
            break;
        stationVariables += n->Rec().Kind == vos::nkVariable ? 1 : 0;
    }
    frame->SelectTreeNode(station);
    const std::size_t before = editor.Tree().NodeCount();
    start = Clock::now();
    frame->TBtn_DuplicateClick();
    paint(frame.get());
    rows.push_back({"duplicate a station of " + std::to_string(stationVariables) + " variables (" +
                        std::to_string(editor.Tree().NodeCount() - before) + " nodes made)",
                    MsSince(start)});
    // With names unique per station every copy is checked against the whole new station.
    vos::VarUniqueness = 1;
    frame->SelectTreeNode(station);
    start = Clock::now();
    frame->TBtn_DuplicateClick();
    paint(frame.get());
    rows.push_back({"the same with names unique per station", MsSince(start)});
    vos::VarUniqueness = 0;

    start = Clock::now();
    tree->expandAll();
    paint(tree);
    rows.push_back({"expand every node", MsSince(start)});

    start = Clock::now();
    tree->selectAll();  // the selection's change shows it
    paint(frame.get());
    rows.push_back({"select all and show the selection (" + std::to_string(frame->SelectedTreeNodes().size()) +
                        " nodes)",
                    MsSince(start)});

    start = Clock::now();
    frame->ShowSelection();
    paint(frame.get());
    rows.push_back({"show that selection again", MsSince(start)});

    std::printf("bench_editor: %d stations x %d folders x %d variables, %zu nodes\n", stations, folders, variables,
                nodes);
    std::printf("%-60s %12s\n", "step", "ms");
    for (const auto& row : rows)
        std::printf("%-60s %12.1f\n", row.step.c_str(), row.ms);

    frame.reset();
    vos::ControlPropsList.reset();
    editor.SetValidator(nullptr);
    return 0;
}
