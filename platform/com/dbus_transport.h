#pragma once
// The out-of-process half of the COM layer, on the message bus: objects of this process that
// other processes call, and proxies through which this process calls theirs.
//
// An object handed to another process is exported at "/obj/<n>" and counts the references each
// other process (by its unique bus name) holds; a proxy holds one remote reference and gives it
// back when its last local reference goes, and when a process leaves the bus every reference
// it held is released. A call waits for its answer in a local event loop, so that calls coming
// in meanwhile (the server calling the client back) are served: everything runs on the thread
// that created the transport, the application's main thread. The server's calls to a client's
// sink (IOPCDataCallback, IOPCShutdown) are sent without waiting, with a time-out: the server
// ignores their results, and a client that does not answer in time gets no further callbacks
// until it answers again.
#include <QString>
#include <cstddef>
#include <memory>

#include "unknown.h"

namespace com {

class DBusTransport {
public:
    // Connects to the bus at address (a D-Bus address); an empty address is the session bus.
    explicit DBusTransport(const QString& address = {});
    // Releases every reference other processes held here; proxies still held in this process
    // fail their calls with RPC_E_DISCONNECTED from then on.
    ~DBusTransport();
    DBusTransport(const DBusTransport&) = delete;
    DBusTransport& operator=(const DBusTransport&) = delete;

    bool connected() const;
    QString uniqueName() const;
    // Why the connection failed.
    QString lastError() const;

    // Serves the class object at classObjectPath(clsid), under busNameForClass(clsid) when
    // ownBusName. Without object the runtime's class table gives it (CoRegisterClassObject).
    // E_FAIL when the bus name belongs to another process.
    HRESULT registerClassObject(REFCLSID clsid, IUnknown* object, bool ownBusName = true);
    void revokeClassObject(REFCLSID clsid);
    // The class object of clsid from the process owning busName, which the bus starts when
    // none does. CO_E_SERVER_EXEC_FAILURE when it cannot be started or reached in time.
    HRESULT getClassObject(const QString& busName, REFCLSID clsid, REFIID riid, void** ppv);

    // Cuts the object off from every other process (CoDisconnectObject).
    void disconnectObject(IUnknown* object);

    // Time-outs in milliseconds: calls into other processes (25 s), callbacks into clients
    // (2 s), starting a server by activation (25 s).
    void setCallTimeout(int ms);
    void setCallbackTimeout(int ms);
    void setActivationTimeout(int ms);

    // Objects exported to other processes.
    std::size_t exportedObjects() const;
    // References the process with that unique name holds here.
    unsigned long referencesHeldBy(const QString& peer) const;
    // Remote objects this process holds proxies for.
    std::size_t proxyCount() const;
    // The peer did not answer a callback in time and gets none until it answers again.
    bool callbacksSuspended(const QString& peer) const;
    // Callbacks sent to the peer (to any peer when empty) and not yet answered.
    std::size_t callbacksInFlight(const QString& peer = {}) const;

    class Impl;

private:
    std::unique_ptr<Impl> d_;
};

// The transport of this process on the session bus, connected at the first use on the main
// thread of a Qt application; nullptr without one or without a bus. setProcessTransport puts
// another in its place (not owned; nullptr returns to the session bus).
DBusTransport* processTransport();
void setProcessTransport(DBusTransport* transport);

namespace bus {

// The runtime's side (runtime.cpp) and the transport's side of activation.
// A class object registered for the local server: exported on the process transport.
void classRegistered(REFCLSID clsid, DWORD cookie);
void classRevoked(DWORD cookie);
// The class object from the program whose bus name the class registration names;
// REGDB_E_CLASSNOTREG when it names none.
HRESULT classObjectOverBus(REFCLSID clsid, REFIID riid, void** ppv);
void objectDisconnected(IUnknown* object);
// What CoGetClassObject finds in this process's class table for a local-server request
// (runtime.cpp).
HRESULT classObjectFromTable(REFCLSID clsid, REFIID riid, void** ppv);

}  // namespace bus

}  // namespace com
