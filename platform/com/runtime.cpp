#include "runtime.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "dbus_transport.h"

namespace {

struct Apartment {
    ULONG inits = 0;
    DWORD model = 0;
};
thread_local Apartment apartment;

bool initialised()
{
    return apartment.inits > 0;
}

struct ClassEntry {
    CLSID clsid;
    com::ComPtr<IUnknown> object;
    DWORD context;
    DWORD flags;
    DWORD cookie;
    std::thread::id owner;
    bool suspended;
    bool used;  // a single-use object that was handed out

    bool serves(REFCLSID id, DWORD wanted) const
    {
        if (clsid != id || suspended || used)
            return false;
        DWORD ctx = context;
        if ((flags & REGCLS_MULTIPLEUSE) && (ctx & CLSCTX_LOCAL_SERVER))
            ctx |= CLSCTX_INPROC_SERVER;
        return (ctx & wanted & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER)) != 0;
    }
};

// Declared before the class table: objects it still holds at exit report to them when freed.
std::mutex hookMutex;
std::function<void()> lastReferenceHook;
std::function<void(IUnknown*)> disconnectHook;
std::atomic<ULONG> serverCount{0};

std::mutex tableMutex;
std::vector<ClassEntry> classTable;
DWORD lastCookie = 0;

ULONG addServerReference()
{
    return ++serverCount;
}

ULONG releaseServerReference()
{
    ULONG now = serverCount.load();
    do {
        if (now == 0)
            return 0;  // unbalanced release: the count never wraps
    } while (!serverCount.compare_exchange_weak(now, now - 1));
    if (now - 1 == 0) {
        std::function<void()> hook;
        {
            std::lock_guard lock(hookMutex);
            hook = lastReferenceHook;
        }
        if (hook)
            hook();
    }
    return now - 1;
}

}  // namespace

HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit)
{
    if (pvReserved)
        return E_INVALIDARG;
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (apartment.inits > 0) {
        if (apartment.model != model)
            return RPC_E_CHANGED_MODE;
        ++apartment.inits;
        return S_FALSE;
    }
    apartment.inits = 1;
    apartment.model = model;
    return S_OK;
}

HRESULT CoInitialize(void* pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize()
{
    if (apartment.inits == 0 || --apartment.inits > 0)
        return;
    std::vector<com::ComPtr<IUnknown>> revoked;
    std::vector<DWORD> cookies;
    {
        std::lock_guard lock(tableMutex);
        const auto self = std::this_thread::get_id();
        for (auto& e : classTable)
            if (e.owner == self) {
                revoked.push_back(std::move(e.object));
                cookies.push_back(e.cookie);
            }
        std::erase_if(classTable, [&](const ClassEntry& e) { return e.owner == self; });
    }
    for (const DWORD cookie : cookies)
        com::bus::classRevoked(cookie);
    // Released here, outside the lock, since a class object's destructor may call back in.
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister)
{
    if (!lpdwRegister)
        return E_INVALIDARG;
    *lpdwRegister = 0;
    if (!pUnk)
        return E_INVALIDARG;
    if (!initialised())
        return CO_E_NOTINITIALIZED;
    HRESULT hr = S_OK;
    {
        std::lock_guard lock(tableMutex);
        hr = com::orOutOfMemory([&] {
            const DWORD cookie = lastCookie + 1;
            classTable.push_back(ClassEntry{rclsid, com::ComPtr<IUnknown>(pUnk), dwClsContext, flags, cookie,
                                            std::this_thread::get_id(), (flags & REGCLS_SUSPENDED) != 0, false});
            lastCookie = cookie;
            *lpdwRegister = cookie;
            return S_OK;
        });
    }
    // Other processes reach a local server's class object over the bus, when there is one.
    if (SUCCEEDED(hr) && (dwClsContext & CLSCTX_LOCAL_SERVER))
        com::bus::classRegistered(rclsid, *lpdwRegister);
    return hr;
}

HRESULT CoRevokeClassObject(DWORD dwRegister)
{
    com::ComPtr<IUnknown> object;
    {
        std::lock_guard lock(tableMutex);
        const auto it = std::find_if(classTable.begin(), classTable.end(), [&](const ClassEntry& e) { return e.cookie == dwRegister; });
        if (it == classTable.end())
            return E_INVALIDARG;
        object = std::move(it->object);
        classTable.erase(it);
    }
    com::bus::classRevoked(dwRegister);
    return S_OK;
}

HRESULT CoResumeClassObjects()
{
    std::lock_guard lock(tableMutex);
    for (auto& e : classTable)
        e.suspended = false;
    return S_OK;
}

namespace {

HRESULT tableClassObject(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, void** ppv)
{
    com::ComPtr<IUnknown> object;
    {
        std::lock_guard lock(tableMutex);
        const auto it = std::find_if(classTable.begin(), classTable.end(), [&](const ClassEntry& e) { return e.serves(rclsid, dwClsContext); });
        if (it == classTable.end())
            return REGDB_E_CLASSNOTREG;
        object = it->object;
        if ((it->flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0)
            it->used = true;
    }
    return object->QueryInterface(riid, ppv);
}

}  // namespace

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO*, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    if (!initialised())
        return CO_E_NOTINITIALIZED;
    const HRESULT hr = tableClassObject(rclsid, dwClsContext, riid, ppv);
    // A class of another program is reached through the bus name its registration names.
    if (hr == REGDB_E_CLASSNOTREG && (dwClsContext & CLSCTX_LOCAL_SERVER))
        return com::bus::classObjectOverBus(rclsid, riid, ppv);
    return hr;
}

namespace com::bus {

HRESULT classObjectFromTable(REFCLSID clsid, REFIID riid, void** ppv)
{
    *ppv = nullptr;
    return tableClassObject(clsid, CLSCTX_LOCAL_SERVER, riid, ppv);
}

}  // namespace com::bus

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    com::ComPtr<IClassFactory> factory;
    const HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.putVoid());
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(pUnkOuter, riid, ppv);
}

ULONG CoAddRefServerProcess()
{
    return addServerReference();
}

ULONG CoReleaseServerProcess()
{
    return releaseServerReference();
}

HRESULT CoDisconnectObject(IUnknown* pUnk, DWORD)
{
    if (!pUnk)
        return E_INVALIDARG;
    // Other processes lose their references now; those may have been the last ones, and the
    // hook still needs the object.
    const com::ComPtr<IUnknown> hold(pUnk);
    com::bus::objectDisconnected(pUnk);
    std::function<void(IUnknown*)> hook;
    {
        std::lock_guard lock(hookMutex);
        hook = disconnectHook;
    }
    if (hook)
        hook(pUnk);
    return S_OK;
}

namespace com {

void serverObjectCreated() noexcept
{
    addServerReference();
}

void serverObjectDestroyed() noexcept
{
    releaseServerReference();
}

ULONG serverProcessCount()
{
    return serverCount.load();
}

void setLastServerReferenceHook(std::function<void()> hook)
{
    std::lock_guard lock(hookMutex);
    lastReferenceHook = std::move(hook);
}

void setDisconnectHook(std::function<void(IUnknown*)> hook)
{
    std::lock_guard lock(hookMutex);
    disconnectHook = std::move(hook);
}

}  // namespace com
