#include <gtest/gtest.h>

#include "failing_new.h"
#include "platform/com/connpoint.h"

namespace {

struct IShutdownSink : IUnknown {
    static constexpr IID iid = {0x3B9E0A01, 0x7C4D, 0x4B2A, {0x91, 0x0E, 0x5F, 0x6A, 0x7B, 0x8C, 0x9D, 0xAE}};
    virtual void shutdown() = 0;
};

struct IDataSink : IUnknown {
    static constexpr IID iid = {0x3B9E0A02, 0x7C4D, 0x4B2A, {0x91, 0x0E, 0x5F, 0x6A, 0x7B, 0x8C, 0x9D, 0xAE}};
    virtual void data() = 0;
};

constexpr IID IID_NotAPoint = {0x3B9E0A03, 0x7C4D, 0x4B2A, {0x91, 0x0E, 0x5F, 0x6A, 0x7B, 0x8C, 0x9D, 0xAE}};

struct ShutdownSink : com::ComObject<IShutdownSink> {
    void shutdown() override {}
};
struct DataSink : com::ComObject<IDataSink> {
    void data() override {}
};

struct Event {
    IUnknown* sink;
    bool connected;
    friend bool operator==(const Event&, const Event&) = default;
};

bool hostAlive = false;

// An object with a single-connection shutdown point and a multi-connection data point.
class Host : public com::ComObject<com::ConnectionPointContainer> {
public:
    Host()
        : shutdown(addConnectionPoint(IShutdownSink::iid, com::ConnectionLimit::single, [this](IUnknown* s, bool c) { record(s, c); })),
          data(addConnectionPoint(IDataSink::iid, com::ConnectionLimit::multiple, [this](IUnknown* s, bool c) { record(s, c); }))
    {
        hostAlive = true;
    }
    ~Host() override { hostAlive = false; }

    com::ConnectionPoint& shutdown;
    com::ConnectionPoint& data;
    std::vector<Event> events;
    std::function<void(IUnknown*, bool)> onEvent;

private:
    void record(IUnknown* s, bool c)
    {
        events.push_back({s, c});
        if (onEvent)
            onEvent(s, c);
    }
};

template <class I>
IUnknown* as(const com::ComPtr<I>& p)
{
    return static_cast<IUnknown*>(p.get());
}

com::ComPtr<IConnectionPoint> findPoint(const com::ComPtr<Host>& host, REFIID iid)
{
    com::ComPtr<IConnectionPoint> cp;
    EXPECT_EQ(host->FindConnectionPoint(iid, cp.put()), S_OK);
    return cp;
}

TEST(ConnectionPoints, FoundByInterfaceAndPartOfTheirContainer)
{
    auto host = com::makeCom<Host>();
    auto cp = findPoint(host, IDataSink::iid);
    ASSERT_TRUE(cp);
    IID iid{};
    EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, IDataSink::iid);

    com::ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(cp->GetConnectionPointContainer(back.put()), S_OK);
    com::ComPtr<IUnknown> a, b;
    back.as(a);
    host.as(b);
    EXPECT_EQ(a.get(), b.get());

    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(host->FindConnectionPoint(IID_NotAPoint, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(host->FindConnectionPoint(IDataSink::iid, nullptr), E_POINTER);
}

TEST(ConnectionPoints, SinglePointTakesOneSinkAtATime)
{
    auto host = com::makeCom<Host>();
    auto cp = findPoint(host, IShutdownSink::iid);
    auto first = com::makeCom<ShutdownSink>();
    auto second = com::makeCom<ShutdownSink>();

    DWORD c1 = 0;
    ASSERT_EQ(cp->Advise(first.get(), &c1), S_OK);
    EXPECT_NE(c1, 0u);
    DWORD c2 = 99;
    EXPECT_EQ(cp->Advise(second.get(), &c2), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(c2, 0u);
    EXPECT_EQ(second->refCount(), 1u) << "a refused sink is not held";

    EXPECT_EQ(cp->Unadvise(c1), S_OK);
    EXPECT_EQ(cp->Advise(second.get(), &c2), S_OK);
    EXPECT_NE(c2, c1) << "cookies are not reused";

    const std::vector<Event> expected = {{as(first), true}, {as(first), false}, {as(second), true}};
    EXPECT_EQ(host->events, expected);
    ASSERT_EQ(host->shutdown.sinks().size(), 1u);
    EXPECT_EQ(host->shutdown.sinks()[0].get(), as(second));
}

TEST(ConnectionPoints, MultiplePointKeepsEverySinkInOrder)
{
    auto host = com::makeCom<Host>();
    auto cp = findPoint(host, IDataSink::iid);
    std::vector<com::ComPtr<DataSink>> sinks;
    std::vector<DWORD> cookies;
    for (int i = 0; i < 3; ++i) {
        sinks.push_back(com::makeCom<DataSink>());
        DWORD c = 0;
        ASSERT_EQ(cp->Advise(sinks.back().get(), &c), S_OK);
        cookies.push_back(c);
    }
    EXPECT_NE(cookies[0], cookies[1]);
    EXPECT_NE(cookies[1], cookies[2]);
    EXPECT_EQ(sinks[1]->refCount(), 2u);

    EXPECT_EQ(cp->Unadvise(cookies[1]), S_OK);
    EXPECT_EQ(sinks[1]->refCount(), 1u);
    const auto held = host->data.sinks();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].get(), as(sinks[0]));
    EXPECT_EQ(held[1].get(), as(sinks[2]));
    EXPECT_EQ(host->events.back(), (Event{as(sinks[1]), false}));
}

TEST(ConnectionPoints, RefusedAdviseAndUnadvise)
{
    auto host = com::makeCom<Host>();
    auto cp = findPoint(host, IDataSink::iid);
    auto wrongKind = com::makeCom<ShutdownSink>();
    DWORD c = 99;
    EXPECT_EQ(cp->Advise(wrongKind.get(), &c), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(c, 0u);
    EXPECT_EQ(wrongKind->refCount(), 1u);
    EXPECT_EQ(cp->Advise(nullptr, &c), E_POINTER);
    EXPECT_EQ(cp->Advise(com::makeCom<DataSink>().get(), nullptr), E_POINTER);
    EXPECT_TRUE(host->events.empty());

    auto sink = com::makeCom<DataSink>();
    ASSERT_EQ(cp->Advise(sink.get(), &c), S_OK);
    EXPECT_EQ(cp->Unadvise(c + 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(c), S_OK);
    EXPECT_EQ(cp->Unadvise(c), CONNECT_E_NOCONNECTION);
    // A cookie of one point means nothing to another.
    ASSERT_EQ(cp->Advise(sink.get(), &c), S_OK);
    EXPECT_EQ(findPoint(host, IShutdownSink::iid)->Unadvise(c), CONNECT_E_NOCONNECTION);
}

TEST(ConnectionPoints, AdviseWithoutMemoryConnectsNothing)
{
    auto host = com::makeCom<Host>();
    auto cp = findPoint(host, IDataSink::iid);
    auto sink = com::makeCom<DataSink>();
    DWORD c = 99;
    bool threw = false;
    EXPECT_EQ(comtest::resultWhileNewFails(0, [&] { return cp->Advise(sink.get(), &c); }, threw), E_OUTOFMEMORY);
    EXPECT_FALSE(threw);
    EXPECT_EQ(c, 0u);
    EXPECT_TRUE(host->data.sinks().empty());
    EXPECT_TRUE(host->events.empty());
    EXPECT_EQ(sink->refCount(), 1u);
}

TEST(ConnectionPoints, HookMayChangeConnectionsWhileItIsTold)
{
    auto host = com::makeCom<Host>();
    auto cp = findPoint(host, IDataSink::iid);
    auto early = com::makeCom<DataSink>();
    auto late = com::makeCom<DataSink>();
    DWORD earlyCookie = 0;
    ASSERT_EQ(cp->Advise(early.get(), &earlyCookie), S_OK);
    // A sink called from the hook may disconnect, as a data callback can from inside its first call.
    host->onEvent = [&](IUnknown* s, bool connected) {
        if (connected && s == as(late)) {
            EXPECT_EQ(cp->Unadvise(earlyCookie), S_OK);
        }
    };
    DWORD lateCookie = 0;
    ASSERT_EQ(cp->Advise(late.get(), &lateCookie), S_OK);
    ASSERT_EQ(host->data.sinks().size(), 1u);
    EXPECT_EQ(host->data.sinks()[0].get(), as(late));
    EXPECT_EQ(early->refCount(), 1u);
}

TEST(ConnectionPoints, EnumeratorsHandOutCountedReferences)
{
    auto host = com::makeCom<Host>();
    auto cp = findPoint(host, IDataSink::iid);
    auto s1 = com::makeCom<DataSink>();
    auto s2 = com::makeCom<DataSink>();
    DWORD c1 = 0, c2 = 0;
    cp->Advise(s1.get(), &c1);
    cp->Advise(s2.get(), &c2);

    com::ComPtr<IEnumConnections> connections;
    ASSERT_EQ(cp->EnumConnections(connections.put()), S_OK);
    CONNECTDATA cd[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, cd, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(cd[0].pUnk, as(s1));
    EXPECT_EQ(cd[0].dwCookie, c1);
    EXPECT_EQ(cd[1].dwCookie, c2);
    EXPECT_EQ(s1->refCount(), 4u);  // test, point, enumerator, handed out
    cd[0].pUnk->Release();
    cd[1].pUnk->Release();

    com::ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(host->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* p[2] = {};
    ASSERT_EQ(points->Next(2, p, &fetched), S_OK);
    IID first{}, second{};
    p[0]->GetConnectionInterface(&first);
    p[1]->GetConnectionInterface(&second);
    EXPECT_EQ(first, IShutdownSink::iid);
    EXPECT_EQ(second, IDataSink::iid);
    p[0]->Release();
    p[1]->Release();
}

TEST(ConnectionPoints, PointKeepsItsContainerAliveAndTheContainerItsSinks)
{
    auto sink = com::makeCom<DataSink>();
    com::ComPtr<IConnectionPoint> cp;
    {
        auto host = com::makeCom<Host>();
        cp = findPoint(host, IDataSink::iid);
    }
    EXPECT_TRUE(hostAlive);
    DWORD c = 0;
    ASSERT_EQ(cp->Advise(sink.get(), &c), S_OK);
    EXPECT_EQ(sink->refCount(), 2u);
    cp = nullptr;  // the last reference to the host; its points release their sinks
    EXPECT_FALSE(hostAlive);
    EXPECT_EQ(sink->refCount(), 1u);
}

}  // namespace
