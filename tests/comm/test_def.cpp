#include "comm/vx_def.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Def : ::testing::Test {
    void TearDown() override { vx::ResetSettings(); }
};

TEST_F(Def, NamesOfZonesTypesAndFamilies)
{
    struct {
        std::int32_t code;
        const char* name;
    } zones[] = {{0, "X"}, {1, "Y"}, {2, "S"}, {3, "R"}, {0x80, "M"}, {0x83, "M"}, {4, "?"}, {-1, "M"}};
    for (const auto& z : zones)
        EXPECT_EQ(vx::ZoneName(z.code), z.name) << z.code;

    struct {
        int style;
        std::uint16_t vt;
        const char* name;
    } types[] = {
        {0, 11, "Bool"},         {1, 11, "Bool"},       {0, 19, "LongWord"},  {1, 19, "DWord"},
        {0, 2, "SmallInt"},      {1, 2, "Int"},         {0, 3, "Integer"},    {1, 3, "DInt"},
        {0, 4, "Float"},         {1, 0x2004, "RealArray"}, {0, 7, "DateTime"}, {1, 7, "data_and_time"},
        {0, 0x2015, "?Array"},   {1, 21, "?"},          {2, 11, ""},          {2, 0x2011, "Array"},
        {0, 0x2008, "StringArray"}, {1, 5, "LReal"},    {0, 17, "Byte"},      {1, 18, "Word"},
    };
    for (const auto& t : types) {
        vx::VarTypesSigning = t.style;
        EXPECT_EQ(vx::VarTypeName(t.vt), t.name) << t.style << "/" << t.vt;
    }

    EXPECT_EQ(vx::PlcFamilyName(0), "Dravik");
    EXPECT_EQ(vx::PlcFamilyName(2), "Orbane");
    EXPECT_EQ(vx::PlcFamilyName(3), "?");
}

TEST_F(Def, QualityTexts)
{
    struct {
        std::uint16_t q;
        const char* text;
    } cases[] = {
        {0x14, "Bad, last known"},         {0xD8, "Good, local override"}, {0x18, "Bad, comm failure"},
        {0xC0, "Good, non-specific"},      {0x40, "Uncertain"},            {0x1C, "Bad, out of service"},
        {0x80, ""},                        {0x84, ", config error"},       {0x48, "Uncertain, not connected"},
        {0x0C, "Bad, device failure"},     {0x10, "Bad, sensor failure"},  {0x00, "Bad"},
        {0x40 | 0x04, "Uncertain, config error"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vx::QualityText(c.q), c.text) << c.q;
}

TEST_F(Def, TextHelpers)
{
    struct {
        const char* in;
        std::int32_t number;
        const char* rest;
    } cases[] = {{"Item12", 12, "Item"}, {"123", 123, ""}, {"abc", -1, "abc"}, {"", -1, ""},
                 {"A1B", -1, "A1B"},     {"Dev007", 7, "Dev"}, {"X99999999999", 2147483647, "X"}};
    for (const auto& c : cases) {
        std::string text = c.in;
        EXPECT_EQ(vx::SplitTrailingNumber(text), c.number) << c.in;
        EXPECT_EQ(text, c.rest) << c.in;
    }
    EXPECT_EQ(vx::CrLfToBlanks("a\r\nb\nc\rd"), "a  b c d");
}

TEST_F(Def, StreamStrings)
{
    std::stringstream s;
    vx::WriteStreamString(s, "");
    vx::WriteStreamString(s, "ab\0c");
    vx::WriteStreamString(s, std::string("x\0y", 3));
    const std::string bytes = s.str();
    EXPECT_EQ(bytes.substr(0, 4), std::string(4, '\0'));
    EXPECT_EQ(bytes.substr(4, 6), std::string("\x02\0\0\0ab", 6));
    EXPECT_EQ(vx::ReadStreamString(s), "");
    EXPECT_EQ(vx::ReadStreamString(s), "ab");
    EXPECT_EQ(vx::ReadStreamString(s), std::string("x\0y", 3));

    // A negative length reads as the empty text and nothing more.
    std::stringstream neg(std::string("\xFF\xFF\xFF\xFFrest", 8));
    EXPECT_EQ(vx::ReadStreamString(neg), "");
    EXPECT_EQ(neg.tellg(), 4);

    // Truncated length or body is an error, not garbage; a huge length does not allocate.
    std::stringstream shortLen(std::string("\x05\0", 2));
    EXPECT_THROW(vx::ReadStreamString(shortLen), std::runtime_error);
    std::stringstream shortBody(std::string("\x05\0\0\0abc", 7));
    EXPECT_THROW(vx::ReadStreamString(shortBody), std::runtime_error);
    std::stringstream huge(std::string("\xFF\xFF\xFF\x7F" "abc", 7));
    EXPECT_THROW(vx::ReadStreamString(huge), std::runtime_error);
}

TEST_F(Def, RequestLimitAndPeriods)
{
    struct {
        std::int32_t len;
        bool different, stamp;
        std::int32_t expected;
    } cases[] = {{255, true, true, 247}, {255, false, true, 251}, {255, true, false, 251}, {100, false, false, 100}};
    for (const auto& c : cases) {
        vx::MaxPacketLen = c.len;
        vx::DifferentPacketLen = c.different;
        vx::CheckTimestamp = c.stamp;
        EXPECT_EQ(vx::MaxRequestLength(), c.expected);
    }
    const double one = vx::MsToDateTime(90061001);
    EXPECT_NEAR(one, 1.0 + (3600.0 + 60.0 + 1.0 + 0.001) / 86400.0, 1e-12);
    EXPECT_DOUBLE_EQ(vx::MsToDateTime(0), 0.0);
    EXPECT_DOUBLE_EQ(vx::MsToDateTime(86400000), 1.0);
}

TEST_F(Def, VersionComesFromTheBuild)
{
    std::uint16_t a = 0, b = 0, d = 0;
    ASSERT_TRUE(vx::GetVersionNumbers(a, b, d));
    EXPECT_EQ(vx::GetVersionString(), std::to_string(a) + "." + std::to_string(b) + ".0");
    EXPECT_EQ(d, 1);
}

TEST_F(Def, SettingsStartEmpty)
{
    vx::MaxPacketLen = 255;
    vx::CfgFileName = "x.cfg";
    vx::ShuttingDown = true;
    vx::ResetSettings();
    EXPECT_EQ(vx::MaxPacketLen, 0);
    EXPECT_TRUE(vx::CfgFileName.empty());
    EXPECT_FALSE(vx::ShuttingDown);
    EXPECT_FALSE(vx::UseRTS);
    EXPECT_EQ(vx::Language, 0);
}

}  // namespace
