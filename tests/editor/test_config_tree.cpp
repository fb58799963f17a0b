#include "editor/config_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vos::TConfigNode;
using vos::TConfigNodeRec;
using vos::TConfigTree;

TConfigNodeRec Named(const std::string& name)
{
    TConfigNodeRec rec;
    rec.Name = name;
    return rec;
}

std::string NameOf(const TConfigNode* n) { return !n ? "-" : n->IsRoot() ? "root" : n->Rec().Name; }

// Writes every report as one line.
class Recorder : public vos::TConfigTreeObserver {
public:
    std::vector<std::string> log;

    void RowsAboutToBeInserted(TConfigNode* p, int f, int l) override { Rows("insert?", p, f, l); }
    void RowsInserted(TConfigNode* p, int f, int l) override { Rows("insert", p, f, l); }
    void RowsAboutToBeRemoved(TConfigNode* p, int f, int l) override { Rows("remove?", p, f, l); }
    void RowsRemoved(TConfigNode* p, int f, int l) override { Rows("remove", p, f, l); }
    void RowsAboutToBeMoved(TConfigNode* from, int f, int l, TConfigNode* to, int d) override
    {
        Move("move?", from, f, l, to, d);
    }
    void RowsMoved(TConfigNode* from, int f, int l, TConfigNode* to, int d) override { Move("move", from, f, l, to, d); }
    void LayoutAboutToBeChanged(const std::vector<TConfigNode*>& parents) override { Layout("layout?", parents); }
    void LayoutChanged(const std::vector<TConfigNode*>& parents) override { Layout("layout", parents); }
    void ModelAboutToBeReset() override { log.push_back("reset?"); }
    void ModelReset() override { log.push_back("reset"); }
    void DataChanged(TConfigNode* n) override { log.push_back("data " + NameOf(n)); }
    void UpdateBegun() override { log.push_back("update?"); }
    void UpdateEnded() override { log.push_back("update"); }
    void NodesAboutToBeDeleted(TConfigNode* top) override { log.push_back("delete " + NameOf(top)); }
    void TreeDestroyed() override { log.push_back("destroyed"); }

private:
    void Rows(const char* what, TConfigNode* p, int f, int l)
    {
        log.push_back(std::string(what) + " " + NameOf(p) + " " + std::to_string(f) + "-" + std::to_string(l));
    }
    void Move(const char* what, TConfigNode* from, int f, int l, TConfigNode* to, int d)
    {
        log.push_back(std::string(what) + " " + NameOf(from) + " " + std::to_string(f) + "-" + std::to_string(l) +
                      " to " + NameOf(to) + " " + std::to_string(d));
    }
    void Layout(const char* what, const std::vector<TConfigNode*>& parents)
    {
        std::string line = what;
        for (auto* p : parents)
            line += " " + NameOf(p);
        log.push_back(line);
    }
};

class ConfigTreeTest : public ::testing::Test {
protected:
    ConfigTreeTest() { tree.AddObserver(&rec); }
    ~ConfigTreeTest() override { tree.RemoveObserver(&rec); }

    TConfigNode* Add(TConfigNode* parent, const std::string& name) { return tree.AddChild(parent, Named(name)); }

    // The names of parent's children in order, "a b c".
    static std::string Children(const TConfigNode* parent)
    {
        std::string out;
        for (int i = 0; i < parent->ChildCount(); ++i) {
            EXPECT_EQ(parent->Child(i)->Index(), i);
            EXPECT_EQ(parent->Child(i)->Parent(), parent);
            out += (i ? " " : "") + NameOf(parent->Child(i));
        }
        return out;
    }

    std::string TreeOrder() const
    {
        std::string out;
        for (auto* n : tree)
            out += (out.empty() ? "" : " ") + NameOf(n);
        return out;
    }

    // Builds  S( A( A1 A2 ) B C( C1 ) )
    void BuildSample()
    {
        s = Add(tree.Root(), "S");
        a = Add(s, "A");
        Add(a, "A1");
        Add(a, "A2");
        b = Add(s, "B");
        c = Add(s, "C");
        Add(c, "C1");
        rec.log.clear();
    }

    TConfigTree tree;
    Recorder rec;
    TConfigNode* s = nullptr;
    TConfigNode* a = nullptr;
    TConfigNode* b = nullptr;
    TConfigNode* c = nullptr;
};

TEST_F(ConfigTreeTest, AddsInsertsAndReportsRows)
{
    auto* top = Add(tree.Root(), "S");
    Add(top, "x");
    Add(top, "z");
    ASSERT_NE(tree.InsertChild(top, 1, Named("y")), nullptr);
    ASSERT_NE(tree.InsertChild(top, 0, Named("w")), nullptr);
    ASSERT_NE(tree.InsertChild(top, 99, Named("end")), nullptr);  // outside: appended
    EXPECT_EQ(Children(top), "w x y z end");
    EXPECT_EQ(tree.NodeCount(), 6u);
    EXPECT_EQ(top->Depth(), 1);
    EXPECT_EQ(top->Child(2)->Depth(), 2);
    EXPECT_EQ(top->Child(2)->Rec().TreeNode, top->Child(2));
    EXPECT_EQ(rec.log, (std::vector<std::string>{"insert? root 0-0", "insert root 0-0", "insert? S 0-0", "insert S 0-0",
                                                 "insert? S 1-1", "insert S 1-1", "insert? S 1-1", "insert S 1-1",
                                                 "insert? S 0-0", "insert S 0-0", "insert? S 4-4", "insert S 4-4"}));
}

TEST_F(ConfigTreeTest, NavigatesSiblingsAndTreeOrder)
{
    BuildSample();
    EXPECT_EQ(TreeOrder(), "S A A1 A2 B C C1");
    EXPECT_EQ(NameOf(tree.Last()), "C1");
    EXPECT_EQ(NameOf(a->NextSibling()), "B");
    EXPECT_EQ(NameOf(a->PrevSibling()), "-");
    EXPECT_EQ(NameOf(c->NextSibling()), "-");
    EXPECT_EQ(NameOf(s->FirstChild()), "A");
    EXPECT_EQ(NameOf(s->LastChild()), "C");
    EXPECT_EQ(s->Child(3), nullptr);
    EXPECT_EQ(s->Child(-1), nullptr);

    std::string backwards;
    for (auto* n = tree.Last(); n; n = TConfigTree::Previous(n))
        backwards += NameOf(n) + " ";
    EXPECT_EQ(backwards, "C1 C B A2 A1 A S ");
    EXPECT_EQ(NameOf(TConfigTree::NextSkippingChildren(a)), "B");
    EXPECT_EQ(NameOf(TConfigTree::NextSkippingChildren(c)), "-");
    EXPECT_TRUE(s->Contains(a->FirstChild()));
    EXPECT_FALSE(a->Contains(b));
}

TEST_F(ConfigTreeTest, DeletesWithSubtreeAndReports)
{
    BuildSample();
    EXPECT_EQ(tree.NodeCount(), 7u);
    EXPECT_TRUE(tree.DeleteNode(a));
    EXPECT_EQ(Children(s), "B C");
    EXPECT_EQ(tree.NodeCount(), 4u);
    EXPECT_EQ(rec.log, (std::vector<std::string>{"delete A", "remove? S 0-0", "remove S 0-0"}));

    EXPECT_FALSE(tree.DeleteNode(tree.Root()));
    EXPECT_FALSE(tree.DeleteNode(nullptr));
    TConfigTree other;
    auto* foreign = other.AddChild(other.Root(), Named("F"));
    EXPECT_FALSE(tree.DeleteNode(foreign));
    EXPECT_EQ(other.NodeCount(), 1u);
}

TEST_F(ConfigTreeTest, MovesAndReportsDestinationAsQtCountsIt)
{
    struct Case {
        const char* node;
        const char* to;
        int position;
        const char* children;  // of S after the move
        const char* report;
    };
    const Case cases[] = {
        {"A", "S", 2, "B C A", "move? S 0-0 to S 3"},  // forward: Qt counts before the move
        {"C", "S", 0, "C A B", "move? S 2-2 to S 0"},
        {"B", "S", -1, "A C B", "move? S 1-1 to S 3"},
        {"B", "C", 0, "A C", "move? S 1-1 to C 0"},
        {"A1", "S", 1, "A A1 B C", "move? A 0-0 to S 1"},
    };
    for (const auto& k : cases) {
        tree.Clear();
        BuildSample();
        auto* node = [&]() -> TConfigNode* {
            for (auto* n : tree)
                if (n->Rec().Name == k.node)
                    return n;
            return nullptr;
        }();
        auto* to = k.to == std::string("S") ? s : c;
        ASSERT_TRUE(tree.MoveNode(node, to, k.position)) << k.node;
        EXPECT_EQ(Children(s), k.children) << k.node;
        ASSERT_EQ(rec.log.size(), 2u) << k.node;
        EXPECT_EQ(rec.log[0], k.report) << k.node;
        EXPECT_EQ(node->Parent(), to);
        EXPECT_EQ(tree.NodeCount(), 7u);
    }
}

TEST_F(ConfigTreeTest, RefusesMovesThatCannotBe)
{
    BuildSample();
    TConfigTree other;
    auto* foreign = other.AddChild(other.Root(), Named("F"));
    EXPECT_FALSE(tree.MoveNode(s, a));  // into its own subtree
    EXPECT_FALSE(tree.MoveNode(a, a));
    EXPECT_FALSE(tree.MoveNode(tree.Root(), s));
    EXPECT_FALSE(tree.MoveNode(foreign, s));
    EXPECT_FALSE(tree.MoveNode(a, foreign));
    EXPECT_TRUE(tree.MoveNode(b, s, 1));  // already there: nothing to report
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(TreeOrder(), "S A A1 A2 B C C1");
}

TEST_F(ConfigTreeTest, NestingStopsAtTheLimit)
{
    TConfigNode* deepest = tree.Root();
    for (int level = 1; level <= vos::kMaxTreeDepth; ++level) {
        deepest = Add(deepest, "L" + std::to_string(level));
        ASSERT_NE(deepest, nullptr) << level;
    }
    EXPECT_EQ(deepest->Depth(), vos::kMaxTreeDepth);
    EXPECT_EQ(Add(deepest, "too deep"), nullptr);
    EXPECT_EQ(tree.InsertChild(deepest, 0, Named("too deep")), nullptr);

    // A subtree of two levels fits below level 254 but not below level 255.
    auto* pair = Add(tree.Root(), "P");
    Add(pair, "P1");
    auto* at254 = deepest->Parent()->Parent();
    EXPECT_FALSE(tree.MoveNode(pair, deepest->Parent()));
    EXPECT_TRUE(tree.MoveNode(pair, at254));
    EXPECT_EQ(tree.NodeCount(), static_cast<std::size_t>(vos::kMaxTreeDepth) + 2);
}

TEST_F(ConfigTreeTest, SortsStablyOneLevelOrAll)
{
    auto* top = Add(tree.Root(), "S");
    for (const char* name : {"b", "a1", "c", "a2", "b2"}) {
        auto* n = Add(top, name);
        for (const char* child : {"z", "y"})
            Add(n, child);
    }
    // By the first letter only, so that equal keys show whether their order holds.
    const vos::TNodeCompare byFirst = [](const TConfigNode& x, const TConfigNode& y) {
        return x.Rec().Name[0] - y.Rec().Name[0];
    };
    rec.log.clear();
    tree.SortChildren(top, byFirst);
    EXPECT_EQ(Children(top), "a1 a2 b b2 c");
    EXPECT_EQ(Children(top->Child(0)), "z y");  // one level only
    EXPECT_EQ(rec.log, (std::vector<std::string>{"layout? S", "layout S"}));

    rec.log.clear();
    tree.SortTree(byFirst);
    EXPECT_EQ(Children(top->Child(0)), "y z");
    EXPECT_EQ(Children(top->Child(4)), "y z");
    EXPECT_EQ(Children(top), "a1 a2 b b2 c");
    EXPECT_EQ(rec.log, (std::vector<std::string>{"layout?", "layout"}));  // every level

    const vos::TNodeCompare reversed = [&](const TConfigNode& x, const TConfigNode& y) { return byFirst(y, x); };
    tree.SortChildren(top, reversed);
    EXPECT_EQ(Children(top), "c b b2 a1 a2");
}

TEST_F(ConfigTreeTest, ResetReplacesTheReportsBetween)
{
    BuildSample();
    {
        vos::TConfigTreeReset reset(tree);
        tree.Clear();  // nested: no second reset
        auto* n = Add(tree.Root(), "N");
        Add(n, "N1");
        tree.NotifyChanged(n);
        EXPECT_TRUE(tree.Resetting());
    }
    EXPECT_FALSE(tree.Resetting());
    // Deletions are announced even inside a reset: holders of node pointers need to know.
    EXPECT_EQ(rec.log, (std::vector<std::string>{"reset?", "delete root", "reset"}));
    EXPECT_EQ(TreeOrder(), "N N1");
    EXPECT_EQ(tree.NodeCount(), 2u);

    rec.log.clear();
    tree.Clear();
    EXPECT_EQ(rec.log, (std::vector<std::string>{"delete root", "reset?", "reset"}));
    EXPECT_EQ(tree.NodeCount(), 0u);
    EXPECT_EQ(tree.First(), nullptr);
}

TEST_F(ConfigTreeTest, BatchUpdatesNestAndDataChangesAreReported)
{
    BuildSample();
    tree.BeginUpdate();
    {
        vos::TConfigTreeUpdate inner(tree);
        EXPECT_EQ(tree.UpdateCount(), 2);
        b->Rec().Name = "B2";
        tree.NotifyChanged(b);
    }
    tree.EndUpdate();
    tree.EndUpdate();  // unbalanced: ignored
    tree.NotifyChanged(tree.Root());
    EXPECT_EQ(rec.log, (std::vector<std::string>{"update?", "data B2", "update"}));
    EXPECT_EQ(tree.UpdateCount(), 0);
}

TEST_F(ConfigTreeTest, SetRecKeepsTheNodeLinkAndViewFieldsStartAsANewNode)
{
    BuildSample();
    auto copy = a->Rec();
    b->SetRec(copy);
    EXPECT_EQ(b->Rec().Name, "A");
    EXPECT_EQ(b->Rec().TreeNode, b);
    EXPECT_EQ(b->View.States, vos::nsVisible);
    EXPECT_EQ(b->View.Height, 18u);
    EXPECT_EQ(b->View.Alignment + b->View.CheckState + b->View.CheckType, 0);
}

TEST_F(ConfigTreeTest, ObserversHearTheTreeGo)
{
    Recorder late;
    {
        TConfigTree gone;
        gone.AddObserver(&late);
        gone.AddObserver(&late);  // once only
        gone.AddChild(gone.Root(), Named("x"));
        late.log.clear();
    }
    EXPECT_EQ(late.log, std::vector<std::string>{"destroyed"});
}

}  // namespace
