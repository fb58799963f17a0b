// Groups: adding, validating and removing items, item state, group state, names, clones and
// enumerators, with the per-item result arrays and the re-rating of the variables behind.
#include <gtest/gtest.h>

#include "opc_client.h"
#include "opc_fixture.h"
#include "opc/opc_globals.h"
#include "opc/opc_group.h"
#include "platform/com/alloc.h"

namespace opctest {
namespace {

struct GroupTest : OpcFixture {
    vx::TVariable* a = nullptr;
    vx::TVariable* b = nullptr;
    vx::TVariable* texts = nullptr;

    void SetUp() override
    {
        OpcFixture::SetUp();
        a = var("A", VT_I2, 0);
        b = var("B", VT_R4, 2);
        texts = var("Texts", VT_ARRAY | VT_BSTR, 10, 3);
        b->Writable = false;
        buildCatalogue();
    }
};

TEST_F(GroupTest, AddItemsGivesOneResultPerDefinition)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100);
    const AddResult r = g.addItems({
        {"St.A", 11},                    // the value
        {"st.b", 12},                    // any letter case, read-only variable
        {"St.A.Units", 13},              // a property
        {"St.Nothing", 14},              // unknown
        {"", 15},                        // empty
        {"St.Texts", 16, true, VT_ARRAY | VT_I4},  // strings only as strings
        {"St.A", 17, true, VT_BSTR},     // any scalar type is asked for
    });
    EXPECT_EQ(r.hr, S_FALSE);
    const std::vector<HRESULT> expected = {S_OK, S_OK, S_OK, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID, OPC_E_BADTYPE, S_OK};
    EXPECT_EQ(r.errors, expected);
    ASSERT_EQ(r.results.size(), 7u);
    EXPECT_EQ(r.results[0].vtCanonicalDataType, VT_I2);
    EXPECT_EQ(r.results[0].dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(r.results[1].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(r.results[1].dwAccessRights, OPC_READABLE);
    EXPECT_EQ(r.results[2].vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(r.results[2].dwAccessRights, OPC_READABLE);
    for (int failed : {3, 4, 5})
        EXPECT_EQ(r.results[failed].hServer, 0u);
    // Handles are consecutive: a failed item consumes none.
    EXPECT_EQ(r.handle(1), r.handle(0) + 1);
    EXPECT_EQ(r.handle(2), r.handle(1) + 1);
    EXPECT_EQ(r.handle(6), r.handle(2) + 1);

    opc::TOPCGroup& group = *g.object();
    ASSERT_EQ(group.Items.size(), 4u);
    const opc::TOPCItem* units = group.ItemByHandle(r.handle(2));
    ASSERT_NE(units, nullptr);
    EXPECT_EQ(units->PropertyID, opc::pidUnits);
    EXPECT_EQ(units->GetVariable(), a);
    EXPECT_EQ(units->ItemID, "St.A.Units");
    EXPECT_EQ(group.ItemByHandle(r.handle(6))->RequestedType, VT_BSTR);
    EXPECT_EQ(group.ItemByHandle(r.handle(0))->RequestedType, VT_I2);  // 0 asks for the canonical type
    EXPECT_EQ(countEvents(opc::meItemAdded), 4);
}

TEST_F(GroupTest, ItemHandlesAreUniqueAcrossGroupsAndClients)
{
    TestClient one, two;
    TestGroup g1 = one.addGroup("G", true, 100);
    TestGroup g2 = two.addGroup("G", true, 100);
    const AddResult r1 = g1.addItems({{"St.A"}, {"St.B"}});
    const AddResult r2 = g2.addItems({{"St.A"}, {"St.B"}});
    EXPECT_EQ(r2.handle(0), r1.handle(1) + 1);
    EXPECT_EQ(r2.handle(1), r2.handle(0) + 1);
}

TEST_F(GroupTest, ValidateItemsChecksWithoutCreating)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100);
    const AddResult r = g.validateItems({{"St.A"}, {"St.Nothing"}, {""}, {"St.A", 0, true, VT_UNKNOWN}, {"St.B.HiEU"}});
    EXPECT_EQ(r.hr, S_FALSE);
    const std::vector<HRESULT> expected = {S_OK, OPC_E_INVALIDITEMID, OPC_E_INVALIDITEMID, OPC_E_BADTYPE, S_OK};
    EXPECT_EQ(r.errors, expected);
    EXPECT_EQ(r.results[0].hServer, 0u);
    EXPECT_EQ(r.results[0].dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
    // A property ID reports the entry's own type and rights.
    EXPECT_EQ(r.results[4].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(r.results[4].dwAccessRights, OPC_READABLE);
    EXPECT_TRUE(g.object()->Items.empty());
    EXPECT_EQ(countEvents(opc::meItemAdded), 0);
}

TEST_F(GroupTest, ArrayMethodsRefuseBadArgumentsAndLeaveNothingOnFailure)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100);
    opc::TOPCGroup& group = *g.object();
    OPCITEMDEF def{};
    std::u16string id = u"St.A";
    def.szItemID = id.data();
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    OPCHANDLE handle = 0;

    EXPECT_EQ(group.AddItems(0, &def, &results, &errors), E_INVALIDARG);
    EXPECT_EQ(group.AddItems(opc::kMaxClientCount + 1, &def, &results, &errors), E_INVALIDARG);
    EXPECT_EQ(group.AddItems(1, nullptr, &results, &errors), E_INVALIDARG);
    EXPECT_EQ(group.AddItems(1, &def, nullptr, &errors), E_POINTER);
    EXPECT_EQ(group.AddItems(1, &def, &results, nullptr), E_POINTER);
    EXPECT_EQ(group.ValidateItems(0, &def, FALSE, &results, &errors), E_INVALIDARG);
    EXPECT_EQ(group.RemoveItems(0, &handle, &errors), E_INVALIDARG);
    EXPECT_EQ(group.RemoveItems(1, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(group.RemoveItems(0xFFFFFFFF, &handle, &errors), E_INVALIDARG);
    EXPECT_EQ(group.SetActiveState(1, &handle, TRUE, nullptr), E_POINTER);
    EXPECT_EQ(group.SetClientHandles(1, &handle, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(group.SetDatatypes(1, &handle, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(results, nullptr);
    EXPECT_EQ(errors, nullptr);

    // Either of the two arrays refused: nothing is added, nothing leaks.
    for (std::size_t n : {0u, 1u}) {
        com::failTaskAllocAfter(n);
        EXPECT_EQ(group.AddItems(1, &def, &results, &errors), E_OUTOFMEMORY) << n;
        com::clearTaskAllocFailure();
        EXPECT_EQ(results, nullptr);
        EXPECT_EQ(errors, nullptr);
    }
    EXPECT_TRUE(group.Items.empty());
    EXPECT_EQ(a->OpcItems, nullptr);
}

TEST_F(GroupTest, RemoveItemsRemovesTheKnownAndReportsTheRest)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100);
    const AddResult added = g.addItems({{"St.A"}, {"St.B"}});
    const ErrorsResult r = g.removeItems({added.handle(0), 999999});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    ASSERT_EQ(g.object()->Items.size(), 1u);
    EXPECT_EQ(g.object()->Items[0]->ServerHandle, added.handle(1));
    EXPECT_EQ(countEvents(opc::meItemRemoved), 1);
    // The variable no item uses any more is no longer polled.
    EXPECT_FALSE(a->Active);
    EXPECT_EQ(a->UpdatePeriod, 0xFFFFFFFFu);
    EXPECT_EQ(a->OpcItems, nullptr);
    EXPECT_EQ(g.removeItems({added.handle(0)}).errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE}));
}

TEST_F(GroupTest, ItemStateMethods)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100);
    const AddResult added = g.addItems({{"St.A", 1}, {"St.B", 2}});
    const OPCHANDLE h0 = added.handle(0), h1 = added.handle(1), unknown = 999999;
    opc::TOPCGroup& group = *g.object();

    ErrorsResult r = g.setClientHandles({h0, unknown, h1}, {21, 22, 23});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(group.ItemByHandle(h0)->ClientHandle, 21u);
    EXPECT_EQ(group.ItemByHandle(h1)->ClientHandle, 23u);

    r = g.setDatatypes({h0, h1, unknown}, {VT_R8, VT_DECIMAL, VT_I4});
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_BADTYPE, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(group.ItemByHandle(h0)->RequestedType, VT_R8);
    EXPECT_EQ(group.ItemByHandle(h1)->RequestedType, VT_R4);
    EXPECT_EQ(g.setDatatypes({h0}, {VT_EMPTY}).hr, S_OK);
    EXPECT_EQ(group.ItemByHandle(h0)->RequestedType, VT_I2);

    const int before = countEvents(opc::meItemActivated);
    r = g.setActive({h0, unknown}, false);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    EXPECT_FALSE(group.ItemByHandle(h0)->Active);
    EXPECT_EQ(countEvents(opc::meItemActivated), before + 1);
    EXPECT_EQ(g.setActive({h0, h1}, true).hr, S_OK);
}

// Whether the variable is polled, and how often, follows every item and group that uses it.
TEST_F(GroupTest, VariablesAreReRatedAfterEveryStateChange)
{
    TestClient one, two;
    TestGroup fast = one.addGroup("Fast", true, 50);
    TestGroup slow = two.addGroup("Slow", true, 500);

    // Added inactive: not polled; activated later: polled.
    const AddResult inactive = fast.addItems({{"St.A", 1, false}});
    EXPECT_FALSE(a->Active);
    fast.setActive({inactive.handle(0)}, true);
    EXPECT_TRUE(a->Active);
    EXPECT_EQ(a->UpdatePeriod, 50u);

    // Another client adding the same variable inactive, in other letters, does not stop it.
    const AddResult other = slow.addItems({{"st.a", 2, false}});
    EXPECT_TRUE(a->Active);
    EXPECT_EQ(a->UpdatePeriod, 50u);
    slow.setActive({other.handle(0)}, true);

    // The faster group going inactive leaves the slower one polling at its own rate.
    BOOL off = FALSE;
    DWORD revised = 0;
    ASSERT_EQ(fast.state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_TRUE(a->Active);
    EXPECT_EQ(a->UpdatePeriod, 50u) << "inactive groups still count for the rate";
    DWORD rate = 20;
    EXPECT_EQ(slow.state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 20u);
    EXPECT_EQ(a->UpdatePeriod, 20u);

    slow.setActive({other.handle(0)}, false);
    EXPECT_FALSE(a->Active);

    // A group that goes takes its items' demands with it.
    slow.release();
    EXPECT_EQ(a->UpdatePeriod, 50u);
    fast.release();
    EXPECT_FALSE(a->Active);
    EXPECT_EQ(a->UpdatePeriod, 0xFFFFFFFFu);
}

TEST_F(GroupTest, GroupStateAndRates)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100, 7);
    struct Case {
        DWORD requested;
        DWORD revised;
        HRESULT hr;
    };
    for (const Case& c : {Case{0, 2, OPC_S_UNSUPPORTEDRATE}, Case{1, 2, OPC_S_UNSUPPORTEDRATE}, Case{2, 2, S_OK},
                          Case{1000, 1000, S_OK}}) {
        DWORD requested = c.requested, revised = 0;
        EXPECT_EQ(g.state->SetState(&requested, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), c.hr) << c.requested;
        EXPECT_EQ(revised, c.revised);
    }
    BOOL active = FALSE;
    LONG bias = 60;
    FLOAT deadband = 2.5f;
    DWORD lcid = 1024;
    OPCHANDLE clientHandle = 9;
    EXPECT_EQ(g.state->SetState(nullptr, nullptr, &active, &bias, &deadband, &lcid, &clientHandle), S_OK);
    EXPECT_EQ(countEvents(opc::meGroupState), 5);

    DWORD rate = 0, lcidOut = 0;
    BOOL activeOut = TRUE;
    LPWSTR name = nullptr;
    LONG biasOut = 0;
    FLOAT deadbandOut = 0;
    OPCHANDLE clientGroup = 0, serverGroup = 0;
    ASSERT_EQ(g.state->GetState(&rate, &activeOut, &name, &biasOut, &deadbandOut, &lcidOut, &clientGroup, &serverGroup), S_OK);
    EXPECT_EQ(rate, 1000u);
    EXPECT_FALSE(activeOut);
    EXPECT_EQ(std::u16string(name), u"G");
    CoTaskMemFree(name);
    EXPECT_EQ(biasOut, 60);
    EXPECT_FLOAT_EQ(deadbandOut, 2.5f);
    EXPECT_EQ(lcidOut, 1024u);
    EXPECT_EQ(clientGroup, 9u);
    EXPECT_EQ(serverGroup, g.serverHandle);
    EXPECT_EQ(g.state->GetState(&rate, &activeOut, nullptr, &biasOut, &deadbandOut, &lcidOut, &clientGroup, &serverGroup), E_POINTER);
}

TEST_F(GroupTest, SetName)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100);
    TestGroup other = client.addGroup("Other", true, 100);
    EXPECT_EQ(g.state->SetName(u""), E_INVALIDARG);
    EXPECT_EQ(g.state->SetName(nullptr), E_INVALIDARG);
    EXPECT_EQ(g.state->SetName(u"G"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(g.state->SetName(u"Other"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(g.state->SetName(u"Renamed"), S_OK);
    EXPECT_EQ(g.object()->Name, "Renamed");
    g.object()->PendingRemoval = true;
    EXPECT_EQ(g.state->SetName(u"Again"), E_FAIL);
}

TEST_F(GroupTest, CloneGroupCopiesStateAndItemsInactive)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 250, 5, 1.5f);
    const AddResult added = g.addItems({{"St.A", 1}, {"St.B.Units", 2}});
    const int addedEvents = countEvents(opc::meItemAdded);

    IUnknown* unk = nullptr;
    EXPECT_EQ(g.state->CloneGroup(u"C", IID_IOPCItemMgt, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(g.state->CloneGroup(u"G", IID_IOPCGroupStateMgt, &unk), OPC_E_DUPLICATENAME);
    EXPECT_EQ(g.state->CloneGroup(u"C", IID_IOPCGroupStateMgt, nullptr), E_POINTER);

    ASSERT_EQ(g.state->CloneGroup(u"C", IID_IOPCGroupStateMgt, &unk), S_OK);
    TestGroup clone(unk);
    unk->Release();
    opc::TOPCGroup& c = *clone.object();
    EXPECT_EQ(c.Name, "C");
    EXPECT_FALSE(c.Active);
    EXPECT_NE(c.ServerHandle, g.serverHandle);
    EXPECT_EQ(c.UpdateRate, 250u);
    EXPECT_EQ(c.ClientHandle, 5u);
    EXPECT_FLOAT_EQ(c.PercentDeadband, 1.5f);
    ASSERT_EQ(c.Items.size(), 2u);
    const opc::TOPCItem* copy = c.ItemByHandle(added.handle(1));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->PropertyID, opc::pidUnits);
    EXPECT_EQ(copy->Group, &c);
    EXPECT_EQ(c.ItemByHandle(added.handle(0))->GetVariable(), a);
    EXPECT_EQ(countEvents(opc::meItemAdded), addedEvents);
    EXPECT_EQ(client.object()->Groups.size(), 2u);

    // An unnamed clone is numbered.
    ASSERT_EQ(g.state->CloneGroup(u"", IID_IUnknown, &unk), S_OK);
    TestGroup unnamed(unk);
    unk->Release();
    EXPECT_EQ(unnamed.object()->Name.rfind("Group_", 0), 0u);
}

TEST_F(GroupTest, ItemAttributeEnumerator)
{
    TestClient client;
    TestGroup g = client.addGroup("G", true, 100);
    IUnknown* unk = nullptr;
    EXPECT_EQ(g.mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, &unk), S_FALSE);
    EXPECT_EQ(unk, nullptr);

    const AddResult added = g.addItems({{"St.A", 31, false, VT_R8}});
    EXPECT_EQ(g.mgt->CreateEnumerator(IID_IOPCItemMgt, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    ASSERT_EQ(g.mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, &unk), S_OK);
    com::ComPtr<IEnumOPCItemAttributes> e = com::ComPtr<IEnumOPCItemAttributes>::attach(static_cast<IEnumOPCItemAttributes*>(unk));
    OPCITEMATTRIBUTES* records = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(1, &records, &fetched), S_OK);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(std::u16string(records[0].szItemID), u"St.A");
    EXPECT_EQ(records[0].hClient, 31u);
    EXPECT_EQ(records[0].hServer, added.handle(0));
    EXPECT_FALSE(records[0].bActive);
    EXPECT_EQ(records[0].vtRequestedDataType, VT_R8);
    EXPECT_EQ(records[0].vtCanonicalDataType, VT_I2);
    EXPECT_EQ(records[0].dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
    CoTaskMemFree(records[0].szAccessPath);
    CoTaskMemFree(records[0].szItemID);
    VariantClear(&records[0].vEUInfo);
    CoTaskMemFree(records);
}

}  // namespace
}  // namespace opctest
