// opcclient's commands against the server objects in this process: it uses COM calls only,
// so the same commands reach a server in another process over the bus. The fixture's pulse
// ticks deliver the callbacks while a command waits; its allocator check shows that the
// client frees everything the server hands out.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sstream>
#include <string>
#include <vector>

#include "opc/opc_register.h"
#include "platform/com/registry.h"
#include "tests/opc/opc_fixture.h"
#include "tools/opcclient/commands.h"
#include "tools/opcclient/format.h"

namespace {

using opctest::OpcFixture;

const std::string kServerClass = "{806F6780-14F5-4D43-BF45-BB508ED2B724}";

struct ClientRun {
    int rc = -1;
    std::string out;
    std::string err;

    // The output's lines, each a JSON object.
    std::vector<QJsonObject> json() const
    {
        std::vector<QJsonObject> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            lines.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
        return lines;
    }
    QJsonObject only() const
    {
        const auto lines = json();
        EXPECT_EQ(lines.size(), 1u) << out;
        return lines.empty() ? QJsonObject() : lines.front();
    }
};

class OpcClientCommands : public OpcFixture {
protected:
    void SetUp() override
    {
        OpcFixture::SetUp();
        ASSERT_TRUE(SUCCEEDED(apartment_.result()));
        level = var("Level", VT_I2);
        level->Value.setI2(42);
        temperature = var("Temperature", VT_R4);
        temperature->Value.setR4(20.5f);
        mode = var("Mode", VT_BSTR);
        mode->Value.setString(std::string_view("Auto"));
        recipe = var("Recipe", VT_ARRAY | VT_I4, 100, 3);
        readOnly = var("Counter", VT_UI4, 200);
        readOnly->Writable = false;
        buildCatalogue();
        ASSERT_EQ(classes_.Register(), S_OK);
    }
    void TearDown() override
    {
        classes_.Revoke();
        OpcFixture::TearDown();
    }

    // opcclient with these arguments after the program's name, the server's class ID given
    // unless the arguments begin with "@server".
    ClientRun run(std::vector<std::string> args)
    {
        std::vector<std::string> all = {"opcclient"};
        if (args.empty() || args.front() != "@server")
            all.push_back(kServerClass);
        else
            args.erase(args.begin());
        all.insert(all.end(), args.begin(), args.end());
        std::string error;
        const auto options = opcclient::ParseArguments(all, &error);
        EXPECT_TRUE(options) << error;
        ClientRun r;
        if (!options)
            return r;
        std::ostringstream out, err;
        opcclient::TSession session;
        r.rc = opcclient::RunCommand(*options, session, out, err, [this](const std::function<bool()>& done, int) {
            // Ten seconds of pulses, the PLC answering every request at once.
            for (int i = 0; i < 100 && !done(); ++i) {
                if (onTick)
                    onTick(i);
                completeRequests();
                tick(100);
            }
            return done();
        });
        r.out = out.str();
        r.err = err.str();
        EXPECT_TRUE(registry->Servers.empty()) << "the session lets go of the server object";
        return r;
    }

    vx::TVariable* level = nullptr;
    vx::TVariable* temperature = nullptr;
    vx::TVariable* mode = nullptr;
    vx::TVariable* recipe = nullptr;
    vx::TVariable* readOnly = nullptr;
    std::function<void(int)> onTick;

private:
    com::ApartmentScope apartment_;
    opc::TClassObjectRegistration classes_;
};

TEST_F(OpcClientCommands, StatusBrowseAndProperties)
{
    const QJsonObject status = run({"--json", "status"}).only();
    EXPECT_EQ(status["ok"].toBool(), true);
    EXPECT_EQ(status["state"].toString(), "running");
    EXPECT_TRUE(status["startTime"].toString().endsWith("Z"));

    ClientRun browse = run({"--json", "browse", "St.?e*"});
    EXPECT_EQ(browse.rc, opcclient::kExitOk);
    EXPECT_EQ(browse.only()["items"].toArray(), (QJsonArray{"St.Level", "St.Recipe", "St.Temperature"}));
    EXPECT_EQ(run({"browse"}).out, "St.Counter\nSt.INT_TimeStamp\nSt.Level\nSt.Mode\nSt.Recipe\nSt.Temperature\n");
    EXPECT_EQ(run({"browse", "--type", "r4"}).out, "St.Temperature\n");
    EXPECT_EQ(run({"browse", "--rights", "write", "St.C*"}).out, "") << "the counter is read-only";

    const QJsonObject props = run({"--json", "properties", "St.Level"}).only();
    const QJsonArray list = props["properties"].toArray();
    ASSERT_GE(list.size(), 2);
    EXPECT_EQ(list[0].toObject()["id"].toInt(), 1);
    EXPECT_EQ(list[0].toObject()["value"].toInt(), VT_I2) << "the canonical type";
    EXPECT_EQ(list[1].toObject()["id"].toInt(), 2);
    EXPECT_EQ(list[1].toObject()["value"].toInt(), 42);
    EXPECT_EQ(run({"properties", "St.Nothing"}).rc, opcclient::kExitFailed);
}

TEST_F(OpcClientCommands, ReadsForPeopleAndForScripts)
{
    const ClientRun people = run({"read", "St.Level", "St.Mode"});
    EXPECT_EQ(people.rc, opcclient::kExitOk) << people.err;
    EXPECT_TRUE(people.out.starts_with("St.Level = 42  VT_I2  good  20")) << people.out;
    EXPECT_NE(people.out.find("\nSt.Mode = Auto  VT_BSTR  good  "), std::string::npos) << people.out;

    const ClientRun script = run({"--json", "read", "St.Temperature", "St.Recipe", "St.Nothing"});
    EXPECT_EQ(script.rc, opcclient::kExitFailed) << "one item is unknown";
    const QJsonObject o = script.only();
    EXPECT_FALSE(o["ok"].toBool());
    const QJsonArray items = o["items"].toArray();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].toObject()["value"].toDouble(), 20.5);
    EXPECT_EQ(items[0].toObject()["type"].toString(), "VT_R4");
    EXPECT_EQ(items[0].toObject()["quality"].toInt(), 0xC0);
    EXPECT_EQ(items[1].toObject()["value"].toArray(), (QJsonArray{0, 0, 0}));
    EXPECT_EQ(items[1].toObject()["type"].toString(), "VT_ARRAY|VT_I4");
    EXPECT_EQ(items[2].toObject()["item"].toString(), "St.Nothing");
    EXPECT_EQ(items[2].toObject()["error"].toObject()["code"].toString(), "0xC0040007");
    EXPECT_FALSE(items[2].toObject()["error"].toObject()["text"].toString().isEmpty()) << "the server's text";

    const QJsonObject async = run({"--json", "read-async", "St.Level"}).only();
    EXPECT_TRUE(async["ok"].toBool());
    EXPECT_EQ(async["items"].toArray()[0].toObject()["value"].toInt(), 42);
}

TEST_F(OpcClientCommands, WritesTakeTheItemsTypes)
{
    ClientRun r = run({"write", "St.Level=-7", "St.Temperature=1.25", "St.Mode=Hand", "St.Recipe=[1, 2, 3]"});
    EXPECT_EQ(r.rc, opcclient::kExitOk) << r.err;
    EXPECT_EQ(r.out, "St.Level: written\nSt.Temperature: written\nSt.Mode: written\nSt.Recipe: written\n");
    EXPECT_EQ(level->Value.vt(), VT_I2);
    EXPECT_EQ(level->Value.get()->iVal, -7);
    EXPECT_EQ(temperature->Value.get()->fltVal, 1.25f);
    EXPECT_EQ(mode->Value.toUtf8(), "Hand");
    EXPECT_EQ(recipe->Value.vt(), VT_ARRAY | VT_I4);

    const QJsonObject async = run({"--json", "write-async", "St.Level=9", "St.Counter=1"}).only();
    EXPECT_FALSE(async["ok"].toBool());
    const QJsonArray items = async["items"].toArray();
    ASSERT_EQ(items.size(), 2);
    EXPECT_TRUE(items[0].toObject()["ok"].toBool());
    EXPECT_EQ(items[1].toObject()["error"].toObject()["code"].toString(), "0xC0040006") << "OPC_E_BADRIGHTS";
    EXPECT_EQ(level->Value.get()->iVal, 9);
}

TEST_F(OpcClientCommands, AValueThatDoesNotFitWritesNothing)
{
    for (const char* bad : {"St.Level=40000", "St.Level=abc", "St.Recipe=1", "St.Recipe=[1,\"x\"]"}) {
        SCOPED_TRACE(bad);
        const ClientRun r = run({"write", "St.Temperature=3", bad});
        EXPECT_EQ(r.rc, opcclient::kExitFailed);
        EXPECT_NE(r.err.find("is no"), std::string::npos) << r.err;
        EXPECT_EQ(temperature->Value.get()->fltVal, 20.5f);
        EXPECT_TRUE(channel->WriteQueue.empty());
    }
}

TEST_F(OpcClientCommands, SubscribePrintsDataChangesUntilItsCount)
{
    onTick = [this](int i) { level->Value.setI2(static_cast<SHORT>(100 + i)); };
    const ClientRun r = run({"--json", "--rate", "200", "--count", "3", "subscribe", "St.Level", "St.Mode"});
    EXPECT_EQ(r.rc, opcclient::kExitOk);
    const auto lines = r.json();
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0]["event"].toString(), "dataChange");
    EXPECT_EQ(lines[0]["items"].toArray().size(), 2) << "every item once at first";
    const QJsonArray later = lines[2]["items"].toArray();
    ASSERT_EQ(later.size(), 1) << "then only what changed";
    EXPECT_EQ(later[0].toObject()["item"].toString(), "St.Level");
    EXPECT_GE(later[0].toObject()["value"].toInt(), 100);
}

TEST_F(OpcClientCommands, TheServersShutdownRequestEndsASubscription)
{
    onTick = [this](int i) {
        if (i == 3)
            registry->ShutdownClients();
    };
    const ClientRun r = run({"subscribe", "St.Level"});
    EXPECT_EQ(r.rc, opcclient::kExitOk);
    EXPECT_NE(r.out.find("The server asks its clients to disconnect: "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Subscribed to 1 items"), std::string::npos) << r.err;
}

TEST_F(OpcClientCommands, ProgIDsComeFromTheRegistry)
{
    com::classesRoot().setValue(u"Test.Server\\CLSID", {}, plat::utf8ToUtf16(kServerClass));
    const ClientRun found = run({"@server", "Test.Server", "read", "St.Level"});
    com::classesRoot().deleteTree(u"Test.Server");
    EXPECT_EQ(found.rc, opcclient::kExitOk) << found.err;

    const ClientRun missing = run({"@server", "--json", "No.Such.Server", "status"});
    EXPECT_EQ(missing.rc, opcclient::kExitFailed);
    EXPECT_EQ(missing.only()["error"].toObject()["code"].toString(), "0x800401F3");
    const ClientRun people = run({"@server", "No.Such.Server", "status"});
    EXPECT_EQ(people.err, "opcclient: cannot connect: \"No.Such.Server\" is no class ID and no registered ProgID: 0x800401F3\n");
}

struct ArgsCase {
    std::vector<std::string> args;
    bool valid;
};

TEST(OpcClientArguments, Table)
{
    const std::vector<ArgsCase> cases = {
        {{"S", "status"}, true},
        {{"--json", "S", "read", "A", "B", "--device"}, true},
        {{"S", "browse"}, true},
        {{"S", "browse", "A*", "B*"}, false},
        {{"S", "write", "A=1", "B=[1,2]"}, true},
        {{"S", "write", "A"}, false},
        {{"S", "write", "=1"}, false},
        {{"S", "read"}, false},
        {{"S", "properties", "A", "B"}, false},
        {{"S"}, false},
        {{"S", "remove", "A"}, false},
        {{"--rate", "abc", "S", "status"}, false},
        {{"--rate=-5", "S", "status"}, false},
        {{"--rate=250", "S", "status"}, true},
        {{"--registry", "S", "status"}, false},
        {{"--registry="}, false},
        {{"--type", "VT_BLOB", "S", "browse"}, false},
        {{"--type", "VT_ARRAY|VT_R4", "S", "browse"}, true},
        {{"--rights", "all", "S", "browse"}, false},
        {{"--verbose", "S", "status"}, false},
        {{"S", "write", "--", "A=-1"}, true},
        {{"--help"}, true},
    };
    for (const ArgsCase& c : cases) {
        std::vector<std::string> args = {"opcclient"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string shown;
        for (const auto& a : c.args)
            shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        std::string error;
        const auto o = opcclient::ParseArguments(args, &error);
        EXPECT_EQ(o.has_value(), c.valid) << error;
        if (!c.valid) {
            EXPECT_FALSE(error.empty());
        }
    }
    const auto o = opcclient::ParseArguments({"opcclient", "--json", "--rate", "250", "VORN.DA2", "write", "A=1"}, nullptr);
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->Json);
    EXPECT_EQ(o->Rate, 250u);
    EXPECT_EQ(o->Server, "VORN.DA2");
    EXPECT_EQ(o->Command, "write");
    EXPECT_EQ(o->Arguments, std::vector<std::string>{"A=1"});
    EXPECT_EQ(opcclient::ParseArguments({"opcclient", "--type", "i2", "S", "browse"}, nullptr)->BrowseType, VT_I2);
}

struct ValueCase {
    std::string text;
    VARTYPE type;
    bool valid;
    std::string shown;  // VariantText of the result
};

TEST(OpcClientValues, TextToTheItemsTypeAndBack)
{
    const std::vector<ValueCase> cases = {
        {"-32768", VT_I2, true, "-32768"},
        {"32768", VT_I2, false, ""},
        {"12.0", VT_I4, true, "12"},
        {"12.5", VT_I4, false, ""},
        {"255", VT_UI1, true, "255"},
        {"-1", VT_UI4, false, ""},
        {"4294967295", VT_UI4, true, "4294967295"},
        {"1e3", VT_R8, true, "1000"},
        {"0.1", VT_R4, true, "0.1"},
        {"1e39", VT_R4, false, ""},
        {"1,5", VT_R8, false, ""},
        {"nan", VT_R8, false, ""},
        {"On", VT_BOOL, true, "true"},
        {"0", VT_BOOL, true, "false"},
        {"maybe", VT_BOOL, false, ""},
        {"2026-12-10T08:30:00", VT_DATE, true, "2026-12-10T08:30:00.000"},
        {"2026-12-10", VT_DATE, true, "2026-12-10T00:00:00.000"},
        {"tomorrow", VT_DATE, false, ""},
        {"Hand, \"auto\"", VT_BSTR, true, "Hand, \"auto\""},
        {"", VT_BSTR, true, ""},
        {"[1, 2, 3]", VT_ARRAY | VT_UI1, true, "[1,2,3]"},
        {"[\"a\", \"b c\"]", VT_ARRAY | VT_BSTR, true, "[\"a\",\"b c\"]"},
        {"[true, 0]", VT_ARRAY | VT_BOOL, true, "[true,false]"},
        {"[]", VT_ARRAY | VT_R8, true, "[]"},
        {"[1, 300]", VT_ARRAY | VT_UI1, false, ""},
        {"1, 2", VT_ARRAY | VT_I2, false, ""},
        {"x", VT_UNKNOWN, false, ""},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.text + " as " + opcclient::VarTypeName(c.type));
        com::Variant v;
        std::string why;
        ASSERT_EQ(opcclient::ParseValue(c.text, c.type, v, &why), c.valid) << why;
        if (!c.valid) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(v.vt(), c.type);
        EXPECT_EQ(opcclient::VariantText(*v.get()), c.shown.empty() && c.type != VT_BSTR ? "(empty)" : c.shown);
    }
}

TEST(OpcClientValues, QualitiesTimesAndTypes)
{
    EXPECT_EQ(opcclient::QualityText(0xC0), "good");
    EXPECT_EQ(opcclient::QualityText(0xD8), "good (local override)");
    EXPECT_EQ(opcclient::QualityText(0x18), "bad (communication failure)");
    EXPECT_EQ(opcclient::QualityText(0x55), "uncertain (units exceeded), low limited");
    EXPECT_EQ(opcclient::QualityText(0xE0), "good 0xE0");
    EXPECT_EQ(opcclient::FileTimeText({0, 0}), "");
    // 2026-12-10 17:20:01.123 UTC.
    const ULONGLONG ticks = 116444736000000000ULL + 1796923201123ULL * 10000;
    EXPECT_EQ(opcclient::FileTimeText({static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}),
              "2026-12-10T17:20:01.123Z");
    EXPECT_EQ(opcclient::DateText(-1.25), "1899-12-29T06:00:00.000") << "before day zero the fraction runs forward";
    EXPECT_EQ(opcclient::VarTypeName(VT_ARRAY | VT_BSTR), "VT_ARRAY|VT_BSTR");
    EXPECT_EQ(opcclient::VarTypeName(0x0FFF), "4095");
    EXPECT_EQ(opcclient::HResultText(OPC_E_UNKNOWNITEMID), "0xC0040007");
}

}  // namespace
