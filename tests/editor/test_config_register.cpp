// Registering a configuration tree into the running server: the run-time model, the channels,
// the item catalogue, and OPC clients that stay connected across it.
#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_lunaro.h"
#include "comm/vx_modem.h"
#include "comm/vx_socket.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "editor/config_editor.h"
#include "editor/config_file.h"
#include "editor/config_register.h"
#include "editor/config_settings.h"
#include "opc/opc_async.h"
#include "opc/opc_globals.h"
#include "platform/clock.h"
#include "platform/com/locale.h"
#include "platform/com/safearray.h"
#include "platform/text.h"
#include "platform/timers.h"
#include "tests/com/alloc_balance.h"
#include "tests/comm/quiet_port.h"
#include "tests/opc/opc_client.h"
#include "tools/cfggen/cfggen.h"

namespace {

using opctest::Callback;
using opctest::RecordingSink;
using opctest::TestClient;
using opctest::TestGroup;
using vos::TConfigNode;

// The settings unit's part, counted.
class CountingNames final : public vos::ConfigFileNames {
public:
    void SetConfigFileName(const std::string& name) override { vx::CfgFileName = name; }
    bool IsUntitledConfig() const override { return false; }
    void SaveCfgFileName() override { ++saved; }
    int saved = 0;
};

// The registering log is checked through Notes(); the lines themselves stay off the output.
QtMessageHandler previousHandler = nullptr;
void QuietRegisterLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && std::string(context.category) == "vx.editor.register")
        return;
    if (previousHandler)
        previousHandler(type, context, text);
}

class CfgRegister : public comtest::TaskAllocBalance {
protected:
    CfgRegister() : clock(46365.5), scheduler(clock) {}

    void SetUp() override
    {
        comtest::TaskAllocBalance::SetUp();
        previousHandler = qInstallMessageHandler(QuietRegisterLog);
        plat::setClock(&clock);
        plat::setTimerFactory(&scheduler);
        vx::SetComPortFactory([] { return std::make_unique<chantest::QuietPort>(); });
        vx::ResetSettings();
        vos::ResetConfigSettings();
        plat::setCollationLocale("en_US");
        vx::Language = 1;
        vx::InitializeComm();
        vx::ServerAddress = 126;
        vx::MaxPacketLen = 255;
        registry = std::make_unique<opc::TServer>();
        opc::OPCRegistry = registry.get();
        vos::AttachConfigFileNames(&names);
        editor.SetHooks({[this](bool on) { registerEnabled.push_back(on); }, nullptr});
        registrar.SetHooks({[this] { ++saves; }, [this] { fillComList(); }});
        server = editor.CreateNode(vos::nkServer, nullptr);
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override
    {
        if (sink)
            sink->onCall = nullptr;
        group.release();
        client.reset();
        sink = nullptr;
        opc::OPCRegistry = nullptr;
        registry.reset();
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::SetComPortFactory(nullptr);
        plat::setTimerFactory(nullptr);
        vos::AttachConfigFileNames(nullptr);
        vx::ResetSettings();
        vos::ResetConfigSettings();
        opc::ResetOPCGlobals();
        com::setProcessLocale(com::ProcessLocale::english());
        plat::setCollationLocale("");
        plat::setClock(nullptr);
        qInstallMessageHandler(previousHandler);
        comtest::TaskAllocBalance::TearDown();
    }

    // What the runtime monitor sees when it is asked to list the serial channels.
    void fillComList()
    {
        ++fills;
        channelsAtFill = vx::ComList->size();
        catalogueAtFill = registry->Items.size();
    }

    TConfigNode* add(TConfigNode* parent, vos::TConfigNodeKind kind, const std::string& name)
    {
        TConfigNode* n = editor.CreateNode(kind, parent);
        EXPECT_NE(n, nullptr) << name;
        if (n)
            n->Rec().Name = name;
        return n;
    }
    TConfigNode* station(const std::string& name, std::int32_t type = vx::ctSerial, std::int32_t port = 3,
                         const std::string& ip = "127.0.0.1", std::int32_t bus = 1)
    {
        TConfigNode* n = add(server, vos::nkStation, name);
        n->Rec().ConnectionType = type;
        n->Rec().ComPort = port;
        n->Rec().IpAddress = ip;
        n->Rec().BusAddress = bus;
        return n;
    }
    TConfigNode* variable(TConfigNode* parent, const std::string& name, std::int32_t varType = VT_I4,
                          std::int32_t zone = 3, std::int32_t address = 0)
    {
        TConfigNode* n = add(parent, vos::nkVariable, name);
        n->Rec().VarType = varType;
        n->Rec().Zone = zone;
        n->Rec().Address = address;
        return n;
    }
    // A node of any kind, as a tree from elsewhere than the editor may hold it.
    TConfigNode* raw(TConfigNode* parent, std::uint8_t kind, const std::string& name)
    {
        vos::TConfigNodeRec rec = vos::TConfigNodeRec::WithDefaults(static_cast<vos::TConfigNodeKind>(kind));
        rec.Kind = static_cast<vos::TConfigNodeKind>(kind);
        rec.Name = name;
        TConfigNode* n = editor.Tree().AddChild(parent, rec);
        EXPECT_NE(n, nullptr) << name;
        return n;
    }

    static vx::TStation* findStation(const std::string& name)
    {
        for (const auto& s : *vx::StationList)
            if (s->Name == name)
                return s.get();
        return nullptr;
    }
    opc::Titem* entry(const std::string& id)
    {
        std::int32_t index = 0;
        return registry->FindItem(id, index);
    }
    vx::TVariable* variableOf(const std::string& id)
    {
        opc::Titem* e = entry(id);
        return e ? e->Variable : nullptr;
    }
    std::vector<std::string> itemIDs() const
    {
        std::vector<std::string> out;
        for (const auto& e : registry->Items)
            out.push_back(e.ItemID);
        return out;
    }
    bool noted(const std::string& part) const
    {
        const auto& notes = registrar.Notes();
        return std::any_of(notes.begin(), notes.end(),
                           [&](const std::string& n) { return n.find(part) != std::string::npos; });
    }

    // A client with one active group at 100 ms holding the items, data callbacks to sink.
    std::vector<OPCHANDLE> connectClient(const std::vector<std::string>& ids)
    {
        client = std::make_unique<TestClient>();
        sink = com::makeCom<RecordingSink>();
        group = client->addGroup("G", true, 100);
        EXPECT_TRUE(group);
        EXPECT_NE(group.advise(sink->unknown()), 0u);
        std::vector<opctest::ItemDef> defs;
        for (std::size_t i = 0; i < ids.size(); ++i)
            defs.push_back({ids[i], static_cast<OPCHANDLE>(100 + i), true});
        opctest::AddResult r = group.addItems(defs);
        EXPECT_EQ(r.hr, S_OK);
        std::vector<OPCHANDLE> handles;
        for (std::size_t i = 0; i < r.results.size(); ++i)
            handles.push_back(r.handle(i));
        return handles;
    }
    vx::TVariable* boundVariable(OPCHANDLE h) { return group.object()->ItemByHandle(h)->GetVariable(); }
    void tick(std::int64_t ms)
    {
        clock.advanceMs(ms);
        opc::PulseAllServers(false, clock.now());
    }

    plat::ManualClock clock;
    plat::ManualScheduler scheduler;
    std::unique_ptr<opc::TServer> registry;
    CountingNames names;
    vos::TConfigEditor editor;
    vos::TConfigRegistrar registrar{editor};
    TConfigNode* server = nullptr;
    std::vector<bool> registerEnabled;
    int saves = 0;
    int fills = 0;
    std::size_t channelsAtFill = 0;
    std::size_t catalogueAtFill = 0;

    std::unique_ptr<TestClient> client;
    com::ComPtr<RecordingSink> sink;
    TestGroup group;
};

TEST_F(CfgRegister, ItemsWhoseIDsSurviveReadTheNewVariables)
{
    TConfigNode* plc = station("PLC");
    TConfigNode* a = variable(plc, "A", VT_I4, 3, 10);
    TConfigNode* b = variable(plc, "B");
    registrar.RefreshExecute();
    const std::vector<OPCHANDLE> h = connectClient({"PLC.A", "PLC.B"});
    ASSERT_EQ(h.size(), 2u);
    ASSERT_EQ(boundVariable(h[0]), variableOf("PLC.A"));

    a->Rec().Address = 20;
    ASSERT_TRUE(editor.Tree().DeleteNode(b));
    registrar.RefreshExecute();

    vx::TVariable* renewed = boundVariable(h[0]);
    ASSERT_NE(renewed, nullptr);
    EXPECT_EQ(renewed, variableOf("PLC.A"));
    EXPECT_EQ(renewed->Address, 20);
    // polled again for the item that survived: active, at its group's rate
    EXPECT_TRUE(renewed->Active);
    EXPECT_EQ(renewed->UpdatePeriod, 100u);
    EXPECT_EQ(boundVariable(h[1]), nullptr);
    EXPECT_EQ(entry("PLC.B"), nullptr);

    renewed->Value.setI4(42);
    renewed->Quality = vx::qGood;
    const opctest::ReadResult read = group.read(OPC_DS_CACHE, h);
    ASSERT_EQ(read.states.size(), 2u);
    EXPECT_EQ(read.states[0].value.toI4(), 42);
    EXPECT_EQ(read.states[0].quality, vx::qGood);
    EXPECT_EQ(read.states[1].quality & 0xC0, 0) << "a vanished ID reads bad";
    EXPECT_EQ(group.object()->Items.size(), 2u) << "the client keeps its items";
}

TEST_F(CfgRegister, StationsShareAChannelByComPortAndByIpAddress)
{
    station("S1", vx::ctSerial, 3, "", 1);
    station("S2", vx::ctSerial, 3, "", 2);
    station("S3", vx::ctSerial, 4, "", 1);
    station("T1", vx::ctTcp, 502, "192.168.0.5");
    station("T2", vx::ctTcp, 502, "192.168.0.5");
    station("T3", vx::ctTcp, 502, "192.168.000.005");
    station("U", vx::ctUdp);
    station("L", vx::ctLunaro);
    station("M", vx::ctModem);
    registrar.RefreshExecute();

    ASSERT_EQ(vx::ComList->size(), 2u);
    vx::TStation* s1 = findStation("S1");
    ASSERT_NE(s1->Channel, nullptr);
    EXPECT_EQ(s1->Channel, findStation("S2")->Channel);
    EXPECT_EQ(s1->Channel->Name, "COM3");
    EXPECT_EQ(findStation("S3")->Channel->Name, "COM4");

    ASSERT_EQ(vx::SocketList->size(), 2u);
    vx::TCOM* tcp = findStation("T1")->Channel;
    ASSERT_NE(tcp, nullptr);
    EXPECT_EQ(tcp, findStation("T2")->Channel);
    EXPECT_EQ(tcp->Name, "TCPSocket0");
    EXPECT_EQ(tcp->GetPortNumber(), 502);
    EXPECT_EQ(tcp->Stations.size(), 2u);
    EXPECT_EQ(findStation("T3")->Channel->Name, "TCPSocket1") << "the address text is compared exactly";

    EXPECT_EQ(findStation("U")->Channel, vx::UdpSocket);
    EXPECT_EQ(findStation("L")->Channel, vx::LunaroChannel);
    EXPECT_EQ(findStation("M")->Channel, nullptr);
    EXPECT_EQ(findStation("M")->State, vx::ssBlocked);
    EXPECT_EQ(findStation("S1")->Primary->MaxRedials, 3);
    EXPECT_EQ(findStation("S1")->Standby->MaxRedials, 0);

    // The runtime monitor lists the new channels before the catalogue is filled.
    EXPECT_EQ(fills, 1);
    EXPECT_EQ(channelsAtFill, 2u);
    EXPECT_EQ(catalogueAtFill, 0u);

    // Again: the old channels are freed, the stations attached anew.
    registrar.RefreshExecute();
    EXPECT_EQ(vx::ComList->size(), 2u);
    EXPECT_EQ(vx::SocketList->size(), 2u);
    EXPECT_EQ(vx::UdpSocket->Stations.size(), 1u);
    EXPECT_EQ(vx::LunaroChannel->Stations.size(), 1u);
}

TEST_F(CfgRegister, ZoneMAddressesNeverAliasAnotherBlock)
{
    struct Case {
        std::int32_t zone;
        std::int32_t address;
        bool refused;
        std::int32_t modelZone;
        std::int32_t modelAddress;
    } cases[] = {
        {4, 70000, false, 0x81, 4464},
        {4, 0, false, 0x80, 0},
        {4, 8388607, false, 0xFF, 65535},
        {4, 8388608, true, 0, 0},  // block 128 would fold onto block 0
        {4, 2147483647, true, 0, 0},
        {4, -1, true, 0, 0},
        {4, -65536, true, 0, 0},
        {3, 500, false, 3, 500},
    };
    TConfigNode* plc = station("PLC");
    for (std::size_t i = 0; i < std::size(cases); ++i)
        variable(plc, "V" + std::to_string(i), VT_UI1, cases[i].zone, cases[i].address);
    registrar.RefreshExecute();
    vx::TCOM* channel = findStation("PLC")->Channel;
    ASSERT_NE(channel, nullptr);

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.address);
        vx::TVariable* v = variableOf("PLC.V" + std::to_string(i));
        ASSERT_NE(v, nullptr);
        bool done = false;
        const HRESULT hr = v->RequestRead(done);
        if (c.refused) {
            EXPECT_EQ(v->Zone & 0x80, 0) << "no zone M block";
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_TRUE(done);
            EXPECT_EQ(v->Quality, vx::qConfigError);
            EXPECT_TRUE(channel->ReadQueue.empty());
        } else {
            EXPECT_EQ(v->Zone, c.modelZone);
            EXPECT_EQ(v->Address, c.modelAddress);
            EXPECT_EQ(hr, S_OK);
            EXPECT_FALSE(done);
            channel->ReadQueue.Clear();
        }
    }
}

TEST_F(CfgRegister, ScalingOnlyForNumbers)
{
    struct Case {
        std::int32_t varType;
        std::int32_t scaledType;
        bool scaled;
        VARTYPE itemType;
    } cases[] = {
        {VT_BOOL, VT_R8, false, VT_BOOL},  // a Boolean registers unscaled, with its own type
        {VT_BSTR, VT_R4, false, VT_BSTR},
        {VT_I2, VT_R8, true, VT_R8},
        {VT_UI4, VT_R4, true, VT_R4},
        {0x10000 | VT_I2, VT_R8, false, VT_I2},  // looks like I2 only in its low 16 bits
    };
    TConfigNode* plc = station("PLC");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        TConfigNode* n = variable(plc, "V" + std::to_string(i), cases[i].varType);
        n->Rec().Scaled = 1;
        n->Rec().ScaledVarType = cases[i].scaledType;
        n->Rec().InstrumentHigh = 100;
        n->Rec().ScaledHigh = 10;
    }
    registrar.RefreshExecute();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].varType);
        const opc::Titem* e = entry("PLC.V" + std::to_string(i));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->Variable->GetScaled(), cases[i].scaled);
        EXPECT_EQ(e->Variable->RequestedType, cases[i].itemType);
        EXPECT_EQ(e->CanonicalType, cases[i].itemType);
        EXPECT_EQ(e->Variable->RawHigh, 100);
        EXPECT_EQ(e->Variable->EuHigh, 10);
    }
}

TEST_F(CfgRegister, SavesOnlyAModifiedConfigurationAndAlwaysRemembersItsName)
{
    editor.SetModified(true);
    registrar.RefreshExecute();
    EXPECT_EQ(saves, 0) << "the server node alone is not saved";

    station("PLC");
    editor.SetModified(false);
    registrar.RefreshExecute();
    EXPECT_EQ(saves, 0) << "an unmodified configuration is not saved";

    editor.SetModified(true);
    registrar.RefreshExecute();
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(names.saved, 3);

    // Without a save command registering goes on, as after a cancelled dialog.
    registrar.SetHooks({});
    registrar.RefreshExecute();
    EXPECT_TRUE(editor.Modified());
    EXPECT_NE(entry("PLC.INT_TimeStamp"), nullptr);
    EXPECT_FALSE(editor.RegisterPending());
    ASSERT_FALSE(registerEnabled.empty());
    EXPECT_FALSE(registerEnabled.back());
}

TEST_F(CfgRegister, CommunicationRestartsOnlyWhenItRan)
{
    station("PLC");
    registrar.RefreshExecute();
    EXPECT_FALSE(vx::CommServer->Running) << "at start-up the first client item starts it";
    EXPECT_FALSE(findStation("PLC")->Channel->Polling);

    vx::CommServer->StartCommunication();
    registrar.RefreshExecute();
    EXPECT_TRUE(vx::CommServer->Running);
    EXPECT_TRUE(findStation("PLC")->Channel->Polling);
}

TEST_F(CfgRegister, HandlesRunFrom5000InItemIDOrder)
{
    TConfigNode* b = station("b");
    variable(add(b, vos::nkFolder, "F"), "x");
    TConfigNode* a = station("A");
    variable(a, "z");
    variable(a, "Y");
    TConfigNode* modem = add(server, vos::nkModem, "Modem1");
    editor.CreateModemServiceItems(modem);
    const std::vector<std::string> expected = {"A.INT_TimeStamp", "A.Y",       "A.z",
                                               "b.F.x",           "b.INT_TimeStamp", "Modem1.ModemType",
                                               "Modem1.Status"};
    for (int round = 0; round < 2; ++round) {
        registrar.RefreshExecute();
        EXPECT_EQ(itemIDs(), expected);
        for (std::size_t i = 0; i < registry->Items.size(); ++i)
            EXPECT_EQ(registry->Items[i].Handle, 5000 + static_cast<std::int32_t>(i));
    }
    // Stations and their variables by name; the modem's in tree order.
    ASSERT_EQ(vx::StationList->size(), 2u);
    EXPECT_EQ((*vx::StationList)[0]->Name, "A");
    std::vector<std::string> names;
    for (const vx::TVariable* v : *(*vx::StationList)[0]->Variables)
        names.push_back(v->Name);
    EXPECT_EQ(names, (std::vector<std::string>{"INT_TimeStamp", "Y", "z"}));
    ASSERT_EQ(vx::ModemList->size(), 1u);
    const vx::TModem& m = **vx::ModemList->begin();
    EXPECT_EQ(m.Variables->size(), 2u);
    EXPECT_EQ((*m.Variables)[0]->Name, "Status");
    EXPECT_EQ((*m.Variables)[0]->Quality, vx::qGood) << "a modem code under its modem is bound";
}

TEST_F(CfgRegister, AModemsServiceItemsAreBoundToItsStateAndType)
{
    TConfigNode* modem = add(server, vos::nkModem, "Modem1");
    editor.CreateModemServiceItems(modem);
    TConfigNode* text = variable(modem, "MOD_StatusStr", VT_BSTR);
    text->Rec().ServiceCode = vx::vkModStatusStr;
    registrar.RefreshExecute();
    ASSERT_EQ(vx::ModemList->size(), 1u);
    vx::TModem& m = **vx::ModemList->begin();
    ASSERT_NE(m.StatusVariable, nullptr);
    ASSERT_NE(m.StatusTextVariable, nullptr);
    ASSERT_NE(m.ModemTypeVariable, nullptr);
    EXPECT_EQ(m.StatusVariable->Name, "Status");
    EXPECT_EQ(m.StatusTextVariable->Name, "MOD_StatusStr");
    EXPECT_EQ(m.ModemTypeVariable->Name, "ModemType");
    m.SetState(vx::TModem::msStart);
    EXPECT_EQ(m.StatusVariable->Value.toI4(), std::optional<std::int32_t>(vx::TModem::msStart));
    EXPECT_EQ(m.StatusTextVariable->Value.toUtf8(), m.StateName());
}

TEST_F(CfgRegister, ADuplicateItemIDGivesOneEntry)
{
    TConfigNode* s = station("S");
    TConfigNode* dotted = variable(s, "F.A", VT_I4, 3, 1);
    variable(add(s, vos::nkFolder, "F"), "A", VT_I4, 3, 2);
    variable(s, "Temp", VT_I4, 3, 3);
    variable(s, "TEMP", VT_I4, 3, 4);
    registrar.RefreshExecute();

    EXPECT_EQ(itemIDs(), (std::vector<std::string>{"S.F.A", "S.INT_TimeStamp", "S.Temp"}));
    for (std::size_t i = 0; i < registry->Items.size(); ++i)
        EXPECT_EQ(registry->Items[i].Handle, 5000 + static_cast<std::int32_t>(i));
    // The first in registering order keeps the ID: names sort "A" before "F.A", and equal
    // names keep their tree order.
    EXPECT_EQ(variableOf("S.F.A")->Address, 2);
    EXPECT_EQ(variableOf("S.TEMP")->Address, 3);
    // The others are built, not offered, and named in the log.
    EXPECT_EQ(findStation("S")->Variables->size(), 5u);
    EXPECT_TRUE(noted("\"F.A\" in \"S\" is not offered"));
    EXPECT_TRUE(noted("\"TEMP\" in \"S\" is not offered"));

    // A client asking for the ID gets the one variable, also after a second registering.
    const std::vector<OPCHANDLE> h = connectClient({"S.f.a"});
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(boundVariable(h[0])->Address, 2);
    ASSERT_TRUE(editor.Tree().DeleteNode(dotted));
    registrar.RefreshExecute();
    EXPECT_EQ(boundVariable(h[0])->Address, 2);
    EXPECT_FALSE(noted("\"F.A\""));
}

TEST_F(CfgRegister, AMisplacedServiceCodeStaysUnbound)
{
    TConfigNode* s = station("S");
    TConfigNode* control = variable(s, "CON_Control", VT_I4);
    control->Rec().ServiceCode = vx::vkConControl;
    TConfigNode* stray = variable(add(s, vos::nkFolder, "F"), "MOD_Status", VT_I4);
    stray->Rec().ServiceCode = vx::vkModStatus;
    TConfigNode* modem = add(server, vos::nkModem, "Modem1");
    TConfigNode* onModem = variable(modem, "CON_Control", VT_I4);
    onModem->Rec().ServiceCode = vx::vkConControl;
    onModem->Rec().InitialValue = "1";
    TConfigNode* dial = variable(modem, "REM_Status", VT_I4);
    dial->Rec().ServiceCode = vx::vkDialState;
    TConfigNode* buffer = variable(modem, "DRW_DataBuffer", VT_ARRAY | VT_UI1);
    buffer->Rec().ServiceCode = vx::vkDrwDataBuffer;
    registrar.RefreshExecute();

    vx::TStation* st = findStation("S");
    vx::TVariable* bound = variableOf("S.CON_Control");
    EXPECT_EQ(st->ControlVariable, bound);
    EXPECT_EQ(bound->Quality, vx::qGood);

    struct Case {
        const char* id;
        std::int32_t kind;
        HRESULT write;  // a client write reaches no owner of the wrong kind
    } misplaced[] = {{"S.F.MOD_Status", vx::vkModStatus, S_OK},
                     {"Modem1.CON_Control", vx::vkConControl, E_FAIL},
                     {"Modem1.REM_Status", vx::vkDialState, E_FAIL},
                     {"Modem1.DRW_DataBuffer", vx::vkDrwDataBuffer, E_FAIL}};
    for (const Case& c : misplaced) {
        SCOPED_TRACE(c.id);
        vx::TVariable* v = variableOf(c.id);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->Kind, c.kind) << "keeps its kind";
        EXPECT_EQ(v->Quality, vx::qConfigError);
        EXPECT_TRUE(noted(std::string("\"") + c.id + "\": service code"));
        EXPECT_NE(st->ControlVariable, v);
        EXPECT_NE(st->DialStateVariable, v);
        EXPECT_NE(st->DRW_DataBuffer, v);
        bool done = false;
        EXPECT_EQ(v->WriteValue(done), c.write);
        EXPECT_TRUE(done);
    }
    EXPECT_EQ(variableOf("Modem1.CON_Control")->Value.toI4(), 1) << "keeps its initial value";
    EXPECT_EQ(st->ConnectionControl, 0);
}

TEST_F(CfgRegister, ArraysLargerThanAZoneGetNoValue)
{
    struct Case {
        std::int32_t varType;
        std::int32_t count;
        std::int32_t stringLength;
        bool forced;
        bool held;
    } cases[] = {
        {VT_ARRAY | VT_UI1, 65536, 0, false, true},
        {VT_ARRAY | VT_UI1, 65537, 0, false, false},
        {VT_ARRAY | VT_R8, 8192, 0, false, true},
        {VT_ARRAY | VT_R8, 8193, 0, false, false},
        {VT_ARRAY | VT_R8, 8193, 0, true, true},  // simulated: kept up to the cap
        {VT_ARRAY | VT_R8, 65536, 0, true, true},
        {VT_ARRAY | VT_R8, 65537, 0, true, false},
        {VT_ARRAY | VT_BOOL, 524288, 0, false, true},  // bits: a whole zone
        {VT_ARRAY | VT_BOOL, 524289, 0, false, false},
        {VT_ARRAY | VT_BSTR, 100, 1000, false, false},
        {VT_ARRAY | VT_BSTR, 65537, 0, false, false},
        {VT_ARRAY | VT_I4, 2147483647, 0, false, false},
        {VT_ARRAY | VT_I4, 2147483647, 0, true, false},
    };
    TConfigNode* plc = station("PLC");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        TConfigNode* n = variable(plc, "V" + std::to_string(i), cases[i].varType, 3, 0);
        n->Rec().ArrayLength = cases[i].count;
        n->Rec().StringLength = cases[i].stringLength;
        n->Rec().Simulated = cases[i].forced;
        n->Rec().InitialValue = "1;2;3";
    }
    registrar.RefreshExecute();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << c.varType << " x " << c.count << (c.forced ? " forced" : ""));
        const std::string id = "PLC.V" + std::to_string(i);
        vx::TVariable* v = variableOf(id);
        ASSERT_NE(v, nullptr);
        if (c.held) {
            ASSERT_TRUE(v->Value.vt() & VT_ARRAY);
            EXPECT_EQ(v->Value.get()->parray->rgsabound[0].cElements, static_cast<ULONG>(c.count));
            EXPECT_NE(v->Quality, vx::qConfigError);
        } else {
            EXPECT_EQ(v->Value.vt(), VT_EMPTY);
            EXPECT_EQ(v->Quality, vx::qConfigError);
            EXPECT_TRUE(noted("\"" + id + "\": an array of"));
            bool done = false;
            EXPECT_EQ(v->RequestRead(done), E_FAIL);
            EXPECT_TRUE(done);
        }
    }
    EXPECT_TRUE(findStation("PLC")->Channel->ReadQueue.empty());
}

TEST_F(CfgRegister, PendingAsyncReadAndWriteCompleteAcrossARegistration)
{
    TConfigNode* plc = station("PLC");
    variable(plc, "A", VT_I2, 3, 0);
    variable(plc, "B", VT_I2, 3, 1);
    registrar.RefreshExecute();
    const std::vector<OPCHANDLE> h = connectClient({"PLC.A", "PLC.B"});
    ASSERT_EQ(h.size(), 2u);
    tick(1000);
    sink->calls.clear();

    com::Variant six;
    six.setI2(6);
    ASSERT_EQ(group.asyncRead({h[0]}, 7).hr, S_OK);
    ASSERT_EQ(group.asyncWrite({h[1]}, {six}, 8).hr, S_OK);
    vx::TStation* old = findStation("PLC");
    ASSERT_FALSE(old->Channel->ReadQueue.empty()) << "the requests wait in the stopped channel";
    ASSERT_FALSE(old->Channel->WriteQueue.empty());

    registrar.RefreshExecute();
    for (const auto& t : group.object()->WaitingList) {
        EXPECT_EQ(t->PendingRequests, 0) << "the freed requests ended their transactions";
        EXPECT_TRUE(t->WaitVariables.empty());
    }
    tick(1000);
    ASSERT_EQ(sink->count(Callback::ReadComplete), 1u);
    ASSERT_EQ(sink->count(Callback::WriteComplete), 1u);
    EXPECT_EQ(sink->last(Callback::ReadComplete)->transactionID, 7u);
    EXPECT_EQ(sink->last(Callback::WriteComplete)->transactionID, 8u);
    EXPECT_TRUE(group.object()->ReadyList.empty());
    EXPECT_EQ(boundVariable(h[0]), variableOf("PLC.A"));
    EXPECT_TRUE(findStation("PLC")->Channel->ReadQueue.empty());
}

TEST_F(CfgRegister, AMalformedTreeRegistersWithoutACrash)
{
    TConfigNode* s = station("S");
    TConfigNode* v = variable(s, "V");
    variable(raw(v, vos::nkFolder, "Under"), "Deep");
    raw(v, vos::nkVariable, "Child");
    variable(raw(s, 7, "Odd"), "InOdd");
    raw(server, vos::nkVariable, "AtServer");
    raw(server, vos::nkFolder, "FolderAtServer");
    raw(editor.Tree().Root(), vos::nkVariable, "TopLevel");
    TConfigNode* unknown = raw(editor.Tree().Root(), 99, "Unknown");
    raw(unknown, vos::nkStation, "Hidden");
    TConfigNode* second = raw(editor.Tree().Root(), vos::nkServer, "Second");
    raw(second, vos::nkStation, "Other");

    registrar.RefreshExecute();
    EXPECT_EQ(itemIDs(), (std::vector<std::string>{"Other.INT_TimeStamp", "S.INT_TimeStamp", "S.V"}));
    EXPECT_EQ(findStation("Hidden"), nullptr);
    for (const char* skipped :
         {"\"Server.S.V.Under\" lies under a variable", "\"Server.S.V.Child\" lies under a variable",
          "\"Server.S.Odd\" is of unknown kind 7", "\"Server.AtServer\" has no station",
          "\"Server.FolderAtServer\" has no station", "\"TopLevel\" has no station",
          "\"Unknown\" is of unknown kind 99"})
        EXPECT_TRUE(noted(skipped)) << skipped;
}

TEST_F(CfgRegister, AGeneratedFileLoadsAndRegisters)
{
    const std::string description = R"(header version=128
tree version=2
server
  station Name=PLC ConnectionType=0 ComPort=2 BusAddress=1
    services
    folder Name=Databox
      variable Name=Archive Zone=4 Address=70000 VarType=0x2012 ArrayLength=10
      variable Name=Beyond Zone=4 Address=8388608 VarType=18
    variable Name=Holder VarType=3
      variable Name=Pasted VarType=3
    variable Name=Level Zone=3 Address=6 VarType=18 Scaled=1 InstrumentHigh=27648 ScaledHigh=100 ScaledVarType=5
  station Name=Net ConnectionType=4 IpAddress=10.0.0.5 ComPort=502
  modem Name=Modem1 ComPort=3
    services
    variable Name=Stray ServiceCode=40 VarType=3
)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string file = dir.filePath("plant.cfg").toStdString();
    {
        std::ofstream out(file, std::ios::binary);
        out << cfggen::fromDescription(description);
    }
    names.SetConfigFileName(file);
    vos::TConfigFileCommands commands(editor);
    ASSERT_EQ(commands.LoadConfiguration(vos::TLoadSender::Settings), vos::TLoadResult::Loaded);
    registrar.RefreshExecute();

    EXPECT_EQ(registry->Items.size(), 25u);  // 1 + 16 + 4, 1, 3
    const vx::TVariable* archive = variableOf("PLC.Databox.Archive");
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(archive->Zone, 0x81);
    EXPECT_EQ(archive->Address, 4464);
    EXPECT_EQ(archive->Value.vt(), VT_ARRAY | VT_UI2);
    EXPECT_EQ(variableOf("PLC.Databox.Beyond")->Zone, vx::kZoneOutside);
    EXPECT_EQ(variableOf("PLC.Level")->RequestedType, VT_R8);
    EXPECT_EQ(entry("PLC.Holder.Pasted"), nullptr);
    EXPECT_TRUE(noted("\"Server.PLC.Holder.Pasted\" lies under a variable"));
    vx::TStation* plc = findStation("PLC");
    EXPECT_EQ(plc->ControlVariable, variableOf("PLC.Service.CON_Control"));
    EXPECT_EQ(plc->DRW_DataBuffer, variableOf("PLC.Service.DRW_DataBuffer"));
    EXPECT_EQ(plc->Channel->Name, "COM2");
    EXPECT_EQ(findStation("Net")->Channel->Name, "TCPSocket0");
    EXPECT_EQ(variableOf("Modem1.Status")->Quality, vx::qGood);
    EXPECT_EQ(variableOf("Modem1.Stray")->Quality, vx::qConfigError);
    EXPECT_FALSE(editor.RegisterPending());
}

}  // namespace
