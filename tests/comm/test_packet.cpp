#include "comm/vx_packet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model_fixture.h"
#include "platform/com/safearray.h"

namespace {

using framecheck::Bytes;
using vx::TPacket;
using vx::TVariable;

double at(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    plat::DateTimeFields f;
    f.year = y;
    f.month = mo;
    f.day = d;
    f.hour = h;
    f.minute = mi;
    f.second = s;
    f.millisecond = ms;
    double dt = 0;
    plat::encodeDateTime(f, dt);
    return dt;
}

struct Packets : modeltest::ModelFixture {
    Packets() : ModelFixture(at(2026, 12, 9, 14, 5, 30)) {}
};

// --- frames -------------------------------------------------------------------------------

TEST_F(Packets, ShortFramesOfConnectAndIdent)
{
    struct Case {
        std::int32_t kind;
        std::int32_t bus;
        std::int32_t connection;
        Bytes expected;
        std::int32_t answer;
    } cases[] = {
        {vx::pkConnect, 2, vx::ctSerial, {0x10, 0x02, 0x7E, 0x69, 0xE9, 0x16}, 6},
        {vx::pkConnect, 2, vx::ctUdp, {0x10, 0x02, 0x7E, 0x69, 0xE9, 0x16, 0x00}, 6},
        {vx::pkIdent, 200, vx::ctTcp, framecheck::sd1(200, 126, 0x6E), 20},
        // only the low byte of the bus address goes out
        {vx::pkConnect, 0x1FF, vx::ctSerial, framecheck::sd1(0xFF, 126, 0x69), 6},
    };
    for (const Case& c : cases) {
        st->Primary->BusAddress = c.bus;
        st->Primary->ConnectionType = c.connection;
        TPacket p(c.kind, st);
        ASSERT_TRUE(p.BuildFrame());
        EXPECT_EQ(frame(p), c.expected) << "kind " << c.kind << " bus " << c.bus;
        EXPECT_EQ(p.AnswerLength, c.answer);
        EXPECT_EQ(p.LogDirection, 1);
        EXPECT_EQ(st->LastAnswerLength, c.answer);
    }
}

TEST_F(Packets, TheStandbyConnectionGivesTheDestination)
{
    st->Standby->BusAddress = 9;
    st->UseBackup = true;
    TPacket p(vx::pkConnect, st);
    ASSERT_TRUE(p.BuildFrame());
    EXPECT_EQ(frame(p), framecheck::sd1(9, 126, 0x69));
}

TEST_F(Packets, ReadNMergesNeighboursIntoOneItem)
{
    TVariable* a = var(VT_UI2, 3, 10);
    TVariable* b = var(VT_I2, 3, 12);
    TVariable* c = var(VT_I4, 2, 40);  // another zone: its own item
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(a));
    ASSERT_TRUE(p.AddVariable(b));
    ASSERT_TRUE(p.AddVariable(c));
    ASSERT_TRUE(p.BuildFrame());

    const Bytes f = frame(p);
    EXPECT_EQ(framecheck::sd2Error(f), "");
    EXPECT_EQ(f, framecheck::sd2({0x02, 0x7E, 0x6C, 0x0B, 3, 10, 0, 4, 2, 40, 0, 4}));
    EXPECT_EQ(p.AnswerOffsets, (std::vector<std::int32_t>{7, 9, 11}));
    EXPECT_EQ(p.PartLengths, (std::vector<std::int32_t>{2, 2, 4}));
    EXPECT_EQ(p.AnswerLength, 9 + 8);
    EXPECT_EQ(a->ReadPending, 1);
    EXPECT_EQ(a->ReadOffset, 0);
}

TEST_F(Packets, WithTheTimeStampCheckEveryReadStartsWithTheStampItem)
{
    vx::CheckTimestamp = true;
    TVariable* a = var(VT_UI2, 3, 10);
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(a));
    ASSERT_TRUE(p.BuildFrame());
    EXPECT_EQ(frame(p), framecheck::sd2({0x02, 0x7E, 0x6C, 0x0B, 2, 14, 0, 2, 3, 10, 0, 2}));
    EXPECT_EQ(p.Variables.front(), st->TimeStampVariable);
    EXPECT_EQ(p.AnswerOffsetOf(st->TimeStampVariable), 7);
    EXPECT_EQ(p.AnswerOffsetOf(a), 9);
}

TEST_F(Packets, WriteNCarriesTheCodedDataAfterItsItem)
{
    TVariable* w = var(VT_UI2, 3, 10);
    w->Value.setUI2(0x1234);
    TVariable* d = var(VT_I4, 3, 12);  // continues the item of w
    d->Value.setI4(-2);
    TVariable* r = var(VT_R4, 1, 300);
    r->Value.setR4(1.5f);
    TPacket p(vx::pkWriteN, st);
    ASSERT_TRUE(p.AddVariable(w));
    ASSERT_TRUE(p.AddVariable(d));
    ASSERT_TRUE(p.AddVariable(r));
    ASSERT_TRUE(p.BuildFrame());
    const Bytes body = framecheck::cat({{0x02, 0x7E, 0x63, 0x0C, 3, 10, 0, 6},
                                        framecheck::le16(0x1234),
                                        framecheck::le32(0xFFFFFFFE),
                                        {1, 0x2C, 0x01, 4},
                                        framecheck::f32(1.5f)});
    EXPECT_EQ(frame(p), framecheck::sd2(body));
    EXPECT_EQ(p.AnswerLength, 1);
    EXPECT_EQ(p.ID, -1);
    EXPECT_EQ(w->WritePending, 1);
}

TEST_F(Packets, WriteBGivesOneItemPerBit)
{
    TVariable* b = var(VT_BOOL, 3, 5);
    b->BitNumber = 3;
    b->Value.setBool(true);
    TVariable* arr = var(VT_ARRAY | VT_BOOL, 0, 20, 10);
    LONG i = 9;
    VARIANT_BOOL t = VARIANT_TRUE;
    SafeArrayPutElement(arr->Value.get()->parray, &i, &t);
    i = 0;
    SafeArrayPutElement(arr->Value.get()->parray, &i, &t);

    TPacket p(vx::pkWriteB, st);
    ASSERT_TRUE(p.AddVariable(b));
    ASSERT_TRUE(p.AddVariable(arr));
    ASSERT_TRUE(p.BuildFrame());
    Bytes body = {0x02, 0x7E, 0x63, 0x10, 3, 5, 0, 0x83};
    for (int j = 0; j < 10; ++j) {
        const bool on = j == 0 || j == 9;
        body.insert(body.end(), {0, static_cast<std::uint8_t>(20 + j / 8), 0,
                                 static_cast<std::uint8_t>((on ? 0x80 : 0) + j % 8)});
    }
    EXPECT_EQ(frame(p), framecheck::sd2(body));
    EXPECT_EQ(arr->WriteOffset, 0);  // all ten bits placed
}

TEST_F(Packets, SetTIDCarriesTheClockAndItsVariable)
{
    TVariable* clk = var(VT_DATE, 2, 0);
    clk->SetKind(vx::vkDateTime);
    clk->Value.setDate(at(2026, 12, 9, 14, 5, 30));
    TPacket p(vx::pkSetTID, st);
    ASSERT_TRUE(p.AddVariable(clk));
    ASSERT_TRUE(p.BuildFrame());
    EXPECT_EQ(frame(p), framecheck::sd2({0x02, 0x7E, 0x63, 0x08, 26, 12, 9, 14, 5, 30, 3}));
    EXPECT_EQ(p.FrameLength, 17);
    ASSERT_EQ(p.Variables.size(), 1u);
    EXPECT_EQ(clk->WritePending, 1);
    EXPECT_FALSE(p.AddVariable(clk));  // one clock per packet
}

TEST_F(Packets, FramesThatCarryNothingOrTooMuchAreNotBuilt)
{
    TPacket empty(vx::pkReadN, st);
    EXPECT_FALSE(empty.BuildFrame());
    TPacket noClock(vx::pkSetTID, st);
    EXPECT_FALSE(noClock.BuildFrame());

    TVariable* big = var(VT_ARRAY | VT_UI1, 3, 0, 240);
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(big));
    vx::MaxPacketLen = 12;
    EXPECT_FALSE(p.BuildFrame());
    EXPECT_EQ(p.LogDirection, 0);
    vx::MaxPacketLen = 255;
    EXPECT_TRUE(p.BuildFrame());

    // once built, nothing more goes in, and a retry keeps the frame
    const Bytes first = frame(p);
    EXPECT_FALSE(p.AddVariable(var(VT_UI1, 3, 400)));
    p.LogDirection = 2;
    EXPECT_TRUE(p.BuildFrame());
    EXPECT_EQ(frame(p), first);
    EXPECT_EQ(p.LogDirection, 1);
}

TEST_F(Packets, AVariableOfAnotherStationIsRefused)
{
    vx::TStation* other = vx::StationList->AddStation();
    TVariable* v = other->AddVariable();
    v->CanonicalType = VT_UI2;
    TPacket p(vx::pkReadN, st);
    EXPECT_FALSE(p.AddVariable(v));
    EXPECT_FALSE(p.JoinVariable(v));
    EXPECT_EQ(v->ReadPending, 0);
}

// --- limits -------------------------------------------------------------------------------

TEST_F(Packets, ALongArrayIsCutAtTheAnswerLimit)
{
    TVariable* arr = var(VT_ARRAY | VT_I4, 3, 0, 200);
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(arr));
    EXPECT_EQ(p.PartLengths.front(), 244);  // 61 elements
    EXPECT_EQ(p.AnswerLength, 253);
    EXPECT_EQ(arr->ReadOffset, 244);
    EXPECT_FALSE(p.AddVariable(arr));  // not one more element fits

    // a value that cannot be cut is all or nothing
    TVariable* text = var(VT_BSTR, 3, 1000, 0, 250);
    TPacket q(vx::pkReadN, st);
    EXPECT_FALSE(q.AddVariable(text));
    EXPECT_EQ(text->ReadPending, 0);
    EXPECT_TRUE(q.Variables.empty());
}

TEST_F(Packets, RequestAndAnswerLimitsFollowTheSwitches)
{
    vx::DifferentPacketLen = true;
    vx::CheckTimestamp = true;
    EXPECT_EQ(vx::RequestLimit(), 247);
    EXPECT_EQ(vx::RequestLimit(), vx::MaxRequestLength());
    EXPECT_EQ(vx::AnswerLimit(), 254);

    // items stop at the request limit
    TPacket p(vx::pkReadN, st);
    int items = 1;  // the time stamp
    for (int k = 0; k < 100; ++k, ++items)
        if (!p.AddVariable(var(VT_UI1, 3, 2 * k)))
            break;
    EXPECT_LE(p.FrameLength, 247);
    EXPECT_GT(p.FrameLength + 4, 247);
    EXPECT_EQ(p.FrameLength, 10 + 4 * items);
}

TEST_F(Packets, TheFillerItemMakesConsecutiveAnswersDiffer)
{
    vx::DifferentPacketLen = true;
    TVariable* v = var(VT_UI2, 3, 10);
    std::vector<std::int32_t> answers;
    for (int i = 0; i < 4; ++i) {
        TPacket p(vx::pkReadN, st);
        ASSERT_TRUE(p.AddVariable(v));
        ASSERT_TRUE(p.BuildFrame());
        EXPECT_EQ(framecheck::sd2Error(frame(p)), "");
        answers.push_back(p.AnswerLength);
        if (p.AnswerLength == 12) {
            EXPECT_EQ(payload(p), (Bytes{3, 10, 0, 2, 3, 0, 0, 1}));
        }
    }
    EXPECT_EQ(answers, (std::vector<std::int32_t>{11, 12, 11, 12}));
}

TEST_F(Packets, WriteNNeverTakesMoreThanTheValue)
{
    // With the read switches on, the request limit is below the frame limit; the array part
    // is cut by the frame limit but must still end at the value's last byte.
    vx::DifferentPacketLen = true;
    TVariable* arr = var(VT_ARRAY | VT_UI1, 3, 0, 240);
    TPacket p(vx::pkWriteN, st);
    ASSERT_TRUE(p.AddVariable(arr));
    EXPECT_EQ(p.PartLengths.front(), 240);
    EXPECT_EQ(p.FrameLength, 10 + 4 + 240);
    EXPECT_EQ(arr->WriteOffset, 0);
    ASSERT_TRUE(p.BuildFrame());
    EXPECT_EQ(framecheck::sd2Error(frame(p)), "");
}

TEST_F(Packets, ABooleanArrayWriteWithRoomForNoWholeByteAddsNothing)
{
    TVariable* arr = var(VT_ARRAY | VT_BOOL, 3, 0, 16);
    for (std::int32_t len : {44, 30, 14}) {
        vx::MaxPacketLen = len;
        TPacket p(vx::pkWriteB, st);
        EXPECT_FALSE(p.AddVariable(arr)) << len;
        EXPECT_TRUE(p.Variables.empty());
        EXPECT_EQ(arr->WritePending, 0);
        EXPECT_EQ(arr->WriteOffset, 0);
    }
    vx::MaxPacketLen = 45;  // room for eight bits
    TPacket p(vx::pkWriteB, st);
    ASSERT_TRUE(p.AddVariable(arr));
    EXPECT_EQ(p.PartLengths.front(), 8);
    EXPECT_EQ(arr->WriteOffset, 1);
}

// --- value coding -------------------------------------------------------------------------

struct CodingCase {
    const char* name;
    VARTYPE type;
    std::int32_t count;
    std::int32_t stringLength;
    std::int32_t kind;
    Bytes bytes;  // the coding as the PLC holds it
};

void PrintTo(const CodingCase& c, std::ostream* os) { *os << c.name; }

class ValueCoding : public Packets, public ::testing::WithParamInterface<CodingCase> {};

TEST_P(ValueCoding, DecodesTheBytesAndCodesThemBackUnchanged)
{
    const CodingCase& c = GetParam();
    TVariable* v = var(c.type, 3, 0, c.count, c.stringLength);
    v->Kind = c.kind;
    vx::DecodeValuePart(*v, 0, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(v->Value.vt(), c.type);
    EXPECT_EQ(vx::EncodeValue(*v), c.bytes);
}

std::vector<CodingCase> codingCases()
{
    using framecheck::cat;
    using framecheck::f32;
    using framecheck::f64;
    using framecheck::le16;
    using framecheck::le32;
    return {
        {"I2", VT_I2, 0, 0, 0, le16(0xFFFE)},
        {"I4", VT_I4, 0, 0, 0, le32(0x80000001)},
        {"R4", VT_R4, 0, 0, 0, f32(-2.75f)},
        {"R8", VT_R8, 0, 0, 0, f64(1e300)},
        {"Date", VT_DATE, 0, 0, 0, f64(1728043200.0)},  // seconds since 1970: day 20000.5
        {"PlcClock", VT_DATE, 0, 0, vx::vkDateTime, {250, 30, 5, 14, 3, 9, 12, 26}},
        {"Text", VT_BSTR, 0, 6, 0, {'A', 0x9A, 'c', 0, 0, 0}},  // 0x9A is s with caron
        {"UI1", VT_UI1, 0, 0, 0, {0xFE}},
        {"UI2", VT_UI2, 0, 0, 0, le16(0xFFFF)},
        {"UI4", VT_UI4, 0, 0, 0, le32(0xFFFFFFFF)},
        {"I2Array", VT_ARRAY | VT_I2, 3, 0, 0, cat({le16(1), le16(0x8000), le16(0x7FFF)})},
        {"I4Array", VT_ARRAY | VT_I4, 2, 0, 0, cat({le32(7), le32(0xFFFFFFFF)})},
        {"R4Array", VT_ARRAY | VT_R4, 2, 0, 0, cat({f32(0.5f), f32(-1e10f)})},
        {"R8Array", VT_ARRAY | VT_R8, 2, 0, 0, cat({f64(3.25), f64(-0.0)})},
        {"DateArray", VT_ARRAY | VT_DATE, 2, 0, 0, cat({f64(46365.5), f64(2.25)})},  // date values themselves
        {"TextArray", VT_ARRAY | VT_BSTR, 2, 3, 0, {'a', 'b', 'c', 'x', 0, 0}},
        {"BoolArray", VT_ARRAY | VT_BOOL, 10, 0, 0, {0x81, 0x02}},
        {"UI1Array", VT_ARRAY | VT_UI1, 3, 0, 0, {0, 0x7F, 0xFF}},
        {"UI2Array", VT_ARRAY | VT_UI2, 2, 0, 0, cat({le16(0xFFFF), le16(2)})},
        {"UI4Array", VT_ARRAY | VT_UI4, 2, 0, 0, cat({le32(0x80000000), le32(1)})},
    };
}

INSTANTIATE_TEST_SUITE_P(EveryType, ValueCoding, ::testing::ValuesIn(codingCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Packets, DecodedValuesAreTheNumbersThePlcMeant)
{
    TVariable* u4 = var(VT_UI4, 3, 0);
    const Bytes big = framecheck::le32(0x80000000);
    vx::DecodeValuePart(*u4, 0, big.data(), big.size());
    EXPECT_EQ(u4->Value.toI8(), 2147483648LL);  // never negative

    TVariable* date = var(VT_DATE, 3, 0);
    const Bytes secs = framecheck::f64(86400.0 * 2);
    vx::DecodeValuePart(*date, 0, secs.data(), secs.size());
    EXPECT_DOUBLE_EQ(date->Value.get()->date, 25571.0);

    TVariable* clk = var(VT_DATE, 3, 0);
    clk->Kind = vx::vkDateTime;
    const Bytes plc = {0, 30, 5, 14, 3, 9, 12, 26};
    vx::DecodeValuePart(*clk, 0, plc.data(), plc.size());
    EXPECT_DOUBLE_EQ(clk->Value.get()->date, at(2026, 12, 9, 14, 5, 30));

    TVariable* text = var(VT_BSTR, 3, 0, 0, 4);
    const Bytes raw = {'O', 'K', 0, 0};
    vx::DecodeValuePart(*text, 0, raw.data(), raw.size());
    EXPECT_EQ(text->Value.toU16(), std::u16string(u"OK\0\0", 4));  // every byte kept

    TVariable* bit = var(VT_BOOL, 3, 0);
    bit->BitNumber = 6;
    const Bytes byte = {0x40};
    vx::DecodeValuePart(*bit, 0, byte.data(), byte.size());
    EXPECT_EQ(bit->Value.toBool(), true);

    TVariable* longText = var(VT_BSTR, 3, 0, 0, 3);
    longText->Value.setString("abcdef");
    EXPECT_EQ(vx::EncodeValue(*longText), (Bytes{'a', 'b', 'c'}));  // cut to its length
}

TEST_F(Packets, BytesThatMakeNoValueLeaveTheValueAlone)
{
    TVariable* clk = var(VT_DATE, 3, 0);
    clk->Kind = vx::vkDateTime;
    clk->Value.setDate(1.0);
    const Bytes month13 = {0, 0, 0, 0, 1, 1, 13, 26};
    EXPECT_THROW(vx::DecodeValuePart(*clk, 0, month13.data(), month13.size()), vx::EConvertError);
    EXPECT_DOUBLE_EQ(clk->Value.get()->date, 1.0);
    const Bytes year100 = {0, 0, 0, 0, 1, 1, 1, 100};  // the PLC keeps the year mod 100
    EXPECT_THROW(vx::DecodeValuePart(*clk, 0, year100.data(), year100.size()), vx::EConvertError);
    EXPECT_DOUBLE_EQ(clk->Value.get()->date, 1.0);

    TVariable* date = var(VT_DATE, 3, 0);
    const Bytes nan = framecheck::f64(std::numeric_limits<double>::quiet_NaN());
    EXPECT_THROW(vx::DecodeValuePart(*date, 0, nan.data(), nan.size()), vx::EConvertError);

    TVariable* word = var(VT_UI2, 3, 0);
    const Bytes one = {1};
    EXPECT_THROW(vx::DecodeValuePart(*word, 0, one.data(), one.size()), vx::EConvertError);

    TVariable* notNumber = var(VT_I2, 3, 0);
    notNumber->Value.setString("abc");
    EXPECT_THROW(vx::EncodeValue(*notNumber), vx::EConvertError);
    TVariable* shortArray = var(VT_ARRAY | VT_I2, 3, 0, 4);
    shortArray->ArrayCount = 5;  // the value holds only four
    EXPECT_THROW(vx::EncodeValue(*shortArray), vx::EConvertError);
}

TEST_F(Packets, ArrayPartsLandAtTheirElements)
{
    TVariable* arr = var(VT_ARRAY | VT_I2, 3, 0, 4);
    const Bytes tail = framecheck::cat({framecheck::le16(30), framecheck::le16(40)});
    vx::DecodeValuePart(*arr, 4, tail.data(), tail.size());
    const Bytes head = framecheck::cat({framecheck::le16(10), framecheck::le16(20)});
    vx::DecodeValuePart(*arr, 0, head.data(), head.size());
    EXPECT_EQ(vx::EncodeValue(*arr), framecheck::cat({head, tail}));

    TVariable* bits = var(VT_ARRAY | VT_BOOL, 3, 0, 12);
    const Bytes second = {0xFF};
    vx::DecodeValuePart(*bits, 1, second.data(), second.size());  // bits 8..11 only
    EXPECT_EQ(vx::EncodeValue(*bits), (Bytes{0x00, 0x0F}));

    // a value that holds fewer elements than the variable grows, keeping what it had
    TVariable* grown = var(VT_ARRAY | VT_UI1, 3, 0, 2);
    const Bytes first = {5, 6};
    vx::DecodeValuePart(*grown, 0, first.data(), first.size());
    grown->ArrayCount = 3;
    const Bytes third = {7};
    vx::DecodeValuePart(*grown, 2, third.data(), third.size());
    EXPECT_EQ(vx::EncodeValue(*grown), (Bytes{5, 6, 7}));
}

TEST_F(Packets, ClockBytesForSetTID)
{
    struct Case {
        double date;
        std::array<std::uint8_t, 7> bytes;
    } cases[] = {
        {at(2026, 12, 9, 14, 5, 30), {26, 12, 9, 14, 5, 30, 3}},
        {at(2000, 1, 2, 0, 0, 0), {0, 1, 2, 0, 0, 0, 7}},    // a Sunday is 7
        {at(2031, 3, 3, 23, 59, 59), {31, 3, 3, 23, 59, 59, 1}},  // a Monday is 1
    };
    for (const Case& c : cases) {
        com::Variant v;
        v.setDate(c.date);
        std::array<std::uint8_t, 7> out{};
        ASSERT_TRUE(vx::EncodeClock(*v.get(), out));
        EXPECT_EQ(out, c.bytes);
    }
    com::Variant text;
    text.setString("not a date");
    std::array<std::uint8_t, 7> out{};
    EXPECT_FALSE(vx::EncodeClock(*text.get(), out));
}

// --- answers ------------------------------------------------------------------------------

TEST_F(Packets, AnAnswerEntryIsDecodedIntoItsVariable)
{
    TVariable* a = var(VT_UI2, 3, 10);
    TVariable* b = var(VT_I2, 3, 12);
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(a));
    ASSERT_TRUE(p.AddVariable(b));
    ASSERT_TRUE(p.BuildFrame());
    clock.advanceMs(40);
    p.RequestTime = clock.now();  // the answer is taken up now
    const Bytes answer = framecheck::readAnswer(126, 2, 0x08, framecheck::cat({framecheck::le16(513), framecheck::le16(0xFFFF)}));
    ASSERT_EQ(static_cast<std::int32_t>(answer.size()), p.AnswerLength);
    for (std::size_t i = 0; i < p.Variables.size(); ++i)
        EXPECT_TRUE(vx::DecodeAnswerEntry(p, i, answer.data(), answer.size()));
    EXPECT_EQ(a->Value.toI4(), 513);
    EXPECT_EQ(b->Value.toI4(), -1);
    EXPECT_EQ(a->Quality, vx::qGood);
    EXPECT_DOUBLE_EQ(a->LastUpdate, p.RequestTime);
    EXPECT_EQ(a->ReadParts, 0);
    EXPECT_EQ(a->ReadPartsDone, 0);
    EXPECT_TRUE(a->ReadAnswered);
}

TEST_F(Packets, ATruncatedAnswerIsRefusedAndLosesNothing)
{
    TVariable* a = var(VT_UI2, 3, 10);
    TVariable* b = var(VT_I4, 3, 12);
    a->Value.setUI2(7);
    b->Value.setI4(8);
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(a));
    ASSERT_TRUE(p.AddVariable(b));
    const Bytes full = framecheck::readAnswer(126, 2, 0x08, Bytes(6, 0x11));
    for (std::size_t cut : {full.size() - 3, std::size_t{10}, std::size_t{8}, std::size_t{0}}) {
        std::string why;
        EXPECT_FALSE(vx::DecodeAnswerEntry(p, 1, full.data(), cut, &why)) << cut;
        EXPECT_NE(why, "");
    }
    EXPECT_FALSE(vx::DecodeAnswerEntry(p, 2, full.data(), full.size()));  // no such entry
    EXPECT_EQ(b->Value.toI4(), 8);
    EXPECT_EQ(b->Quality, vx::qUncertain);
    EXPECT_EQ(b->ReadPartsDone, 0);
    // the entry that the short answer still covers is taken
    EXPECT_TRUE(vx::DecodeAnswerEntry(p, 0, full.data(), 9));
    EXPECT_EQ(a->Value.toI4(), 0x1111);
}

TEST_F(Packets, ForcedOrWritePendingVariablesKeepTheirValue)
{
    TVariable* forced = var(VT_UI2, 3, 10);
    forced->SetForced(true);
    forced->Value.setUI2(5);
    TVariable* writing = var(VT_UI2, 3, 12);
    writing->Value.setUI2(6);
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(forced));
    ASSERT_TRUE(p.AddVariable(writing));
    writing->WritePending = 1;
    const Bytes answer = framecheck::readAnswer(126, 2, 0x08, Bytes(4, 0x22));
    EXPECT_TRUE(vx::DecodeAnswerEntry(p, 0, answer.data(), answer.size()));
    EXPECT_TRUE(vx::DecodeAnswerEntry(p, 1, answer.data(), answer.size()));
    EXPECT_EQ(forced->Value.toI4(), 5);
    EXPECT_EQ(forced->Quality, vx::qLocalOverride);
    EXPECT_EQ(writing->Value.toI4(), 6);
    EXPECT_FALSE(writing->ReadAnswered);
    writing->WritePending = 0;
}

TEST_F(Packets, BooleansInOneByteShareTheAnswerByte)
{
    TVariable* b0 = var(VT_BOOL, 3, 10);
    TVariable* b5 = var(VT_BOOL, 3, 10);
    b5->BitNumber = 5;
    TPacket p(vx::pkReadN, st);
    ASSERT_TRUE(p.AddVariable(b0));
    EXPECT_TRUE(p.JoinVariable(b5));
    EXPECT_FALSE(p.JoinVariable(var(VT_BOOL, 3, 11)));  // another byte
    ASSERT_TRUE(p.BuildFrame());
    EXPECT_EQ(payload(p), (Bytes{3, 10, 0, 1}));
    EXPECT_EQ(p.AnswerOffsets, (std::vector<std::int32_t>{7, 7}));
    const Bytes answer = framecheck::readAnswer(126, 2, 0x08, {0x20});
    for (std::size_t i = 0; i < 2; ++i)
        ASSERT_TRUE(vx::DecodeAnswerEntry(p, i, answer.data(), answer.size()));
    EXPECT_EQ(b0->Value.toBool(), false);
    EXPECT_EQ(b5->Value.toBool(), true);
}

TEST_F(Packets, TimeOutRunsFromTheSendTime)
{
    st->Primary->Timeout = 500;
    TPacket p(vx::pkConnect, st);
    p.SendTime = clock.now();
    clock.advanceMs(499);
    EXPECT_FALSE(vx::RequestTimedOut(p, clock.now()));
    clock.advanceMs(1);
    EXPECT_TRUE(vx::RequestTimedOut(p, clock.now()));
}

TEST_F(Packets, TheTimeStampSentinelIsSigned)
{
    TVariable* ts = st->TimeStampVariable;
    EXPECT_EQ(vx::TimeStampOf(*ts), -1);
    EXPECT_NE(ts->Value.vt(), VT_UI2);
    const Bytes stamp = framecheck::le16(40000);
    vx::DecodeValuePart(*ts, 0, stamp.data(), stamp.size());
    EXPECT_EQ(vx::TimeStampOf(*ts), 40000);
}

}  // namespace
