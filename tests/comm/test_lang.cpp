#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_lang_table.h"
#include "platform/text.h"

namespace {

class LangTest : public ::testing::Test {
protected:
    void TearDown() override { vx::Language = saved_; }

    std::string textIn(std::int32_t language, std::int32_t id)
    {
        vx::Language = language;
        return vx::GetLangText(id);
    }

private:
    std::int32_t saved_ = vx::Language;
};

TEST_F(LangTest, LanguageIsReadAtEveryCall)
{
    vx::Language = 0;
    EXPECT_EQ(vx::GetLangText(0), "Stanice");
    vx::Language = 1;
    EXPECT_EQ(vx::GetLangText(0), "Device");
    vx::Language = 0;
    EXPECT_EQ(vx::GetLangText(0), "Stanice");
}

// Rows whose bytes are easy to get wrong when the table is written down.
TEST_F(LangTest, TextsAreKeptByteForByte)
{
    struct Case {
        std::int32_t id;
        const char* en;
        const char* cs;
    };
    const Case cases[] = {
        {1000, "", ""},
        {401, "Imported: %d\r\nAdded: %d\r\nModified: %d", ""},
        {104, " was not found, or port is busy!", " nebyl nalezen, nebo je využíván jinou aplikací!"},
        {134, "Do you really want to delete selected objects ?", "Opravdu chcete vymazat označené objekty ?"},
        {402, "Declarations Pentar, Ilsa (*.tdr)|*.tdr|Declarations Lunaro, Wexa (*.pub)|*.pub",
         "Deklarace Pentar, Ilsa (*.tdr)|*.tdr|Deklarace Lunaro, Wexa (*.pub)|*.pub"},
        {404, "Vorn OPC server configuration files (*.cfg)|*.cfg|All files (*.*)|*.*",
         "Konfigurace Vorn OPC serveru (*.cfg)|*.cfg|Všechny soubory (*.*)|*.*"},
        {303, "Use this item to control reading/writing data block.\r\n0 .. quiet\r\n1 .. start reading\r\n2 .. start writing",
         "Proměnná řídící čtení/zápis dat.\r\n0 .. klid\r\n1 .. čtení dat\r\n2 .. zápis dat"},
        {10003, "User \"%s\" was not found in user list!", "Uživatel \"%s\" nebyl nalezen v seznamu uživatelů!"},
        {10005, "Current user %", "Přihlášen uživatel %"},
        // Unused ids and the system's own spellings stay as they are.
        {3, "Communication port", "Komunikační port"},
        {130, "Server was succefully registered.", "Server byl úspěšně zaregistrován."},
        {380, "Cannot activate UDP socket", "Nepodařilo se aktivovat UDP sockert"},
        {1122, "Failed", "Chyba spojení"},
        // Czech letters as explicit UTF-8 bytes, whatever the source encoding: "Čas", "Počet portů:".
        {17, "Time", "\xC4\x8C" "as"},
        {49, "Ports count:", "Po\xC4\x8D" "et port\xC5\xAF:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(textIn(1, c.id), c.en);
        EXPECT_EQ(textIn(0, c.id), c.cs);
    }
}

TEST_F(LangTest, LongTextsKeepTheirLineBreaks)
{
    const std::string en = textIn(1, 316);
    EXPECT_EQ(en.rfind("Use this item to get remote connection extended status of the last call.\r\n0 .. initial value\r\n", 0), 0u);
    EXPECT_TRUE(en.ends_with("\r\n14 .. canceled by user\r\n15 .. cannot find modem"));
    EXPECT_EQ(en.find('\\'), std::string::npos);
    // The double blanks line up the two-digit codes.
    EXPECT_NE(textIn(1, 304).find("\r\n0  .. ready\r\n1  .. reading in progress\r\n"), std::string::npos);
}

TEST_F(LangTest, IdsOutsideTheCatalogueGiveTheEmptyText)
{
    for (std::int32_t id : {-1, 7, 9, 28, 48, 68, 69, 77, 99, 122, 123, 147, 199, 318, 409, 498, 625, 999, 1016,
                            1099, 1104, 1119, 1123, 5000, 9999, 10006, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(textIn(0, id), "");
        EXPECT_EQ(textIn(1, id), "");
    }
}

TEST_F(LangTest, OtherLanguageValuesGiveTheEmptyTextForEveryId)
{
    for (std::int32_t language : {2, -1, 100}) {
        for (const vx::lang::Row& row : vx::lang::Catalogue()) {
            ASSERT_EQ(textIn(language, row.id), "") << "language " << language << " id " << row.id;
        }
    }
}

TEST_F(LangTest, CatalogueHoldsItsRowsInTheirRanges)
{
    const auto rows = vx::lang::Catalogue();
    EXPECT_EQ(rows.size(), 272u);

    const std::vector<std::pair<std::int32_t, std::int32_t>> ranges = {
        {0, 6},       {10, 27},     {49, 76},     {100, 146},   {200, 408},     {499, 523},
        {620, 624},   {1000, 1015}, {1100, 1103}, {1120, 1122}, {10000, 10005},
    };
    std::set<std::int32_t> ids;
    for (const vx::lang::Row& row : rows)
        ids.insert(row.id);
    for (const auto& [first, last] : ranges) {
        EXPECT_TRUE(ids.contains(first)) << first;
        EXPECT_TRUE(ids.contains(last)) << last;
    }

    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::int32_t id = rows[i].id;
        SCOPED_TRACE(id);
        if (i > 0) {
            EXPECT_LT(rows[i - 1].id, id);
        }
        bool inRange = false;
        for (const auto& [first, last] : ranges)
            inRange = inRange || (id >= first && id <= last);
        EXPECT_TRUE(inRange);
        // Every row is found by the lookup, in both languages.
        EXPECT_EQ(textIn(1, id), rows[i].en);
        EXPECT_EQ(textIn(0, id), rows[i].cs);
    }
}

// The file format stores texts in Windows-1250; every text must survive the trip.
TEST_F(LangTest, EveryTextFitsTheCzechCodePage)
{
    for (const vx::lang::Row& row : vx::lang::Catalogue()) {
        for (std::string_view text : {row.en, row.cs}) {
            EXPECT_EQ(plat::cp1250ToUtf8(plat::utf8ToCp1250(text)), text) << "id " << row.id;
        }
        EXPECT_TRUE(std::all_of(row.en.begin(), row.en.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            << "English text of " << row.id;
    }
}

TEST_F(LangTest, FormatText)
{
    using vx::FormatText;
    struct Case {
        const char* what;
        std::string got;
        std::string want;
    };
    const Case cases[] = {
        {"text", FormatText("About %s", {"Vorn"}), "About Vorn"},
        {"upper-case text", FormatText("File %S already exists.", {"a.cfg"}), "File a.cfg already exists."},
        {"numbers in order", FormatText("%d items imported. %d new items and %d changed.", {7, 3, 4}),
         "7 items imported. 3 new items and 4 changed."},
        {"numbers between line breaks", FormatText("Imported: %d\r\nAdded: %d\r\nModified: %d", {10, 0, -2}),
         "Imported: 10\r\nAdded: 0\r\nModified: -2"},
        {"number then text", FormatText("Socket Error %d (%s)", {10061, "refused"}), "Socket Error 10061 (refused)"},
        {"large number", FormatText("%d", {INT64_MIN}), "-9223372036854775808"},
        {"number for %s", FormatText("%s", {42}), "42"},
        {"text for %d", FormatText("%d", {"many"}), "many"},
        {"percent sign", FormatText("100%% done", {}), "100% done"},
        {"percent sign before s", FormatText("%%s %s", {"x"}), "%s x"},
        {"percent sign then placeholder", FormatText("%%%s", {"x"}), "%x"},
        {"stray % at the end", FormatText("Current user %", {"admin"}), "Current user %"},
        {"stray % before a blank", FormatText("50 % of %s", {"all"}), "50 % of all"},
        {"unknown forms stay", FormatText("%x %5d %s", {"y"}), "%x %5d y"},
        {"extra arguments", FormatText("Wrong password!", {"a", 1}), "Wrong password!"},
        {"missing argument", FormatText("%d and %d (%s)", {1}), "1 and  ()"},
        {"no arguments", FormatText("User \"%s\"", {}), "User \"\""},
        {"empty format", FormatText("", {"a"}), ""},
        {"empty argument", FormatText("[%s]", {""}), "[]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got, c.want) << c.what;
    }
}

// 101, 102 and 145 have their placeholder in one language only; callers pass the argument anyway.
TEST_F(LangTest, FormatsCatalogueTextsInBothLanguages)
{
    struct Case {
        std::int32_t id;
        const char* arg;
        const char* en;
        const char* cs;
    };
    const Case cases[] = {
        {101, "a.cfg", "Cannot load configuration from file a.cfg!", "Konfiguraci se nepodařilo načíst!"},
        {102, "a.cfg", "Cannot save configuration to file a.cfg!", "Konfiguraci se nepodařilo uložit!"},
        {145, "10048", "Unable to open TCPIP socket", "Nepodařilo se otevřít TCPIP socket (10048)"},
        {10003, "Novák", "User \"Novák\" was not found in user list!",
         "Uživatel \"Novák\" nebyl nalezen v seznamu uživatelů!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(vx::FormatText(textIn(1, c.id), {c.arg}), c.en);
        EXPECT_EQ(vx::FormatText(textIn(0, c.id), {c.arg}), c.cs);
    }
}

}  // namespace
