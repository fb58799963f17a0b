#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QtGlobal>
#include <climits>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "editor/config_file.h"
#include "editor/config_settings.h"
#include "editor/config_validate.h"
#include "editor_fixture.h"
#include "platform/com/variant.h"
#include "tools/cfggen/cfggen.h"

namespace {

using vos::TConfigNode;
using vos::TConfigNodeKind;
using vos::TConfigNodeRec;

using Setter = std::function<void(TConfigNodeRec&)>;

Setter Serial(std::int32_t port, std::int32_t address)
{
    return [=](TConfigNodeRec& r) {
        r.ConnectionType = 0;
        r.ComPort = port;
        r.BusAddress = address;
    };
}
Setter Udp(const std::string& ip)
{
    return [=](TConfigNodeRec& r) {
        r.ConnectionType = 2;
        r.IpAddress = ip;
    };
}
Setter Port(std::int32_t port)
{
    return [=](TConfigNodeRec& r) { r.ComPort = port; };
}
Setter Typed(std::int32_t varType, const std::string& initial, std::int32_t arrayLength = 0)
{
    return [=](TConfigNodeRec& r) {
        r.VarType = varType;
        r.InitialValue = initial;
        r.ArrayLength = arrayLength;
    };
}

// Builds trees node by node, past node creation, so that any conflict can be set up.
class CfgValidate : public editor_test::EditorFixture {
public:
    void SetUp() override
    {
        EditorFixture::SetUp();
        editor.SetValidator(&validation);
    }
    void TearDown() override
    {
        editor.SetValidator(nullptr);
        EditorFixture::TearDown();
    }

    // Table builders reach it from outside the test body.
    TConfigNode* Add(TConfigNode* parent, TConfigNodeKind kind, const std::string& name, const Setter& set = {})
    {
        auto rec = TConfigNodeRec::WithDefaults(kind);
        rec.Name = name;
        if (set)
            set(rec);
        auto* node = editor.Tree().AddChild(parent, std::move(rec));
        EXPECT_NE(node, nullptr) << name;
        return node;
    }
    // A server node alone, names unique as uniqueness says.
    void Fresh(std::int32_t uniqueness = 0)
    {
        editor.ClearConfiguration();
        vos::VarUniqueness = uniqueness;
        server = Add(editor.Tree().Root(), vos::nkServer, "Server");
    }
    std::map<const TConfigNode*, int> WholeTreeCodes()
    {
        std::map<const TConfigNode*, int> codes;
        for (const auto& c : vos::CheckWholeTree(editor.Tree()))
            codes[c.Node] = c.Code;
        return codes;
    }

    vos::TConfigValidation validation{editor};
};

struct CodeCase {
    const char* what;
    std::int32_t uniqueness;
    int expected;
    // Builds the tree under the server and returns the node to check.
    std::function<TConfigNode*(CfgValidate&, TConfigNode* server)> build;
};

// The conflict table, the mended rules with it: names compare as item IDs do (case-insensitive
// by the locale), serial addresses by their low byte, every uniqueness other than 0 per
// station, the station's own time-stamp variable, and names that end in a property keyword.
TEST_F(CfgValidate, ConflictCodes)
{
    const std::vector<CodeCase> cases = {
        {"server named Server", 0, 0, [](CfgValidate&, TConfigNode* s) { return s; }},
        {"server named server", 0, 5,
         [](CfgValidate&, TConfigNode* s) {
             s->Rec().Name = "server";
             return s;
         }},
        {"serial stations COM1 addresses 1 and 1", 0, 4,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             return t.Add(s, vos::nkStation, "D2", Serial(1, 1));
         }},
        {"serial stations on COM1 and COM2", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             return t.Add(s, vos::nkStation, "D2", Serial(2, 1));
         }},
        {"addresses 1 and 257 put the same byte on the line", 0, 4,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             return t.Add(s, vos::nkStation, "D2", Serial(1, 257));
         }},
        {"addresses 1 and 2", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             return t.Add(s, vos::nkStation, "D2", Serial(1, 2));
         }},
        {"TCP stations are compared by name only", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", [](TConfigNodeRec& r) { r.ConnectionType = 4; });
             return t.Add(s, vos::nkStation, "D2", [](TConfigNodeRec& r) { r.ConnectionType = 4; });
         }},
        {"station names Temp and TEMP", 0, 1,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "Temp", Serial(1, 1));
             return t.Add(s, vos::nkStation, "TEMP", Serial(1, 2));
         }},
        {"the name wins over the address of the same station", 0, 1,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             return t.Add(s, vos::nkStation, "d1", Serial(1, 1));
         }},
        {"UDP stations with empty addresses", 0, 7,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Udp(""));
             return t.Add(s, vos::nkStation, "D2", Udp(""));
         }},
        {"UDP stations with different addresses", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Udp("10.0.0.1"));
             return t.Add(s, vos::nkStation, "D2", Udp("10.0.0.2"));
         }},
        {"a UDP and a serial station", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 0));
             return t.Add(s, vos::nkStation, "D2", Udp(""));
         }},
        {"serial station on a modem's COM port", 0, 6,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkModem, "M1", Port(3));
             return t.Add(s, vos::nkStation, "D1", Serial(3, 1));
         }},
        {"UDP station beside a modem on its port number", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkModem, "M1", Port(1));
             return t.Add(s, vos::nkStation, "D1", Udp("10.0.0.1"));
         }},
        {"modem on a serial station's COM port", 0, 8,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(3, 1));
             return t.Add(s, vos::nkModem, "M1", Port(3));
         }},
        {"modem on another modem's COM port", 0, 8,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkModem, "M1", Port(3));
             return t.Add(s, vos::nkModem, "M2", Port(3));
         }},
        {"modem beside a UDP station", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Udp(""));
             return t.Add(s, vos::nkModem, "M1", Port(1));
         }},
        {"modem named like a station", 0, 9,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "Line", Udp(""));
             return t.Add(s, vos::nkModem, "LINE", Port(5));
         }},
        {"variables A and A in one folder", 0, 2,
         [](CfgValidate& t, TConfigNode* s) {
             auto* f = t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkFolder, "F");
             t.Add(f, vos::nkVariable, "A");
             return t.Add(f, vos::nkVariable, "A");
         }},
        {"variables Temp and TEMP", 0, 2,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkVariable, "Temp");
             return t.Add(st, vos::nkVariable, "TEMP");
         }},
        {"variables Žluť and žLUŤ", 0, 2,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkVariable, "Žluť");
             return t.Add(st, vos::nkVariable, "žLUŤ");
         }},
        {"variable named like a sibling folder", 0, 2,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkFolder, "A");
             return t.Add(st, vos::nkVariable, "a");
         }},
        {"A in folders F1 and F2, names per folder", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(t.Add(st, vos::nkFolder, "F1"), vos::nkVariable, "A");
             return t.Add(t.Add(st, vos::nkFolder, "F2"), vos::nkVariable, "A");
         }},
        {"A in folders F1 and F2, names per station", 1, 2,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(t.Add(st, vos::nkFolder, "F1"), vos::nkVariable, "A");
             return t.Add(t.Add(st, vos::nkFolder, "F2"), vos::nkVariable, "A");
         }},
        {"A in folders F1 and F2, uniqueness 2 counts as 1", 2, 2,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(t.Add(st, vos::nkFolder, "F1"), vos::nkVariable, "A");
             return t.Add(t.Add(st, vos::nkFolder, "F2"), vos::nkVariable, "A");
         }},
        {"A twice in one folder, uniqueness 2", 2, 2,
         [](CfgValidate& t, TConfigNode* s) {
             auto* f = t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkFolder, "F");
             t.Add(f, vos::nkVariable, "A");
             return t.Add(f, vos::nkVariable, "A");
         }},
        {"A in the same folders of two stations, names per station", 1, 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkFolder, "F"), vos::nkVariable, "A");
             return t.Add(t.Add(t.Add(s, vos::nkStation, "D2", Serial(1, 1)), vos::nkFolder, "F"), vos::nkVariable,
                          "A");
         }},
        {"folders F and f", 0, 3,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkFolder, "F");
             return t.Add(st, vos::nkFolder, "f");
         }},
        {"Value is a property keyword", 0, 11,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "Value");
         }},
        {"value is not", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "value");
         }},
        {"a name ending in .Units is never reached", 0, 11,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "Pump.Units");
         }},
        {"nor one ending in .Units and a dot", 0, 11,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "Pump.Units.");
         }},
        {"Pump.units is reached", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "Pump.units");
         }},
        {"Units.Pump is reached", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "Units.Pump");
         }},
        {"a keyword wins over a name in conflict", 0, 11,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkVariable, "HiEU");
             return t.Add(st, vos::nkVariable, "HiEU");
         }},
        {"a folder may take a keyword", 0, 0,
         [](CfgValidate& t, TConfigNode* s) { return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkFolder, "Value"); }},
        {"INT_TimeStamp under the station", 0, 2,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "INT_TimeStamp");
         }},
        {"int_timestamp under the station", 0, 2,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "int_timestamp");
         }},
        {"INT_TimeStamp in a folder, names per folder", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkFolder, "F"), vos::nkVariable, "INT_TimeStamp");
         }},
        {"INT_TimeStamp in a folder, names per station", 1, 2,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkFolder, "F"), vos::nkVariable, "INT_TimeStamp");
         }},
        {"INT_TimeStamp under a modem", 1, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkModem, "M1"), vos::nkVariable, "INT_TimeStamp");
         }},
        {"a folder named INT_TimeStamp", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkFolder, "INT_TimeStamp");
         }},
        {"initial value 12 of an integer", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A", Typed(VT_I4, "12"));
         }},
        {"initial value abc of an integer", 0, 10,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A", Typed(VT_I4, "abc"));
         }},
        {"a bad element of an array", 0, 10,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A", Typed(VT_ARRAY | VT_I4, "1;2;x", 3));
         }},
        {"elements past the declared count are not converted", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A", Typed(VT_ARRAY | VT_I4, "1;2;x", 2));
         }},
        {"an array declared with 2,147,483,647 elements is checked without allocating them", 0, 0,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A",
                          Typed(VT_ARRAY | VT_R8, "1;2;3", INT_MAX));
         }},
        {"and its bad element is still found", 0, 10,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A",
                          Typed(VT_ARRAY | VT_I4, "1;y", INT_MAX));
         }},
        {"a type no VARTYPE holds", 0, 10,
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A", Typed(0x10003, "1"));
         }},
        {"a station's initial value is not looked at", 0, 0,
         [](CfgValidate& t, TConfigNode* s) { return t.Add(s, vos::nkStation, "D1", Typed(VT_I4, "abc")); }},
        {"a bad initial value wins over a name in conflict", 0, 10,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkVariable, "A");
             return t.Add(st, vos::nkVariable, "A", Typed(VT_I4, "abc"));
         }},
    };
    for (const auto& c : cases) {
        Fresh(c.uniqueness);
        TConfigNode* node = c.build(*this, server);
        ASSERT_NE(node, nullptr) << c.what;
        EXPECT_EQ(vos::NodeConflict(*node), c.expected) << c.what;
        const auto codes = WholeTreeCodes();
        EXPECT_EQ(codes.count(node) ? codes.at(node) : 0, c.expected) << c.what << " (whole tree)";
        node->Rec().Valid = 1;
        EXPECT_EQ(validation.ValidateNode(*node, false), c.expected) << c.what;
        EXPECT_EQ(node->Rec().Valid, c.expected == 0 ? 1 : 0) << c.what;
    }
}

struct ReportCase {
    int code;
    std::string english;
    std::string czech;
    const char* control;
    std::function<TConfigNode*(CfgValidate&, TConfigNode* server)> build;
};

// Every report as ValidateChangeList hands it over, byte for byte in both languages.
TEST_F(CfgValidate, ReportTexts)
{
    const std::vector<ReportCase> cases = {
        {1, "Device 'D1' already exists. Choose different one please.",
         "Stanice 'D1' již existuje. Zvolte prosím jiný název.", "E_StName",
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             return t.Add(s, vos::nkStation, "D1", Serial(1, 2));
         }},
        {2, "Item 'A' already exists. Choose different one please.",
         "Proměnná 'A' již existuje. Zvolte prosím jiný název.", "E_VarName",
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkVariable, "A");
             return t.Add(st, vos::nkVariable, "A");
         }},
        {3, "Branch 'F' already exists. Choose different one please.",
         "Složka 'F' již existuje. Zvolte prosím jiný název.", "E_FolderName",
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkFolder, "F");
             return t.Add(st, vos::nkFolder, "F");
         }},
        {4, "Device 'D2' has the same address like another device. Choose different one please.",
         "Stanice 'D2' má stejnou adresu jako již existující stanice. Zvolte prosím jinou adresu.", "E_StAddress",
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             return t.Add(s, vos::nkStation, "D2", Serial(1, 1));
         }},
        {5, "", "", "",
         [](CfgValidate&, TConfigNode* s) {
             s->Rec().Name = "Srv";
             return s;
         }},
        {6, "Device 'D1' has the same COM number like another modem. Choose different one please.",
         "Stanice 'D1' má stejné číslo komunikačního portu jako již existující modem. Zvolte prosím jiný komunikační "
         "port.",
         "E_StComNum",
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkModem, "M1", Port(1));
             return t.Add(s, vos::nkStation, "D1", Serial(1, 1));
         }},
        {7, "Device 'D2' has the same IP address like another device. Choose different one please.",
         "Stanice 'D2' má stejnou IP adresu jako již existující stanice. Zvolte prosím jinou IP adresu.",
         "E_StIpAddress",
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Udp("10.0.0.1"));
             return t.Add(s, vos::nkStation, "D2", Udp("10.0.0.1"));
         }},
        {8, "Modem 'M1' has the same COM number like another device or modem. Choose different one please.",
         "Modem 'M1' má stejné číslo komunikačního portu jako již existující stanice nebo modem. Zvolte prosím jiný "
         "komunikační port.",
         "CB_ModComNum",
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(2, 1));
             return t.Add(s, vos::nkModem, "M1", Port(2));
         }},
        {9, "Modem 'M1' already exists. Choose different one please.",
         "Modem 'M1' již existuje. Zvolte prosím jiný název.", "E_ModName",
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkModem, "M1", Port(1));
             return t.Add(s, vos::nkModem, "M1", Port(2));
         }},
        {10, "Item 'A' has bad initial value. Initial value type must be compatible with item value type.",
         "Proměnná 'A' má nesprávnou inicializační hodnotu. Typ inicializační hodnoty musí být kompatibilní s typem "
         "proměnné.",
         "E_VarInitialValue",
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "A", Typed(VT_R8, "one"));
         }},
        {11, " 'Value' is item property reserved name. Choose different one please.",
         " 'Value' je název vyhrazený pro vlastnost proměnné. Zvolte prosím jiný název.", "E_VarName",
         [](CfgValidate& t, TConfigNode* s) {
             return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "Value");
         }},
    };
    std::vector<vos::TConflictReport> handed;
    validation.SetReportHandler([&](const vos::TConflictReport& r) { handed.push_back(r); });
    for (const auto& c : cases) {
        Fresh();
        TConfigNode* node = c.build(*this, server);
        editor.AddToChangeList(node);
        for (int language : {1, 0}) {
            vx::Language = language;
            handed.clear();
            EXPECT_FALSE(validation.ValidateChangeList()) << c.code;
            ASSERT_EQ(handed.size(), 1u) << c.code;
            const auto& r = handed[0];
            EXPECT_EQ(r.Node, node) << c.code;
            EXPECT_EQ(r.Code, c.code);
            EXPECT_EQ(r.Text, language == 1 ? c.english : c.czech) << c.code;
            EXPECT_EQ(r.Control, c.control) << c.code;
            ASSERT_TRUE(validation.LastReport().has_value());
            EXPECT_EQ(validation.LastReport()->Text, r.Text);
        }
        EXPECT_EQ(editor.ChangeList(), std::vector<TConfigNode*>{node});
    }
    vx::Language = 1;
}

// The walk goes from the last edit to the first, takes passed nodes off, and stops at the
// first conflict, which stays listed with everything before it.
TEST_F(CfgValidate, ChangeListWalkAndStop)
{
    Fresh();
    auto* st = Add(server, vos::nkStation, "D1");
    auto* a = Add(st, vos::nkVariable, "A");
    auto* b = Add(st, vos::nkVariable, "B");
    auto* c = Add(st, vos::nkVariable, "C");
    auto* d = Add(st, vos::nkVariable, "D");
    for (auto* n : {a, b, c, d}) {
        n->Rec().Valid = 0;
        editor.AddToChangeList(n);
    }
    b->Rec().Name = "c";  // b and c now conflict
    int reports = 0;
    validation.SetReportHandler([&](const vos::TConflictReport&) { ++reports; });

    EXPECT_FALSE(validation.ValidateChangeList());
    EXPECT_EQ(editor.ChangeList(), (std::vector<TConfigNode*>{a, b, c}));
    EXPECT_EQ(validation.LastReport()->Node, c);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(d->Rec().Valid, 1);
    EXPECT_EQ(c->Rec().Valid, 0);
    EXPECT_EQ(a->Rec().Valid, 0);  // not reached

    // Still in conflict: the same report again, nothing else changes.
    EXPECT_FALSE(validation.ValidateChangeList());
    EXPECT_EQ(editor.ChangeList().size(), 3u);
    EXPECT_EQ(reports, 2);

    b->Rec().Name = "B";
    EXPECT_TRUE(validation.ValidateChangeList());
    EXPECT_TRUE(editor.ChangeList().empty());
    EXPECT_FALSE(validation.LastReport().has_value());
    for (auto* n : {a, b, c, d})
        EXPECT_EQ(n->Rec().Valid, 1) << n->Rec().Name;
    EXPECT_EQ(reports, 2);
    EXPECT_TRUE(validation.ValidateChangeList());  // an empty list passes

    // Code 5 shows nothing but still stops the walk on its node.
    server->Rec().Name = "Srv";
    editor.AddToChangeList(server);
    EXPECT_FALSE(validation.ValidateChangeList());
    EXPECT_EQ(validation.LastReport()->Code, 5);
    EXPECT_EQ(validation.LastReport()->Node, server);
    EXPECT_TRUE(validation.LastReport()->Text.empty());
    EXPECT_TRUE(validation.LastReport()->Control.empty());
}

struct RepairCase {
    const char* what;
    int code;  // after the repair
    std::function<TConfigNode*(CfgValidate&, TConfigNode* server)> build;
    std::function<void(const TConfigNodeRec&)> check;
};

// Repairs that end: where they can remove the conflict they do, and where they cannot (no
// repair, a repair that changes nothing, every address taken, a number at its end) the loop
// stops with the node invalid.
TEST_F(CfgValidate, RepairLoopsEnd)
{
    const std::vector<RepairCase> cases = {
        {"a copy of Device9 becomes Device10", 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "Device9", Udp("10.0.0.9"));
             return t.Add(s, vos::nkStation, "Device9", Udp("10.0.0.10"));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.Name, "Device10"); }},
        {"Valve becomes Valve1, past valve1 to Valve2", 0,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkVariable, "Valve");
             t.Add(st, vos::nkVariable, "valve1");
             return t.Add(st, vos::nkVariable, "VALVE");
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.Name, "VALVE2"); }},
        {"Value becomes Value1", 0,
         [](CfgValidate& t, TConfigNode* s) { return t.Add(t.Add(s, vos::nkStation, "D1"), vos::nkVariable, "Value"); },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.Name, "Value1"); }},
        {"the server is named Server", 0,
         [](CfgValidate&, TConfigNode* s) {
             s->Rec().Name = "SERVER";
             return s;
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.Name, "Server"); }},
        {"a serial address moves past the low bytes taken", 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 1));
             t.Add(s, vos::nkStation, "D2", Serial(1, 258));
             return t.Add(s, vos::nkStation, "D3", Serial(1, 257));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.BusAddress, 259); }},
        {"a station moves off the modems' ports", 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkModem, "M1", Port(1));
             t.Add(s, vos::nkModem, "M2", Port(2));
             return t.Add(s, vos::nkStation, "D1", Serial(1, 0));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.ComPort, 3); }},
        {"a modem moves off every port taken", 0,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 0));
             t.Add(s, vos::nkModem, "M1", Port(2));
             t.Add(s, vos::nkStation, "D2", Serial(3, 0));
             return t.Add(s, vos::nkModem, "M2", Port(1));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.ComPort, 4); }},
        {"a copy of Device1 among Device1 to Device9 at addresses 0 to 8 takes both repairs", 0,
         [](CfgValidate& t, TConfigNode* s) {
             for (int k = 1; k <= 9; ++k)
                 t.Add(s, vos::nkStation, "Device" + std::to_string(k), Serial(1, k - 1));
             return t.Add(s, vos::nkStation, "Device1", Serial(1, 0));
         },
         [](const TConfigNodeRec& r) {
             EXPECT_EQ(r.Name, "Device10");
             EXPECT_EQ(r.BusAddress, 9);
         }},
        {"an address already cleared", 7,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Udp(""));
             return t.Add(s, vos::nkStation, "D2", Udp(""));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.IpAddress, ""); }},
        {"an address cleared into another empty one", 7,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Udp("10.0.0.1"));
             t.Add(s, vos::nkStation, "D2", Udp(""));
             return t.Add(s, vos::nkStation, "D3", Udp("10.0.0.1"));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.IpAddress, ""); }},
        {"a bad initial value has no repair", 10,
         [](CfgValidate& t, TConfigNode* s) {
             auto* st = t.Add(s, vos::nkStation, "D1");
             t.Add(st, vos::nkVariable, "A");
             return t.Add(st, vos::nkVariable, "A", Typed(VT_I4, "abc"));
         },
         [](const TConfigNodeRec& r) {
             EXPECT_EQ(r.Name, "A");
             EXPECT_EQ(r.InitialValue, "abc");
         }},
        {"every address of a port taken", 4,
         [](CfgValidate& t, TConfigNode* s) {
             for (int k = 0; k < 256; ++k)
                 t.Add(s, vos::nkStation, "D" + std::to_string(k), Serial(1, k));
             return t.Add(s, vos::nkStation, "New", Serial(1, 0));
         },
         [](const TConfigNodeRec& r) {
             EXPECT_GT(r.BusAddress, 0);
             EXPECT_LE(r.BusAddress, 258);  // the scope's 257 nodes plus one
         }},
        {"an address at its end", 4,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(1, 255));
             return t.Add(s, vos::nkStation, "D2", Serial(1, INT_MAX));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.BusAddress, INT_MAX); }},
        {"a COM port at its end", 8,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "D1", Serial(INT_MAX, 0));
             return t.Add(s, vos::nkModem, "M1", Port(INT_MAX));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.ComPort, INT_MAX); }},
        {"a name number at its end", 1,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "Device2147483647", Udp("10.0.0.1"));
             return t.Add(s, vos::nkStation, "DEVICE2147483647", Udp("10.0.0.2"));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.Name, "DEVICE2147483647"); }},
        {"a name number past 32 bits", 1,
         [](CfgValidate& t, TConfigNode* s) {
             t.Add(s, vos::nkStation, "Device99999999999", Udp("10.0.0.1"));
             return t.Add(s, vos::nkStation, "Device99999999999", Udp("10.0.0.2"));
         },
         [](const TConfigNodeRec& r) { EXPECT_EQ(r.Name, "Device99999999999"); }},
    };
    for (const auto& c : cases) {
        Fresh();
        TConfigNode* node = c.build(*this, server);
        ASSERT_NE(node, nullptr) << c.what;
        EXPECT_EQ(validation.ValidateNode(*node, true), c.code) << c.what;
        EXPECT_EQ(node->Rec().Valid, c.code == 0 ? 1 : 0) << c.what;
        EXPECT_EQ(vos::NodeConflict(*node), c.code) << c.what;
        SCOPED_TRACE(c.what);
        c.check(node->Rec());
    }
}

// Node creation repairs through the validator: a new station whose default name exists
// becomes the next free one, off the first station's address, with its service items.
TEST_F(CfgValidate, SecondNewStationIsRepairedToDevice2)
{
    auto* first = editor.NewObjectExecute(vos::ntStation, server);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Rec().Name, "Device1");
    vos::StationCounter = 0;  // as after a file whose ordinals are behind its names
    auto* second = editor.NewObjectExecute(vos::ntStation, server);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Rec().Name, "Device2");
    EXPECT_EQ(second->Rec().BusAddress, 1);
    EXPECT_EQ(second->Rec().Valid, 1);
    ASSERT_EQ(second->ChildCount(), 1);
    EXPECT_EQ(second->Child(0)->Rec().Name, "Service");
    EXPECT_EQ(second->Child(0)->ChildCount(), 16);
    // The whole configuration is free of conflicts, service items and all.
    EXPECT_TRUE(vos::CheckWholeTree(editor.Tree()).empty());

    // A third one, with names unique per station: its items do not clash with the others'.
    vos::VarUniqueness = 1;
    vos::StationCounter = 1;
    auto* third = editor.NewObjectExecute(vos::ntStation, server);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->Rec().Name, "Device3");
    EXPECT_EQ(third->Rec().BusAddress, 2);
    EXPECT_TRUE(vos::CheckWholeTree(editor.Tree()).empty());
}

// A tree of any shape, the malformed ones included (folders under the server, nodes under
// variables and modems, unknown kinds, a second server), with few names, addresses and ports,
// so that conflicts are frequent.
void BuildRandomTree(CfgValidate& t, vos::TConfigTree& tree, TConfigNode* server, std::mt19937& random, int count)
{
    static const std::vector<std::string> names = {
        "A",       "a",      "B", "Temp", "TEMP",    "Units", "X.Value", "Value", "INT_TimeStamp", "int_timestamp",
        "Device1", "Server", "Č", "č",    "Service", "F.A"};
    static const std::vector<std::string> ips = {"", "10.0.0.1", "10.0.0.2"};
    static const std::vector<std::string> initials = {"", "", "", "1", "x", "1;2", "1;x"};
    auto pick = [&](auto& list) -> const auto&
    {
        return list[random() % list.size()];
    };
    std::vector<TConfigNode*> all = {server};
    for (int k = 0; k < count; ++k) {
        TConfigNode* parent = random() % 40 == 0 ? tree.Root() : all[random() % all.size()];
        const std::uint8_t pk = parent->IsRoot() ? 0xFF : static_cast<std::uint8_t>(parent->Rec().Kind);
        const unsigned roll = random() % 100;
        TConfigNodeKind kind;
        if (pk == 0xFF)
            kind = roll < 50 ? vos::nkServer : vos::nkStation;
        else if (pk == vos::nkServer)
            kind = roll < 55   ? vos::nkStation
                   : roll < 80 ? vos::nkModem
                   : roll < 90 ? vos::nkFolder
                   : roll < 95 ? vos::nkVariable
                               : static_cast<TConfigNodeKind>(7);
        else
            kind = roll < 55 ? vos::nkVariable : roll < 85 ? vos::nkFolder : roll < 93 ? vos::nkStation : vos::nkModem;
        auto* node = t.Add(parent, kind, pick(names), [&](TConfigNodeRec& r) {
            r.ConnectionType = static_cast<std::int32_t>(random() % 5);
            r.ComPort = static_cast<std::int32_t>(1 + random() % 2);
            r.BusAddress = std::vector<std::int32_t>{1, 2, 257, -255}[random() % 4];
            r.IpAddress = pick(ips);
            r.VarType = std::vector<std::int32_t>{VT_I4, VT_BSTR, VT_ARRAY | VT_I4}[random() % 3];
            r.ArrayLength = std::vector<std::int32_t>{0, 1, 2, INT_MAX}[random() % 4];
            r.InitialValue = pick(initials);
        });
        if (node)
            all.push_back(node);
    }
}

// The whole-tree check gives every node the code ValidateNode gives it, and changes nothing.
TEST_F(CfgValidate, WholeTreeMatchesEveryNodesCheck)
{
    int conflicts = 0, nodes = 0;
    for (std::int32_t uniqueness : {0, 1, 2}) {
        for (std::uint32_t seed = 1; seed <= 40; ++seed) {
            Fresh(uniqueness);
            std::mt19937 random(seed);
            BuildRandomTree(*this, editor.Tree(), server, random, seed % 10 == 0 ? 600 : 60);
            for (auto* node : editor.Tree())
                node->Rec().Valid = static_cast<std::uint8_t>(random() % 2);
            std::vector<std::uint8_t> valid;
            for (auto* node : editor.Tree())
                valid.push_back(node->Rec().Valid);

            const auto codes = WholeTreeCodes();
            std::size_t k = 0;
            for (auto* node : editor.Tree()) {
                EXPECT_EQ(node->Rec().Valid, valid[k++]);
                const int expected = vos::NodeConflict(*node);
                ASSERT_EQ(codes.count(node) ? codes.at(node) : 0, expected)
                    << "seed " << seed << " uniqueness " << uniqueness << " node '" << node->Rec().Name << "' kind "
                    << int(node->Rec().Kind) << " depth " << node->Depth();
                conflicts += expected != 0;
                ++nodes;
            }
            EXPECT_TRUE(editor.ChangeList().empty());
        }
    }
    // The trees are small-pooled on purpose: most nodes conflict, but not all.
    EXPECT_GT(conflicts, nodes / 3);
    EXPECT_LT(conflicts, nodes);
}

std::vector<std::string>* logged = nullptr;
void Capture(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (logged && context.category && std::string(context.category) == "vx.editor.validate")
        logged->push_back(message.toStdString());
}

// After a load the conflicts go to the log, the first few and then their count; nothing
// else changes, so that start-up still registers.
TEST_F(CfgValidate, LoadedTreeConflictsGoToTheLog)
{
    Fresh();
    auto* st = Add(server, vos::nkStation, "D1");
    for (int k = 0; k < 5; ++k)
        Add(st, vos::nkVariable, "A");
    Add(server, vos::nkStation, "D2");  // address 0 on COM1, as D1
    server->Rec().Name = "Srv";
    std::vector<std::string> lines;
    logged = &lines;
    const auto previous = qInstallMessageHandler(Capture);
    EXPECT_EQ(vos::LogTreeConflicts(editor.Tree(), 3), 8u);
    lines.push_back("--");
    vos::CheckLoadedTree(editor);
    qInstallMessageHandler(previous);
    logged = nullptr;
    const std::vector<std::string> first = {"conflict 5: 'Srv'",
                                            "conflict 4: Device 'D1' has the same address like "
                                            "another device. Choose different one please.",
                                            "conflict 2: Item 'A' already exists. Choose different one please.",
                                            "8 nodes in conflict", "--"};
    ASSERT_GE(lines.size(), first.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), first);
    EXPECT_EQ(lines.size(), 5u + 8u + 1u);  // all eight, then the count
    for (auto* node : editor.Tree())
        EXPECT_EQ(node->Rec().Valid, 1);
    EXPECT_TRUE(editor.ChangeList().empty());
}

// Loading through the file commands, the check attached as the program attaches it.
class CfgValidateLoad : public CfgValidate {
public:
    void SetUp() override
    {
        CfgValidate::SetUp();
        ASSERT_TRUE(dir.isValid());
        commands.SetLoadedTreeCheck(vos::CheckLoadedTree);
        logged = &lines;
        previous = qInstallMessageHandler(Capture);
    }
    void TearDown() override
    {
        qInstallMessageHandler(previous);
        logged = nullptr;
        CfgValidate::TearDown();
    }
    vos::TLoadResult Load(const std::string& bytes)
    {
        vx::CfgFileName = dir.filePath("plant.cfg").toStdString();
        std::ofstream(vx::CfgFileName, std::ios::binary) << bytes;
        return commands.LoadConfiguration(vos::TLoadSender::Settings);
    }

    QTemporaryDir dir;
    vos::TConfigFileCommands commands{editor};
    std::vector<std::string> lines;
    QtMessageHandler previous = nullptr;
};

TEST_F(CfgValidateLoad, ConflictsOfALoadedFileAreLoggedAndKept)
{
    ASSERT_EQ(Load(cfggen::fromDescription("server\n"
                                           "  station Name=X BusAddress=257\n"
                                           "  station Name=TEMP BusAddress=2\n"
                                           "    variable Name=Value\n"
                                           "    variable Name=INT_TimeStamp\n"
                                           "  station Name=Temp BusAddress=1\n")),
              vos::TLoadResult::Loaded);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "conflict 1: Device 'TEMP' already exists. Choose different one please.",
                         "conflict 2: Item 'INT_TimeStamp' already exists. Choose different one please.",
                         "conflict 11:  'Value' is item property reserved name. Choose different one please.",
                         "conflict 1: Device 'Temp' already exists. Choose different one please.",
                         "conflict 4: Device 'X' has the same address like another device. Choose different one "
                         "please.",
                         "5 nodes in conflict"}));
    // Valid as the load left it, nothing to validate, nothing modified: start-up registers.
    for (auto* node : editor.Tree())
        EXPECT_EQ(node->Rec().Valid, 1) << node->Rec().Name;
    EXPECT_TRUE(editor.ChangeList().empty());
    EXPECT_FALSE(editor.Modified());
}

// The demo configuration the program ships loads without a conflict, names unique per
// folder or per station.
TEST_F(CfgValidateLoad, DemoHasNoConflict)
{
    std::ifstream in(QT_TESTCASE_SOURCEDIR "/../../tools/cfggen/demo.txt");
    ASSERT_TRUE(in.good());
    const std::string description((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::int32_t uniqueness : {0, 1}) {
        vos::VarUniqueness = uniqueness;
        ASSERT_EQ(Load(cfggen::fromDescription(description)), vos::TLoadResult::Loaded);
        EXPECT_GT(editor.Tree().NodeCount(), 40u);
        EXPECT_TRUE(lines.empty()) << lines.front();
    }
}

}  // namespace
