#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comm/vx_lang.h"
#include "editor/frm_runtime.h"
#include "editor/runtime_model.h"
#include "platform/com/safearray.h"
#include "tests/opc/opc_client.h"
#include "tests/opc/opc_fixture.h"

namespace {

using opctest::ItemDef;
using opctest::TestClient;
using opctest::TestGroup;
using vos::TFrm_Runtime;
using vos::TRuntimeNode;

// The main window's forced update, held back until the test runs it.
class DeferringLink : public vos::TMainWindowLink {
public:
    std::vector<std::function<void()>> updates;
    void ShutDownServer() override {}
    void ViewRuntime() override {}
    void SetEditCommands(const vos::TEditorCommands&) override {}
    void SetRegisterConfigEnabled(bool) override {}
    void RunForcedUpdate(std::function<void()> update) override { updates.push_back(std::move(update)); }
};

class RuntimeMonitor : public opctest::OpcFixture {
protected:
    void SetUp() override
    {
        OpcFixture::SetUp();
        frame = std::make_unique<TFrm_Runtime>();
        frame->resize(800, 600);
        frame->Init();
        registry->OnMonitorEvent = [this](int code, opc::TMonitorObject obj) {
            events.push_back({code, obj});
            Route(code, obj);
        };
    }
    void TearDown() override
    {
        group.reset();
        client.reset();
        frame.reset();
        OpcFixture::TearDown();
    }

    // As the main window hands the events on.
    void Route(int code, opc::TMonitorObject obj)
    {
        vos::RouteMonitorEvent(*frame, code, obj);
        if (code == opc::meServerDestroyed && afterServerRemoved)
            afterServerRemoved(*std::get<opc::TDA2*>(obj));
    }

    TRuntimeNode* root() const { return frame->RootNode(); }
    static std::string text(const TRuntimeNode* node, int column) { return vos::RuntimeCellText(node->Rec, column); }
    int image(const TRuntimeNode* node, int column) const
    {
        return frame->RTreeModel().data(frame->RTreeModel().IndexOf(node, column), vos::TRuntimeModel::ImageIndexRole).toInt();
    }
    static std::vector<std::string> captions(const TRuntimeNode* parent)
    {
        std::vector<std::string> r;
        for (const auto& c : parent->Children)
            r.push_back(c->Rec.Caption);
        return r;
    }

    // One client with one active group of 100 ms holding an item of a new variable of the
    // type; a forced variable simulated with a user value, unless told otherwise.
    opc::TOPCItem* makeItem(VARTYPE type, int count = 0, bool forced = true, int simFunction = 0)
    {
        const std::string name = "V" + std::to_string(varCounter++);
        vx::TVariable* v = var(name, type, varCounter * 10, count);
        v->Forced = forced;
        v->SimFunction = simFunction;
        buildCatalogue();
        if (!client) {
            client.emplace();
            group.emplace(client->addGroup("G", true, 100));
        }
        const auto r = group->addItems({{"St." + name, 1}});
        EXPECT_EQ(r.hr, S_OK);
        return group->object()->ItemByHandle(r.handle(0));
    }
    static TRuntimeNode* nodeOf(const opc::TOPCItem* item) { return static_cast<TRuntimeNode*>(item->RuntimeNode); }

    std::unique_ptr<TFrm_Runtime> frame;
    std::optional<TestClient> client;
    std::optional<TestGroup> group;
    std::function<void(opc::TDA2&)> afterServerRemoved;
    int varCounter = 0;
};

// --- The tree from the events ---

TEST_F(RuntimeMonitor, EventsBuildTheTreeAndRemoveIt)
{
    ASSERT_EQ(frame->RTreeModel().TopCount(), 1);
    EXPECT_EQ(root()->Rec.Caption, "VORN OPC Server");
    var("A", VT_I2);
    var("B", VT_BOOL);
    buildCatalogue();
    {
        TestClient c;
        ASSERT_EQ(root()->Children.size(), 1u);
        TRuntimeNode* server = root()->Children[0].get();
        EXPECT_EQ(server->Rec.Caption, "Unknown");
        EXPECT_EQ(c.object()->RuntimeNode, server);
        EXPECT_EQ(c.common->SetClientName(u"Scada"), S_OK);
        EXPECT_EQ(server->Rec.Caption, "Scada");

        TestGroup g1 = c.addGroup("G1", true, 100);
        TestGroup g2 = c.addGroup("G2", false, 250);
        const auto r = g1.addItems({{"St.A", 1}, {"St.B", 2}});
        ASSERT_EQ(r.hr, S_OK);
        EXPECT_EQ(captions(server), (std::vector<std::string>{"G1", "G2"}));
        TRuntimeNode* g1Node = server->Children[0].get();
        EXPECT_EQ(captions(g1Node), (std::vector<std::string>{"St.A", "St.B"}));
        EXPECT_TRUE(frame->VST_RTree->isExpanded(frame->RTreeModel().IndexOf(g1Node)));
        EXPECT_EQ(text(g1Node, 1), "100 ms");
        EXPECT_EQ(text(g1Node, 2), "0%");
        EXPECT_EQ(text(g1Node, 3), "Active");
        EXPECT_EQ(text(server->Children[1].get(), 3), "Inactive");
        EXPECT_EQ(image(server, 0), 0);
        EXPECT_EQ(image(g1Node, 0), 1);
        EXPECT_EQ(image(g1Node->Children[0].get(), 0), 13);  // I2
        EXPECT_EQ(image(g1Node->Children[1].get(), 0), 9);   // Boolean

        g1.removeItems({r.handle(0)});
        EXPECT_EQ(captions(g1Node), (std::vector<std::string>{"St.B"}));
        opc::TOPCItem* b = g1.object()->ItemByHandle(r.handle(1));
        EXPECT_EQ(b->RuntimeNode, g1Node->Children[0].get());

        // The group's node takes its items' nodes with it.
        g1.release();
        EXPECT_EQ(captions(server), (std::vector<std::string>{"G2"}));
        EXPECT_EQ(frame->RTreeModel().NodeCount(), 3u);
    }
    EXPECT_TRUE(root()->Children.empty());
    EXPECT_EQ(frame->RTreeModel().NodeCount(), 1u);
}

TEST_F(RuntimeMonitor, ServerRemovalClearsTheNodesOfGroupsAndItemsBelowIt)
{
    var("A", VT_I2);
    buildCatalogue();
    TestClient c;
    TestGroup g = c.addGroup("G", true, 100);
    ASSERT_EQ(g.addItems({{"St.A", 1}}).hr, S_OK);
    opc::TOPCGroup* object = g.object();
    ASSERT_NE(object->RuntimeNode, nullptr);
    ASSERT_NE(object->Items[0]->RuntimeNode, nullptr);

    // The group outlives its server object; right after event 5 nothing below may name a node.
    std::vector<void*> left;
    afterServerRemoved = [&](opc::TDA2& server) {
        left.push_back(server.RuntimeNode);
        for (opc::TOPCGroup* grp : server.Groups) {
            left.push_back(grp->RuntimeNode);
            for (const auto& item : grp->Items)
                left.push_back(item->RuntimeNode);
        }
    };
    c.release();
    EXPECT_EQ(left, (std::vector<void*>{nullptr, nullptr, nullptr}));
    EXPECT_TRUE(object->TornDown());
    EXPECT_EQ(object->RuntimeNode, nullptr);
    EXPECT_TRUE(root()->Children.empty());
    g.release();
}

TEST_F(RuntimeMonitor, TerminatingUnlinksEveryObjectAndIgnoresLaterEvents)
{
    opc::TOPCItem* item = makeItem(VT_I2);
    opc::TDA2* server = client->object();
    ASSERT_NE(item->RuntimeNode, nullptr);
    frame->SetTerminating(true);
    // The objects outlive the window's end silently: none may keep a node of this frame.
    EXPECT_EQ(server->RuntimeNode, nullptr);
    EXPECT_EQ(item->Group->RuntimeNode, nullptr);
    EXPECT_EQ(item->RuntimeNode, nullptr);
    EXPECT_EQ(frame->FindNodeOf(server), nullptr);
    frame->RemoveNode(vos::rnServer, server);
    frame->AddNode(vos::rnServer, server);
    EXPECT_EQ(server->RuntimeNode, nullptr);
    frame->SetTerminating(false);
}

TEST_F(RuntimeMonitor, AnObjectGetsOneNodeOnly)
{
    opc::TOPCItem* item = makeItem(VT_I2);
    void* const node = item->RuntimeNode;
    const auto count = frame->RTreeModel().NodeCount();
    frame->AddNode(vos::rnItem, item);
    EXPECT_EQ(item->RuntimeNode, node);
    EXPECT_EQ(frame->RTreeModel().NodeCount(), count);
}

TEST_F(RuntimeMonitor, RepaintsAreCoalescedPerParentRange)
{
    opc::TOPCItem* a = makeItem(VT_I2);
    opc::TOPCItem* b = makeItem(VT_I2);
    opc::TOPCItem* c = makeItem(VT_I2);
    QSignalSpy spy(&frame->RTreeModel(), &QAbstractItemModel::dataChanged);
    frame->InvalidateNode(nodeOf(c));
    frame->InvalidateNode(nodeOf(a));
    frame->InvalidateNode(nodeOf(a));
    frame->InvalidateNode(a->Group->RuntimeNode);
    frame->InvalidateNode(nullptr);
    EXPECT_EQ(spy.count(), 0);
    QCoreApplication::processEvents();
    ASSERT_EQ(spy.count(), 2);
    for (const auto& args : spy) {
        const auto from = args[0].value<QModelIndex>();
        const auto to = args[1].value<QModelIndex>();
        if (frame->RTreeModel().NodeOf(from) == nodeOf(a)) {
            EXPECT_EQ(frame->RTreeModel().NodeOf(to), nodeOf(c));
            EXPECT_EQ(to.column(), vos::kRuntimeColumns - 1);
        } else {
            EXPECT_EQ(frame->RTreeModel().NodeOf(from)->Rec.Group(), a->Group);
        }
    }
    // A node removed before the pass leaves no stale range behind.
    spy.clear();
    frame->InvalidateNode(nodeOf(b));
    frame->InvalidateNode(nodeOf(c));
    group->removeItems({b->ServerHandle, c->ServerHandle});
    QCoreApplication::processEvents();
    for (const auto& args : spy) {  // the removal's own re-rating repaints the item left
        EXPECT_TRUE(args[0].value<QModelIndex>().isValid());
        EXPECT_EQ(args[1].value<QModelIndex>().row(), 0);
    }
}

TEST_F(RuntimeMonitor, HeaderClickSortsByCaptionAgainstTheRecordedDirection)
{
    for (const char* name : {"b", "C", "a"})
        var(name, VT_I2);
    buildCatalogue();
    client.emplace();
    group.emplace(client->addGroup("G", true, 100));
    ASSERT_EQ(group->addItems({{"St.b", 1}, {"St.C", 2}, {"St.a", 3}}).hr, S_OK);
    TRuntimeNode* g = group->object()->RuntimeNode ? static_cast<TRuntimeNode*>(group->object()->RuntimeNode) : nullptr;
    ASSERT_NE(g, nullptr);
    const QPersistentModelIndex kept = frame->RTreeModel().IndexOf(g->Children[0].get());  // St.b

    frame->VST_RTreeHeaderClick(1);
    EXPECT_EQ(captions(g), (std::vector<std::string>{"St.b", "St.C", "St.a"}));
    // Recorded ascending: every click sorts descending, the record stays.
    frame->VST_RTree->header()->sectionClicked(0);
    EXPECT_EQ(captions(g), (std::vector<std::string>{"St.C", "St.b", "St.a"}));
    frame->VST_RTreeHeaderClick(0);
    EXPECT_EQ(captions(g), (std::vector<std::string>{"St.C", "St.b", "St.a"}));
    EXPECT_EQ(frame->SortDirection(), Qt::AscendingOrder);
    frame->SetSortDirection(Qt::DescendingOrder);
    frame->VST_RTreeHeaderClick(0);
    EXPECT_EQ(captions(g), (std::vector<std::string>{"St.a", "St.b", "St.C"}));
    EXPECT_EQ(frame->RTreeModel().NodeOf(kept)->Rec.Caption, "St.b");
    EXPECT_EQ(kept.row(), 1);
}

TEST_F(RuntimeMonitor, WidgetsNamesCaptionsAndChannels)
{
    EXPECT_EQ(frame->objectName(), "Frm_Runtime");
    EXPECT_EQ(frame->findChild<QTreeView*>("VST_RTree"), frame->VST_RTree);
    EXPECT_EQ(frame->findChild<QTreeView*>("VST_ComList"), frame->VST_ComList);
    EXPECT_NE(frame->findChild<QAction*>("PMnu_EditItemValue"), nullptr);
    EXPECT_EQ(frame->VST_RTree->columnWidth(0), 300);
    EXPECT_EQ(frame->VST_RTree->columnWidth(1), 150);
    EXPECT_EQ(frame->VST_RTree->columnWidth(3), 100);
    EXPECT_EQ(frame->VST_RTree->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(frame->VST_ComList->isHidden());

    auto header = [&](int c) { return frame->RTreeModel().headerData(c, Qt::Horizontal).toString().toStdString(); };
    EXPECT_EQ(header(1), "Rate/Value");
    EXPECT_EQ(header(2), "Deadband/Quality");
    EXPECT_EQ(frame->PMnu_EditItemValue->text(), "Change value");
    vx::Language = 0;
    QSignalSpy spy(&frame->RTreeModel(), &QAbstractItemModel::headerDataChanged);
    frame->ApplyCaptions();
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(header(0), vx::GetLangText(12));
    EXPECT_EQ(header(1), vx::GetLangText(18) + "/" + vx::GetLangText(13));
    EXPECT_EQ(frame->PMnu_EditItemValue->text().toStdString(), vx::GetLangText(118));
    vx::Language = 1;

    addStation("St3", 3);
    frame->FillComList();
    const auto& list = frame->ComListModel();
    ASSERT_EQ(list.TopCount(), 2);
    EXPECT_EQ(list.TopNode(0)->Rec.Caption, "COM1");
    EXPECT_EQ(list.TopNode(1)->Rec.Caption, "COM3");
    EXPECT_EQ(list.TopNode(1)->Rec.Kind, vos::rnChannel);
    EXPECT_EQ(list.data(list.IndexOf(list.TopNode(0)), vos::TRuntimeModel::ImageIndexRole).toInt(), 35);
    frame->FillComList();
    EXPECT_EQ(list.TopCount(), 2);
}

// --- Texts and images ---

com::Variant MakeArray(VARTYPE type, LONG lower, ULONG count, const std::function<void(LONG, com::Variant&)>& fill)
{
    SAFEARRAY* sa = SafeArrayCreateVector(type, lower, count);
    for (ULONG k = 0; k < count; ++k) {
        LONG i = lower + static_cast<LONG>(k);
        com::Variant e;
        fill(i, e);
        SafeArrayPutElement(sa, &i, type == VT_BSTR ? static_cast<void*>(e.get()->bstrVal) : static_cast<void*>(&e.get()->lVal));
    }
    com::Variant v;
    v.setArray(sa);
    return v;
}

std::string Join(LONG from, LONG to)
{
    std::string s;
    for (LONG i = from; i <= to; ++i)
        s += (i > from ? ";" : "") + std::to_string(i);
    return s;
}

TEST_F(RuntimeMonitor, ArrayValueTextsFollowTheWatchWindow)
{
    auto ints = [](LONG i, com::Variant& e) { e.setI4(i); };
    struct Case {
        const char* what;
        LONG lower;
        ULONG count;
        std::int32_t offset, maxLen;
        std::string expected;
    };
    const Case cases[] = {
        {"300 from 10, 255 shown", 0, 300, 10, 255, "... " + Join(10, 264) + " ..."},
        {"exactly max + 1", 0, 256, 0, 255, Join(0, 255)},
        {"offset at the high bound", 0, 5, 4, 255, Join(0, 4)},
        {"offset below the low bound", 5, 3, 2, 255, Join(5, 7)},
        {"nothing shown", 0, 5, 0, 0, " ..."},
        {"near the top of LONG", 2147483640, 8, 2147483645, 1, "... 2147483645 ..."},
        {"largest settings", 0, 3, 2147483647, 2147483647, Join(0, 2)},
    };
    for (const auto& c : cases) {
        vx::ArrWatchOffset = c.offset;
        vx::ArrWatchMaxLen = c.maxLen;
        EXPECT_EQ(vos::ItemValueText(MakeArray(VT_I4, c.lower, c.count, ints), nullptr), c.expected) << c.what;
    }
    vx::ArrWatchOffset = 0;
    vx::ArrWatchMaxLen = 255;
    vx::TVariable* v = var("Flags", VT_BOOL);
    v->TrueText = "On";
    v->FalseText = "Off";
    const com::Variant flags = MakeArray(VT_BOOL, 0, 3, [](LONG i, com::Variant& e) { e.setBool(i != 1); });
    EXPECT_EQ(vos::ItemValueText(flags, v), "On;Off;On");
    com::Variant one;
    EXPECT_EQ(vos::ItemValueText(one.setBool(false), v), "Off");
    EXPECT_EQ(vos::ItemValueText(one.setBool(true), nullptr), "True");
    EXPECT_EQ(vos::ItemValueText(one.clear(), v), "");
    EXPECT_EQ(vos::ItemValueText(one.setString(std::string_view("ab")), v), "ab");
    const com::Variant texts = MakeArray(VT_BSTR, 0, 2, [](LONG i, com::Variant& e) { e.setString(std::string_view(i ? "y" : "x")); });
    EXPECT_EQ(vos::ItemValueText(texts, nullptr), "x;y");
}

TEST_F(RuntimeMonitor, ItemCellsShowReportedValueQualityStateAndTime)
{
    opc::TOPCItem* item = makeItem(VT_BOOL);
    item->GetVariable()->TrueText = "Running";
    item->Reported.setBool(true);
    item->Quality = 0xD8;
    item->TimeStamp = 46365.5;  // 2026-12-09 12:00
    TRuntimeNode* node = nodeOf(item);
    EXPECT_EQ(text(node, 1), "Running");
    EXPECT_EQ(text(node, 2), vx::QualityText(0xD8));
    EXPECT_EQ(text(node, 3), "Active");
    EXPECT_EQ(text(node, 4), "12/9/2026 12:00:00 PM");
    EXPECT_EQ(image(node, 2), 30);
    EXPECT_EQ(image(node, 1), -1);
    EXPECT_EQ(image(node, 3), -1);
    EXPECT_EQ(vos::DateTimeText(46365.0), "12/9/2026");
    com::setProcessLocale(com::ProcessLocale::czech());
    EXPECT_EQ(vos::DateTimeText(46365.25), "09.12.2026 6:00:00");

    // The group's time is that of its last due update.
    tick(200);
    EXPECT_EQ(text(static_cast<TRuntimeNode*>(item->Group->RuntimeNode), 4), vos::DateTimeText(clock.now()));
}

TEST(RuntimeImages, QualityAndTypeImages)
{
    const std::pair<WORD, int> qualities[] = {{0xD8, 30}, {0x40, 27}, {0x18, 28}, {0xC0, 29}, {0x00, 28}, {0xDB, 30}, {0x58, 27}};
    for (auto [q, img] : qualities)
        EXPECT_EQ(vos::QualityImage(q), img) << std::hex << q;
    const std::pair<VARTYPE, int> types[] = {{VT_I2, 13},
                                             {VT_ARRAY | VT_I2, 21},
                                             {VT_R8, 33},
                                             {VT_ARRAY | VT_R8, 34},
                                             {VT_DATE, 31},
                                             {VT_ARRAY | VT_DATE, 32},
                                             {VT_BOOL, 9},
                                             {VT_ARRAY | VT_BOOL, 17},
                                             {VT_UI4, 12},
                                             {VT_ARRAY | VT_UI4, 20},
                                             {VT_BSTR, 16},
                                             {VT_I8, 27},
                                             {VT_BYREF | VT_I2, 27}};
    for (auto [t, img] : types)
        EXPECT_EQ(vos::VarTypeImage(t), img) << std::hex << t;
    for (int i : {0, 1, 9, 24, 27, 30, 35})
        EXPECT_FALSE(vos::RuntimeImage(i).isNull()) << i;
    EXPECT_TRUE(vos::RuntimeImage(99).isNull());
}

// --- Editing ---

TEST_F(RuntimeMonitor, OnlyUserValueSimulationsAreEditableInTheValueColumn)
{
    struct Case {
        bool forced;
        int simFunction;
        bool editable;
    };
    for (const Case c : {Case{true, 0, true}, Case{true, 1, false}, Case{true, 2, false}, Case{false, 0, false}}) {
        opc::TOPCItem* item = makeItem(VT_I2, 0, c.forced, c.simFunction);
        const QModelIndex value = frame->RTreeModel().IndexOf(nodeOf(item), 1);
        EXPECT_EQ(frame->CanEditItem(nodeOf(item)), c.editable) << c.forced << c.simFunction;
        EXPECT_EQ(frame->VST_RTreeEditing(value), c.editable);
        EXPECT_EQ(bool(frame->RTreeModel().flags(value) & Qt::ItemIsEditable), c.editable);
        EXPECT_EQ(frame->VST_RTreeCreateEditor(value) != nullptr, c.editable);
        EXPECT_FALSE(frame->VST_RTreeEditing(frame->RTreeModel().IndexOf(nodeOf(item), 0)));
        frame->VST_RTree->selectionModel()->select(frame->RTreeModel().IndexOf(nodeOf(item)),
                                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        frame->PMnu_RTreePopup();
        EXPECT_EQ(frame->PMnu_EditItemValue->isEnabled(), c.editable);
    }
    EXPECT_FALSE(frame->CanEditItem(static_cast<TRuntimeNode*>(group->object()->RuntimeNode)));
    EXPECT_FALSE(frame->CanEditItem(root()));
    EXPECT_FALSE(frame->CanEditItem(nullptr));
    // Without a variable the item is not editable either.
    opc::TOPCItem* item = makeItem(VT_I2);
    item->SetVariable(nullptr);
    EXPECT_FALSE(frame->CanEditItem(nodeOf(item)));
}

TEST(RuntimeEditorKinds, ByCanonicalType)
{
    for (VARTYPE t : {VT_I2, VT_I4, VT_R4, VT_R8, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8})
        EXPECT_EQ(vos::EditorKindOf(t), vos::etNumEdit) << t;
    EXPECT_EQ(vos::EditorKindOf(VT_BOOL), vos::etComboList);
    for (VARTYPE t : {VT_DATE, VT_BSTR, VARTYPE(VT_ARRAY | VT_I2), VARTYPE(VT_ARRAY | VT_BOOL), VT_CY})
        EXPECT_EQ(vos::EditorKindOf(t), vos::etEdit) << t;
}

std::vector<std::string> ElementTexts(const com::Variant& v)
{
    std::vector<std::string> r;
    SAFEARRAY* sa = v.get()->parray;
    VARTYPE t = 0;
    SafeArrayGetVartype(sa, &t);
    for (LONG i = 0; i < static_cast<LONG>(sa->rgsabound[0].cElements); ++i) {
        VARIANT x;
        VariantInit(&x);
        SafeArrayGetElement(sa, &i, t == VT_BSTR ? static_cast<void*>(&x.bstrVal) : static_cast<void*>(&x.lVal));
        x.vt = t;
        r.push_back(*com::Variant::attach(x).toUtf8(VARIANT_ALPHABOOL));
    }
    return r;
}

TEST_F(RuntimeMonitor, EditedArraysParseByElementType)
{
    struct Case {
        VARTYPE element;
        int count;
        std::string text;
        std::vector<std::string> expected;  // empty: the text does not convert
    };
    const Case cases[] = {
        {VT_UI1, 3, "1;2;x;4", {"1", "2", "4"}},
        {VT_UI1, 3, "5", {"5", "0", "0"}},
        {VT_UI1, 3, "1;2;3;4;5", {"1", "2", "3"}},
        {VT_UI1, 3, "a1b2;;7", {"12", "7", "0"}},
        {VT_UI1, 3, "256", {}},
        {VT_UI2, 2, "99999999999999999999999", {}},  // beyond 64 bits: no wrap
        {VT_UI4, 2, "4294967295;4294967296", {}},
        {VT_I2, 3, "-5;x-7;12", {"-5", "7", "12"}},
        {VT_I2, 2, "40000", {}},
        {VT_I2, 2, "-", {}},
        {VT_I4, 2, "-2147483648", {"-2147483648", "0"}},
        {VT_I4, 2, "9223372036854775808", {}},
        {VT_R4, 2, "1.5;-2x", {"1.5", "-2"}},
        {VT_R8, 2, "1e5", {"15", "0"}},
        {VT_R4, 1, "1" + std::string(50, '0'), {}},
        {VT_DATE, 2, "1.2.2024;3.4.2025", {"1/2/2024", "3/4/2025"}},
        {VT_BSTR, 3, "ab;;c d", {"ab", "", "c d"}},
    };
    for (const auto& c : cases) {
        opc::TOPCItem* item = makeItem(VARTYPE(VT_ARRAY | c.element), c.count);
        const std::string what = std::to_string(c.element) + " \"" + c.text + "\"";
        vos::TEditedInput input{vos::etEdit, c.text};
        if (c.expected.empty()) {
            EXPECT_THROW(vos::BuildEditedValue(*item, input), std::runtime_error) << what;
            continue;
        }
        const auto value = vos::BuildEditedValue(*item, input);
        ASSERT_TRUE(value) << what;
        EXPECT_EQ(value->vt(), VT_ARRAY | c.element) << what;
        EXPECT_EQ(ElementTexts(*value), c.expected) << what;
    }

    opc::TOPCItem* flags = makeItem(VT_ARRAY | VT_BOOL, 3);
    flags->GetVariable()->TrueText = "On";
    const auto value = vos::BuildEditedValue(*flags, {vos::etEdit, "On;on;On"});
    ASSERT_TRUE(value);
    EXPECT_EQ(ElementTexts(*value), (std::vector<std::string>{"True", "False", "True"}));

    // The array has H + 1 elements even when ArrayCount says more: parsing stops there.
    opc::TOPCItem* shortArray = makeItem(VT_ARRAY | VT_UI2, 2);
    shortArray->GetVariable()->ArrayCount = 5;
    const auto cut = vos::BuildEditedValue(*shortArray, {vos::etEdit, "1;2;3;4;5"});
    ASSERT_TRUE(cut);
    EXPECT_EQ(ElementTexts(*cut), (std::vector<std::string>{"1", "2"}));
    // And fewer when ArrayCount says fewer.
    shortArray->GetVariable()->ArrayCount = 1;
    EXPECT_EQ(ElementTexts(*vos::BuildEditedValue(*shortArray, {vos::etEdit, "7;8"})), (std::vector<std::string>{"7", "0"}));
}

TEST_F(RuntimeMonitor, EditedScalarsRoundAndRefuseOverflow)
{
    struct Case {
        VARTYPE type;
        double number;
        std::string text;
        const char* expected;  // nullptr: the value does not convert
    };
    const Case cases[] = {
        {VT_I2, 2.5, "", "2"},
        {VT_I2, 3.5, "", "4"},
        {VT_I2, -2.5, "", "-2"},
        {VT_I2, 32767.4, "", "32767"},
        {VT_I2, 32768, "", nullptr},
        {VT_UI1, 255.5, "", nullptr},
        {VT_UI1, -1, "", nullptr},
        {VT_I4, 1e12, "", nullptr},
        {VT_UI4, 4294967295.0, "", "4294967295"},
        {VT_I8, 1e30, "", nullptr},
        {VT_R4, 1.25, "", "1.25"},
        {VT_R4, 1e39, "", nullptr},
        {VT_R8, -0.5, "", "-0.5"},
        {VT_DATE, 0, "1/2/2024 3:04:05 PM", "1/2/2024 3:04:05 PM"},
        {VT_DATE, 0, "no date", nullptr},
        {VT_BSTR, 0, "text; with ;", "text; with ;"},
    };
    for (const auto& c : cases) {
        opc::TOPCItem* item = makeItem(c.type);
        const vos::TEditedInput input{vos::EditorKindOf(c.type), c.text, c.number};
        if (!c.expected) {
            EXPECT_THROW(vos::BuildEditedValue(*item, input), std::runtime_error) << c.type << " " << c.number << c.text;
            continue;
        }
        const auto value = vos::BuildEditedValue(*item, input);
        ASSERT_TRUE(value) << c.type;
        EXPECT_EQ(value->vt(), c.type);
        EXPECT_EQ(*value->toUtf8(), c.expected) << c.type << " " << c.number;
    }
    opc::TOPCItem* flag = makeItem(VT_BOOL);
    EXPECT_EQ(vos::BuildEditedValue(*flag, {vos::etComboList, "", 0, 1})->get()->boolVal, VARIANT_TRUE);
    EXPECT_EQ(vos::BuildEditedValue(*flag, {vos::etComboList, "", 0, 0})->get()->boolVal, VARIANT_FALSE);
    opc::TOPCItem* currency = makeItem(VT_CY);
    EXPECT_FALSE(vos::BuildEditedValue(*currency, {vos::etEdit, "5"}));
}

// The edit the user would open on the value cell of item, prepared as the delegate does.
std::shared_ptr<vos::TVTEditLink> OpenLink(TFrm_Runtime& frame, opc::TOPCItem* item)
{
    const QModelIndex cell = frame.RTreeModel().IndexOf(static_cast<TRuntimeNode*>(item->RuntimeNode), 1);
    auto link = frame.VST_RTreeCreateEditor(cell);
    if (link)
        link->PrepareEdit(frame.VST_RTree, cell, 1);
    return link;
}

TEST_F(RuntimeMonitor, TheBooleanListOffersFalseThenTrueAndWritesTheChoice)
{
    opc::TOPCItem* item = makeItem(VT_BOOL);
    vx::TVariable* v = item->GetVariable();
    v->TrueText = "Open";
    v->FalseText = "Shut";
    item->Reported.setBool(true);
    auto link = OpenLink(*frame, item);
    ASSERT_TRUE(link);
    ASSERT_EQ(link->EditorType, vos::etComboList);
    auto* list = qobject_cast<QComboBox*>(link->Editor);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), "Shut");
    EXPECT_EQ(list->itemText(1), "Open");
    EXPECT_EQ(list->currentIndex(), 1);

    list->setCurrentIndex(0);
    v->Value.setBool(true);
    frame->ApplyEditedValue(*link, link->Editor);
    EXPECT_EQ(v->Value.get()->boolVal, VARIANT_FALSE);
}

TEST_F(RuntimeMonitor, AnEditWritesThenForcesTheGroupUpdateThroughTheLink)
{
    DeferringLink mainWindow;
    frame->SetMainWindowLink(&mainWindow);
    opc::TOPCItem* item = makeItem(VT_I2);
    auto sink = com::makeCom<opctest::RecordingSink>();
    ASSERT_NE(group->advise(sink->unknown()), 0u);
    tick(200);
    const std::size_t before = sink->calls.size();

    auto link = OpenLink(*frame, item);
    ASSERT_TRUE(link);
    ASSERT_EQ(link->EditorType, vos::etNumEdit);
    // What does not convert raises, and nothing is written or updated.
    for (const char* bad : {"1e9", "abc"}) {
        link->SetText(bad);
        EXPECT_THROW(frame->ApplyEditedValue(*link, link->Editor), std::runtime_error) << bad;
    }
    EXPECT_EQ(*item->GetVariable()->Value.toI4(), 0);
    EXPECT_TRUE(mainWindow.updates.empty());

    link->SetText("41.5");
    frame->ApplyEditedValue(*link, link->Editor);
    EXPECT_EQ(*item->GetVariable()->Value.toI4(), 42);
    // The update waits for the main window's guard, and holds the group meanwhile.
    ASSERT_EQ(mainWindow.updates.size(), 1u);
    EXPECT_EQ(sink->calls.size(), before);
    opc::TOPCGroup* object = group->object();
    const ULONG clientRefs = object->refCount() - 1;
    group.reset();
    EXPECT_EQ(object->refCount(), 1u);
    EXPECT_GT(clientRefs, 0u);
    mainWindow.updates[0]();
    ASSERT_EQ(sink->calls.size(), before + 1);
    EXPECT_EQ(*sink->calls.back().entries.at(0).value.toI4(), 42);
    mainWindow.updates.clear();  // the last reference: the group goes
    EXPECT_TRUE(client->object()->Groups.empty());
    frame->SetMainWindowLink(nullptr);
}

TEST_F(RuntimeMonitor, AnEditWritesNothingWhenItsItemChangedMeanwhile)
{
    struct Case {
        const char* what;
        std::function<void(opc::TOPCItem*)> change;
    };
    const Case cases[] = {
        {"simulation became a ramp", [](opc::TOPCItem* i) { i->GetVariable()->SimFunction = 2; }},
        {"no longer forced", [](opc::TOPCItem* i) { i->GetVariable()->Forced = false; }},
        {"variable detached", [](opc::TOPCItem* i) { i->SetVariable(nullptr); }},
        {"type needs another editor", [](opc::TOPCItem* i) { i->CanonicalType = VT_BSTR; }},
        {"item removed", [this](opc::TOPCItem* i) { group->removeItems({i->ServerHandle}); }},
    };
    for (const auto& c : cases) {
        opc::TOPCItem* item = makeItem(VT_I2);
        vx::TVariable* v = item->GetVariable();
        auto link = OpenLink(*frame, item);
        ASSERT_TRUE(link) << c.what;
        link->SetText("17");
        c.change(item);
        frame->ApplyEditedValue(*link, link->Editor);
        EXPECT_EQ(*v->Value.toI4(), 0) << c.what;
    }
}

TEST_F(RuntimeMonitor, EditingFromThePopupItemWritesTheTypedText)
{
    frame->show();
    vx::ArrWatchMaxLen = 255;
    opc::TOPCItem* item = makeItem(VT_ARRAY | VT_UI1, 3);
    const QModelIndex row = frame->RTreeModel().IndexOf(nodeOf(item));
    frame->VST_RTree->selectionModel()->select(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    frame->PMnu_RTreePopup();
    ASSERT_TRUE(frame->PMnu_EditItemValue->isEnabled());
    frame->PMnu_EditItemValue->trigger();
    auto link = frame->EditDelegate().ActiveLink();
    ASSERT_TRUE(link);
    auto* edit = qobject_cast<QLineEdit*>(link->Editor);
    ASSERT_NE(edit, nullptr);
    edit->setText("9;8;7");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(vos::ItemValueText(item->GetVariable()->Value, nullptr), "9;8;7");
    EXPECT_FALSE(frame->EditDelegate().ActiveLink());
}

TEST_F(RuntimeMonitor, ADoubleClickEditsOnlyAnEditableValueCell)
{
    frame->show();
    opc::TOPCItem* ramp = makeItem(VT_I2, 0, true, 2);
    opc::TOPCItem* user = makeItem(VT_I2);
    auto doubleClick = [&](opc::TOPCItem* item, int column) {
        QTreeView* view = frame->VST_RTree;
        QCoreApplication::processEvents();
        const QRect cell = view->visualRect(frame->RTreeModel().IndexOf(nodeOf(item), column));
        // A double click is a click, then the second press that Qt reports as the double.
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell.center());
        return frame->EditDelegate().ActiveLink() != nullptr;
    };
    EXPECT_FALSE(doubleClick(ramp, 1));
    EXPECT_FALSE(doubleClick(user, 0));
    ASSERT_TRUE(doubleClick(user, 1));
    EXPECT_EQ(frame->EditDelegate().ActiveLink()->EditorType, vos::etNumEdit);
    QTest::keyClick(frame->EditDelegate().ActiveLink()->Editor, Qt::Key_Escape);
    EXPECT_FALSE(frame->EditDelegate().ActiveLink());
}

}  // namespace
