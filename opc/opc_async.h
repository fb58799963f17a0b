#pragma once
// One asynchronous transaction of a group: a read, a write, a refresh, or the data change of
// one group update.
#include <cstdint>
#include <vector>

#include "platform/com/opcda.h"
#include "platform/com/variant.h"

namespace vx {
class TVariable;
}

namespace opc {

class TOPCGroup;

enum TAsyncKind : std::int32_t { akRead = 1, akWrite = 2, akRefresh = 3, akDataChange = 4 };

// Cancel IDs: one counter for the whole process, pre-incremented, first value 2.
DWORD NextCancelID();

class TAsyncIO2 {
public:
    TAsyncIO2(TOPCGroup* group, DWORD source, DWORD count, DWORD transactionID, std::int32_t kind);
    ~TAsyncIO2();
    TAsyncIO2(const TAsyncIO2&) = delete;
    TAsyncIO2& operator=(const TAsyncIO2&) = delete;

    TOPCGroup* Group;
    DWORD Source;  // OPC_DS_CACHE, OPC_DS_DEVICE; 0 for writes
    bool Cancelled = false;
    // The items covered, by server handle: items removed meanwhile are reported as gone
    // instead of their list position pointing at another item.
    std::vector<OPCHANDLE> Handles;
    std::vector<com::Variant> Values;  // writes only
    std::int32_t Kind;
    DWORD TransactionID;
    DWORD CancelID;
    DWORD Count;  // entries covered; for a data change the number of changed items
    // Data change only: positions in the group's Items collected by the update.
    const std::vector<std::int32_t>* ChangedPositions = nullptr;
    std::int32_t PendingRequests = 0;
    // The variables whose waiting lists hold this transaction, one entry per request, so
    // that a transaction freed early can be taken out of them first.
    std::vector<vx::TVariable*> WaitVariables;

    // Sends the results unless cancelled.
    void Execute(double tickTime);
    void SendReadResults(double tickTime);
    void SendWriteResults(double tickTime);
    void SendRefresh(double tickTime);
    void SendDataChange(double tickTime);

    // Lists the transaction as waiting on variable for one more request.
    void WaitOn(vx::TVariable* variable);
    // Takes the transaction out of every variable's waiting list it is still in.
    void UnlinkFromVariables();
};

}  // namespace opc
