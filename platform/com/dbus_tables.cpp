// The tables and proxies of the COM interfaces that are not OPC's: class factories,
// enumerators, connection points and IPersistFile.
#include <algorithm>
#include <vector>

#include "dbus_method.h"
#include "persist.h"
#include "runtime.h"

namespace com::bus {

namespace {

// --- IClassFactory

using FactoryCreate = Method<IClassFactory, "CreateInstance", &IClassFactory::CreateInstance, in, in, outInterface(1)>;
using FactoryLock = Method<IClassFactory, "LockServer", &IClassFactory::LockServer, in>;

class ClassFactoryProxy final : public InterfaceProxy<IClassFactory> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        // An object in another process cannot be part of one here.
        if (outer && ppv) {
            *ppv = nullptr;
            return CLASS_E_NOAGGREGATION;
        }
        return forward<FactoryCreate>(outer, riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override { return forward<FactoryLock>(lock); }
};

// --- enumerators: Next fills the caller's buffer

template <class I, class Element>
struct EnumMethods {
    using Next = Method<I, "Next", &I::Next, in, outBuffer(0, 2), out>;
    using Skip = Method<I, "Skip", &I::Skip, in>;
    using Reset = Method<I, "Reset", &I::Reset>;
    using Clone = Method<I, "Clone", &I::Clone, out>;

    class Proxy final : public InterfaceProxy<I> {
    public:
        using InterfaceProxy<I>::InterfaceProxy;
        HRESULT Next(ULONG celt, Element* rgelt, ULONG* fetched) override
        {
            return this->template forward<EnumMethods::Next>(celt, rgelt, fetched);
        }
        HRESULT Skip(ULONG celt) override { return this->template forward<EnumMethods::Skip>(celt); }
        HRESULT Reset() override { return this->template forward<EnumMethods::Reset>(); }
        HRESULT Clone(I** ppenum) override { return this->template forward<EnumMethods::Clone>(ppenum); }
    };
    using Table = Describe<I, Proxy, Next, Skip, Reset, Clone>;
};

using EnumString = EnumMethods<IEnumString, LPOLESTR>;
using EnumUnknown = EnumMethods<IEnumUnknown, IUnknown*>;
using EnumPoints = EnumMethods<IEnumConnectionPoints, IConnectionPoint*>;
using EnumConnections = EnumMethods<IEnumConnections, CONNECTDATA>;

// --- connection points

using CpcEnum = Method<IConnectionPointContainer, "EnumConnectionPoints", &IConnectionPointContainer::EnumConnectionPoints, out>;
using CpcFind = Method<IConnectionPointContainer, "FindConnectionPoint", &IConnectionPointContainer::FindConnectionPoint, in, out>;

class ContainerProxy final : public InterfaceProxy<IConnectionPointContainer> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** e) override { return forward<CpcEnum>(e); }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** cp) override { return forward<CpcFind>(riid, cp); }
};

using CpInterface = Method<IConnectionPoint, "GetConnectionInterface", &IConnectionPoint::GetConnectionInterface, out>;
using CpContainer = Method<IConnectionPoint, "GetConnectionPointContainer", &IConnectionPoint::GetConnectionPointContainer, out>;
using CpAdvise = Method<IConnectionPoint, "Advise", &IConnectionPoint::Advise, in, out>;
using CpUnadvise = Method<IConnectionPoint, "Unadvise", &IConnectionPoint::Unadvise, in>;
using CpEnum = Method<IConnectionPoint, "EnumConnections", &IConnectionPoint::EnumConnections, out>;

class PointProxy final : public InterfaceProxy<IConnectionPoint> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT GetConnectionInterface(IID* iid) override { return forward<CpInterface>(iid); }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** c) override { return forward<CpContainer>(c); }
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override { return forward<CpAdvise>(sink, cookie); }
    HRESULT Unadvise(DWORD cookie) override { return forward<CpUnadvise>(cookie); }
    HRESULT EnumConnections(IEnumConnections** e) override { return forward<CpEnum>(e); }
};

// --- IPersist, IPersistFile

using PersistClass = Method<IPersist, "GetClassID", &IPersist::GetClassID, out>;

class PersistProxy final : public InterfaceProxy<IPersist> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT GetClassID(CLSID* clsid) override { return forward<PersistClass>(clsid); }
};

using FileClass = Method<IPersistFile, "GetClassID", &IPersist::GetClassID, out>;
using FileDirty = Method<IPersistFile, "IsDirty", &IPersistFile::IsDirty>;
using FileLoad = Method<IPersistFile, "Load", &IPersistFile::Load, in, in>;
using FileSave = Method<IPersistFile, "Save", &IPersistFile::Save, in, in>;
using FileSaved = Method<IPersistFile, "SaveCompleted", &IPersistFile::SaveCompleted, in>;
using FileCurrent = Method<IPersistFile, "GetCurFile", &IPersistFile::GetCurFile, out>;

class PersistFileProxy final : public InterfaceProxy<IPersistFile> {
public:
    using InterfaceProxy::InterfaceProxy;
    HRESULT GetClassID(CLSID* clsid) override { return forward<FileClass>(clsid); }
    HRESULT IsDirty() override { return forward<FileDirty>(); }
    HRESULT Load(LPCOLESTR name, DWORD mode) override { return forward<FileLoad>(name, mode); }
    HRESULT Save(LPCOLESTR name, BOOL remember) override { return forward<FileSave>(name, remember); }
    HRESULT SaveCompleted(LPCOLESTR name) override { return forward<FileSaved>(name); }
    HRESULT GetCurFile(LPOLESTR* name) override { return forward<FileCurrent>(name); }
};

constexpr InterfaceInfo kClassFactory = Describe<IClassFactory, ClassFactoryProxy, FactoryCreate, FactoryLock>::info("IClassFactory", 0);
constexpr InterfaceInfo kEnumString = EnumString::Table::info("IEnumString", 1);
constexpr InterfaceInfo kEnumUnknown = EnumUnknown::Table::info("IEnumUnknown", 2);
constexpr InterfaceInfo kContainer = Describe<IConnectionPointContainer, ContainerProxy, CpcEnum, CpcFind>::info("IConnectionPointContainer", 3);
constexpr InterfaceInfo kPoint = Describe<IConnectionPoint, PointProxy, CpInterface, CpContainer, CpAdvise, CpUnadvise, CpEnum>::info("IConnectionPoint", 4);
constexpr InterfaceInfo kEnumPoints = EnumPoints::Table::info("IEnumConnectionPoints", 5);
constexpr InterfaceInfo kEnumConnections = EnumConnections::Table::info("IEnumConnections", 6);
constexpr InterfaceInfo kPersist = Describe<IPersist, PersistProxy, PersistClass>::info("IPersist", 7);
constexpr InterfaceInfo kPersistFile =
    Describe<IPersistFile, PersistFileProxy, FileClass, FileDirty, FileLoad, FileSave, FileSaved, FileCurrent>::info("IPersistFile", 8);

constexpr const InterfaceInfo* kTables[] = {&kClassFactory, &kEnumString,       &kEnumUnknown, &kContainer,   &kPoint,
                                            &kEnumPoints,   &kEnumConnections, &kPersist,     &kPersistFile};

}  // namespace

std::span<const InterfaceInfo* const> standardInterfaceTables()
{
    return kTables;
}

std::span<const InterfaceInfo* const> knownInterfaces()
{
    static const std::vector<const InterfaceInfo*> all = [] {
        std::vector<const InterfaceInfo*> v(standardInterfaceTables().begin(), standardInterfaceTables().end());
        v.insert(v.end(), opcInterfaceTables().begin(), opcInterfaceTables().end());
        std::sort(v.begin(), v.end(), [](const InterfaceInfo* a, const InterfaceInfo* b) { return a->bit < b->bit; });
        return v;
    }();
    return all;
}

const InterfaceInfo* interfaceById(REFIID iid)
{
    for (const InterfaceInfo* info : knownInterfaces())
        if (*info->iid == iid)
            return info;
    return nullptr;
}

}  // namespace com::bus
