#pragma once
// Connection points: the outgoing interfaces of an object, to which clients connect sinks.
//
// An object with connection points lists com::ConnectionPointContainer among the interfaces
// of its ComObject and adds its points in its constructor. The points are part of that
// object: a reference to a point is a reference to the object.
#include <functional>
#include <memory>
#include <vector>

#include "enums.h"

struct IConnectionPointContainer;
struct IEnumConnections;

struct CONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
};

struct IConnectionPoint : IUnknown {
    static constexpr IID iid = {0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
    virtual HRESULT GetConnectionInterface(IID* pIID) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
    virtual HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    virtual HRESULT Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT EnumConnections(IEnumConnections** ppEnum) = 0;
};

struct IEnumConnections : IUnknown {
    static constexpr IID iid = {0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
    virtual HRESULT Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cConnections) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnections** ppEnum) = 0;
};

struct IEnumConnectionPoints : IUnknown {
    static constexpr IID iid = {0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
    virtual HRESULT Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cConnections) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumConnectionPoints** ppEnum) = 0;
};

struct IConnectionPointContainer : IUnknown {
    static constexpr IID iid = {0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
    virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
    virtual HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};

inline constexpr IID IID_IConnectionPoint = IConnectionPoint::iid;
inline constexpr IID IID_IConnectionPointContainer = IConnectionPointContainer::iid;
inline constexpr IID IID_IEnumConnections = IEnumConnections::iid;
inline constexpr IID IID_IEnumConnectionPoints = IEnumConnectionPoints::iid;

namespace com {

enum class ConnectionLimit { single, multiple };

// Told after a sink was connected (true) and after one was disconnected (false). The sink
// pointer is what the sink's QueryInterface gave for the point's interface, so it may be
// cast to that interface. The hook may advise and unadvise on the same point; it must not
// throw, since it runs inside the client's Advise or Unadvise call.
using SinkHook = std::function<void(IUnknown* sink, bool connected)>;

class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IConnectionPointContainer& container, REFIID iid, ConnectionLimit limit, SinkHook hook);
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    // Counts on the container, which owns the point.
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    // CONNECT_E_ADVISELIMIT on a single point that is taken, CONNECT_E_CANNOTCONNECT for a
    // sink without the point's interface.
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    // CONNECT_E_NOCONNECTION for a cookie that is not connected here.
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

    const IID& interfaceId() const { return iid_; }
    // The connected sinks, in order of connection, for calling them.
    std::vector<ComPtr<IUnknown>> sinks() const;

private:
    struct Connection {
        DWORD cookie;
        ComPtr<IUnknown> sink;
    };

    IConnectionPointContainer& container_;
    const IID iid_;
    const ConnectionLimit limit_;
    const SinkHook hook_;
    std::vector<Connection> connections_;
    DWORD lastCookie_ = 0;
};

// Destroying the container releases the sinks without telling the hooks: the object they
// belong to is already going.
class ConnectionPointContainer : public IConnectionPointContainer {
public:
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    // CONNECT_E_NOCONNECTION when the object has no point for riid.
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

protected:
    ConnectionPointContainer();
    ~ConnectionPointContainer();

    ConnectionPoint& addConnectionPoint(REFIID iid, ConnectionLimit limit, SinkHook hook = {});

private:
    std::vector<std::unique_ptr<ConnectionPoint>> points_;
};

}  // namespace com
