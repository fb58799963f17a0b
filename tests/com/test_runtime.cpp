#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "failing_new.h"
#include "platform/com/runtime.h"

namespace {

struct IWidget : IUnknown {
    static constexpr IID iid = {0x6A1C0F10, 0x2B3D, 0x4E5F, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7}};
    virtual int value() = 0;
};

struct IGadget : IUnknown {
    static constexpr IID iid = {0x6A1C0F11, 0x2B3D, 0x4E5F, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7}};
    virtual int other() = 0;
};

constexpr CLSID CLSID_Widget = {0x6A1C0F20, 0x2B3D, 0x4E5F, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7}};
constexpr IID IID_Unknown = {0x6A1C0F99, 0x2B3D, 0x4E5F, {0x80, 0x91, 0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7}};

int liveWidgets = 0;

class Widget : public com::ComObject<IWidget, IGadget> {
public:
    Widget() { ++liveWidgets; }
    ~Widget() override { --liveWidgets; }
    int value() override { return 42; }
    int other() override { return 7; }
};

using WidgetFactory = com::ClassFactory<Widget>;

// Runs f on a thread of its own, which starts without COM.
template <class F>
void onFreshThread(F f)
{
    std::thread t(f);
    t.join();
}

class Runtime : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(liveWidgets, 0);
        ASSERT_TRUE(SUCCEEDED(apartment_.result()));
    }
    void TearDown() override
    {
        com::setLastServerReferenceHook({});
        com::setDisconnectHook({});
        EXPECT_EQ(liveWidgets, 0) << "a widget leaked";
    }

    // Registers a new widget factory; the table holds the only lasting reference.
    DWORD registerWidget(DWORD context = CLSCTX_LOCAL_SERVER, DWORD flags = REGCLS_MULTIPLEUSE)
    {
        DWORD cookie = 0;
        const auto factory = com::makeCom<WidgetFactory>();
        EXPECT_EQ(CoRegisterClassObject(CLSID_Widget, factory.get(), context, flags, &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        return cookie;
    }

    static HRESULT create(DWORD context, com::ComPtr<IWidget>& out)
    {
        return CoCreateInstance(CLSID_Widget, nullptr, context, IWidget::iid, out.putVoid());
    }

    com::ApartmentScope apartment_;
};

TEST_F(Runtime, ObjectsLiveAsLongAsTheirReferences)
{
    com::ComPtr<Widget> widget = com::makeCom<Widget>();
    EXPECT_EQ(widget->refCount(), 1u);
    {
        com::ComPtr<IWidget> asWidget;
        ASSERT_EQ(widget.as(asWidget), S_OK);
        com::ComPtr<IGadget> asGadget;
        ASSERT_EQ(asWidget.as(asGadget), S_OK);
        EXPECT_EQ(widget->refCount(), 3u);

        // One identity whatever interface is asked from.
        com::ComPtr<IUnknown> u1, u2;
        ASSERT_EQ(asWidget.as(u1), S_OK);
        ASSERT_EQ(asGadget.as(u2), S_OK);
        EXPECT_EQ(u1.get(), u2.get());

        com::ComPtr<IWidget> copy = asWidget;
        com::ComPtr<IWidget> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(moved->value(), 42);
    }
    EXPECT_EQ(widget->refCount(), 1u);

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(widget->QueryInterface(IID_Unknown, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(widget->QueryInterface(IWidget::iid, nullptr), E_POINTER);

    IWidget* raw = nullptr;
    ASSERT_EQ(com::ComPtr<IWidget>(widget.get()).copyTo(&raw), S_OK);
    auto adopted = com::ComPtr<IWidget>::attach(raw);  // takes over copyTo's reference
    EXPECT_EQ(widget->refCount(), 2u);
    adopted = nullptr;
    widget = nullptr;
    EXPECT_EQ(liveWidgets, 0);
}

TEST_F(Runtime, ApartmentModelIsFixedPerThread)
{
    onFreshThread([] {
        EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), COINIT_APARTMENTTHREADED), E_INVALIDARG);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize();
        // All balanced: a new model may be chosen.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        CoUninitialize();  // one too many does nothing
    });
}

TEST_F(Runtime, ActivationNeedsAnInitialisedThread)
{
    const DWORD cookie = registerWidget();
    onFreshThread([] {
        com::ComPtr<IWidget> w;
        EXPECT_EQ(create(CLSCTX_LOCAL_SERVER, w), CO_E_NOTINITIALIZED);
        DWORD c = 1;
        EXPECT_EQ(CoRegisterClassObject(CLSID_Widget, com::makeCom<WidgetFactory>().get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &c),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(c, 0u);
        // Once initialised, the class registered by the main thread is found.
        com::ApartmentScope apartment;
        EXPECT_EQ(create(CLSCTX_LOCAL_SERVER, w), S_OK);
        EXPECT_EQ(w->value(), 42);
    });
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

TEST_F(Runtime, UnregisteredClassIsReportedAndRevokingEndsTheRegistration)
{
    com::ComPtr<IWidget> w;
    IWidget* raw = reinterpret_cast<IWidget*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_Widget, nullptr, CLSCTX_ALL, IWidget::iid, reinterpret_cast<void**>(&raw)), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(raw, nullptr);

    const DWORD cookie = registerWidget();
    ASSERT_EQ(create(CLSCTX_LOCAL_SERVER, w), S_OK);
    EXPECT_EQ(w->value(), 42);

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
    EXPECT_EQ(CoRevokeClassObject(0xDEAD), E_INVALIDARG);
    com::ComPtr<IWidget> after;
    EXPECT_EQ(create(CLSCTX_LOCAL_SERVER, after), REGDB_E_CLASSNOTREG);
    // Objects made before the revocation live on.
    EXPECT_EQ(w->value(), 42);
}

TEST_F(Runtime, ContextsTheRegistrationServes)
{
    struct Case {
        DWORD registered;
        DWORD flags;
        DWORD requested;
        HRESULT expected;
    };
    const Case cases[] = {
        {CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, CLSCTX_LOCAL_SERVER, S_OK},
        {CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, CLSCTX_INPROC_SERVER, S_OK},  // multiple use also serves in-process
        {CLSCTX_LOCAL_SERVER, REGCLS_MULTI_SEPARATE, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {CLSCTX_LOCAL_SERVER, REGCLS_MULTI_SEPARATE, CLSCTX_LOCAL_SERVER, S_OK},
        {CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, CLSCTX_INPROC_SERVER, S_OK},
        {CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
        {CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, CLSCTX_ALL, S_OK},
        {CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, CLSCTX_REMOTE_SERVER, REGDB_E_CLASSNOTREG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "registered " << c.registered << " flags " << c.flags << " requested " << c.requested);
        const DWORD cookie = registerWidget(c.registered, c.flags);
        com::ComPtr<IWidget> w;
        EXPECT_EQ(create(c.requested, w), c.expected);
        EXPECT_EQ(bool(w), c.expected == S_OK);
        CoRevokeClassObject(cookie);
    }
}

TEST_F(Runtime, SingleUseAndSuspendedRegistrations)
{
    const DWORD single = registerWidget(CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE);
    com::ComPtr<IClassFactory> first, second;
    EXPECT_EQ(CoGetClassObject(CLSID_Widget, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, first.putVoid()), S_OK);
    EXPECT_EQ(CoGetClassObject(CLSID_Widget, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, second.putVoid()), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoRevokeClassObject(single), S_OK);  // still needs revoking

    const DWORD suspended = registerWidget(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
    com::ComPtr<IWidget> w;
    EXPECT_EQ(create(CLSCTX_LOCAL_SERVER, w), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoResumeClassObjects(), S_OK);
    EXPECT_EQ(create(CLSCTX_LOCAL_SERVER, w), S_OK);
    CoRevokeClassObject(suspended);
}

TEST_F(Runtime, EarliestRegistrationServesUntilRevoked)
{
    auto a = com::makeCom<WidgetFactory>();
    auto b = com::makeCom<WidgetFactory>();
    DWORD ca = 0, cb = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_Widget, a.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &ca), S_OK);
    ASSERT_EQ(CoRegisterClassObject(CLSID_Widget, b.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cb), S_OK);
    EXPECT_NE(ca, cb);

    auto served = [] {
        com::ComPtr<IClassFactory> f;
        CoGetClassObject(CLSID_Widget, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, f.putVoid());
        return f.get();
    };
    EXPECT_EQ(served(), static_cast<IClassFactory*>(a.get()));
    CoRevokeClassObject(ca);
    EXPECT_EQ(served(), static_cast<IClassFactory*>(b.get()));
    CoRevokeClassObject(cb);
    // The table held one reference each and gave it back.
    EXPECT_EQ(a->refCount(), 1u);
    EXPECT_EQ(b->refCount(), 1u);
}

TEST_F(Runtime, LastUninitializeOfAThreadRevokesItsClassObjects)
{
    auto factory = com::makeCom<WidgetFactory>();
    onFreshThread([&] {
        com::ApartmentScope apartment;
        DWORD cookie = 0;
        ASSERT_EQ(CoRegisterClassObject(CLSID_Widget, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
        EXPECT_EQ(factory->refCount(), 2u);
    });
    EXPECT_EQ(factory->refCount(), 1u);
    com::ComPtr<IWidget> w;
    EXPECT_EQ(create(CLSCTX_LOCAL_SERVER, w), REGDB_E_CLASSNOTREG);
}

TEST_F(Runtime, FactoryRefusesAggregationAndUnknownInterfaces)
{
    const DWORD cookie = registerWidget();
    auto outer = com::makeCom<Widget>();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_Widget, outer->unknown(), CLSCTX_LOCAL_SERVER, IWidget::iid, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_Widget, nullptr, CLSCTX_LOCAL_SERVER, IID_Unknown, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(liveWidgets, 1) << "the refused instance must be gone";
    EXPECT_EQ(CoCreateInstance(CLSID_Widget, nullptr, CLSCTX_LOCAL_SERVER, IWidget::iid, nullptr), E_POINTER);
    CoRevokeClassObject(cookie);
}

TEST_F(Runtime, FactoryMakerFailuresAreOutOfMemory)
{
    com::ClassFactory<Widget>::Maker makers[] = {
        [] { return com::ComPtr<Widget>(); },
        []() -> com::ComPtr<Widget> { throw std::bad_alloc(); },
    };
    for (auto& make : makers) {
        auto factory = com::makeCom<WidgetFactory>(make);
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IWidget::iid, &p), E_OUTOFMEMORY);
        EXPECT_EQ(p, nullptr);
    }
}

TEST_F(Runtime, FactoryMakerExceptionsStayOnTheServerSide)
{
    auto factory = com::makeCom<WidgetFactory>([]() -> com::ComPtr<Widget> { throw std::runtime_error("no configuration"); });
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IWidget::iid, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
}

TEST_F(Runtime, RegistrationWithoutMemoryIsRefused)
{
    const auto factory = com::makeCom<WidgetFactory>();
    std::vector<DWORD> cookies;
    cookies.reserve(10'000);
    // The class table needs memory only when it grows: register until it does.
    HRESULT hr = S_OK;
    bool threw = false;
    while (hr == S_OK && cookies.size() < 10'000) {
        DWORD cookie = 99;
        hr = comtest::resultWhileNewFails(
            0, [&] { return CoRegisterClassObject(CLSID_Widget, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie); },
            threw);
        if (hr == S_OK)
            cookies.push_back(cookie);
        else
            EXPECT_EQ(cookie, 0u);
    }
    EXPECT_FALSE(threw);
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(factory->refCount(), 1u + cookies.size());
    for (DWORD c : cookies)
        CoRevokeClassObject(c);
}

TEST_F(Runtime, LastObjectOrLockGoneIsReported)
{
    ASSERT_EQ(com::serverProcessCount(), 0u) << "an object of an earlier test is still alive";
    int reported = 0;
    com::setLastServerReferenceHook([&] { ++reported; });

    auto factory = com::makeCom<WidgetFactory>();
    EXPECT_EQ(com::serverProcessCount(), 0u) << "factories do not keep the server alive";

    com::ComPtr<IWidget> a, b;
    ASSERT_EQ(factory->CreateInstance(nullptr, IWidget::iid, a.putVoid()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IWidget::iid, b.putVoid()), S_OK);
    EXPECT_EQ(com::serverProcessCount(), 2u);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(com::serverProcessCount(), 3u);

    a = nullptr;
    b = nullptr;
    EXPECT_EQ(reported, 0) << "the lock still holds the server";
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(reported, 1);
    EXPECT_EQ(com::serverProcessCount(), 0u);

    // An unlock without a lock changes nothing.
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(com::serverProcessCount(), 0u);
    EXPECT_EQ(reported, 1);

    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
    EXPECT_EQ(reported, 2);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);  // never below zero
    EXPECT_EQ(reported, 2);
}

TEST_F(Runtime, DisconnectTellsTheHook)
{
    auto w = com::makeCom<Widget>();
    EXPECT_EQ(CoDisconnectObject(w->unknown(), 0), S_OK);  // no hook: nothing to tell
    std::vector<IUnknown*> told;
    com::setDisconnectHook([&](IUnknown* p) { told.push_back(p); });
    EXPECT_EQ(CoDisconnectObject(w->unknown(), 0), S_OK);
    EXPECT_EQ(CoDisconnectObject(nullptr, 0), E_INVALIDARG);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], w->unknown());
    EXPECT_EQ(w->refCount(), 1u) << "disconnecting takes no reference away from in-process clients";
}

}  // namespace
