#pragma once
// The hub of the OPC side: the registry of live server objects with the item catalogue, the
// one lock, the pulse period and its broadcast, item-ID syntax, variant-type checks, the
// completion hook from the communication core and the OPC call log.
//
// Not the communication root vx::TServer: this is the OPC registry of the same short name.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/com/filetime.h"
#include "platform/com/variant.h"

namespace vx {
class TVariable;
}

namespace opc {

class TDA2;
class TOPCGroup;
class TOPCItem;
class TAsyncIO2;

// Item property IDs of the OPC DA 2.0 property set.
enum TItemPropertyID : std::int32_t {
    pidDataType = 1,
    pidValue = 2,
    pidQuality = 3,
    pidTimeStamp = 4,
    pidRights = 5,
    pidScanRate = 6,
    pidUnits = 100,
    pidDescription = 101,
    pidHiEU = 102,
    pidLoEU = 103,
    pidHiRange = 104,
    pidLoRange = 105,
    pidCloseLabel = 106,
    pidOpenLabel = 107,
    pidDeadband = 306,
    pidHiHiLimit = 307,
    pidHiLimit = 308,
    pidLoLimit = 309,
    pidLoLoLimit = 310,
};

struct TItemPropertyInfo {
    std::int32_t ID;
    const char* Keyword;      // the item-ID suffix
    VARTYPE Type;             // VT_EMPTY for the value: the item's own type
    const char* Description;  // English, for QueryAvailableProperties
};
inline constexpr int kItemPropertyCount = 19;
// In the order clients see them.
extern const TItemPropertyInfo ItemPropertyNames[kItemPropertyCount];

// Monitor events, raised under OPCLock.
enum TMonitorEvent : int {
    meGroupAdded = 0,
    meGroupRemoved = 1,
    meItemAdded = 2,
    meItemRemoved = 3,
    meServerCreated = 4,
    meServerDestroyed = 5,
    meClientName = 6,
    meGroupState = 7,
    meItemReported = 8,
    meItemActivated = 9,
};
using TMonitorObject = std::variant<TOPCGroup*, TOPCItem*, TDA2*>;
using TMonitorEventHandler = std::function<void(int code, TMonitorObject obj)>;

// OPC call log event codes.
enum TOPCLogEvent : int {
    leAsyncRead = 10,
    leAsyncWrite = 11,
    leAsyncCancel = 12,
    leAsyncRefresh = 13,
    leAsyncSetEnable = 14,
    leAsyncGetEnable = 15,
    leReadComplete = 20,
    leWriteComplete = 21,
    leCancelComplete = 22,
    leDataChange = 23,
};

// Catalogue handles start here: handle = kFirstCatalogueHandle + position.
inline constexpr std::int32_t kFirstCatalogueHandle = 5000;

// What a catalogue entry is built from.
struct TItemProps {
    std::string ItemID;          // the variable's dotted full name
    VARTYPE CanonicalType = 0;   // the variable's RequestedType
    bool Readable = false;
    bool Writable = false;
    vx::TVariable* Variable = nullptr;  // not owned
};

// One catalogue entry.
struct Titem : TItemProps {
    std::int32_t Handle = 0;
};

// The registry object: one per process, kept in OPCRegistry.
class TServer {
public:
    // Installs VariableRequestDone as the communication core's completion hook.
    TServer();
    // Frees the catalogue and cuts the remaining server objects off from their clients.
    ~TServer();
    TServer(const TServer&) = delete;
    TServer& operator=(const TServer&) = delete;

    std::vector<Titem> Items;       // the catalogue, sorted by ItemID after a build
    std::vector<TDA2*> Servers;     // live server objects in order of creation; not owned
    TMonitorEventHandler OnMonitorEvent;

    void AddItem(const TItemProps& rec);
    void ClearItems();
    // Case-insensitive by the user's locale, then Handle := 5000 + position.
    void SortItems();
    // Binary search; index is the match or the insertion position. nullptr when absent.
    Titem* FindItem(std::string_view id, std::int32_t& index);

    void NotifyMonitor(int code, TMonitorObject obj);
    void ShutdownClients();

    // Reconfiguration: every item loses its variable, then is bound again by its ID.
    void DetachItemVariables();
    void RelinkItems();
    vx::TVariable* ResolveItemVariable(const std::string& id);

    // Recomputes the variable's active state and update period from the items bound to it,
    // empties those items' Value and LastSeen and refreshes their write right.
    void SetStateAndFastestUpdateInterval(vx::TVariable* variable);
    // Only the variable's active state and update period, for activation changes: other
    // clients' items keep what they saw.
    void RerateVariable(vx::TVariable* variable);

    // The completion hook: ends the transactions waiting on the variable.
    void VariableRequestDone(vx::TVariable* variable);

    std::int32_t TotalGroupCount() const;
    bool HasServer(const TDA2* server) const;
};

// nullptr until the main window (or a test) creates the registry.
extern TServer* OPCRegistry;

// The one lock of the OPC side; re-entrant.
extern std::recursive_mutex OPCLock;
using OPCLockGuard = std::lock_guard<std::recursive_mutex>;

// Raises a monitor event under OPCLock when the registry exists.
inline void RaiseMonitorEvent(int code, TMonitorObject obj)
{
    OPCLockGuard lock(OPCLock);
    if (OPCRegistry)
        OPCRegistry->NotifyMonitor(code, obj);
}

// The pulse period and its recomputation.
extern std::uint32_t FastestUpdateInterval;  // ms; 200 at start
extern std::int32_t PulseRecalcLimit;        // round(10000 / period); 50 at start
extern std::int32_t PulseRecalcCounter;
// The main window's pulse runs only while this is set; a server object clears it while it
// tears its groups down.
extern bool PulseEnabled;

// Settings of the OPC call log (read from the settings file by the application).
extern bool OPCLogging;
extern std::int32_t OPCNumLogLines;
extern bool OPCLogToFile;
extern std::deque<std::string> OPCLog;

// Puts the globals of this unit back to their start (tests and a second start).
void ResetOPCGlobals();

// Catalogue lookup of an item ID that may end in a property keyword.
Titem* FindItemByID(const std::string& id, std::int32_t& propertyID);

void UpdateFastestUpdateInterval();
// Hands the tick to every server object, the last first.
void PulseAllServers(bool force, double time);

// Cuts a trailing property keyword off id and returns its property ID: 2 for none (or
// "Value"), 0 for an empty id.
std::int32_t ParseItemID(std::string& id);
// Appends the parts of s between delimiters to list; returns their number.
std::int32_t SplitString(std::string_view s, std::string_view delimiter, std::vector<std::string>& list);
bool IsReservedItemName(std::string_view name);
const TItemPropertyInfo* FindItemProperty(std::int32_t id);
std::string GetItemPropertyName(std::int32_t id);
VARTYPE GetItemPropertyVarType(std::int32_t id);
DWORD GetAccessRights(const TItemProps& entry);
bool IsSupportedVarType(VARTYPE vt);
bool IsVarTypeCompatible(VARTYPE canonical, VARTYPE requested);
bool CanConvertVariant(const VARIANT& a, const VARIANT& b);
FILETIME DateTimeToFileTimeUTC(double time);

std::string GetOPCLogEventName(int code);
void LogOPCCall(int code, const std::string& source, const std::string& detail);
bool WriteOPCLogFile(const std::string& line, const std::string& detail);
// "OPC_" + short date of the day + ".log" in dir, with "/" of the date as "-".
std::string OPCLogFileName(const std::string& dir, double now);

}  // namespace opc
