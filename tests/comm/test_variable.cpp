#include "comm/vx_variable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>

#include "model_fixture.h"
#include "platform/com/safearray.h"

namespace {

using framecheck::Bytes;
using vx::TVariable;

struct Variables : modeltest::ModelFixture {
    void SetUp() override
    {
        ModelFixture::SetUp();
        st->Name = "S";
    }

    // A case of a client request: how its variable is made and what the request gives.
    struct RequestCase {
        const char* name;
        std::function<TVariable*(Variables&)> make;
        HRESULT hr;
        bool done;
    };
    // From a fresh model, makes the case's variable and puts its request (RequestRead or
    // WriteValue); checks what the request returned and whether it ended at once.
    TVariable* requestAfresh(const RequestCase& c, HRESULT (TVariable::*request)(bool&))
    {
        restart();
        TVariable* v = c.make(*this);
        bool done = false;
        EXPECT_EQ((v->*request)(done), c.hr) << c.name;
        EXPECT_EQ(done, c.done) << c.name;
        return v;
    }

    static std::vector<double> elements(const TVariable& v)
    {
        std::vector<double> out;
        SAFEARRAY* psa = v.Value.get()->parray;
        for (LONG i = 0; i < static_cast<LONG>(psa->rgsabound[0].cElements); ++i) {
            com::Variant e;
            e.get()->vt = v.CanonicalType & VT_TYPEMASK;
            SafeArrayGetElement(psa, &i, &e.get()->llVal);
            out.push_back(e.toR8().value_or(NAN));
        }
        return out;
    }
};

TEST_F(Variables, ANewVariable)
{
    TVariable* v = st->AddVariable();
    EXPECT_EQ(v->Name, "Item0");
    EXPECT_EQ(v->ObjectType, vx::otVariable);
    EXPECT_EQ(v->Quality, 0x40);
    EXPECT_EQ(v->Zone, 3);
    EXPECT_EQ(v->CanonicalType, VT_UI2);
    EXPECT_EQ(v->RequestedType, VT_R4);
    EXPECT_EQ(v->UpdatePeriod, 86400000u);
    EXPECT_EQ(v->SimPeriod, 1000);
    EXPECT_EQ(v->SimStep, 1.0);
    EXPECT_EQ(v->TrueText, "True");
    EXPECT_EQ(v->FalseText, "False");
    EXPECT_TRUE(v->Readable);
    EXPECT_TRUE(v->Writable);
    EXPECT_TRUE(v->Value.isEmpty());
    EXPECT_TRUE(v->WaitingTransactions.empty());
}

TEST_F(Variables, FullNameListsFoldersInnermostFirst)
{
    vx::TFolder* f0 = st->AddFolder(0);
    f0->Name = "F0";
    vx::TFolder* f1 = f0->AddFolder(0);
    f1->Name = "F1";
    TVariable* deep = f1->AddVariable();
    deep->Name = "V";
    TVariable* flat = st->AddVariable();
    flat->Name = "W";
    EXPECT_EQ(deep->GetFullName(), "S.F1.F0.V");
    EXPECT_EQ(flat->GetFullName(), "S.W");
    EXPECT_EQ(deep->GetStation(), st);
}

TEST_F(Variables, OnlyNumbersScale)
{
    const std::set<VARTYPE> scalable = {VT_I2, VT_I4, VT_R4, VT_R8, VT_UI1, VT_UI2, VT_UI4};
    for (VARTYPE t : {VT_I2, VT_I4, VT_R4, VT_R8, VT_DATE, VT_BSTR, VT_BOOL, VT_UI1, VT_UI2, VT_UI4,
                      static_cast<VARTYPE>(VT_ARRAY | VT_I2)}) {
        TVariable* v = var(t);
        v->SetScaled(true);
        EXPECT_EQ(v->GetScaled(), scalable.count(t) == 1) << t;
        v->SetScaled(true);
        v->CanonicalType = VT_BSTR;  // stored earlier, the type decides
        EXPECT_FALSE(v->GetScaled());
    }
}

TEST_F(Variables, QualityTransitions)
{
    struct Case {
        std::uint16_t from;
        std::int32_t state;
        std::uint16_t to;
        std::uint16_t expected;
    } cases[] = {
        {0xC0, vx::ssConnected, 0x18, 0x14},  // a good value is now the last known one
        {0x14, vx::ssFailed, 0x18, 0x14},
        {0x40, vx::ssConnected, 0x18, 0x18},
        {0xD8, vx::ssConnected, 0x18, 0x18},
        {0xC0, vx::ssBlocked, 0x18, 0xC0},  // a blocked station keeps its qualities
        {0x40, vx::ssBlocked, 0x18, 0x40},
        {0x40, vx::ssBlocked, 0x1C, 0x1C},
        {0x18, vx::ssConnected, 0xC0, 0xC0},
        {0x14, vx::ssConnected, 0xD8, 0xD8},
    };
    for (const Case& c : cases) {
        TVariable* v = var(VT_UI2);
        v->Quality = c.from;
        st->State = c.state;
        v->SetQuality(c.to);
        EXPECT_EQ(v->Quality, c.expected) << std::hex << c.from << " -> " << c.to << " in state " << c.state;
    }
}

TEST_F(Variables, ForcingAndGoodAtOnceKinds)
{
    TVariable* v = var(VT_UI2);
    v->SetForced(true);
    EXPECT_EQ(v->Quality, 0xD8);
    v->SetForced(false);
    EXPECT_EQ(v->Quality, 0x40);

    const std::set<std::int32_t> goodAtOnce = {10, 11, 12, 14, 16, 20, 21, 22, 23, 25, 26, 27, 28, 30, 40, 41, 50, 51, 52};
    for (std::int32_t kind : {1, 10, 11, 12, 13, 14, 16, 20, 21, 22, 23, 25, 26, 27, 28, 30, 40, 41, 50, 51, 52, 53, 101}) {
        TVariable* s = var(VT_I4);
        s->SetKind(kind);
        EXPECT_EQ(s->Quality, goodAtOnce.count(kind) ? 0xC0 : 0x40) << kind;
    }
}

TEST_F(Variables, TextToVariant)
{
    struct Case {
        const char* text;
        VARTYPE type;
        std::int32_t count;
        std::vector<double> expected;  // scalar: one value
    } cases[] = {
        {"42", VT_I2, 0, {42}},
        {" -7 ", VT_I4, 0, {-7}},
        {"$FF", VT_UI1, 0, {255}},
        {"4000000000", VT_UI4, 0, {4000000000.0}},
        {"1.5", VT_R8, 0, {1.5}},
        {"-0.25", VT_R4, 0, {-0.25}},
        {"True", VT_BOOL, 0, {-1}},
        {"true", VT_BOOL, 0, {0}},  // TrueText is matched exactly
        {"1;-2;x3", VT_ARRAY | VT_I2, 3, {1, -2, 3}},
        {"5;6", VT_ARRAY | VT_UI1, 4, {5, 6, 0, 0}},  // elements not reached stay zero
        {"1;2;3;4;5", VT_ARRAY | VT_I4, 2, {1, 2}},    // the rest is ignored
        {"-1;2", VT_ARRAY | VT_UI2, 2, {1, 2}},       // no sign for unsigned elements
        {"1.5;-2.5;", VT_ARRAY | VT_R8, 2, {1.5, -2.5}},
        {"True;no;True", VT_ARRAY | VT_BOOL, 3, {-1, 0, -1}},
        {"3-4", VT_ARRAY | VT_I4, 1, {34}},  // a "-" counts only first
    };
    for (const Case& c : cases) {
        TVariable* v = var(c.type, 3, 0, c.count);
        com::Variant out;
        ASSERT_NO_THROW(vx::TextToVariant(c.text, c.type, *v, out)) << c.text;
        EXPECT_EQ(out.vt(), c.type) << c.text;
        if (c.type & VT_ARRAY) {
            v->Value = out;
            EXPECT_EQ(elements(*v), c.expected) << c.text;
        } else {
            EXPECT_EQ(out.toR8(), c.expected.front()) << c.text;
        }
    }

    TVariable* text = var(VT_ARRAY | VT_BSTR, 3, 0, 2);
    com::Variant strings;
    vx::TextToVariant("a b;c", VT_ARRAY | VT_BSTR, *text, strings);
    LONG i = 0;
    BSTR s = nullptr;
    SafeArrayGetElement(strings.get()->parray, &i, &s);
    EXPECT_EQ(com::Bstr::attach(s).toUtf8(), "a b");

    TVariable* date = var(VT_DATE);
    com::Variant d;
    vx::TextToVariant("12/9/2026 2:05:30 PM", VT_DATE, *date, d);
    EXPECT_EQ(d.vt(), VT_DATE);
    EXPECT_NEAR(d.get()->date, plat::encodeDate(2026, 12, 9) + (14 * 3600 + 5 * 60 + 30) / 86400.0, 1e-9);

    for (auto [t, type] : std::initializer_list<std::pair<const char*, VARTYPE>>{
             {"abc", VT_I4}, {"70000", VT_I2}, {"-1", VT_UI2}, {"", VT_I4}, {"1.5.5", VT_R8}, {"x", VT_DATE}}) {
        com::Variant out;
        EXPECT_THROW(vx::TextToVariant(t, type, *date, out), vx::EConvertError) << t;
    }
    TVariable* arr = var(VT_ARRAY | VT_I2, 3, 0, 3);
    com::Variant out;
    EXPECT_THROW(vx::TextToVariant("1;;3", VT_ARRAY | VT_I2, *arr, out), vx::EConvertError);
}

TEST_F(Variables, TextToVariantFollowsTheLocale)
{
    com::setProcessLocale(com::ProcessLocale::czech());
    TVariable* v = var(VT_R8);
    com::Variant out;
    vx::TextToVariant("1,5", VT_R8, *v, out);
    EXPECT_EQ(out.toR8(), 1.5);
    TVariable* arr = var(VT_ARRAY | VT_R4, 3, 0, 2);
    vx::TextToVariant("0,5;-2,25", VT_ARRAY | VT_R4, *arr, out);
    arr->Value = out;
    EXPECT_EQ(elements(*arr), (std::vector<double>{0.5, -2.25}));
}

TEST_F(Variables, InitValueGivesTheZeroOfTheType)
{
    struct Case {
        VARTYPE type;
        std::int32_t count;
        VARTYPE vt;
    } cases[] = {
        {VT_I2, 0, VT_I2},     {VT_I4, 0, VT_I4},     {VT_R4, 0, VT_R4},     {VT_R8, 0, VT_R8},
        {VT_DATE, 0, VT_DATE}, {VT_BSTR, 0, VT_BSTR}, {VT_BOOL, 0, VT_BOOL}, {VT_UI1, 0, VT_UI1},
        {VT_UI2, 0, VT_UI2},   {VT_UI4, 0, VT_UI4},   {VT_ARRAY | VT_I4, 5, VT_ARRAY | VT_I4},
        {VT_ARRAY | VT_BOOL, 12, VT_ARRAY | VT_BOOL},
    };
    for (const Case& c : cases) {
        TVariable* v = var(c.type, 3, 0, c.count);
        EXPECT_EQ(v->Value.vt(), c.vt);
        EXPECT_EQ(v->ClientValue.vt(), c.vt);
        EXPECT_EQ(v->RequestedType, c.type);
        if (c.type & VT_ARRAY) {
            EXPECT_EQ(v->Value.get()->parray->rgsabound[0].cElements, static_cast<ULONG>(c.count));
        } else {
            EXPECT_EQ(v->Value.toR8().value_or(0), 0);
        }
    }

    TVariable* scaled = var(VT_UI2);
    scaled->Scaled = true;
    scaled->RequestedType = VT_R8;
    scaled->InitialValue = "12";
    EXPECT_TRUE(scaled->InitValue());
    EXPECT_EQ(scaled->ClientValue.vt(), VT_R8);
    EXPECT_EQ(scaled->RequestedType, VT_R8);
    EXPECT_EQ(scaled->Value.vt(), VT_UI2);
    EXPECT_EQ(scaled->Value.toI4(), 12);

    scaled->InitialValue = "not a number";
    EXPECT_FALSE(scaled->InitValue());

    TVariable* stamp = var(VT_UI2);
    stamp->SetKind(vx::vkTimeStamp);
    EXPECT_TRUE(stamp->InitValue());
    EXPECT_EQ(stamp->Value.toI4(), -1);
}

TEST_F(Variables, AnArrayLargerThanAZoneIsNeverAllocatedNorRequested)
{
    TVariable* huge = var(VT_ARRAY | VT_R8, 3, 0, 2147483647);
    EXPECT_EQ(huge->Value.vt(), VT_EMPTY);
    EXPECT_EQ(huge->ClientValue.vt(), VT_EMPTY);
    EXPECT_EQ(huge->Quality, vx::qConfigError);
    EXPECT_TRUE(vx::ArrayTooLarge(*huge));
    huge->Active = true;
    huge->UpdatePeriod = 10;
    EXPECT_FALSE(huge->ReadDue(clock.now() + 1)) << "never polled";
    bool done = false;
    EXPECT_EQ(huge->RequestRead(done), E_FAIL);
    EXPECT_TRUE(done);
    huge->Value.setI4(5);  // what a client write left there
    EXPECT_EQ(huge->WriteValue(done), E_FAIL);
    EXPECT_EQ(huge->Value.vt(), VT_EMPTY);
    EXPECT_TRUE(channel->ReadQueue.empty());
    EXPECT_TRUE(channel->WriteQueue.empty());

    // Simulated values stay within memory, not within a zone, up to the cap.
    huge->ArrayCount = vx::kMaxForcedArrayElements;
    huge->SetForced(true);
    EXPECT_TRUE(huge->InitValue());
    ASSERT_TRUE(huge->Value.vt() & VT_ARRAY);
    EXPECT_EQ(huge->Value.get()->parray->rgsabound[0].cElements, static_cast<ULONG>(vx::kMaxForcedArrayElements));
    huge->ArrayCount = vx::kMaxForcedArrayElements + 1;
    EXPECT_TRUE(vx::ArrayTooLarge(*huge));

    // No text is converted into a declared count beyond any zone.
    com::Variant out;
    EXPECT_THROW(vx::TextToVariant("1;2", VT_ARRAY | VT_I4, *var(VT_ARRAY | VT_I4, 3, 0, 2147483647), out),
                 vx::EConvertError);
    vx::ZeroValue(VT_ARRAY | VT_UI1, vx::kMaxArrayElements + 1, out);
    EXPECT_EQ(out.vt(), VT_EMPTY);
}

TEST_F(Variables, ReadDue)
{
    TVariable* v = var(VT_UI2);
    v->UpdatePeriod = 1000;
    v->LastUpdate = clock.now();
    v->Active = true;
    EXPECT_FALSE(v->ReadDue(clock.now()));
    clock.advanceMs(1000);
    EXPECT_TRUE(v->ReadDue(clock.now()));
    v->ReadPending = 1;
    EXPECT_FALSE(v->ReadDue(clock.now()));
    v->ReadPending = 0;
    v->Readable = false;
    EXPECT_FALSE(v->ReadDue(clock.now()));
    v->Readable = true;
    v->UpdatePeriod = 0;
    EXPECT_FALSE(v->ReadDue(clock.now()));
    v->UpdatePeriod = 10;
    v->Active = false;
    EXPECT_FALSE(v->ReadDue(clock.now()));
}

TEST_F(Variables, PendingCountsNeverGoBelowZero)
{
    TVariable* v = var(VT_UI2);
    v->ReadOffset = 4;
    v->ReadParts = 2;
    v->SetReadPending(-3);
    EXPECT_EQ(v->ReadPending, 0);
    EXPECT_EQ(v->ReadOffset, 0);
    EXPECT_EQ(v->ReadParts, 0);
    v->WriteOffset = 2;
    v->SetWritePending(-1);
    EXPECT_EQ(v->WritePending, 0);
    EXPECT_EQ(v->WriteOffset, 0);
}

// --- client requests ----------------------------------------------------------------------

TEST_F(Variables, RequestRead)
{
    struct Case : RequestCase {
        std::size_t queued;
        std::int32_t priority;
    } cases[] = {
        {"plain", [](Variables& t) { return t.var(VT_UI2); }, S_OK, false, 1, 5},
        {"clock", [](Variables& t) { TVariable* v = t.var(VT_DATE); v->SetKind(vx::vkDateTime); return v; }, S_OK, false, 1, 6},
        {"forced", [](Variables& t) { TVariable* v = t.var(VT_UI2); v->SetForced(true); return v; }, S_OK, true, 0, 0},
        {"service", [](Variables& t) { return t.service(vx::vkDrwStatus, VT_I4); }, S_OK, true, 0, 0},
        {"M zone of a CPU without it",
         [](Variables& t) { t.st->CpuClass = 2; return t.var(VT_UI2, 0x80, 4); }, E_FAIL, true, 0, 0},
        {"too long for any packet",
         [](Variables& t) { TVariable* v = t.var(VT_BSTR); v->StringLength = 400; return v; }, E_FAIL, true, 0, 0},
        {"no channel", [](Variables& t) { t.st->Channel->RemoveStation(t.st); return t.var(VT_UI2); }, E_FAIL, true, 0, 0},
    };
    for (const Case& c : cases) {
        requestAfresh(c, &TVariable::RequestRead);
        ASSERT_EQ(channel->ReadQueue.size(), c.queued) << c.name;
        if (c.queued) {
            EXPECT_EQ(channel->ReadQueue[0]->Priority, c.priority) << c.name;
        }
    }

    TVariable* orphan = vx::ComList->FindByPort(1)->AddVariable();  // not a station's
    bool done = false;
    EXPECT_EQ(orphan->RequestRead(done), E_FAIL);
    EXPECT_TRUE(done);
}

TEST_F(Variables, ASecondReadWaitsForTheFirst)
{
    TVariable* v = var(VT_UI2);
    bool done = true;
    ASSERT_EQ(v->RequestRead(done), S_OK);
    EXPECT_FALSE(done);
    done = true;
    EXPECT_EQ(v->RequestRead(done), S_OK);
    EXPECT_FALSE(done);  // the waiting read will end it
    EXPECT_EQ(channel->ReadQueue.size(), 1u);
    channel->ReadQueue.Clear();
    EXPECT_EQ(hooks[v], 1);
}

TEST_F(Variables, WriteValue)
{
    struct Case : RequestCase {
        std::int32_t kind;  // of the queued packet, -1 none
    } cases[] = {
        {"plain", [](Variables& t) { TVariable* v = t.var(VT_UI2); v->Value.setUI2(5); return v; }, S_OK, false, vx::pkWriteN},
        {"Boolean", [](Variables& t) { TVariable* v = t.var(VT_BOOL); v->Value.setBool(true); return v; }, S_OK, false, vx::pkWriteB},
        {"clock",
         [](Variables& t) { TVariable* v = t.service(vx::vkDateTime, VT_DATE); v->Value.setDate(46365.25); return v; },
         S_OK, false, vx::pkSetTID},
        {"clock that is no date",
         [](Variables& t) { TVariable* v = t.service(vx::vkDateTime, VT_DATE); v->Value.setString("later"); return v; },
         E_FAIL, true, -1},
        {"forced", [](Variables& t) { TVariable* v = t.var(VT_UI2); v->SetForced(true); return v; }, S_OK, true, -1},
        {"M zone of a CPU without it",
         [](Variables& t) { t.st->CpuClass = 9; return t.var(VT_UI2, 0x81, 4); }, E_FAIL, true, -1},
        {"too long for any packet",
         [](Variables& t) { TVariable* v = t.var(VT_BSTR); v->StringLength = 400; v->Value.setString("x"); return v; },
         E_FAIL, true, -1},
        {"value of the wrong type", [](Variables& t) { TVariable* v = t.var(VT_I2); v->Value.setString("x"); return v; }, E_FAIL, true, -1},
        {"no channel", [](Variables& t) { t.st->Channel->RemoveStation(t.st); return t.var(VT_UI2); }, E_FAIL, true, -1},
        {"service without channel",
         [](Variables& t) { t.st->Channel->RemoveStation(t.st); return t.service(vx::vkDrwAddress, VT_I4); }, S_OK, true, -1},
    };
    for (const Case& c : cases) {
        TVariable* v = requestAfresh(c, &TVariable::WriteValue);
        ASSERT_EQ(channel->WriteQueue.size(), c.kind < 0 ? 0u : 1u) << c.name;
        if (c.kind >= 0) {
            EXPECT_EQ(channel->WriteQueue[0]->Kind, c.kind) << c.name;
            EXPECT_EQ(v->WritePending, 1) << c.name;
            channel->WriteQueue.Clear();
            EXPECT_EQ(hooks[v], 1) << c.name;  // the waiting transaction is released
            EXPECT_EQ(v->WritePending, 0) << c.name;
        }
    }
}

TEST_F(Variables, ServiceWritesAreClamped)
{
    TVariable* buffer = service(vx::vkDrwDataBuffer, VT_ARRAY | VT_UI1);
    buffer->ArrayCount = 8;
    buffer->InitValue();
    struct Case {
        std::int32_t kind;
        std::int32_t written;
        std::int32_t kept;
    } cases[] = {
        {vx::vkDrwAddress, -5, 0}, {vx::vkDrwAddress, 70000, 70000}, {vx::vkDrwLength, -1, 0},
        {vx::vkDrwLength, 9, 8},   {vx::vkDrwLength, 8, 8},          {vx::vkDrwZone, 7, 4},
        {vx::vkDrwZone, -2, 0},    {vx::vkDrwZone, 2, 2},
    };
    for (const Case& c : cases) {
        TVariable* v = service(c.kind, VT_I4);
        v->Value.setI4(c.written);
        bool done = false;
        EXPECT_EQ(v->WriteValue(done), S_OK);
        EXPECT_TRUE(done);
        EXPECT_EQ(v->Value.toI4(), c.kept) << c.kind << " " << c.written;
    }
    TVariable* control = service(vx::vkConControl, VT_I4);
    control->Value.setI4(0);
    bool done = false;
    control->WriteValue(done);
    EXPECT_EQ(st->ConnectionControl, 0);
    EXPECT_EQ(st->State, vx::ssBlocked);
}

// --- block transfer -----------------------------------------------------------------------

struct BlockTransfer : Variables {
    TVariable* address = nullptr;
    TVariable* length = nullptr;
    TVariable* control = nullptr;
    TVariable* buffer = nullptr;
    TVariable* status = nullptr;
    TVariable* zone = nullptr;

    void SetUp() override
    {
        Variables::SetUp();
        buffer = service(vx::vkDrwDataBuffer, VT_ARRAY | VT_UI1);
        buffer->ArrayCount = 16;
        buffer->InitValue();
        address = service(vx::vkDrwAddress, VT_I4);
        length = service(vx::vkDrwLength, VT_I4);
        control = service(vx::vkDrwControl, VT_I4);
        status = service(vx::vkDrwStatus, VT_I4);
        zone = service(vx::vkDrwZone, VT_I4);
        st->CpuClass = 4;
        zone->Value.setI4(3);
        address->Value.setI4(100);
        length->Value.setI4(4);
    }
    void writeControl(std::int32_t value)
    {
        control->Value.setI4(value);
        bool done = false;
        ASSERT_EQ(control->WriteValue(done), S_OK);
        EXPECT_TRUE(done);
    }
    std::int32_t statusNow() const { return status->Value.toI4().value_or(-99); }
    // Answers the first read of the queue and frees it, as the channel would.
    void answerRead(const Bytes& data)
    {
        std::unique_ptr<vx::TPacket> p = channel->ReadQueue.Extract(0);
        ASSERT_TRUE(p);
        const Bytes answer = framecheck::readAnswer(126, 2, 0x08, data);
        for (std::size_t i = 0; i < p->Variables.size(); ++i)
            ASSERT_TRUE(vx::DecodeAnswerEntry(*p, i, answer.data(), answer.size()));
    }
};

TEST_F(BlockTransfer, AReadThatIsAnsweredIsDone)
{
    writeControl(1);
    EXPECT_EQ(statusNow(), vx::drwReading);
    ASSERT_EQ(channel->ReadQueue.size(), 1u);
    EXPECT_EQ(buffer->Zone, 3);
    EXPECT_EQ(buffer->Address, 100);
    EXPECT_EQ(buffer->ArrayCount, 4);
    answerRead({1, 2, 3, 4});
    EXPECT_EQ(statusNow(), vx::drwReadDone);
    EXPECT_EQ(elements(*buffer)[3], 4);
}

TEST_F(BlockTransfer, ADroppedReadFailsEvenAfterAGoodOne)
{
    writeControl(1);
    answerRead({1, 2, 3, 4});
    ASSERT_EQ(buffer->Quality, vx::qGood);
    writeControl(0);
    EXPECT_EQ(statusNow(), vx::drwIdle);
    writeControl(1);
    EXPECT_EQ(statusNow(), vx::drwReading);
    channel->ReadQueue.Clear();  // dropped, never answered
    EXPECT_EQ(statusNow(), vx::drwReadFailed);
}

TEST_F(BlockTransfer, AFailedReadOrWriteIsReported)
{
    writeControl(1);
    buffer->SetQuality(vx::qCommFailure);  // the station failed the request
    EXPECT_EQ(statusNow(), vx::drwReadFailed);
    channel->ReadQueue.Clear();
    EXPECT_EQ(statusNow(), vx::drwReadFailed);

    writeControl(2);
    EXPECT_EQ(statusNow(), vx::drwWriting);
    ASSERT_EQ(channel->WriteQueue.size(), 1u);
    channel->WriteQueue.Clear();  // dropped before any acknowledgement
    EXPECT_EQ(statusNow(), vx::drwWriteFailed);
}

TEST_F(BlockTransfer, AnAcknowledgedWriteStaysDone)
{
    writeControl(2);
    writeControl(2);  // the same command twice queues one write
    ASSERT_EQ(channel->WriteQueue.size(), 1u);
    EXPECT_EQ(channel->WriteQueue[0]->Variables.size(), 1u);
    vx::SetVariableNumber(status, vx::drwWriteDone);  // as the acknowledgement does
    channel->WriteQueue.Clear();
    EXPECT_EQ(statusNow(), vx::drwWriteDone);
}

TEST_F(BlockTransfer, ThePlaceOfTheBlock)
{
    struct Case {
        bool zoneBound;
        std::int32_t zone;
        std::int32_t address;
        std::int32_t length;
        std::int32_t bufferZone;
        std::int32_t bufferAddress;
        std::int32_t count;
    } cases[] = {
        {true, 2, 300, 4, 2, 300, 4},
        {true, 4, 70000, 4, 0x81, 4464, 4},  // zone M: the linear address
        {false, 0, 5, 20, 0x80, 5, 16},      // without a zone, M; the length is cut to the buffer
        {true, 4, 8388608, 4, vx::kZoneOutside, 0, 4},  // past the last block: in no zone
    };
    for (const Case& c : cases) {
        if (!c.zoneBound)
            st->DRW_Zone = nullptr;
        zone->Value.setI4(c.zone);
        address->Value.setI4(c.address);
        length->Value.setI4(c.length);
        writeControl(1);
        EXPECT_EQ(buffer->Zone, c.bufferZone);
        EXPECT_EQ(buffer->Address, c.bufferAddress);
        EXPECT_EQ(buffer->ArrayCount, c.count);
        EXPECT_EQ(length->Value.toI4(), c.count);
        writeControl(0);
        channel->ReadQueue.Clear();
    }
}

TEST_F(BlockTransfer, ATransferThatCannotBeQueuedFailsAtOnce)
{
    st->CpuClass = 2;  // no M zone
    zone->Value.setI4(4);
    writeControl(1);
    EXPECT_EQ(statusNow(), vx::drwReadFailed);
    writeControl(2);
    EXPECT_EQ(statusNow(), vx::drwWriteFailed);
    EXPECT_TRUE(channel->ReadQueue.empty());
    EXPECT_TRUE(channel->WriteQueue.empty());

    // a read while the last one is still under way is refused
    st->CpuClass = 4;
    zone->Value.setI4(3);
    writeControl(1);
    ASSERT_EQ(statusNow(), vx::drwReading);
    EXPECT_EQ(channel->ReadQueue.AddVariableRead(buffer, 0), vx::TQueueResult::NotQueued);
    EXPECT_EQ(statusNow(), vx::drwReadFailed);
}

// --- simulation ---------------------------------------------------------------------------

TEST_F(Variables, TheRandomWalkIsSymmetric)
{
    vx::SeedSimulation(1234);
    struct Case {
        double step;
        std::set<double> steps;
    } cases[] = {
        {1.0, {-1, 0, 1}},
        {2.0, {-2, -1, 0, 1, 2}},
        {0.25, {-0.25, 0, 0.25}},  // too small for a whole range, still moving both ways
        {0.5, {-0.5, 0.5}},
    };
    for (const Case& c : cases) {
        TVariable* v = var(VT_R8);
        v->SetForced(true);
        v->SimFunction = 1;
        v->SimStep = c.step;
        v->SimLow = -1000;
        v->SimHigh = 1000;
        v->SimPeriod = 100;
        std::set<double> seen;
        double last = 0;
        for (int i = 0; i < 400; ++i) {
            clock.advanceMs(101);
            ASSERT_TRUE(v->SimulationStep(clock.now()));
            const double x = *v->Value.toR8();
            seen.insert(x - last);
            last = x;
        }
        EXPECT_EQ(seen, c.steps) << c.step;
        EXPECT_LT(std::fabs(last), 400 * c.step) << c.step;
    }

    // bounded, and with step 1 it does not stick to the low end
    TVariable* v = var(VT_I2);
    v->SetForced(true);
    v->SimFunction = 1;
    v->SimLow = 0;
    v->SimHigh = 3;
    v->SimPeriod = 0;
    std::set<double> values;
    for (int i = 0; i < 200; ++i) {
        clock.advanceMs(1);
        v->SimulationStep(clock.now());
        values.insert(*v->Value.toR8());
    }
    EXPECT_EQ(values, (std::set<double>{0, 1, 2, 3}));
    EXPECT_EQ(v->Value.vt(), VT_I2);
}

TEST_F(Variables, TheRampWrapsAndTheStepWaitsForItsPeriod)
{
    TVariable* v = var(VT_I4);
    v->SimFunction = 2;
    v->SimStep = 2;
    v->SimLow = 1;
    v->SimHigh = 5;
    v->SimPeriod = 1000;
    v->LastUpdate = clock.now();
    clock.advanceMs(2000);
    EXPECT_FALSE(v->SimulationStep(clock.now()));  // not forced
    v->SetForced(true);
    std::vector<double> seen;
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(v->SimulationStep(clock.now() - 1.0));  // the period has not passed
        ASSERT_TRUE(v->SimulationStep(clock.now()));
        seen.push_back(*v->Value.toR8());
        clock.advanceMs(1001);
    }
    EXPECT_EQ(seen, (std::vector<double>{2, 4, 1, 3}));
    EXPECT_NEAR(v->LastUpdate, clock.now() - 1001 / 86400000.0, 1e-9);
}

}  // namespace
