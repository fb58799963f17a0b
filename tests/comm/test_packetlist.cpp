#include "comm/vx_packetlist.h"

#include <gtest/gtest.h>

#include <functional>

#include "model_fixture.h"
#include "platform/com/safearray.h"

namespace {

using framecheck::Bytes;
using vx::TPacket;
using vx::TQueueResult;
using vx::TVariable;

struct Queues : modeltest::ModelFixture {
    vx::TComReadList& reads() { return channel->ReadQueue; }
    vx::TComWriteList& writes() { return channel->WriteQueue; }
};

// --- queue order --------------------------------------------------------------------------

TEST_F(Queues, OrderByPriorityFirstInFirstOutAndDuplicates)
{
    vx::TStation* other = addStation(1);
    struct Add {
        std::int32_t kind;
        std::int32_t priority;
        bool otherStation;
        bool dropDuplicates;
    };
    struct Case {
        const char* name;
        std::vector<Add> adds;       // packet i is tagged i + 1
        std::vector<int> expected;   // tags in queue order
    } cases[] = {
        {"priorities", {{6, 5, false, false}, {6, 0, false, false}, {6, 1, false, false}, {6, 6, false, false}, {6, 1, false, false}},
         {4, 1, 3, 5, 2}},
        {"equal priorities keep arrival order", {{6, 5, false, false}, {6, 5, false, false}, {6, 5, false, false}}, {1, 2, 3}},
        {"all lower goes to the front", {{6, 0, false, false}, {6, 0, false, false}, {6, 3, false, false}}, {3, 1, 2}},
        {"zero is appended", {{6, 5, false, false}, {6, 0, false, false}}, {1, 2}},
        {"second connect dropped", {{0, 0, false, true}, {6, 0, false, false}, {0, 0, false, true}}, {1, 2}},
        {"dropped from a queue of one too", {{0, 0, false, true}, {0, 0, false, true}}, {1}},
        {"another station's connect stays", {{0, 0, false, true}, {0, 0, true, true}}, {1, 2}},
        {"without the flag duplicates stay", {{0, 0, false, false}, {0, 0, false, false}}, {1, 2}},
    };
    for (const Case& c : cases) {
        vx::TComReadList q;
        for (std::size_t i = 0; i < c.adds.size(); ++i) {
            auto p = std::make_unique<TPacket>(c.adds[i].kind, c.adds[i].otherStation ? other : st);
            p->Priority = c.adds[i].priority;
            p->Retries = static_cast<int>(i) + 1;
            q.AddPacket(std::move(p), c.adds[i].dropDuplicates);
        }
        std::vector<int> tags;
        for (std::size_t i = 0; i < q.size(); ++i)
            tags.push_back(q[i]->Retries);
        EXPECT_EQ(tags, c.expected) << c.name;
    }
}

TEST_F(Queues, PuttingBackAndDroppingAStation)
{
    vx::TStation* other = addStation(1);
    vx::TComReadList q;
    auto tagged = [](std::int32_t kind, vx::TStation* s, int tag) {
        auto p = std::make_unique<TPacket>(kind, s);
        p->Retries = tag;
        return p;
    };
    q.AddPacket(tagged(vx::pkReadN, st, 1), false);
    q.AddPacket(tagged(vx::pkReadN, other, 2), false);
    q.AddPacket(tagged(vx::pkConnect, st, 3), false);
    q.InsertPacket(0, tagged(vx::pkReadN, other, 4), false);
    q.InsertPacket(99, tagged(vx::pkIdent, st, 5), false);
    ASSERT_EQ(q.size(), 5u);
    EXPECT_EQ(q[0]->Retries, 4);
    EXPECT_EQ(q[4]->Retries, 5);
    EXPECT_EQ(q.FindStationPacket(st)->Retries, 5);

    // putting back with the flag first frees the packets of that kind and station
    q.InsertPacket(0, tagged(vx::pkReadN, other, 6), true);
    ASSERT_EQ(q.size(), 4u);
    EXPECT_EQ(q[0]->Retries, 6);
    EXPECT_EQ(q[1]->Retries, 1);

    q.RemoveStation(st);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0]->Retries, 6);
    EXPECT_EQ(q.FindStationPacket(st), nullptr);
}

// --- reads --------------------------------------------------------------------------------

TEST_F(Queues, NeighboursTravelInOneRead)
{
    TVariable* a = var(VT_UI2, 3, 10);
    TVariable* b = var(VT_UI2, 3, 12);
    TVariable* c = var(VT_UI2, 3, 14);
    EXPECT_EQ(reads().AddVariableRead(a, 0), TQueueResult::Queued);
    EXPECT_EQ(reads().AddVariableRead(b, 0), TQueueResult::Queued);
    EXPECT_EQ(reads().AddVariableRead(c, 5), TQueueResult::Queued);  // another priority, another packet
    ASSERT_EQ(reads().size(), 2u);
    EXPECT_EQ(reads()[0]->Priority, 5);
    EXPECT_EQ(payload(*reads()[1]), (Bytes{3, 10, 0, 4}));

    vx::TStation* other = addStation(1);
    TVariable* d = var(other, VT_UI2, 3, 14);
    EXPECT_EQ(reads().AddVariableRead(d, 0), TQueueResult::Queued);
    EXPECT_EQ(reads().size(), 3u);
    EXPECT_EQ(reads()[2]->Station, other);
}

TEST_F(Queues, BooleansAndBytesShareTheByteAWaitingReadCarries)
{
    TVariable* b0 = var(VT_BOOL, 3, 10);
    TVariable* b3 = var(VT_BOOL, 3, 10);
    b3->BitNumber = 3;
    TVariable* byte = var(VT_UI1, 3, 10);
    for (TVariable* v : {b0, b3, byte})
        EXPECT_EQ(reads().AddVariableRead(v, 0), TQueueResult::Queued);
    ASSERT_EQ(reads().size(), 1u);
    TPacket& p = *reads()[0];
    EXPECT_EQ(p.Variables.size(), 3u);
    EXPECT_EQ(p.AnswerOffsets, (std::vector<std::int32_t>{7, 7, 7}));
    ASSERT_TRUE(p.BuildFrame());
    EXPECT_EQ(payload(p), (Bytes{3, 10, 0, 1}));
}

TEST_F(Queues, DueVariablesArePackedInPlcOrder)
{
    TVariable* r10 = var(VT_BOOL, 3, 10);
    TVariable* s500 = var(VT_BOOL, 2, 500);
    s500->BitNumber = 7;
    TVariable* r9 = var(VT_BOOL, 3, 9);
    r9->BitNumber = 7;
    std::vector<TVariable*> due = {r10, s500, r9};
    reads().AddVariableReads(due);
    ASSERT_EQ(reads().size(), 1u);
    EXPECT_EQ(reads()[0]->Variables, (std::vector<TVariable*>{s500, r9, r10}));
    EXPECT_EQ(reads()[0]->Priority, 0);
    // R9 and R10 are neighbours and share one item
    EXPECT_EQ(payload(*reads()[0]).size(), 8u);
}

TEST_F(Queues, TheMZoneIsNotAskedOfCpusWithoutIt)
{
    struct Case {
        std::int32_t cpuClass;
        bool served;
    } cases[] = {{0, false}, {1, false}, {2, false}, {3, false}, {8, false}, {9, false},
                 {4, true},  {5, true},  {6, true},  {255, true}};
    for (const Case& c : cases) {
        st->CpuClass = c.cpuClass;
        TVariable* m = var(VT_UI2, 0x80, 100);
        m->Value.setUI2(1);
        const TQueueResult want = c.served ? TQueueResult::Queued : TQueueResult::NotQueued;
        EXPECT_EQ(reads().AddVariableRead(m, 0), want) << c.cpuClass;
        EXPECT_EQ(writes().AddVariableWrite(m, 0), want) << c.cpuClass;
        EXPECT_EQ(m->ReadPending, c.served ? 1 : 0);
        EXPECT_EQ(m->WritePending, c.served ? 1 : 0);
        reads().Clear();
        writes().Clear();
        EXPECT_EQ(m->ReadPending + m->WritePending, 0);
    }
}

TEST_F(Queues, ALongArrayIsSplitOverSeveralReads)
{
    TVariable* arr = var(VT_ARRAY | VT_I4, 3, 0, 200);
    EXPECT_EQ(reads().AddVariableRead(arr, 0), TQueueResult::Queued);
    ASSERT_EQ(reads().size(), 4u);
    const std::int32_t parts[] = {244, 244, 244, 68};
    for (std::size_t i = 0; i < 4; ++i) {
        TPacket& p = *reads()[i];
        EXPECT_EQ(p.PartLengths, std::vector<std::int32_t>{parts[i]});
        EXPECT_EQ(p.PartOffsets.front(), static_cast<std::int32_t>(244 * i));
        const auto address = static_cast<std::uint16_t>(244 * i);
        ASSERT_TRUE(p.BuildFrame());
        EXPECT_EQ(payload(p), (Bytes{3, static_cast<std::uint8_t>(address & 0xFF),
                                     static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(parts[i])}));
    }
    EXPECT_EQ(arr->ReadPending, 4);
    EXPECT_EQ(arr->ReadOffset, 0);

    // the answers fill the whole array; the value is good only once every part is in
    for (std::size_t i = 0; i < 4; ++i) {
        Bytes data;
        for (std::int32_t k = 0; k < parts[i] / 4; ++k)
            framecheck::le(data, static_cast<std::uint32_t>(-(61 * static_cast<std::int32_t>(i) + k)), 4);
        const Bytes answer = framecheck::readAnswer(126, 2, 0x08, data);
        EXPECT_EQ(arr->Quality, vx::qUncertain);
        ASSERT_TRUE(vx::DecodeAnswerEntry(*reads()[i], 0, answer.data(), answer.size()));
    }
    EXPECT_EQ(arr->Quality, vx::qGood);
    SAFEARRAY* psa = arr->Value.get()->parray;
    for (LONG k : {0, 60, 61, 199}) {
        LONG value = 0;
        SafeArrayGetElement(psa, &k, &value);
        EXPECT_EQ(value, -k);
    }
    reads().Clear();
    EXPECT_EQ(arr->ReadPending, 0);
    EXPECT_EQ(hooks[arr], 4);
}

TEST_F(Queues, AReadUnderWayIsNotQueuedAgain)
{
    TVariable* v = var(VT_UI2, 3, 10);
    ASSERT_EQ(reads().AddVariableRead(v, 0), TQueueResult::Queued);
    EXPECT_EQ(reads().AddVariableRead(v, 5), TQueueResult::AlreadyPending);
    EXPECT_EQ(reads().size(), 1u);
    EXPECT_EQ(v->ReadPending, 1);
}

TEST_F(Queues, WhatNoPacketCanTakeIsNotQueued)
{
    TVariable* text = var(VT_BSTR, 3, 0);
    text->StringLength = 300;
    EXPECT_EQ(reads().AddVariableRead(text, 0), TQueueResult::NotQueued);
    EXPECT_EQ(writes().AddVariableWrite(text, 0), TQueueResult::NotQueued);
    TVariable* nothing = var(VT_ARRAY | VT_UI1, 3, 0, 0);  // no bytes at all
    EXPECT_EQ(reads().AddVariableRead(nothing, 0), TQueueResult::NotQueued);
    EXPECT_EQ(writes().AddVariableWrite(nothing, 0), TQueueResult::NotQueued);
    EXPECT_TRUE(reads().empty());
    EXPECT_TRUE(writes().empty());

    // a fresh read that holds only the time stamp is freed, never queued
    vx::CheckTimestamp = true;
    vx::MaxPacketLen = 18;  // room for the time stamp item and no other
    TVariable* word = var(VT_UI2, 3, 10);
    EXPECT_EQ(reads().AddVariableRead(word, 0), TQueueResult::NotQueued);
    EXPECT_TRUE(reads().empty());
    EXPECT_EQ(st->TimeStampVariable->ReadPending, 0);
    EXPECT_EQ(hooks[st->TimeStampVariable], 1);
    EXPECT_EQ(text->ReadPending + text->WritePending + word->ReadPending, 0);
}

// Items carry the zone in one byte and the address in two: a variable whose bytes do not lie
// within one zone would read or write other PLC memory. It is never queued, and its quality
// tells the client why.
TEST_F(Queues, AVariableOutsideItsZoneIsNeverQueued)
{
    struct Case {
        const char* name;
        VARTYPE type;
        std::int32_t zone, address, count, bit;
        bool fits;
    } cases[] = {
        {"word ending at 65535", VT_UI2, 3, 65534, 0, 0, true},
        {"word running past 65535", VT_UI2, 3, 65535, 0, 0, false},
        {"double word running past 65535", VT_I4, 3, 65534, 0, 0, false},
        {"Boolean at 65535", VT_BOOL, 3, 65535, 0, 7, true},
        {"Boolean at bit 8", VT_BOOL, 3, 10, 0, 8, false},
        {"Boolean at bit -1", VT_BOOL, 3, 10, 0, -1, false},
        {"eight Booleans at 65535", VT_ARRAY | VT_BOOL, 3, 65535, 8, 0, true},
        {"sixteen Booleans at 65535", VT_ARRAY | VT_BOOL, 3, 65535, 16, 0, false},
        {"long array whose last part runs past 65535", VT_ARRAY | VT_I4, 3, 65400, 100, 0, false},
        {"address 65536", VT_UI1, 3, 65536, 0, 0, false},
        {"address 70000", VT_UI2, 3, 70000, 0, 0, false},
        {"negative address", VT_UI2, 3, -2, 0, 0, false},
        {"last block of zone M", VT_UI2, 0xFF, 65534, 0, 0, true},
        {"zone code beyond one byte", VT_UI2, 0x180, 10, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        TVariable* v = var(c.type, c.zone, c.address, c.count);
        v->BitNumber = c.bit;
        const TQueueResult expected = c.fits ? TQueueResult::Queued : TQueueResult::NotQueued;
        EXPECT_EQ(reads().AddVariableRead(v, 0), expected);
        EXPECT_EQ(writes().AddVariableWrite(v, 0), expected);
        bool done = false;
        EXPECT_EQ(v->RequestRead(done), c.fits ? S_OK : E_FAIL);
        if (c.fits) {
            EXPECT_FALSE(done);  // the read queued first carries it
            EXPECT_EQ(v->Quality, vx::qUncertain);
            reads().Clear();
            writes().Clear();
        } else {
            EXPECT_TRUE(done);
            EXPECT_EQ(v->WriteValue(done), E_FAIL);
            EXPECT_TRUE(done);
            EXPECT_TRUE(reads().empty());
            EXPECT_TRUE(writes().empty());
            EXPECT_EQ(v->Quality, vx::qConfigError);
            EXPECT_EQ(vx::QualityText(v->Quality), "Bad, config error");
        }
        EXPECT_EQ(v->ReadPending + v->WritePending, 0);
        EXPECT_EQ(v->ReadOffset + v->WriteOffset + v->ReadParts + v->WriteParts, 0);
    }
}

// A block placed past the end of its zone fails at once instead of reaching other memory.
TEST_F(Queues, ABlockTransferOutsideItsZoneFails)
{
    st->CpuClass = 5;  // has block transfer
    TVariable* address = service(vx::vkDrwAddress, VT_I4);
    TVariable* length = service(vx::vkDrwLength, VT_I4);
    TVariable* control = service(vx::vkDrwControl, VT_I4);
    TVariable* status = service(vx::vkDrwStatus, VT_I4);
    TVariable* zone = service(vx::vkDrwZone, VT_I4);
    TVariable* buffer = var(VT_ARRAY | VT_UI1, 3, 0, 16);
    buffer->SetKind(vx::vkDrwDataBuffer);
    st->BindServiceVariable(buffer);
    zone->Value.setI4(3);
    address->Value.setI4(65530);  // 16 bytes from R65530 would go on at R0
    length->Value.setI4(16);
    bool done = false;
    for (std::int32_t command : {1, 2}) {
        SCOPED_TRACE(command);
        control->Value.setI4(command);
        EXPECT_EQ(control->WriteValue(done), S_OK);
        EXPECT_EQ(vx::VariableNumber(status), command == 1 ? vx::drwReadFailed : vx::drwWriteFailed);
    }
    EXPECT_TRUE(reads().empty());
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(buffer->ReadPending + buffer->WritePending, 0);
}

// --- writes -------------------------------------------------------------------------------

TEST_F(Queues, WritesJoinTheLastWaitingWriteOfTheStation)
{
    TVariable* a = var(VT_UI2, 3, 10);
    TVariable* b = var(VT_UI2, 3, 12);
    vx::TStation* other = addStation(1);
    TVariable* c = var(other, VT_UI2, 3, 10);
    EXPECT_EQ(writes().AddVariableWrite(a, 0), TQueueResult::Queued);
    EXPECT_EQ(writes().AddVariableWrite(c, 0), TQueueResult::Queued);
    EXPECT_EQ(writes().AddVariableWrite(b, 0), TQueueResult::Queued);
    EXPECT_EQ(writes().AddVariableWrite(a, 0), TQueueResult::Queued);  // the same variable again
    ASSERT_EQ(writes().size(), 2u);
    TPacket& p = *writes()[0];
    EXPECT_EQ(p.Variables, (std::vector<TVariable*>{a, b, a}));
    EXPECT_EQ(a->WritePending, 2);

    writes().Clear();
    EXPECT_EQ(hooks[a], 2);
    EXPECT_EQ(a->WritePending, 0);
    EXPECT_EQ(a->WriteParts, 0);
}

TEST_F(Queues, BooleansGoAsWriteB)
{
    TVariable* bit = var(VT_BOOL, 3, 4);
    bit->Value.setBool(true);
    TVariable* word = var(VT_UI2, 3, 6);
    EXPECT_EQ(writes().AddVariableWrite(bit, 1), TQueueResult::Queued);
    EXPECT_EQ(writes().AddVariableWrite(word, 1), TQueueResult::Queued);
    ASSERT_EQ(writes().size(), 2u);
    EXPECT_EQ(writes()[0]->Kind, vx::pkWriteB);
    EXPECT_EQ(writes()[1]->Kind, vx::pkWriteN);
}

TEST_F(Queues, ABooleanArrayWriteEndsWhateverTheFrameLimit)
{
    TVariable* arr = var(VT_ARRAY | VT_BOOL, 3, 0, 16);
    vx::MaxPacketLen = 44;  // room for fewer than eight bits
    EXPECT_EQ(writes().AddVariableWrite(arr, 0), TQueueResult::NotQueued);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(arr->WritePending, 0);
    EXPECT_EQ(arr->WriteOffset, 0);

    vx::MaxPacketLen = 60;  // eight bits per packet
    EXPECT_EQ(writes().AddVariableWrite(arr, 0), TQueueResult::Queued);
    ASSERT_EQ(writes().size(), 2u);
    EXPECT_EQ(writes()[0]->PartLengths.front(), 8);
    EXPECT_EQ(writes()[1]->PartOffsets.front(), 1);
    ASSERT_TRUE(writes()[1]->BuildFrame());
    EXPECT_EQ(payload(*writes()[1])[1], 1);  // the second byte's address
}

TEST_F(Queues, TheClockWriteIsOneSetTIDCarryingItsVariable)
{
    TVariable* clk = var(VT_DATE, 0, 0);
    clk->SetKind(vx::vkDateTime);
    plat::DateTimeFields f;
    f.year = 2026;
    f.month = 12;
    f.day = 9;
    f.hour = 14;
    f.minute = 5;
    f.second = 30;
    double date = 0;
    ASSERT_TRUE(plat::encodeDateTime(f, date));
    clk->Value.setDate(date);
    EXPECT_EQ(writes().AddVariableWrite(clk, 1), TQueueResult::Queued);
    ASSERT_EQ(writes().size(), 1u);
    TPacket& p = *writes()[0];
    EXPECT_EQ(p.Kind, vx::pkSetTID);
    EXPECT_EQ(p.Priority, 0);
    EXPECT_EQ(p.Variables, std::vector<TVariable*>{clk});
    EXPECT_EQ(clk->WritePending, 1);
    ASSERT_TRUE(p.BuildFrame());
    EXPECT_EQ(payload(p), (Bytes{26, 12, 9, 14, 5, 30, 3}));
    writes().Clear();
    EXPECT_EQ(hooks[clk], 1);
    EXPECT_EQ(clk->WritePending, 0);

    clk->Value.setString("no date");
    EXPECT_EQ(writes().AddVariableWrite(clk, 1), TQueueResult::NotQueued);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(clk->WritePending, 0);
}

// --- freeing ------------------------------------------------------------------------------

TEST_F(Queues, EveryWayAPacketIsFreedEndsItsEntries)
{
    struct Case {
        const char* name;
        std::function<void(Queues&)> free;
    } cases[] = {
        {"queue cleared", [](Queues& t) { t.reads().Clear(); t.writes().Clear(); }},
        {"station dropped from the queues", [](Queues& t) { t.reads().RemoveStation(t.st); t.writes().RemoveStation(t.st); }},
        {"duplicates freed on putting back",
         [](Queues& t) {
             t.reads().InsertPacket(0, std::make_unique<TPacket>(vx::pkReadN, t.st), true);
             t.writes().InsertPacket(0, std::make_unique<TPacket>(vx::pkWriteN, t.st), true);
             t.reads().Clear();
             t.writes().Clear();
         }},
        {"in flight and queued, dropped for the station",
         [](Queues& t) {
             t.channel->CurrentPacket = t.reads().Extract(0).release();
             t.channel->DropStationPackets(t.st);
         }},
        {"line released", [](Queues& t) { t.st->ReleaseLine(); }},
        {"channel freed with a request in flight",
         [](Queues& t) {
             t.channel->CurrentPacket = t.writes().Extract(0).release();
             vx::ComList->Clear();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        TVariable* r = var(VT_UI2, 3, 10);
        TVariable* w = var(VT_UI2, 3, 20);
        TVariable* arr = var(VT_ARRAY | VT_I4, 3, 100, 100);  // two read packets
        ASSERT_EQ(reads().AddVariableRead(r, 0), TQueueResult::Queued);
        ASSERT_EQ(reads().AddVariableRead(arr, 0), TQueueResult::Queued);
        ASSERT_EQ(writes().AddVariableWrite(w, 0), TQueueResult::Queued);
        ASSERT_EQ(writes().AddVariableWrite(w, 0), TQueueResult::Queued);
        c.free(*this);
        EXPECT_EQ(hooks[r], 1);
        EXPECT_EQ(hooks[arr], 2);
        EXPECT_EQ(hooks[w], 2);
        for (TVariable* v : {r, w, arr}) {
            EXPECT_EQ(v->ReadPending, 0);
            EXPECT_EQ(v->WritePending, 0);
            EXPECT_EQ(v->ReadOffset + v->WriteOffset + v->ReadParts + v->WriteParts, 0);
        }
        hooks.clear();
    }
}

TEST_F(Queues, FreeingTheStationFreesItsPackets)
{
    TVariable* r = var(VT_UI2, 3, 10);
    ASSERT_EQ(reads().AddVariableRead(r, 0), TQueueResult::Queued);
    vx::OnVariableRequestDone = nullptr;  // the variable goes with its station
    vx::StationList->Clear();
    EXPECT_TRUE(reads().empty());
    EXPECT_TRUE(channel->Stations.empty());
}

TEST_F(Queues, ADuplicateDroppedOnAddingEndsItsEntries)
{
    TVariable* r = var(VT_UI2, 3, 10);
    ASSERT_EQ(reads().AddVariableRead(r, 0), TQueueResult::Queued);
    auto dup = std::make_unique<TPacket>(vx::pkReadN, st);
    TVariable* other = var(VT_UI2, 3, 50);
    ASSERT_TRUE(dup->AddVariable(other));
    EXPECT_EQ(reads().AddPacket(std::move(dup), true), nullptr);
    EXPECT_EQ(hooks[other], 1);
    EXPECT_EQ(other->ReadPending, 0);
    EXPECT_EQ(reads().size(), 1u);
}

}  // namespace
