// The group's update with data-change callbacks, its asynchronous transactions, and its
// synchronous and asynchronous I/O.
#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "comm/vx_variable.h"
#include "opc_arrays.h"
#include "opc_globals.h"
#include "opc_group.h"
#include "opc_server.h"
#include "platform/clock.h"
#include "platform/com/alloc.h"

namespace opc {

namespace {

// Main thread only, like every OPC call.
DWORD lastCancelID = 1;

// The five arrays of a data change or read result.
struct ValueArrays {
    explicit ValueArrays(std::size_t n) : clients(n), values(n), errors(n), qualities(n), times(n) {}
    explicit operator bool() const { return clients && values && errors && qualities && times; }

    TaskArray<OPCHANDLE> clients;
    TaskArray<VARIANT> values;
    TaskArray<HRESULT> errors;
    TaskArray<WORD> qualities;
    TaskArray<FILETIME> times;
};

bool goodQuality(WORD quality) { return (quality & vx::qGood) == vx::qGood; }

// Entry j of a data change: the item's callback value stamped with the tick time.
void fillCallbackEntry(ValueArrays& a, std::size_t j, TOPCItem& item, const FILETIME& ts, HRESULT& masterError,
                       HRESULT& masterQuality)
{
    OPCHANDLE client = 0;
    com::Variant value;
    WORD quality = 0;
    const HRESULT hr = item.GetCallbackValue(client, value, quality);
    a.times[j] = ts;
    a.clients[j] = client;
    a.values[j] = value.detach();
    a.qualities[j] = quality;
    a.errors[j] = hr;
    if (hr != S_OK)
        masterError = S_FALSE;
    if (!goodQuality(quality))
        masterQuality = S_FALSE;
}

// A date-time as whole milliseconds of its time-stamp form (days since 0001-01-01).
std::int64_t dateTimeToMs(double dateTime)
{
    constexpr std::int64_t kDaysBefore1899 = 693594;
    constexpr std::int64_t kMsPerDay = 86400000;
    const double days = std::trunc(dateTime);
    const auto ms = static_cast<std::int64_t>(std::llround(std::fabs(dateTime - days) * kMsPerDay));
    return (kDaysBefore1899 + static_cast<std::int64_t>(days)) * kMsPerDay + ms;
}

// A reference that keeps the group alive while a client's callback may drop the client's own;
// none while the group is being made or destroyed.
com::ComPtr<IUnknown> keepAlive(TOPCGroup& group)
{
    return group.refCount() ? com::ComPtr<IUnknown>(group.unknown()) : com::ComPtr<IUnknown>();
}

bool sameObject(IUnknown* a, IUnknown* b)
{
    if (!a || !b)
        return false;
    com::ComPtr<IUnknown> ia;
    com::ComPtr<IUnknown> ib;
    if (FAILED(a->QueryInterface(IID_IUnknown, ia.putVoid())) || FAILED(b->QueryInterface(IID_IUnknown, ib.putVoid())))
        return a == b;
    return ia.get() == ib.get();
}

std::string itemCountDetail(std::size_t n) { return "ItemCount=" + std::to_string(n); }

bool badCount(DWORD count) { return count == 0 || count > kMaxClientCount; }

// What asynchronous reads and writes share: the log line, the checks, the error array, and a
// transaction that waits for the PLC requests its items started. perItem gives an item's
// error and, with S_OK, whether its request is over already.
template <class PerItem>
HRESULT startTransaction(TOPCGroup& group, int logCode, std::int32_t kind, DWORD source, DWORD dwCount, OPCHANDLE* phServer,
                         bool valuesGiven, DWORD transactionID, DWORD* pdwCancelID, HRESULT** ppErrors, PerItem perItem)
{
    if (group.TornDown())
        return E_FAIL;
    return com::orOutOfMemory([&] {
        LogOPCCall(logCode, group.LogSource(), itemCountDetail(dwCount));
        if (pdwCancelID)
            *pdwCancelID = 0;
        if (ppErrors)
            *ppErrors = nullptr;
        if (!pdwCancelID || !ppErrors)
            return E_POINTER;
        if (!group.DataCallback)
            return CONNECT_E_NOCONNECTION;
        if (badCount(dwCount) || !phServer || !valuesGiven)
            return E_INVALIDARG;
        TaskArray<HRESULT> errors(dwCount);
        if (!errors)
            return E_OUTOFMEMORY;
        auto t = std::make_unique<TAsyncIO2>(&group, source, dwCount, transactionID, kind);
        t->Handles.reserve(dwCount);
        t->Count = 0;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            TOPCItem* item = group.ItemByHandle(phServer[i]);
            bool done = true;
            const HRESULT error = item ? perItem(*item, i, *t, done) : OPC_E_INVALIDHANDLE;
            if (error == S_OK) {
                t->Handles.push_back(phServer[i]);
                ++t->Count;
                if (vx::TVariable* v = item->GetVariable(); v && !done)
                    t->WaitOn(v);
            }
            errors[i] = error;
            if (error != S_OK)
                result = S_FALSE;
        }
        const DWORD cancelID = t->CancelID;
        if (t->Count == 0)
            result = S_FALSE;
        else
            group.WaitingList.push_back(std::move(t));
        *pdwCancelID = cancelID;
        *ppErrors = errors.release();
        return result;
    });
}

}  // namespace

DWORD NextCancelID() { return ++lastCancelID; }

// --- TAsyncIO2

TAsyncIO2::TAsyncIO2(TOPCGroup* group, DWORD source, DWORD count, DWORD transactionID, std::int32_t kind)
    : Group(group), Source(source), Kind(kind), TransactionID(transactionID), CancelID(NextCancelID()), Count(count)
{
}

TAsyncIO2::~TAsyncIO2() { UnlinkFromVariables(); }

void TAsyncIO2::WaitOn(vx::TVariable* variable)
{
    WaitVariables.push_back(variable);
    try {
        variable->WaitingTransactions.push_back(this);
    } catch (...) {
        WaitVariables.pop_back();
        throw;
    }
    ++PendingRequests;
}

void TAsyncIO2::UnlinkFromVariables()
{
    for (vx::TVariable* v : WaitVariables)
        std::erase(v->WaitingTransactions, static_cast<void*>(this));
    WaitVariables.clear();
}

void TAsyncIO2::Execute(double tickTime)
{
    if (Cancelled)
        return;
    switch (Kind) {
    case akRead:
        SendReadResults(tickTime);
        break;
    case akWrite:
        SendWriteResults(tickTime);
        break;
    case akRefresh:
        SendRefresh(tickTime);
        break;
    case akDataChange:
        SendDataChange(tickTime);
        break;
    default:
        break;
    }
}

void TAsyncIO2::SendDataChange(double tickTime)
{
    const com::ComPtr<IOPCDataCallback> callback = Group->GetDataCallback();
    if (!callback || !ChangedPositions)
        return;
    const std::size_t n = std::min<std::size_t>(Count, ChangedPositions->size());
    ValueArrays a(n);
    if (!a)
        return;
    const FILETIME ts = DateTimeToFileTimeUTC(tickTime);
    HRESULT masterError = S_OK;
    HRESULT masterQuality = S_OK;
    std::size_t filled = 0;
    // The bound is checked again each time: the positions are the group's, reused by every update.
    for (std::size_t i = 0; i < n && i < ChangedPositions->size(); ++i) {
        const std::int32_t pos = (*ChangedPositions)[i];
        if (pos < 0 || static_cast<std::size_t>(pos) >= Group->Items.size())
            continue;
        fillCallbackEntry(a, filled++, *Group->Items[pos], ts, masterError, masterQuality);
    }
    if (Cancelled)
        return;
    // The count of entries filled: positions of items gone meanwhile leave none.
    callback->OnDataChange(0, Group->ClientHandle, masterQuality, masterError, static_cast<DWORD>(filled), a.clients.get(),
                           a.values.get(), a.qualities.get(), a.times.get(), a.errors.get());
}

void TAsyncIO2::SendRefresh(double tickTime)
{
    const com::ComPtr<IOPCDataCallback> callback = Group->GetDataCallback();
    if (!callback)
        return;
    const auto active = static_cast<DWORD>(
        std::count_if(Group->Items.begin(), Group->Items.end(), [](const auto& item) { return item->Active; }));
    Count += active;
    ValueArrays a(active);
    if (!a)
        return;
    const FILETIME ts = DateTimeToFileTimeUTC(tickTime);
    HRESULT masterError = S_OK;
    HRESULT masterQuality = S_OK;
    std::size_t filled = 0;
    for (std::size_t i = 0; i < Group->Items.size() && filled < active; ++i) {
        TOPCItem& item = *Group->Items[i];
        if (!item.Active)
            continue;
        // A device refresh advances what the item last saw and reported.
        if (TransactionID != 0 && Source == OPC_DS_DEVICE)
            item.CheckChanged();
        fillCallbackEntry(a, filled++, item, ts, masterError, masterQuality);
    }
    if (Cancelled)
        return;
    callback->OnDataChange(TransactionID, Group->ClientHandle, masterQuality, masterError, static_cast<DWORD>(filled),
                           a.clients.get(), a.values.get(), a.qualities.get(), a.times.get(), a.errors.get());
}

void TAsyncIO2::SendReadResults(double tickTime)
{
    const com::ComPtr<IOPCDataCallback> callback = Group->GetDataCallback();
    if (!callback)
        return;
    const std::size_t n = Handles.size();
    ValueArrays a(n);
    if (!a)
        return;
    const FILETIME ts = DateTimeToFileTimeUTC(tickTime);
    HRESULT masterError = S_OK;
    HRESULT masterQuality = S_OK;
    for (std::size_t i = 0; i < n; ++i) {
        a.times[i] = ts;
        TOPCItem* item = Group->ItemByHandle(Handles[i]);
        if (!item) {
            // Removed while the read waited.
            a.errors[i] = OPC_E_INVALIDITEMID;
            masterError = masterQuality = S_FALSE;
            continue;
        }
        a.values[i].vt = VT_I4;
        a.values[i].lVal = 0;
        if (!(item->AccessRights & OPC_READABLE)) {
            a.errors[i] = OPC_E_BADRIGHTS;
            masterError = masterQuality = S_FALSE;
            continue;
        }
        OPCHANDLE client = 0;
        com::Variant value;
        WORD quality = 0;
        const HRESULT hr = item->GetCallbackValue(client, value, quality);
        a.clients[i] = client;
        VariantClear(&a.values[i]);
        a.values[i] = value.detach();
        a.errors[i] = hr;
        if (hr != S_OK)
            masterError = S_FALSE;
        if (!goodQuality(quality)) {
            quality = 0;
            masterQuality = S_FALSE;
        }
        a.qualities[i] = quality;
    }
    if (Cancelled)
        return;
    // Taken before the call: the client may tear the group down inside it.
    const std::string source = Group->LogSource();
    callback->OnReadComplete(TransactionID, Group->ClientHandle, masterQuality, masterError, static_cast<DWORD>(n),
                             a.clients.get(), a.values.get(), a.qualities.get(), a.times.get(), a.errors.get());
    LogOPCCall(leReadComplete, source,
               itemCountDetail(n) + ", MasterResult=" + std::to_string(masterError) +
                   ", MasterQuality=" + std::to_string(masterQuality));
}

void TAsyncIO2::SendWriteResults(double)
{
    const com::ComPtr<IOPCDataCallback> callback = Group->GetDataCallback();
    if (!callback)
        return;
    const std::size_t n = Handles.size();
    TaskArray<OPCHANDLE> clients(n);
    TaskArray<HRESULT> errors(n);
    if (!clients || !errors)
        return;
    HRESULT masterError = S_OK;
    for (std::size_t i = 0; i < n; ++i) {
        TOPCItem* item = Group->ItemByHandle(Handles[i]);
        if (!item) {
            errors[i] = OPC_E_INVALIDITEMID;
            masterError = S_FALSE;
            continue;
        }
        clients[i] = item->ClientHandle;
        if (!(item->AccessRights & OPC_WRITEABLE)) {
            errors[i] = OPC_E_BADRIGHTS;
            masterError = S_FALSE;
        }
    }
    if (Cancelled)
        return;
    const std::string source = Group->LogSource();
    callback->OnWriteComplete(TransactionID, Group->ClientHandle, masterError, static_cast<DWORD>(n), clients.get(),
                              errors.get());
    LogOPCCall(leWriteComplete, source, itemCountDetail(n) + ", MasterResult=" + std::to_string(masterError));
}

// --- the group's update

void TOPCGroup::Update(bool forced, double tickTime)
{
    if (TornDown() || Items.empty())
        return;
    const com::ComPtr<IUnknown> alive = keepAlive(*this);
    ProcessTransactions(tickTime);
    // Removed, torn down or released inside a callback: no further callback.
    if (!Listed() || !Active)
        return;
    const std::int64_t now = dateTimeToMs(tickTime);
    if (!forced && now < LastUpdate + static_cast<std::int64_t>(UpdateRate))
        return;
    ChangedItems.clear();
    const std::size_t n = Items.size();
    for (std::size_t i = 0; i < n; ++i) {
        // Items and their variables lie all over the heap, and most checks find nothing:
        // the time goes in waiting for memory, so ask for it a few items ahead.
        if (i + 8 < n)
            __builtin_prefetch(Items[i + 8].get());
        if (i + 4 < n)
            if (const vx::TVariable* v = Items[i + 4]->GetVariable()) {
                __builtin_prefetch(&v->Quality);
                __builtin_prefetch(&v->LoLimit);
            }
        TOPCItem& item = *Items[i];
        if (item.Active && item.CheckChanged())
            ChangedItems.push_back(static_cast<std::int32_t>(i));
    }
    if (DataCallback && Enabled && !ChangedItems.empty())
        SendDataChange(ChangedItems, tickTime);
    LastUpdate = now;
}

void TOPCGroup::ProcessTransactions(double tickTime)
{
    if (Items.empty() || !DataCallback) {
        ReadyList.clear();
        return;
    }
    const com::ComPtr<IUnknown> alive = keepAlive(*this);
    MoveCompletedTransactions();
    // Those ready now: a callback may add more (Refresh2), remove the group or release it.
    for (std::size_t n = ReadyList.size(); n > 0 && !ReadyList.empty() && Listed(); --n) {
        std::unique_ptr<TAsyncIO2> t = std::move(ReadyList.front());
        ReadyList.erase(ReadyList.begin());
        t->Execute(tickTime);
    }
}

void TOPCGroup::MoveCompletedTransactions()
{
    for (std::size_t i = WaitingList.size(); i-- > 0;) {
        if (WaitingList[i]->PendingRequests >= 1)
            continue;
        ReadyList.push_back(std::move(WaitingList[i]));
        WaitingList.erase(WaitingList.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void TOPCGroup::SendDataChange(const std::vector<std::int32_t>& positions, double tickTime)
{
    TAsyncIO2 t(this, OPC_DS_CACHE, static_cast<DWORD>(positions.size()), 0, akDataChange);
    t.ChangedPositions = &positions;
    t.Execute(tickTime);
}

void TOPCGroup::DataCallbackConnect(IUnknown* sink, bool connecting)
{
    if (TornDown())
        return;
    const com::ComPtr<IUnknown> alive = keepAlive(*this);
    if (!connecting) {
        // Only the served sink going ends the service; the same sink may be connected twice.
        if (!sameObject(sink, DataCallback.get()))
            return;
        for (const auto& other : dataCallbackPoint_->sinks())
            if (sameObject(other.get(), DataCallback.get()))
                return;
        DataCallback = nullptr;
        return;
    }
    DataCallback = com::ComPtr<IUnknown>(sink);
    // The hook runs inside the client's Advise and must not throw: a failed initial data
    // change is dropped, as a sender's failed allocation is.
    try {
        ChangedItems.clear();
        for (std::size_t i = 0; i < Items.size(); ++i)
            ChangedItems.push_back(static_cast<std::int32_t>(i));
        if (Enabled && !ChangedItems.empty())
            SendDataChange(ChangedItems, plat::clock().now());
    } catch (const std::exception&) {
    }
}

void TOPCGroup::TransactionDone(TAsyncIO2& transaction) { --transaction.PendingRequests; }

com::ComPtr<IOPCDataCallback> TOPCGroup::GetDataCallback() const
{
    com::ComPtr<IOPCDataCallback> callback;
    if (DataCallback)
        DataCallback.as(callback);
    return callback;
}

std::string TOPCGroup::LogSource() const { return (Server ? Server->ClientName : std::string()) + "." + Name; }

// --- IOPCSyncIO

HRESULT TOPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                        HRESULT** ppErrors)
{
    if (TornDown())
        return E_FAIL;
    if (ppItemValues)
        *ppItemValues = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (!ppItemValues || !ppErrors)
        return E_POINTER;
    if (badCount(dwCount) || !phServer)
        return E_INVALIDARG;
    return com::orOutOfMemory([&] {
        TaskArray<OPCITEMSTATE> states(dwCount);
        TaskArray<HRESULT> errors(dwCount);
        if (!states || !errors)
            return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            TOPCItem* item = ItemByHandle(phServer[i]);
            if (!item) {
                errors[i] = OPC_E_INVALIDHANDLE;
                result = S_FALSE;
                continue;
            }
            errors[i] = item->ReadState(dwSource, states[i]);
            if (errors[i] != S_OK)
                result = S_FALSE;
            if (dwSource == OPC_DS_DEVICE) {
                // Answered from the cache; the fresh value comes with a later read.
                if (vx::TVariable* v = item->GetVariable()) {
                    bool done = true;
                    v->RequestRead(done);
                }
            } else if (!Active) {
                states[i].wQuality = vx::qOutOfService;
            }
        }
        *ppItemValues = states.release();
        *ppErrors = errors.release();
        return result;
    });
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors)
{
    if (TornDown())
        return E_FAIL;
    if (!ppErrors)
        return E_POINTER;
    *ppErrors = nullptr;
    if (badCount(dwCount) || !phServer || !pItemValues)
        return E_INVALIDARG;
    return com::orOutOfMemory([&] {
        TaskArray<HRESULT> errors(dwCount);
        if (!errors)
            return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            TOPCItem* item = ItemByHandle(phServer[i]);
            bool done = true;
            errors[i] = item ? item->WriteValue(pItemValues[i], done) : OPC_E_INVALIDHANDLE;
            if (errors[i] != S_OK)
                result = S_FALSE;
        }
        *ppErrors = errors.release();
        return result;
    });
}

// --- IOPCAsyncIO2

HRESULT TOPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors)
{
    return startTransaction(*this, leAsyncRead, akRead, OPC_DS_DEVICE, dwCount, phServer, true, dwTransactionID, pdwCancelID,
                            ppErrors, [](TOPCItem& item, DWORD, TAsyncIO2&, bool& done) {
                                // Detached by a reconfiguration: nothing to ask. Read rights
                                // are looked at when the results go out.
                                vx::TVariable* v = item.GetVariable();
                                return v ? v->RequestRead(done) : E_FAIL;
                            });
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID, DWORD* pdwCancelID,
                         HRESULT** ppErrors)
{
    return startTransaction(*this, leAsyncWrite, akWrite, 0, dwCount, phServer, pItemValues != nullptr, dwTransactionID,
                            pdwCancelID, ppErrors, [pItemValues](TOPCItem& item, DWORD i, TAsyncIO2& t, bool& done) {
                                if (!(item.AccessRights & OPC_WRITEABLE))
                                    return OPC_E_BADRIGHTS;
                                const HRESULT hr = item.WriteValue(pItemValues[i], done);
                                if (hr == S_OK)
                                    t.Values.emplace_back(pItemValues[i]);
                                return hr;
                            });
}

HRESULT TOPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    if (TornDown())
        return E_FAIL;
    return com::orOutOfMemory([&] {
        LogOPCCall(leAsyncRefresh, LogSource(), std::string());
        if (!pdwCancelID)
            return E_POINTER;
        *pdwCancelID = 0;
        if (!DataCallback)
            return CONNECT_E_NOCONNECTION;
        if (!Active || std::none_of(Items.begin(), Items.end(), [](const auto& item) { return item->Active; }))
            return E_FAIL;
        auto t = std::make_unique<TAsyncIO2>(this, dwSource, 0, dwTransactionID, akRefresh);
        const DWORD cancelID = t->CancelID;
        ReadyList.push_back(std::move(t));
        *pdwCancelID = cancelID;
        ProcessTransactions(plat::clock().now());
        return S_OK;
    });
}

HRESULT TOPCGroup::Cancel2(DWORD dwCancelID)
{
    if (TornDown())
        return E_FAIL;
    return com::orOutOfMemory([&] {
        LogOPCCall(leAsyncCancel, LogSource(), std::string());
        for (auto* list : {&ReadyList, &WaitingList})
            for (const auto& t : *list)
                if (t->CancelID == dwCancelID) {
                    t->Cancelled = true;
                    return S_OK;
                }
        return E_FAIL;
    });
}

HRESULT TOPCGroup::SetEnable(BOOL bEnable)
{
    if (TornDown())
        return E_FAIL;
    return com::orOutOfMemory([&] {
        LogOPCCall(leAsyncSetEnable, LogSource(), std::string());
        if (!DataCallback)
            return CONNECT_E_NOCONNECTION;
        Enabled = bEnable != FALSE;
        return S_OK;
    });
}

HRESULT TOPCGroup::GetEnable(BOOL* pbEnable)
{
    if (TornDown())
        return E_FAIL;
    return com::orOutOfMemory([&] {
        LogOPCCall(leAsyncGetEnable, LogSource(), std::string());
        if (!pbEnable)
            return E_POINTER;
        if (!DataCallback)
            return CONNECT_E_NOCONNECTION;
        *pbEnable = Enabled ? TRUE : FALSE;
        return S_OK;
    });
}

}  // namespace opc
