// Declaration import: the conversion tables, the two readers on bytes, and the import into
// the editor's tree with its counts, messages and command.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_model.h"
#include "editor/config_settings.h"
#include "editor/decl_import.h"
#include "editor_fixture.h"
#include "tdr_writer.h"

namespace {

using namespace vos;

using editor_test::Record;
using editor_test::Structure;
using editor_test::Tdr;
using editor_test::TdrRec;

struct Placed {
    std::string name;
    std::int32_t address;
    std::int32_t bit;
    std::int32_t type;
    bool operator==(const Placed&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Placed& p)
{
    return os << p.name << "@" << p.address << "." << p.bit << ":" << p.type;
}

std::vector<Placed> PlacedOf(const TTdrParseResult& r)
{
    std::vector<Placed> out;
    for (const auto& v : r.Variables)
        out.push_back({v.Name, v.Address, v.Bit, v.VarType});
    return out;
}

// --- Tables ---

TEST(DeclTables, TdrCodes)
{
    const std::vector<std::tuple<int, int, int>> types = {
        {26, 0, 11},      {27, 0, 17},      {28, 0, 18},      {30, 0, 19},      {31, 0, 4},       {33, 0, 8},
        {35, 26, 0x200B}, {35, 27, 0x2011}, {35, 28, 0x2012}, {35, 30, 0x2013}, {35, 31, 0x2004}, {35, 33, 0x2008},
        {35, 29, -1},     {35, 35, -1},     {35, 36, -1},     {36, 0, -1},      {29, 0, -1},      {0, 0, -1}};
    for (const auto& [code, elem, vt] : types)
        EXPECT_EQ(TdrTypeToVarType(code, elem), vt) << code << "/" << elem;
    for (const auto& [zone, expected] : std::vector<std::pair<int, int>>{{3, 0}, {4, 0}, {5, 3}, {6, 2}, {0, 3}, {7, 3}, {255, 3}})
        EXPECT_EQ(TdrZoneToDataZone(zone), expected) << zone;
    const std::vector<std::tuple<int, int, int>> sizes = {{26, 0, 0},  {26, 1, 1},  {26, 8, 1},   {26, 9, 2},
                                                          {26, 10, 2}, {27, 5, 5},  {33, 12, 12}, {28, 10, 20},
                                                          {30, 3, 12}, {31, 3, 12}, {35, 10, 0},  {36, 4, 0}};
    for (const auto& [code, n, bytes] : sizes)
        EXPECT_EQ(TdrTypeByteSize(code, n), bytes) << code << " x " << n;
}

TEST(DeclTables, PubWordsAndSizes)
{
    for (const auto& [c, zone] : std::vector<std::pair<char, int>>{
             {'X', 0}, {'x', 0}, {'Y', 1}, {'s', 2}, {'R', 3}, {'m', 4}, {'T', 3}, {'Q', 3}})
        EXPECT_EQ(PubZoneLetterToDataZone(c), zone) << c;
    EXPECT_EQ(PubTypeLetterToVarType("B", true), 11);
    EXPECT_EQ(PubTypeLetterToVarType("b", false), 17);
    EXPECT_EQ(PubTypeLetterToVarType("W", true), 18);
    EXPECT_EQ(PubTypeLetterToVarType("l", false), 19);
    EXPECT_EQ(PubTypeLetterToVarType("F", false), 4);
    EXPECT_EQ(PubTypeLetterToVarType("Q", false), -1);
    EXPECT_EQ(PubTypeLetterToVarType("", false), -1);
    const std::vector<std::pair<const char*, int>> iec = {
        {"BOOL", 11}, {"sint", 17}, {"BYTE", 17}, {"USINT", 17}, {"Int", 2},   {"DINT", 3}, {"UINT", 18},
        {"WORD", 18}, {"UDINT", 19}, {"DWORD", 19}, {"REAL", 4}, {"lreal", 5}, {"DT", 7},   {"DATE_AND_TIME", 7},
        {"TIME", -1}, {"", -1},     {"INTX", -1}};
    for (const auto& [name, vt] : iec)
        EXPECT_EQ(IecTypeNameToVarType(name), vt) << name;
    EXPECT_EQ(PubDirectionToAccess("PUB_IN"), (TDeclAccess{true, false}));
    EXPECT_EQ(PubDirectionToAccess("pub_out"), (TDeclAccess{false, true}));
    EXPECT_EQ(PubDirectionToAccess("PUB_INOUT"), (TDeclAccess{true, true}));
    EXPECT_EQ(PubDirectionToAccess(""), (TDeclAccess{false, false}));
    EXPECT_EQ(PubDirectionToAccess("INT"), (TDeclAccess{false, false}));
    for (const auto& [vt, size] : std::vector<std::pair<int, int>>{
             {2, 2}, {18, 2}, {3, 4}, {4, 4}, {19, 4}, {5, 8}, {7, 8}, {11, 1}, {17, 1}, {8, 1}, {0x2012, 1}})
        EXPECT_EQ(VarTypeByteSize(vt), size) << vt;
}

// --- ".pub" lines ---

struct PubCase {
    const char* line;
    TPubLine::Kind kind;
    std::int32_t zone = 0, address = 0, bit = 0, type = 0;
    bool readable = true, writable = true;
    const char* comment = "";
};

TEST(DeclPubLine, DirectForm)
{
    using K = TPubLine;
    const std::vector<PubCase> cases = {
        {"V1 R W 10 INT PUB_INOUT", K::Declaration, 3, 10, 0, 2},
        {"V2 X B 5.3", K::Declaration, 0, 5, 3, 11},
        {"V3 R W 10 PUB_IN", K::Declaration, 3, 10, 0, 18},
        {"  V3 R W 10 PUB_IN\t", K::Declaration, 3, 10, 0, 18},
        {"V1 R W 10 INT PUB_IN", K::Declaration, 3, 10, 0, 2, true, false},
        {"V1 m l 7 DINT PUB_OUT", K::Declaration, 4, 7, 0, 3, false, true},
        {"V1 R F 7 X Y", K::Declaration, 3, 7, 0, 4, false, false},
        // The bit of ADDRESS.BIT survives the words after it.
        {"V2 X B 5.3 BOOL PUB_IN", K::Declaration, 0, 5, 3, 11, true, false},
        {"V2 X B 5.3 PUB_IN", K::Declaration, 0, 5, 3, 11},
        {"V2 X B 5 .3 BOOL PUB_IN", K::Declaration, 0, 5, 3, 11, true, false},
        {"V2 X B 5 INT.3 PUB_IN", K::Declaration, 0, 5, 0, 17, true, false},
        {"V2 X B 5 WORD PUB_IN.3", K::Declaration, 0, 5, 0, 18, false, false},
        // The comment's blank leaves no empty last word behind.
        {"V3 R W 10 PUB_IN ;spare", K::Declaration, 3, 10, 0, 18, true, true, "spare"},
        {"V1 R W 10 INT ;x", K::Declaration, 3, 10, 0, 18, true, true, "x"},
        {"V1 R W 10 INT PUB_IN;a;b ", K::Declaration, 3, 10, 0, 2, true, false, "a;b"},
        {"V1 R Q 10 INT PUB_IN", K::Declaration, 3, 10, 0, 2, true, false},
        // Skipped silently.
        {"", K::Skipped},
        {"   ", K::Skipped},
        {"; V1 R W 10", K::Skipped},
        {"V1", K::Skipped},
        {"V1 ;R W 10", K::Skipped},
        {"V1  R W 10", K::Skipped},
        {"V1 R  W 10", K::Skipped},
        {"V1 R W  10", K::Skipped},
        {"V1 R W", K::Skipped},
        {"V1 R W x10", K::Skipped},
        {"T1 T W 10", K::Skipped},
        {"T1 t Q 10", K::Skipped},
        // Failed lines.
        {"V1 R W 4294967296", K::Failed},
        {"V1 R W 2147483648", K::Failed},
        {"T1 T W 99999999999", K::Failed},
        {"V2 X B 5.x", K::Failed},
        {"V2 X B 5.", K::Failed},
        {"V1 R Q 10", K::Failed},
        {"V1 R Q 10 TIME PUB_IN", K::Failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto r = ParsePubLine(c.line);
        ASSERT_EQ(r.What, c.kind) << r.Error;
        if (c.kind == K::Failed) {
            EXPECT_FALSE(r.Error.empty());
        }
        if (c.kind != K::Declaration)
            continue;
        EXPECT_EQ(r.Var.Zone, c.zone);
        EXPECT_EQ(r.Var.Address, c.address);
        EXPECT_EQ(r.Var.Bit, c.bit);
        EXPECT_EQ(r.Var.VarType, c.type);
        EXPECT_EQ(r.Var.Readable, c.readable);
        EXPECT_EQ(r.Var.Writable, c.writable);
        EXPECT_EQ(r.Var.Comment, c.comment);
    }
    EXPECT_EQ(ParsePubLine("V1 R W 2147483647").Var.Address, 2147483647);
    EXPECT_EQ(ParsePubLine("Měřidlo R W 1").Var.Name, "Měřidlo");
}

TEST(DeclPubLine, AliasForm)
{
    struct AliasCase {
        const char* line;
        TPubLine::Kind kind;
        const char* base = "";
        std::optional<std::int32_t> index = {};
        std::optional<std::int32_t> bit = {};
        bool readable = true, writable = true;
        const char* comment = "";
    };
    using K = TPubLine;
    const std::vector<AliasCase> cases = {
        {"V4 \"V1[2]\" PUB_IN", K::Alias, "V1", 2, std::nullopt, true, false},
        {"V4 \"V1[2]\"", K::Alias, "V1", 2},
        {"V5 \"V1.3\"", K::Alias, "V1", std::nullopt, 3},
        {"V6 \"V1[1].2\" PUB_OUT ;c", K::Alias, "V1", 1, 2, false, true, "c"},
        {"V7 \"V1\" PUB_INOUT", K::Alias, "V1"},
        {"V7 \"V1\"PUB_IN", K::Alias, "V1", std::nullopt, std::nullopt, true, false},
        {"V7 \"V1\" PUB_IN ;x", K::Alias, "V1", std::nullopt, std::nullopt, true, false, "x"},
        {"V8 \"V1", K::Skipped},
        {"V8 \"V1.\"", K::Skipped},
        {"V8 \"V1[1].\"", K::Skipped},
        {"V8 \"\"", K::Skipped},
        {"V8 \"[1]\"", K::Skipped},
        {"V8 \"V1[x]\"", K::Failed},
        {"V8 \"V1[]\"", K::Failed},
        {"V8 \"V1[99999999999]\"", K::Failed},
        {"V8 \"V1.x\"", K::Failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto r = ParsePubLine(c.line);
        ASSERT_EQ(r.What, c.kind) << r.Error;
        if (c.kind != K::Alias)
            continue;
        EXPECT_EQ(r.Base, c.base);
        EXPECT_EQ(r.Index, c.index);
        EXPECT_EQ(r.AliasBit, c.bit);
        EXPECT_EQ(r.Var.Readable, c.readable);
        EXPECT_EQ(r.Var.Writable, c.writable);
        EXPECT_EQ(r.Var.Comment, c.comment);
    }
}

TEST(DeclPubText, LinesAndCodePage)
{
    const auto lines = SplitPubLines("a\r\nb\nc\rd\r\n\re");
    EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "b", "c", "d", "", "e"}));
    EXPECT_TRUE(SplitPubLines("").empty());
    EXPECT_EQ(DecodePubText("\xEF\xBB\xBFM\xC4\x9B"), "M\xC4\x9B");     // UTF-8, BOM dropped
    EXPECT_EQ(DecodePubText("M\xEC\xF8\x8A"), "M\xC4\x9B\xC5\x99\xC5\xA0");  // Windows-1250
    EXPECT_EQ(DecodePubText("\xC0\x80"), plat::cp1250ToUtf8("\xC0\x80"));   // overlong: not UTF-8
}

// --- ".tdr" records ---

TEST(DeclTdr, Records)
{
    const auto r = ParseTdr(Tdr({
        {"Arr", 35, 28, 40, 0, 10},
        {"InY", 28, 0, 2, 0, 0, 0, 4},
        {"Local", 28, 0, 1, 0, 0, 0, 5, 25, 0},   // not exported
        {"Type", 28, 0, 1, 0, 0, 0, 5, 24},       // not a variable
        {"", 28, 0, 1},                           // empty name
        {"NoType", 29, 0, 1},
        {"Bit", 26, 0, 7, 5, 0, 0, 3},
        {"LongNameIsCutAt15", 27, 0, 9, 0, 0, 0, 5, 25, 2, 200},
    }));
    EXPECT_EQ(r.Result, kImportDone);
    EXPECT_EQ(r.RecordCount, 21u);
    ASSERT_EQ(r.Variables.size(), 4u);
    EXPECT_EQ(r.Variables[0].VarType, 0x2012);
    EXPECT_EQ(r.Variables[0].ArrayLength, 10);
    EXPECT_EQ(r.Variables[0].StringLength, 10);
    EXPECT_EQ(r.Variables[0].Zone, 3);
    EXPECT_EQ(r.Variables[0].Source, 13u);
    EXPECT_EQ(r.Variables[1].Zone, 0);  // zone code 4 reads as X
    EXPECT_EQ(r.Variables[2].Name, "Bit");
    EXPECT_EQ(r.Variables[2].Bit, 5);
    EXPECT_EQ(r.Variables[2].VarType, 11);
    // The length byte says 200: 15 characters, nothing from the codes after the field.
    EXPECT_EQ(r.Variables[3].Name, "LongNameIsCutAt");
    EXPECT_EQ(r.Variables[3].Address, 9);

    // Records 0 to 12 are never imported, even when exported variables.
    std::string early = Tdr({});
    early.replace(8 + 32 * 5, 32, Record({"Early", 28, 0, 1}));
    EXPECT_TRUE(ParseTdr(early).Variables.empty());
}

TEST(DeclTdr, Header)
{
    struct Case {
        std::string bytes;
        int result;
        std::size_t variables;
    };
    const std::string good = Tdr({{"A", 28}, {"B", 28}});
    const std::vector<Case> cases = {
        {"", 2, 0},
        {good.substr(0, 7), 2, 0},
        {Tdr({{"A", 28}}, -1 - 1), 2, 0},   // count -2
        {Tdr({{"A", 28}}, 14, 26), 2, 0},   // format 26
        {Tdr({{"A", 28}}, 0), 0, 0},
        {Tdr({{"A", 28}, {"B", 28}}, 14), 0, 1},
        {good.substr(0, good.size() - 1), 2, 1},  // the last record cut short
        {Tdr({{"A", 28}}, 0x7FFFFFFF), 2, 1},     // a count past the end: what is there, then 2
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto r = ParseTdr(cases[i].bytes);
        EXPECT_EQ(r.Result, cases[i].result) << i;
        EXPECT_EQ(r.Variables.size(), cases[i].variables) << i;
        if (r.Result != 0) {
            EXPECT_FALSE(r.Errors.empty()) << i;
        }
    }
}

TEST(DeclTdr, StructureMembers)
{
    struct Case {
        const char* what;
        std::vector<TdrRec> recs;
        int result;
        std::vector<Placed> placed;
    };
    const std::vector<Case> cases = {
        {"bits 0, 1, a byte, bit 0",
         Structure("S", 100, {{"a", 26, 0, 0, 0}, {"b", 26, 0, 0, 1}, {"c", 27, 0, 0, 0, 1}, {"d", 26, 0, 0, 0}}),
         0,
         {{"S_a", 100, 0, 11}, {"S_b", 100, 1, 11}, {"S_c", 101, 0, 17}, {"S_d", 102, 0, 11}}},
        {"two Booleans on bit 0 take two bytes",
         Structure("S", 10, {{"a", 26, 0, 0, 0}, {"b", 26, 0, 0, 0}}),
         0,
         {{"S_a", 10, 0, 11}, {"S_b", 11, 0, 11}}},
        {"bits 3, 1, 1 take three bytes",
         Structure("S", 10, {{"a", 26, 0, 0, 3}, {"b", 26, 0, 0, 1}, {"c", 26, 0, 0, 1}}),
         0,
         {{"S_a", 10, 3, 11}, {"S_b", 11, 1, 11}, {"S_c", 12, 1, 11}}},
        {"an array moves by its elements",
         Structure("S", 0, {{"w", 35, 28, 0, 0, 10}, {"x", 28, 0, 0, 0, 1}, {"b", 35, 26, 0, 0, 10}, {"y", 30, 0, 0, 0, 1},
                            {"z", 28, 0, 0, 0, 1}}),
         0,
         {{"S_w", 0, 0, 0x2012}, {"S_x", 20, 0, 18}, {"S_b", 22, 0, 0x200B}, {"S_y", 24, 0, 19}, {"S_z", 28, 0, 18}}},
        {"strings move by their length",
         Structure("S", 0, {{"s", 33, 0, 0, 0, 12}, {"r", 31, 0, 0, 0, 1}, {"q", 28, 0, 0, 0, 1}}),
         0,
         {{"S_s", 0, 0, 8}, {"S_r", 12, 0, 4}, {"S_q", 16, 0, 18}}},
        {"a member without a type ends the structure",
         Structure("S", 0, {{"a", 28}, {"n", 29}, {"b", 28}}),
         2,
         {{"S_a", 0, 0, 18}}},
        {"a nested structure ends it",
         Structure("S", 0, {{"a", 28}, {"n", 36, 0, 0, 0, 1, 14}, {"b", 28}}),
         2,
         {{"S_a", 0, 0, 18}}},
        {"a string array stays and ends it",
         Structure("S", 0, {{"a", 28, 0, 0, 0, 1}, {"n", 35, 33, 0, 0, 3}, {"b", 28, 0, 0, 0, 1}}),
         2,
         {{"S_a", 0, 0, 18}, {"S_n", 2, 0, 0x2008}}},
        {"a member past the end ends it, the next record goes on",
         [] {
             auto r = Structure("S", 0, {{"a", 28}});
             r[0].count = 3;
             r[0].memberBase = 14;  // members 15.. : record 15 is V, 16 is past the end
             r.push_back({"V", 28, 0, 7});
             return r;
         }(),
         2,
         {{"S_V", 0, 0, 18}, {"V", 7, 0, 18}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = ParseTdr(Tdr(c.recs));
        EXPECT_EQ(r.Result, c.result);
        EXPECT_EQ(PlacedOf(r), c.placed);
    }
}

TEST(DeclTdr, MemberNamesAreCut)
{
    const auto r = ParseTdr(Tdr(Structure("StructureNameXYZ", 0, {{"MemberNameLong12", 28}, {"m", 28}})));
    ASSERT_EQ(r.Variables.size(), 2u);
    // The structure name with "_" is cut to 16 characters, the whole to 31.
    EXPECT_EQ(r.Variables[0].Name, "StructureNameXY_MemberNameLong1");
    EXPECT_EQ(r.Variables[0].Name.size(), 31u);
    EXPECT_EQ(r.Variables[1].Name, "StructureNameXY_m");
    // Names are Windows-1250.
    const auto cz = ParseTdr(Tdr({{"M\xEC\xF8", 28}}));
    ASSERT_EQ(cz.Variables.size(), 1u);
    EXPECT_EQ(cz.Variables[0].Name, "M\xC4\x9B\xC5\x99");
}

// --- Messages ---

TEST(DeclMessages, ByResultAndCounts)
{
    struct Case {
        int language;
        int result, added, changed;
        std::vector<TImportMessage> messages;
    };
    const std::vector<Case> cases = {
        {1, 0, 0, 0, {}},
        {1, 0, 2, 1, {{"3 items imported. 2 new items and 1 changed.", vx::mtInformation}}},
        {1,
         2,
         1,
         0,
         {{"Import of some items was unsuccesful!\r\nFile f.pub has wrong format!", vx::mtWarning},
          {"1 items imported. 1 new items and 0 changed.", vx::mtInformation}}},
        {1, 1, 0, 0, {{"Can not open file f.pub!", vx::mtError}}},
        {1, 2, 0, 0, {{"File f.pub has wrong format!", vx::mtWarning}}},
        {1, 99, 0, 0, {{"File f.pub has wrong format!", vx::mtWarning}}},
        {0, 0, 2, 1, {{"Bylo importováno 3 proměnných, z toho 2 nových a 1 změněných.", vx::mtInformation}}},
        {0, 1, 0, 0, {{"Soubor f.pub se nepodařilo otevřít!", vx::mtError}}},
        {0,
         2,
         0,
         4,
         {{"Některé proměnné se nepodařilo importovat!\r\nSoubor f.pub má nesprávný formát!", vx::mtWarning},
          {"Bylo importováno 4 proměnných, z toho 0 nových a 4 změněných.", vx::mtInformation}}},
        {0, 99, 0, 0, {{"Soubor f.pub má nesprávný formát!", vx::mtWarning}}},
    };
    for (const auto& c : cases) {
        vx::Language = c.language;
        const auto m = ImportMessages(c.result, c.added, c.changed, "f.pub");
        ASSERT_EQ(m.size(), c.messages.size()) << c.result;
        for (std::size_t i = 0; i < m.size(); ++i) {
            EXPECT_EQ(m[i].Text, c.messages[i].Text);
            EXPECT_EQ(m[i].Type, c.messages[i].Type);
        }
    }
    vx::Language = 1;
}

// --- Import into the tree ---

class ImportUi : public TConfigFileUi {
public:
    std::optional<std::string> OpenFileDialog(const TFileDialogRequest& request) override
    {
        requests.push_back(request);
        return file;
    }
    void ProgressOpen(const std::string& caption) override { captions.push_back(caption); }
    void ProgressMaximum(std::size_t maximum) override { this->maximum = maximum; }
    void ProgressPosition(std::size_t position) override { last = position; }
    void ProgressClose() override { ++closed; }

    std::optional<std::string> file;
    std::vector<TFileDialogRequest> requests;
    std::vector<std::string> captions;
    std::size_t maximum = 0, last = 0;
    int closed = 0;
};

class DeclImportTest : public editor_test::EditorFixture {
protected:
    void SetUp() override
    {
        EditorFixture::SetUp();
        station = editor.NewObjectExecute(ntStation, server);
        ASSERT_NE(station, nullptr);
        station->Rec().Name = "St";
        service = station->FirstChild();
        ASSERT_NE(service, nullptr);
        importer.SetUi(&ui);
        importer.SetShowSelection([this](const std::vector<TConfigNode*>& nodes) { shown = nodes; });
        vx::SetMessageDlgAnswer([this](const std::string& text, vx::TMsgDlgType type, vx::TMsgDlgButtons buttons) {
            EXPECT_EQ(buttons, vx::mbOKOnly);
            shownMessages.push_back({text, type});
            return vx::mrOk;
        });
        // Saved state after creation: the import's changes show against it.
        MarkSaved();
    }
    void TearDown() override
    {
        vx::SetMessageDlgAnswer({});
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        EditorFixture::TearDown();
    }

    void MarkSaved()
    {
        for (auto* n : editor.Tree())
            n->Rec().Saved = 1;
        editor.SetModified(false);
        editor.SetRegisterEnabled(false);
    }

    TConfigNode* Find(const std::string& name, const TConfigNode* under = nullptr)
    {
        return editor.FindNodeByName(name, true, under ? under : station, nkVariable);
    }

    std::string WriteFile(const std::string& name, const std::string& bytes)
    {
        std::filesystem::create_directories(dir);
        const auto path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    void Expect(int result, int added, int changed, int got)
    {
        EXPECT_EQ(got, result);
        EXPECT_EQ(importer.ImportedNew(), added);
        EXPECT_EQ(importer.ImportedChanged(), changed);
    }

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("decl_import_" + std::to_string(::getpid()));
    TDeclImporter importer{editor};
    ImportUi ui;
    TConfigNode* station = nullptr;
    TConfigNode* service = nullptr;
    std::vector<TConfigNode*> shown;
    std::vector<TImportMessage> shownMessages;
};

TEST_F(DeclImportTest, PubCreatesThenUpdatesAndCountsOnce)
{
    const std::string text =
        "V1 R W 10 INT PUB_INOUT\r\n"
        "V2 X B 5.3\r\n"
        "V3 R W 10 PUB_IN\n"
        "V4 \"V1[2]\" PUB_IN\r"
        "V1 R W 10 INT PUB_INOUT\n";  // a second line of one name: one new, not also changed
    const auto nodes = editor.Tree().NodeCount();
    Expect(0, 4, 0, importer.ImportPubBytes(text, station));
    EXPECT_EQ(editor.Tree().NodeCount(), nodes + 4);
    EXPECT_EQ(ui.maximum, 5u);
    EXPECT_EQ(ui.last, 5u);
    EXPECT_EQ(ui.captions, std::vector<std::string>{"Items import in progress."});
    EXPECT_EQ(ui.closed, 1);

    auto* v4 = Find("V4");
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(v4->Parent(), station);
    EXPECT_EQ(v4->Rec().Zone, 3);
    EXPECT_EQ(v4->Rec().Address, 14);
    EXPECT_EQ(v4->Rec().VarType, 2);
    EXPECT_EQ(v4->Rec().Readable, 1);
    EXPECT_EQ(v4->Rec().Writable, 0);
    EXPECT_EQ(v4->Rec().Saved, 0);
    EXPECT_EQ(Find("V2")->Rec().BitNumber, 3);
    EXPECT_EQ(Find("V2")->Rec().VarType, 11);
    EXPECT_EQ(importer.ImportedNodes().size(), 4u);
    // Created nodes stay out of ChangeList; the configuration differs from the registered one.
    EXPECT_TRUE(editor.ChangeList().empty());
    EXPECT_TRUE(editor.Modified());
    EXPECT_TRUE(editor.RegisterPending());

    // Again without saving: nothing changed, so nothing counts.
    Expect(0, 0, 0, importer.ImportPubBytes(text, station));
    // Again after saving: nothing at all.
    MarkSaved();
    Expect(0, 0, 0, importer.ImportPubBytes(text, station));
    EXPECT_FALSE(editor.Modified());
    EXPECT_FALSE(editor.RegisterPending());
    EXPECT_EQ(Find("V1")->Rec().Saved, 1);

    // One field differs: one changed.
    Find("V3")->Rec().Comment = "typed";
    Expect(0, 0, 1, importer.ImportPubBytes(text, station));
    EXPECT_EQ(Find("V3")->Rec().Comment, "");
    EXPECT_EQ(Find("V3")->Rec().Saved, 0);
}

TEST_F(DeclImportTest, TdrReimportClearsTypedComments)
{
    const auto bytes = Tdr({{"A", 28, 0, 4}, {"B", 26, 0, 6, 2}});
    Expect(0, 2, 0, importer.ImportTdrBytes(bytes, station));
    EXPECT_EQ(ui.maximum, 15u);
    MarkSaved();
    Find("A")->Rec().Comment = "mine";
    Find("B")->Rec().Comment = "mine";
    Expect(0, 0, 2, importer.ImportTdrBytes(bytes, station));
    EXPECT_EQ(Find("A")->Rec().Comment, "");
    EXPECT_EQ(importer.ImportedNodes().size(), 2u);
}

TEST_F(DeclImportTest, FailedLinesGiveResultTwoAndTheRestImports)
{
    Expect(2, 2, 0,
           importer.ImportPubBytes("A R W 1\nB R W 99999999999\nC R Q 1\nD R W 2\nE \"A[2147483647]\"\n", station));
    EXPECT_NE(Find("A"), nullptr);
    EXPECT_NE(Find("D"), nullptr);
    EXPECT_EQ(Find("E"), nullptr);  // its address does not fit 32 bits
    Expect(0, 1, 0, importer.ImportPubBytes("F \"A[1073741823]\"\n", station));
    EXPECT_EQ(Find("F")->Rec().Address, 1 + 2 * 1073741823);
}

TEST_F(DeclImportTest, AliasesResolveInFileOrderWhereVariablesGo)
{
    auto* folder = Create(nkFolder, station, "F");
    auto* selected = Create(nkVariable, folder, "Sel");
    MarkSaved();
    // The base is declared two lines earlier; the selected node is a variable, so both go
    // beside it and the base is looked up there.
    Expect(0, 4, 0,
           importer.ImportPubBytes("B R W 100 WORD PUB_INOUT\nX \"Nope[1]\"\nA1 \"B[3]\" PUB_OUT\nA2 \"B.5\"\n"
                                   "A3 \"B\" PUB_IN\n",
                                   selected));
    auto* a1 = Find("A1", folder);
    ASSERT_NE(a1, nullptr);
    EXPECT_EQ(a1->Parent(), folder);
    EXPECT_EQ(a1->Rec().Address, 106);
    EXPECT_EQ(a1->Rec().VarType, 18);
    EXPECT_EQ(a1->Rec().Writable, 1);
    EXPECT_EQ(a1->Rec().Readable, 0);
    EXPECT_EQ(Find("A2", folder)->Rec().VarType, 11);
    EXPECT_EQ(Find("A2", folder)->Rec().BitNumber, 5);
    EXPECT_EQ(Find("A2", folder)->Rec().Address, 100);
    EXPECT_EQ(Find("X", folder), nullptr);
    EXPECT_EQ(Find("A3", folder)->Rec().Readable, 1);
    EXPECT_EQ(Find("A3", folder)->Rec().Writable, 0);
    EXPECT_EQ(Find("A3", folder)->Rec().VarType, 18);
}

TEST_F(DeclImportTest, UniquenessDecidesTheScope)
{
    auto* folder = Create(nkFolder, station, "F");
    auto* inFolder = Create(nkVariable, folder, "V");
    inFolder->Rec().Address = 1;
    MarkSaved();

    VarUniqueness = 1;  // the whole station: the folder's V is updated
    Expect(0, 0, 1, importer.ImportPubBytes("V R W 50\n", station));
    EXPECT_EQ(inFolder->Rec().Address, 50);

    VarUniqueness = 0;  // the station's own children: a new V beside the folder
    Expect(0, 1, 0, importer.ImportPubBytes("V R W 60\n", station));
    EXPECT_EQ(inFolder->Rec().Address, 50);
    EXPECT_EQ(editor.FindNodeByName("V", false, station, nkVariable)->Rec().Address, 60);

    // Names match exactly: a "v" is a new node, its conflict logged, never merged.
    VarUniqueness = 1;
    Expect(0, 1, 0, importer.ImportPubBytes("v R W 70\n", station));
    EXPECT_EQ(inFolder->Rec().Address, 50);
}

TEST_F(DeclImportTest, LockedServiceItemsAreNeverChanged)
{
    auto* status = editor.FindNodeByName("DRW_Status", false, service, nkVariable);
    ASSERT_NE(status, nullptr);
    const auto before = status->Rec();
    struct Case {
        int uniqueness;
        TConfigNode* target;
    };
    for (const auto& c : {Case{1, station}, Case{0, service}, Case{1, service}}) {
        VarUniqueness = c.uniqueness;
        const auto nodes = editor.Tree().NodeCount();
        Expect(2, 0, 0, importer.ImportPubBytes("DRW_Status R W 99\nSYS_DateTime X B 1.1\n", c.target));
        EXPECT_EQ(editor.Tree().NodeCount(), nodes);
        EXPECT_EQ(status->Rec().Address, before.Address);
        EXPECT_EQ(status->Rec().Zone, before.Zone);
        EXPECT_EQ(status->Rec().VarType, before.VarType);
    }
    VarUniqueness = 0;
    Expect(0, 1, 0, importer.ImportPubBytes("Free R W 99\n", service));  // a new item in that folder
}

TEST_F(DeclImportTest, ConflictsAreLoggedNotRepaired)
{
    Create(nkFolder, station, "Motor");
    MarkSaved();
    Expect(0, 3, 0, importer.ImportPubBytes("Motor R W 1\nValue R W 2\nOk R W 3\n", station));
    std::set<std::string> names;
    for (const auto& c : importer.Conflicts()) {
        names.insert(c.Node->Rec().Name);
        EXPECT_EQ(c.Node->Rec().Kind, nkVariable);
    }
    EXPECT_EQ(names, (std::set<std::string>{"Motor", "Value"}));
    EXPECT_NE(Find("Value"), nullptr);  // kept under its own name
    EXPECT_TRUE(editor.ChangeList().empty());
}

TEST_F(DeclImportTest, Targets)
{
    auto* modem = editor.NewObjectExecute(ntModem, server);
    ASSERT_NE(modem, nullptr);
    auto* folder = Create(nkFolder, station, "F");
    auto* variable = Create(nkVariable, folder, "Sel");
    MarkSaved();
    struct Case {
        const char* what;
        TConfigNode* target;
        TConfigNode* parent;  // nullptr: nothing created
    };
    const std::vector<Case> cases = {
        {"station", station, station}, {"folder", folder, folder},     {"service folder", service, service},
        {"variable", variable, folder},
        {"server", server, nullptr},   {"modem", modem, nullptr},      {"modem item", modem->FirstChild(), nullptr},
        {"none", nullptr, nullptr},
    };
    VarUniqueness = 0;
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto name = "N" + std::to_string(k++);
        MarkSaved();
        const auto nodes = editor.Tree().NodeCount();
        Expect(0, c.parent ? 1 : 0, 0, importer.ImportPubBytes(name + " R W 1\n", c.target));
        Expect(0, c.parent ? 1 : 0, 0, importer.ImportTdrBytes(Tdr({{name + "t", 28}}), c.target));
        EXPECT_EQ(editor.Tree().NodeCount(), nodes + (c.parent ? 2 : 0));
        if (c.parent) {
            EXPECT_EQ(editor.FindNodeByName(name, false, c.parent, nkVariable)->Parent(), c.parent);
        } else {
            EXPECT_FALSE(editor.Modified());
            EXPECT_FALSE(editor.RegisterPending());
        }
    }
}

TEST_F(DeclImportTest, OneVariableOutsideAnImport)
{
    TImportedVariable v;
    v.Name = "Solo";
    v.Address = 3;
    EXPECT_TRUE(importer.AddOrUpdateImportedVariable(v, station));
    EXPECT_EQ(importer.ImportedNew(), 1);
    EXPECT_TRUE(importer.AddOrUpdateImportedVariable(v, station));
    EXPECT_EQ(importer.ImportedNew(), 0);
    EXPECT_EQ(importer.ImportedChanged(), 0);
    EXPECT_FALSE(importer.AddOrUpdateImportedVariable(v, server));
}

TEST_F(DeclImportTest, CommandPicksTheReaderAndShowsItsMessages)
{
    struct Case {
        std::string file;
        int result;
        std::vector<vx::TMsgDlgType> types;
        std::size_t selected;
    };
    const auto pub = WriteFile("vars.PuB", "P1 R W 1\nP2 R W 99999999999\n");
    const auto tdr = WriteFile("vars.tdr", Tdr({{"T1", 28}}));
    const auto badTdr = WriteFile("bad.tdr", Tdr({{"T1", 28}}, 14, 26));
    const auto other = WriteFile("vars.txt", "P1 R W 1\n");
    std::filesystem::create_directories(dir / "sub.pub");
    const auto huge = WriteFile("huge.pub", "");
    std::filesystem::resize_file(huge, kMaxPubFileSize + 1);  // sparse: nothing is written
    const auto fifo = (dir / "pipe.pub").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<Case> cases = {
        {pub, 2, {vx::mtWarning, vx::mtInformation}, 1},
        {tdr, 0, {vx::mtInformation}, 1},
        {tdr, 0, {}, 0},  // again: nothing changed, no message
        {badTdr, 2, {vx::mtWarning}, 0},
        {other, 99, {vx::mtWarning}, 0},
        {(dir / "missing.pub").string(), 1, {vx::mtError}, 0},
        {(dir / "sub.pub").string(), 1, {vx::mtError}, 0},
        {fifo, 1, {vx::mtError}, 0},
        {huge, 1, {vx::mtError}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ui.file = c.file;
        shownMessages.clear();
        shown.clear();
        EXPECT_EQ(importer.ImportConfiguration(station), c.result);
        std::vector<vx::TMsgDlgType> types;
        for (const auto& m : shownMessages)
            types.push_back(m.Type);
        EXPECT_EQ(types, c.types);
        EXPECT_EQ(shown.size(), c.selected);
        if (!shownMessages.empty() && c.result == 1) {
            EXPECT_EQ(shownMessages[0].Text, "Can not open file " + c.file + "!");
        }
    }
    ASSERT_FALSE(ui.requests.empty());
    EXPECT_EQ(ui.requests[0].Title, "Select file containing variable declarations");
    EXPECT_EQ(ui.requests[0].Filter,
              "Declarations Pentar, Ilsa (*.tdr)|*.tdr|Declarations Lunaro, Wexa (*.pub)|*.pub");

    // Cancelled, or nothing selected: nothing happens.
    ui.file.reset();
    shownMessages.clear();
    EXPECT_EQ(importer.ImportConfiguration(station), kImportCancelled);
    ui.file = pub;
    EXPECT_EQ(importer.ImportConfiguration(nullptr), kImportCancelled);
    EXPECT_TRUE(shownMessages.empty());
}

// The views hear of a whole import once; an import that changes nothing says nothing.
TEST_F(DeclImportTest, ModelHearsOneResetPerImport)
{
    struct Counter : TConfigTreeObserver {
        void RowsInserted(TConfigNode*, int, int) override { ++rows; }
        void DataChanged(TConfigNode*) override { ++changes; }
        void ModelReset() override { ++resets; }
        int rows = 0, changes = 0, resets = 0;
    } counter;
    TConfigModel model(editor.Tree());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    editor.Tree().AddObserver(&counter);
    std::string text;
    for (int i = 0; i < 50; ++i)
        text += "M" + std::to_string(i) + " R W " + std::to_string(i) + "\n";
    Expect(0, 50, 0, importer.ImportPubBytes(text, station));
    EXPECT_EQ(model.rowCount(model.index(0, 0)), 1);  // the server holds the station
    EXPECT_EQ(std::tuple(counter.rows, counter.changes, counter.resets), std::tuple(0, 0, 1));
    Expect(0, 0, 0, importer.ImportPubBytes(text, station));
    EXPECT_EQ(counter.resets, 1);
    Expect(0, 0, 1, importer.ImportPubBytes(text + "M0 R L 0\n", station));
    EXPECT_EQ(std::tuple(counter.rows, counter.changes, counter.resets), std::tuple(0, 0, 2));
    VarUniqueness = 1;  // the station's service item is found and refused
    Expect(2, 0, 0, importer.ImportPubBytes("DRW_Status R W 1\n", station));
    EXPECT_EQ(counter.resets, 2);
    editor.Tree().RemoveObserver(&counter);
}

}  // namespace
