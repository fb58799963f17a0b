#pragma once
// One OPC client's session with a server, through COM calls only: the server object found by
// ProgID or class ID, one group of items, sync and async I/O, and a sink that hears data
// changes, completions and the server's shut-down request. Whether the server lives in this
// process or in another one is the COM layer's business.
#include <functional>
#include <string>
#include <vector>

#include "platform/com/filetime.h"
#include "platform/com/opcda.h"
#include "platform/com/runtime.h"
#include "platform/com/variant.h"

namespace opcclient {

struct TStatus {
    FILETIME StartTime{};
    FILETIME CurrentTime{};
    FILETIME LastUpdateTime{};
    OPCSERVERSTATE State = OPC_STATUS_FAILED;
    DWORD GroupCount = 0;
    DWORD BandWidth = 0;
    WORD MajorVersion = 0;
    WORD MinorVersion = 0;
    WORD BuildNumber = 0;
    std::string VendorInfo;
};

struct TProperty {
    DWORD ID = 0;
    std::string Description;
    VARTYPE Type = VT_EMPTY;
    com::Variant Value;
    HRESULT Error = S_OK;
};

// An item of the session's group, in the order given; its client handle is its position + 1.
struct TItem {
    std::string ItemID;
    HRESULT Error = S_OK;
    OPCHANDLE Server = 0;
    VARTYPE CanonicalType = VT_EMPTY;
    DWORD AccessRights = 0;
};

struct TItemValue {
    OPCHANDLE Client = 0;
    com::Variant Value;
    WORD Quality = 0;
    FILETIME TimeStamp{};
    HRESULT Error = S_OK;
};

// What one callback into the client delivered.
struct TCallback {
    enum TKind { DataChange, ReadComplete, WriteComplete, CancelComplete } Kind = DataChange;
    DWORD TransactionID = 0;
    OPCHANDLE Group = 0;
    HRESULT MasterQuality = S_OK;
    HRESULT MasterError = S_OK;
    std::vector<TItemValue> Items;  // WriteComplete: only Client and Error
};

// The client's sink for IOPCDataCallback and IOPCShutdown; each callback is handed on at once.
class TSink : public com::ComObject<IOPCDataCallback, IOPCShutdown> {
public:
    std::function<void(TCallback&&)> OnCallback;
    std::function<void(const std::string& reason)> OnShutdown;

    HRESULT OnDataChange(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count, OPCHANDLE* clients,
                         VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors) override;
    HRESULT OnReadComplete(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count, OPCHANDLE* clients,
                           VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors) override;
    HRESULT OnWriteComplete(DWORD tid, OPCHANDLE group, HRESULT me, DWORD count, OPCHANDLE* clients,
                            HRESULT* errors) override;
    HRESULT OnCancelComplete(DWORD tid, OPCHANDLE group) override;
    HRESULT ShutdownRequest(LPCWSTR reason) override;

private:
    HRESULT Deliver(TCallback::TKind kind, DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count,
                    OPCHANDLE* clients, VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors);
};

class TSession {
public:
    TSession();
    // Close.
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // server: a class ID in registry form or a ProgID. Creates the server object as a local
    // server, names this client and connects the shut-down sink (a server without that point
    // is fine). *why tells what failed.
    HRESULT Connect(const std::string& server, const std::string& clientName, std::string* why);
    bool Connected() const { return static_cast<bool>(server_); }

    HRESULT GetStatus(TStatus& status);
    // Item IDs of the flat address space; an empty filter takes every one.
    HRESULT Browse(const std::string& filter, VARTYPE type, DWORD rights, std::vector<std::string>& ids);
    // Every property the server offers for the item, with its value.
    HRESULT Properties(const std::string& itemID, std::vector<TProperty>& properties);
    // The server's text for a result code, or an empty string.
    std::string ErrorText(HRESULT code);

    // Adds the session's one group (active, with the rate asked for) and connects the data
    // sink to it. *revisedRate is what the server granted.
    HRESULT AddGroup(const std::string& name, DWORD updateRate, DWORD* revisedRate);
    // Adds the items to the group; Items() then lists them with their results.
    HRESULT AddItems(const std::vector<std::string>& itemIDs);
    const std::vector<TItem>& Items() const { return items_; }
    // The server handles of the items that were added.
    std::vector<OPCHANDLE> ServerHandles() const;
    // The item whose client handle this is, or nullptr.
    const TItem* ItemByClient(OPCHANDLE client) const;

    // values[i] belongs to the i-th item that was added (ServerHandles order).
    HRESULT Read(OPCDATASOURCE source, std::vector<TItemValue>& values);
    HRESULT Write(const std::vector<com::Variant>& values, std::vector<HRESULT>& errors);
    HRESULT ReadAsync(DWORD transactionID, DWORD* cancelID, std::vector<HRESULT>& errors);
    HRESULT WriteAsync(DWORD transactionID, const std::vector<com::Variant>& values, DWORD* cancelID,
                       std::vector<HRESULT>& errors);

    // Disconnects the sinks, removes the group and releases the server object.
    void Close();

    TSink& Sink() { return *sink_.get(); }

private:
    HRESULT Advise(const com::ComPtr<IUnknown>& object, REFIID iid, DWORD* cookie);
    void Unadvise(const com::ComPtr<IUnknown>& object, REFIID iid, DWORD& cookie);

    com::ComPtr<TSink> sink_;
    com::ComPtr<IOPCServer> server_;
    DWORD shutdownCookie_ = 0;
    com::ComPtr<IUnknown> group_;
    OPCHANDLE groupHandle_ = 0;
    DWORD dataCookie_ = 0;
    std::vector<TItem> items_;
};

}  // namespace opcclient
