#include "connpoint.h"

#include <algorithm>

namespace com {
namespace {

struct ConnectionTraits {
    struct Stored {
        ComPtr<IUnknown> sink;
        DWORD cookie;
    };
    using Element = CONNECTDATA;
    static HRESULT copyOut(const Stored& s, Element& out)
    {
        out.dwCookie = s.cookie;
        return s.sink.copyTo(&out.pUnk);
    }
    static void discard(Element& e)
    {
        if (e.pUnk)
            e.pUnk->Release();
        e = CONNECTDATA{};
    }
};

using ConnectionEnumerator = Enumerator<IEnumConnections, ConnectionTraits>;
using PointEnumerator = Enumerator<IEnumConnectionPoints, InterfaceTraits<IConnectionPoint>>;

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& container, REFIID iid, ConnectionLimit limit, SinkHook hook)
    : container_(container), iid_(iid), limit_(limit), hook_(std::move(hook))
{
}

ConnectionPoint::~ConnectionPoint() = default;

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint)
        return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

ULONG ConnectionPoint::AddRef()
{
    return container_.AddRef();
}

ULONG ConnectionPoint::Release()
{
    return container_.Release();
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID)
{
    if (!pIID)
        return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC)
        return E_POINTER;
    container_.AddRef();
    *ppCPC = &container_;
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (!pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    if (!pUnkSink)
        return E_POINTER;
    if (limit_ == ConnectionLimit::single && !connections_.empty())
        return CONNECT_E_ADVISELIMIT;
    ComPtr<IUnknown> sink;
    if (FAILED(pUnkSink->QueryInterface(iid_, sink.putVoid())) || !sink)
        return CONNECT_E_CANNOTCONNECT;
    if (++lastCookie_ == 0)
        ++lastCookie_;
    const DWORD cookie = lastCookie_;
    try {
        connections_.push_back(Connection{cookie, sink});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *pdwCookie = cookie;
    if (hook_)
        hook_(sink.get(), true);
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie)
{
    const auto it = std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) { return c.cookie == dwCookie; });
    if (it == connections_.end())
        return CONNECT_E_NOCONNECTION;
    // Held until the hook has seen it; the hook may change connections_.
    const ComPtr<IUnknown> sink = std::move(it->sink);
    connections_.erase(it);
    if (hook_)
        hook_(sink.get(), false);
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    return orOutOfMemory([&] {
        std::vector<ConnectionTraits::Stored> items;
        for (const auto& c : connections_)
            items.push_back({c.sink, c.cookie});
        *ppEnum = makeCom<ConnectionEnumerator>(std::move(items)).detach();
        return S_OK;
    });
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::sinks() const
{
    std::vector<ComPtr<IUnknown>> out;
    for (const auto& c : connections_)
        out.push_back(c.sink);
    return out;
}

ConnectionPointContainer::ConnectionPointContainer() = default;

ConnectionPointContainer::~ConnectionPointContainer() = default;

ConnectionPoint& ConnectionPointContainer::addConnectionPoint(REFIID iid, ConnectionLimit limit, SinkHook hook)
{
    points_.push_back(std::make_unique<ConnectionPoint>(*this, iid, limit, std::move(hook)));
    return *points_.back();
}

HRESULT ConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    return orOutOfMemory([&] {
        std::vector<ComPtr<IConnectionPoint>> items;
        for (const auto& p : points_)
            items.emplace_back(p.get());
        *ppEnum = makeCom<PointEnumerator>(std::move(items)).detach();
        return S_OK;
    });
}

HRESULT ConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    if (!ppCP)
        return E_POINTER;
    *ppCP = nullptr;
    const auto it = std::find_if(points_.begin(), points_.end(), [&](const auto& p) { return p->interfaceId() == riid; });
    if (it == points_.end())
        return CONNECT_E_NOCONNECTION;
    (*it)->AddRef();
    *ppCP = it->get();
    return S_OK;
}

}  // namespace com
