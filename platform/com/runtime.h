#pragma once
// The COM runtime of the process: apartments, the class-object table that activation goes
// through, and the server-process count that tells a server started by COM when to end.
//
// A class object registered with CoRegisterClassObject in this process serves both
// CLSCTX_INPROC_SERVER and CLSCTX_LOCAL_SERVER requests. Failing that, a local-server request
// for a class whose registration names a bus name goes to the process owning that name on the
// session bus, which the bus starts through its service file when needed (dbus_transport.h).
// Registering a class object for CLSCTX_LOCAL_SERVER also offers it on the session bus.
#include <functional>
#include <new>

#include "unknown.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
inline constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;

inline constexpr DWORD REGCLS_SINGLEUSE = 0;
inline constexpr DWORD REGCLS_MULTIPLEUSE = 1;
inline constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
inline constexpr DWORD REGCLS_SUSPENDED = 4;
inline constexpr DWORD REGCLS_SURROGATE = 8;

struct IClassFactory : IUnknown {
    static constexpr IID iid = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;
};
inline constexpr IID IID_IClassFactory = IClassFactory::iid;

// Only for the signature: every class lives on this machine, so a server info is ignored.
struct COSERVERINFO;

// S_OK for the first call on a thread, S_FALSE for further ones with the same model,
// RPC_E_CHANGED_MODE (not counted) for another model. pvReserved must be null.
HRESULT CoInitializeEx(void* pvReserved, DWORD dwCoInit);
HRESULT CoInitialize(void* pvReserved);
// The last call on a thread revokes the class objects that the thread registered.
void CoUninitialize();

// The calling thread must be initialised. Multiple registrations of one class are allowed;
// activation takes the earliest that is visible. REGCLS_MULTIPLEUSE with CLSCTX_LOCAL_SERVER
// also serves CLSCTX_INPROC_SERVER requests; REGCLS_SINGLEUSE hides the object after its
// first activation; REGCLS_SUSPENDED hides it until CoResumeClassObjects.
HRESULT CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, DWORD* lpdwRegister);
// E_INVALIDARG for a cookie that is not registered.
HRESULT CoRevokeClassObject(DWORD dwRegister);
HRESULT CoResumeClassObjects();
// REGDB_E_CLASSNOTREG when no registered class object serves the class in that context.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO* pServerInfo, REFIID riid, void** ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv);

// One reference of the server process; the count also holds the live COM objects (unknown.h)
// and the class factories' locks. Both return the count after the change.
ULONG CoAddRefServerProcess();
ULONG CoReleaseServerProcess();

// In-process clients hold direct pointers, which cannot be taken away from them. So this only
// tells the disconnect hook which object is to be cut off from its clients (a transport to
// other processes would release the references it holds for them there). E_INVALIDARG for
// null, else S_OK.
HRESULT CoDisconnectObject(IUnknown* pUnk, DWORD dwReserved);

namespace com {

ULONG serverProcessCount();
// Called, outside any lock, each time the server-process count drops to 0: the last object
// or lock of the process is gone. An empty function removes the hook.
void setLastServerReferenceHook(std::function<void()> hook);
void setDisconnectHook(std::function<void(IUnknown*)> hook);

// Initialises COM on the calling thread for its lifetime when that succeeds.
class ApartmentScope {
public:
    explicit ApartmentScope(DWORD coInit = COINIT_APARTMENTTHREADED) : hr_(CoInitializeEx(nullptr, coInit)) {}
    ~ApartmentScope()
    {
        if (SUCCEEDED(hr_))
            CoUninitialize();
    }
    ApartmentScope(const ApartmentScope&) = delete;
    ApartmentScope& operator=(const ApartmentScope&) = delete;
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// Class factory of T, a ComObject. Instances come from make (default: a new T); the factory
// itself does not keep the server alive, its locks do. No aggregation. A maker that throws
// gives E_OUTOFMEMORY for std::bad_alloc and E_FAIL for anything else.
template <class T>
class ClassFactory : public ComObject<IClassFactory> {
public:
    using Maker = std::function<ComPtr<T>()>;
    explicit ClassFactory(Maker make = [] { return makeCom<T>(); })
        : ComObject<IClassFactory>(notCounted), make_(std::move(make))
    {
    }
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        try {
            ComPtr<T> object = make_();
            if (!object)
                return E_OUTOFMEMORY;
            return object->QueryInterface(riid, ppvObject);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_FAIL;  // nothing may be thrown across the interface to the client
        }
    }

    // An unlock without a lock of this factory does nothing.
    HRESULT LockServer(BOOL fLock) override
    {
        if (fLock) {
            ++locks_;
            CoAddRefServerProcess();
        } else if (locks_ > 0) {
            --locks_;
            CoReleaseServerProcess();
        }
        return S_OK;
    }

private:
    Maker make_;
    std::atomic<ULONG> locks_{0};
};

}  // namespace com
