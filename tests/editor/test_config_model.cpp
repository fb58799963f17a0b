#include "editor/config_model.h"

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_editor.h"
#include "editor/config_settings.h"
#include "model_test_capture.h"
#include "platform/text.h"

namespace {

using editor_test::ModelTestCapture;

using vos::TConfigModel;
using vos::TConfigNode;

class ConfigModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::ResetSettings();
        vos::ResetConfigSettings();
        vx::Language = 1;
        plat::setCollationLocale("en_US");
        model = std::make_unique<TConfigModel>(editor.Tree());
        tester = std::make_unique<QAbstractItemModelTester>(model.get(),
                                                            QAbstractItemModelTester::FailureReportingMode::Warning);
    }
    void TearDown() override
    {
        tester.reset();
        model.reset();
        EXPECT_TRUE(capture.reports.empty()) << capture.Text();
        plat::setCollationLocale("");
        vx::ResetSettings();
        vos::ResetConfigSettings();
    }

    std::string NameAt(const QModelIndex& index) const { return model->data(index).toString().toStdString(); }
    static TConfigNode* NodeAt(const QModelIndex& index)
    {
        return index.data(TConfigModel::NodeRole).value<TConfigNode*>();
    }

    ModelTestCapture capture;
    vos::TConfigEditor editor;
    std::unique_ptr<TConfigModel> model;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

// A model whose top-level rows name a parent: the tester must say so.
class BrokenModel : public QAbstractItemModel {
public:
    QModelIndex index(int row, int column, const QModelIndex& parent) const override
    {
        return parent.isValid() || row < 0 || row > 1 || column != 0 ? QModelIndex() : createIndex(row, column);
    }
    QModelIndex parent(const QModelIndex& child) const override
    {
        return child.isValid() ? createIndex(0, 0) : QModelIndex();
    }
    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 2; }
    int columnCount(const QModelIndex&) const override { return 1; }
    QVariant data(const QModelIndex&, int) const override { return {}; }
};

TEST(ConfigModelHarness, TesterReportsABrokenModel)
{
    ModelTestCapture capture;
    BrokenModel broken;
    QAbstractItemModelTester tester(&broken, QAbstractItemModelTester::FailureReportingMode::Warning);
    EXPECT_FALSE(capture.reports.empty());
}

TEST_F(ConfigModelTest, ShowsNamesAndNodesInColumnZero)
{
    auto* server = editor.CreateNode(vos::nkServer, nullptr);
    auto* station = editor.NewObjectExecute(vos::ntStation, server);
    ASSERT_NE(station, nullptr);

    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->columnCount(), 6);
    const auto top = model->index(0, 0);
    EXPECT_EQ(NameAt(top), "Server");
    EXPECT_EQ(NodeAt(top), server);
    EXPECT_FALSE(model->parent(top).isValid());
    EXPECT_EQ(NodeAt(model->index(0, 5)), server);
    EXPECT_FALSE(model->index(0, 6).isValid());
    EXPECT_FALSE(model->index(1, 0).isValid());

    const auto st = model->IndexOf(station);
    EXPECT_EQ(model->parent(st), top);
    EXPECT_EQ(NameAt(st), "Device1");
    EXPECT_EQ(model->NodeOf(st), station);
    EXPECT_EQ(model->rowCount(st), 1);                          // the "Service" folder
    EXPECT_EQ(model->rowCount(model->index(0, 0, st)), 16);     // its items
    EXPECT_FALSE(model->IndexOf(editor.Tree().Root()).isValid());
    EXPECT_EQ(model->NodeOf(QModelIndex()), nullptr);

    QSignalSpy changed(model.get(), &QAbstractItemModel::dataChanged);
    station->Rec().Name = "PLC1";
    editor.Tree().NotifyChanged(station);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].value<QModelIndex>(), st);
    EXPECT_EQ(NameAt(st), "PLC1");
}

TEST_F(ConfigModelTest, FollowsCreateDeleteMoveSortAndClear)
{
    auto& tree = editor.Tree();
    QSignalSpy moved(model.get(), &QAbstractItemModel::rowsMoved);
    QSignalSpy resets(model.get(), &QAbstractItemModel::modelReset);

    auto* server = editor.CreateNode(vos::nkServer, nullptr);
    auto* st1 = editor.NewObjectExecute(vos::ntStation, server);
    auto* st2 = editor.NewObjectExecute(vos::ntStation, server);
    auto* modem = editor.NewObjectExecute(vos::ntModem, server);
    auto* folder = editor.NewObjectExecute(vos::ntFolder, st1);
    std::vector<TConfigNode*> vars;
    for (int i = 0; i < 4; ++i)
        vars.push_back(editor.NewObjectExecute(vos::ntVariable, i % 2 ? folder : st2));
    ASSERT_NE(modem, nullptr);
    EXPECT_EQ(model->rowCount(model->IndexOf(server)), 3);

    // Move within a level both ways, and across levels. Qt moves the persistent indexes by
    // its own count, so they show whether both agree on where the node went.
    const auto move = [&](TConfigNode* node, TConfigNode* to, int position) {
        const QPersistentModelIndex held(model->IndexOf(node));
        ASSERT_TRUE(tree.MoveNode(node, to, position));
        EXPECT_EQ(held.row(), node->Index()) << NameAt(held);
        EXPECT_EQ(held.parent(), model->IndexOf(to)) << NameAt(held);
        EXPECT_EQ(NodeAt(held), node);
    };
    move(vars[0], st2, 0);
    move(vars[0], st2, -1);
    move(vars[1], st2, 1);
    move(folder, st2, -1);
    EXPECT_EQ(moved.count(), 4);
    EXPECT_EQ(model->parent(model->IndexOf(vars[3])), model->IndexOf(folder));
    EXPECT_EQ(model->parent(model->IndexOf(folder)), model->IndexOf(st2));

    // A persistent index follows its node through a sort.
    st1->Rec().Name = "Zeta";
    tree.NotifyChanged(st1);
    const QPersistentModelIndex held(model->IndexOf(st1));
    const QPersistentModelIndex heldChild(model->IndexOf(vars[3]));
    editor.SortTreeByName();
    EXPECT_EQ(NodeAt(held), st1);
    EXPECT_EQ(held.row(), 2);  // Device2, Modem1, Zeta
    EXPECT_EQ(NodeAt(heldChild), vars[3]);
    EXPECT_EQ(heldChild.row(), vars[3]->Index());

    const auto result = editor.DeleteExecute({vars[2], st1}, vx::mrYes);
    EXPECT_EQ(result.Deleted, 2);
    EXPECT_FALSE(held.isValid());
    EXPECT_EQ(model->rowCount(model->IndexOf(server)), 2);

    editor.ClearConfiguration();
    EXPECT_EQ(model->rowCount(), 0);
    {
        // The shape of a load: a reset around the whole build.
        vos::TConfigTreeReset reset(tree);
        auto* s = tree.AddChild(tree.Root(), vos::TConfigNodeRec::WithDefaults(vos::nkServer));
        tree.AddChild(s, vos::TConfigNodeRec::WithDefaults(vos::nkStation));
    }
    EXPECT_EQ(resets.count(), 2);
    EXPECT_EQ(model->rowCount(model->index(0, 0)), 1);
}

TEST(ConfigModel, OutlivesItsTree)
{
    ModelTestCapture capture;
    auto tree = std::make_unique<vos::TConfigTree>();
    tree->AddChild(tree->Root(), vos::TConfigNodeRec::WithDefaults(vos::nkServer));
    TConfigModel model(*tree);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    EXPECT_EQ(model.rowCount(), 1);
    tree.reset();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.index(0, 0).isValid());
    EXPECT_TRUE(capture.reports.empty()) << capture.Text();
}

}  // namespace
