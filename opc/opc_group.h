#pragma once
// The OPC group object: its items, its state, its update with data-change callbacks, and its
// synchronous and asynchronous I/O.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "opc_async.h"
#include "opc_item.h"
#include "opc_typelib.h"
#include "platform/com/connpoint.h"

namespace opc {

class TDA2;

// Largest count a client may pass to a method taking arrays: bounds every allocation made
// from a client's count (a few hundred bytes per entry at most).
inline constexpr DWORD kMaxClientCount = 1u << 20;

class TOPCGroup : public com::ComObject<IOPCAsyncIO2, com::ConnectionPointContainer, IOPCSyncIO, IOPCGroupStateMgt,
                                        IOPCItemMgt, IOPCGroup> {
public:
    // Creates the data-callback connection point; the group is not in any list yet.
    TOPCGroup(TDA2* server, std::vector<TOPCGroup*>* ownerList);
    ~TOPCGroup() override;

    std::uint8_t SortState = 0;  // order of Items: 0 none, 1 by ItemID, 2 by ServerHandle
    TDA2* Server;                // nullptr once torn down
    std::string Name;
    OPCHANDLE ClientHandle = 0;
    OPCHANDLE ServerHandle = 0;
    DWORD UpdateRate = 0;  // ms, never below 2
    LCID LocaleID = 0;
    bool PendingRemoval = false;
    std::vector<TOPCGroup*>* OwnerList;  // the server object's list holding the group
    std::vector<std::unique_ptr<TOPCItem>> Items;
    std::vector<std::unique_ptr<TAsyncIO2>> ReadyList;
    std::vector<std::unique_ptr<TAsyncIO2>> WaitingList;
    bool Active = false;
    bool Enabled = true;
    LONG TimeBias = 0;  // minutes
    FLOAT PercentDeadband = 0;
    com::ComPtr<IUnknown> DataCallback;  // the sink served; nullptr when none
    std::int64_t LastUpdate = 0;         // ms of the last due update
    // Positions collected by an update; cleared, never shrunk, from update to update.
    std::vector<std::int32_t> ChangedItems;
    void* RuntimeNode = nullptr;  // the runtime monitor's node; not owned
    // Monitor event 0 was raised for the group, so its end raises event 1.
    bool Announced = false;

    void Init(const std::string& name, bool active, OPCHANDLE serverHandle, LCID lcid, FLOAT deadband,
              OPCHANDLE clientHandle, DWORD requestedRate);
    DWORD SetUpdateRate(DWORD requested);
    // The given bias, or with none the system time zone's.
    void SetTimeBias(const LONG* bias);
    // Binary searches; pos is the match or the insertion position.
    bool FindItemByHandle(OPCHANDLE handle, std::int32_t& pos);
    bool FindItemByName(std::string_view itemID, std::int32_t& pos);
    TOPCItem* ItemByHandle(OPCHANDLE handle);
    void CopyTo(TOPCGroup& target);

    // What destroying the group does (monitor event 1, items freed with event 3 and
    // re-rating, transactions unlinked and freed, sink released, out of the owner's list),
    // run early when the server object goes while the client still holds the group. The
    // object then lives on empty, and its methods return E_FAIL.
    void TearDown();
    bool TornDown() const { return Server == nullptr; }
    // Still in its server object's list: not removed, not torn down. A group removed while
    // a callback ran gets no further callback.
    bool Listed() const;

    // One group tick: finished transactions to the client, then, when due or forced, the
    // changed active items in one data change.
    void Update(bool forced, double tickTime);
    void ProcessTransactions(double tickTime);
    void MoveCompletedTransactions();
    void SendDataChange(const std::vector<std::int32_t>& positions, double tickTime);
    void DataCallbackConnect(IUnknown* sink, bool connecting);
    void TransactionDone(TAsyncIO2& transaction);
    // The client's IOPCDataCallback, or nullptr when none is connected or it has none.
    com::ComPtr<IOPCDataCallback> GetDataCallback() const;
    // Client name "." group name, for the OPC call log.
    std::string LogSource() const;

    // IOPCItemMgt
    HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
    HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate, OPCITEMRESULT** ppValidationResults,
                          HRESULT** ppErrors) override;
    HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) override;
    HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) override;
    HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) override;

    // IOPCGroupStateMgt
    HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                     DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
    HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                     FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    HRESULT SetName(LPCWSTR szName) override;
    HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;

    // IOPCSyncIO
    HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                 HRESULT** ppErrors) override;
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // IOPCAsyncIO2 (Read and Write of both interfaces share their names: the two sets are told
    // apart by their parameters)
    HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID, DWORD* pdwCancelID,
                  HRESULT** ppErrors) override;
    HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    HRESULT Cancel2(DWORD dwCancelID) override;
    HRESULT SetEnable(BOOL bEnable) override;
    HRESULT GetEnable(BOOL* pbEnable) override;

private:
    com::ConnectionPoint* dataCallbackPoint_ = nullptr;
};

}  // namespace opc
