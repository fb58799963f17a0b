#include "opc_globals.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <fstream>
#include <limits>

#include "comm/vx_hook.h"
#include "comm/vx_msgdlg.h"
#include "comm/vx_variable.h"
#include "opc_async.h"
#include "opc_group.h"
#include "opc_item.h"
#include "opc_server.h"
#include "platform/clock.h"
#include "platform/com/locale.h"
#include "platform/com/runtime.h"
#include "platform/sysdirs.h"
#include "platform/text.h"

namespace opc {

const TItemPropertyInfo ItemPropertyNames[kItemPropertyCount] = {
    {pidDataType, "DataType", VT_I2, "Cannonical DataType"},
    {pidValue, "Value", VT_EMPTY, "Value"},
    {pidQuality, "Quality", VT_I2, "Quality"},
    {pidTimeStamp, "TimeStamp", VT_DATE, "Timestamp"},
    {pidRights, "Rights", VT_I4, "Access Rights"},
    {pidScanRate, "ScanRate", VT_R4, "Scan Rate"},
    {pidUnits, "Units", VT_BSTR, "EU Units"},
    {pidDescription, "Description", VT_BSTR, "Item Description"},
    {pidHiEU, "HiEU", VT_R8, "High EU"},
    {pidLoEU, "LoEU", VT_R8, "Low EU"},
    {pidHiRange, "HiRange", VT_R8, "High Instrument Range"},
    {pidLoRange, "LoRange", VT_R8, "Low Instrument Range"},
    {pidCloseLabel, "CloseLabel", VT_BSTR, "Contact Close Label"},
    {pidOpenLabel, "OpenLabel", VT_BSTR, "Contact Open Label"},
    {pidDeadband, "Deadband", VT_R8, "Deadband"},
    {pidHiHiLimit, "HiHiLimit", VT_R8, "HiHi Limit"},
    {pidHiLimit, "HiLimit", VT_R8, "Hi Limit"},
    {pidLoLimit, "LoLimit", VT_R8, "Lo Limit"},
    {pidLoLoLimit, "LoLoLimit", VT_R8, "LoLo Limit"},
};

TServer* OPCRegistry = nullptr;
std::recursive_mutex OPCLock;
std::uint32_t FastestUpdateInterval = 200;
std::int32_t PulseRecalcLimit = 50;
std::int32_t PulseRecalcCounter = 0;
bool PulseEnabled = true;
bool OPCLogging = false;
std::int32_t OPCNumLogLines = 0;
bool OPCLogToFile = false;
std::deque<std::string> OPCLog;

namespace {

constexpr std::uint32_t kNoRate = 0xFFFFFFFFu;
constexpr std::uint32_t kPeriodWithoutGroups = 10;  // ms
constexpr std::uint32_t kShortestPeriod = 2;        // ms
constexpr std::int64_t kMinFreeLogBytes = 500'000'000;

int compareItemIDs(std::string_view a, std::string_view b) { return plat::compareTextLocale(a, b); }

// The live server objects, each held by a reference for as long as the caller walks them:
// a client may release its server object from inside a callback. One whose count is already
// 0 is in its destructor and is left out.
std::vector<com::ComPtr<TDA2>> snapshotServers()
{
    std::vector<com::ComPtr<TDA2>> out;
    if (!OPCRegistry)
        return out;
    out.reserve(OPCRegistry->Servers.size());
    for (TDA2* s : OPCRegistry->Servers)
        if (s && s->refCount() > 0)
            out.emplace_back(s);
    return out;
}

bool stillRegistered(const TDA2* server) { return OPCRegistry && OPCRegistry->HasServer(server); }

// Recomputes the variable's polling from the value items bound to it; with reset, those items
// also forget what they saw and take the variable's write right again.
void rerate(vx::TVariable* variable, bool reset)
{
    if (!variable)
        return;
    bool anyActive = false;
    std::uint32_t minRate = kNoRate;
    for (TOPCItem* item = TOPCItem::FirstBound(variable); item; item = item->NextBound()) {
        if (item->PropertyID != pidValue)
            continue;
        TOPCGroup* group = item->Group;
        if (!group || !group->Listed())
            continue;
        if (item->Active && group->Active)
            anyActive = true;
        if (group->UpdateRate < minRate)
            minRate = group->UpdateRate;
        if (reset) {
            item->Value.clear();
            item->LastSeen.clear();
            item->AccessRights = OPC_READABLE | (variable->Writable ? OPC_WRITEABLE : 0);
        }
    }
    variable->SetActive(anyActive);
    variable->UpdatePeriod = minRate;
}

// The local date-time's date in the short date format and its time in the long time format,
// through the variant conversion that formats dates by the process locale.
std::string formatDateTimePart(double value)
{
    com::Variant v;
    v.setDate(value);
    return v.toUtf8().value_or(std::string());
}

std::string shortDateText(double now)
{
    const plat::DateTimeFields f = plat::decodeDateTime(now);
    // Midnight of the day: the conversion then gives the date alone.
    return formatDateTimePart(plat::encodeDate(f.year, f.month, f.day));
}

std::string longTimeText(double now)
{
    const plat::DateTimeFields f = plat::decodeDateTime(now);
    // Day 0: the conversion then gives the time alone. Whole seconds, so it cannot round up.
    return formatDateTimePart((f.hour * 3600 + f.minute * 60 + f.second) / 86400.0);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The registry object

TServer::TServer()
{
    vx::OnVariableRequestDone = [this](vx::TVariable* v) { VariableRequestDone(v); };
}

TServer::~TServer()
{
    // No request finishing after this may reach a freed registry.
    vx::OnVariableRequestDone = nullptr;
    ClearItems();
    // Every entry is live: a server object always leaves the list when it goes.
    const std::vector<TDA2*> servers = Servers;
    for (auto it = servers.rbegin(); it != servers.rend(); ++it)
        if (*it)
            CoDisconnectObject((*it)->unknown(), 0);
    if (OPCRegistry == this)
        OPCRegistry = nullptr;
}

void TServer::AddItem(const TItemProps& rec)
{
    Titem entry;
    static_cast<TItemProps&>(entry) = rec;
    entry.Handle = static_cast<std::int32_t>(Items.size()) + kFirstCatalogueHandle;
    Items.push_back(std::move(entry));
}

void TServer::ClearItems()
{
    while (!Items.empty())
        Items.pop_back();
}

void TServer::SortItems()
{
    // Sort keys once per entry rather than collating two texts per comparison: a plant's
    // catalogue holds a hundred thousand IDs.
    std::vector<std::pair<plat::TextSortKey, std::size_t>> keys;
    keys.reserve(Items.size());
    for (std::size_t i = 0; i < Items.size(); ++i)
        keys.emplace_back(plat::textSortKeyLocale(Items[i].ItemID), i);
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Titem> sorted;
    sorted.reserve(Items.size());
    for (const auto& k : keys)
        sorted.push_back(std::move(Items[k.second]));
    Items = std::move(sorted);
    for (std::size_t i = 0; i < Items.size(); ++i)
        Items[i].Handle = kFirstCatalogueHandle + static_cast<std::int32_t>(i);
}

Titem* TServer::FindItem(std::string_view id, std::int32_t& index)
{
    Titem* found = nullptr;
    std::int64_t lo = 0;
    std::int64_t hi = static_cast<std::int64_t>(Items.size()) - 1;
    while (lo <= hi) {
        const std::int64_t mid = (lo + hi) >> 1;
        const int c = compareItemIDs(Items[static_cast<std::size_t>(mid)].ItemID, id);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
            if (c == 0) {
                found = &Items[static_cast<std::size_t>(mid)];
                lo = mid;
            }
        }
    }
    index = static_cast<std::int32_t>(lo);
    return found;
}

void TServer::NotifyMonitor(int code, TMonitorObject obj)
{
    PulseRecalcCounter = PulseRecalcLimit;
    UpdateFastestUpdateInterval();
    if (OnMonitorEvent)
        OnMonitorEvent(code, obj);
}

void TServer::ShutdownClients()
{
    std::vector<com::ComPtr<TDA2>> servers;
    {
        OPCLockGuard lock(OPCLock);
        servers = snapshotServers();
    }
    const std::u16string reason = plat::utf8ToUtf16(std::string(vx::kApplicationTitle) + " IOPCShutdown request");
    for (const auto& server : servers) {
        if (!stillRegistered(server.get()))
            continue;
        // A copy: the client may disconnect its sink while it is being called.
        const com::ComPtr<IUnknown> sink = server->ShutdownSink;
        if (!sink)
            continue;
        com::ComPtr<IOPCShutdown> shutdown;
        if (SUCCEEDED(sink.as(shutdown)) && shutdown)
            shutdown->ShutdownRequest(reason.c_str());
    }
}

void TServer::DetachItemVariables()
{
    OPCLockGuard lock(OPCLock);
    for (TDA2* server : Servers) {
        if (!server)
            continue;
        for (const auto* list : {&server->Groups, &server->PublicGroups})
            for (TOPCGroup* group : *list)
                if (group)
                    for (const auto& item : group->Items)
                        item->SetVariable(nullptr);
    }
}

void TServer::RelinkItems()
{
    OPCLockGuard lock(OPCLock);
    std::vector<vx::TVariable*> bound;
    for (TDA2* server : Servers) {
        if (!server)
            continue;
        for (TOPCGroup* group : server->Groups) {
            if (!group)
                continue;
            for (const auto& item : group->Items) {
                // Property items find their variable the way AddItems found it; the property
                // they name stays as it was.
                std::string id = item->ItemID;
                ParseItemID(id);
                std::int32_t index = 0;
                const Titem* entry = FindItem(id, index);
                vx::TVariable* variable = entry ? entry->Variable : nullptr;
                item->SetVariable(variable);
                if (variable)
                    bound.push_back(variable);
            }
        }
    }
    // Once per variable; a variable is active only when an active item of an active group
    // uses it.
    std::sort(bound.begin(), bound.end());
    bound.erase(std::unique(bound.begin(), bound.end()), bound.end());
    for (vx::TVariable* variable : bound)
        SetStateAndFastestUpdateInterval(variable);
}

vx::TVariable* TServer::ResolveItemVariable(const std::string& id)
{
    std::int32_t index = 0;
    const Titem* entry = FindItem(id, index);
    return entry ? entry->Variable : nullptr;
}

void TServer::SetStateAndFastestUpdateInterval(vx::TVariable* variable) { rerate(variable, true); }

void TServer::RerateVariable(vx::TVariable* variable) { rerate(variable, false); }

void TServer::VariableRequestDone(vx::TVariable* variable)
{
    if (!variable)
        return;
    auto& waiting = variable->WaitingTransactions;
    std::size_t i = waiting.size();
    while (i > 0) {
        --i;
        if (i >= waiting.size()) {
            // Entries left the list meanwhile: go on from its new end.
            i = waiting.size();
            continue;
        }
        auto* transaction = static_cast<TAsyncIO2*>(waiting[i]);
        if (transaction->Group)
            transaction->Group->TransactionDone(*transaction);
        // A transaction freed meanwhile has taken itself out of the list.
        if (i >= waiting.size() || waiting[i] != transaction)
            continue;
        auto& vars = transaction->WaitVariables;
        const auto it = std::find(vars.begin(), vars.end(), variable);
        if (it != vars.end())
            vars.erase(it);
    }
    waiting.clear();
}

std::int32_t TServer::TotalGroupCount() const
{
    std::size_t n = 0;
    for (const TDA2* server : Servers)
        if (server)
            n += server->Groups.size();
    return static_cast<std::int32_t>(n);
}

bool TServer::HasServer(const TDA2* server) const
{
    return server && std::find(Servers.begin(), Servers.end(), server) != Servers.end();
}

// ---------------------------------------------------------------------------------------
// Free routines

void ResetOPCGlobals()
{
    OPCLockGuard lock(OPCLock);
    FastestUpdateInterval = 200;
    PulseRecalcLimit = 50;
    PulseRecalcCounter = 0;
    PulseEnabled = true;
    OPCLogging = false;
    OPCNumLogLines = 0;
    OPCLogToFile = false;
    OPCLog.clear();
}

Titem* FindItemByID(const std::string& id, std::int32_t& propertyID)
{
    std::string key = id;
    propertyID = ParseItemID(key);
    OPCLockGuard lock(OPCLock);
    if (!OPCRegistry || OPCRegistry->Items.empty())
        return nullptr;
    std::int32_t index = 0;
    return OPCRegistry->FindItem(key, index);
}

void UpdateFastestUpdateInterval()
{
    // Held at the limit rather than counted on: while groups keep the period, nothing resets it.
    if (PulseRecalcCounter < std::numeric_limits<std::int32_t>::max())
        ++PulseRecalcCounter;
    if (PulseRecalcCounter < PulseRecalcLimit)
        return;
    OPCLockGuard lock(OPCLock);
    std::uint32_t period = kPeriodWithoutGroups;
    bool found = false;
    if (OPCRegistry)
        for (const TDA2* server : OPCRegistry->Servers)
            if (server)
                for (const TOPCGroup* group : server->Groups)
                    if (group && period > group->UpdateRate) {
                        period = group->UpdateRate;
                        found = true;
                    }
    if (period <= kShortestPeriod)
        period = kShortestPeriod;
    if (OPCRegistry && OPCRegistry->TotalGroupCount() == 0) {
        period = kPeriodWithoutGroups;
        found = true;
    }
    if (!found)
        return;
    FastestUpdateInterval = period;
    PulseRecalcLimit = static_cast<std::int32_t>(std::nearbyint(10000.0 / period));  // half to even
    PulseRecalcCounter = 0;
}

void PulseAllServers(bool force, double time)
{
    OPCLockGuard lock(OPCLock);
    const std::vector<com::ComPtr<TDA2>> servers = snapshotServers();
    for (auto it = servers.rbegin(); it != servers.rend(); ++it)
        if (stillRegistered(it->get()))
            (*it)->UpdateGroups(force, time);
}

std::int32_t ParseItemID(std::string& id)
{
    if (id.empty())
        return 0;
    std::int32_t result = pidValue;
    std::vector<std::string> parts;
    SplitString(id, ".", parts);
    if (parts.empty())
        return result;
    for (const auto& p : ItemPropertyNames)
        if (parts.back() == p.Keyword) {
            result = p.ID;
            break;
        }
    if (result != pidValue) {
        std::string rebuilt;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            if (i > 0)
                rebuilt += '.';
            rebuilt += parts[i];
        }
        id = std::move(rebuilt);
    }
    return result;
}

std::int32_t SplitString(std::string_view s, std::string_view delimiter, std::vector<std::string>& list)
{
    std::int32_t n = 0;
    // An empty delimiter would never consume anything: the whole text is one part.
    if (delimiter.empty()) {
        if (!s.empty()) {
            list.emplace_back(s);
            ++n;
        }
        return n;
    }
    while (!s.empty()) {
        const auto pos = s.find(delimiter);
        if (pos == std::string_view::npos) {
            list.emplace_back(s);
            ++n;
            break;
        }
        list.emplace_back(s.substr(0, pos));
        ++n;
        s.remove_prefix(pos + delimiter.size());
    }
    return n;
}

bool IsReservedItemName(std::string_view name)
{
    return std::any_of(std::begin(ItemPropertyNames), std::end(ItemPropertyNames),
                       [name](const TItemPropertyInfo& p) { return name == p.Keyword; });
}

const TItemPropertyInfo* FindItemProperty(std::int32_t id)
{
    for (const auto& p : ItemPropertyNames)
        if (p.ID == id)
            return &p;
    return nullptr;
}

std::string GetItemPropertyName(std::int32_t id)
{
    const TItemPropertyInfo* p = FindItemProperty(id);
    return p ? p->Keyword : std::string();
}

VARTYPE GetItemPropertyVarType(std::int32_t id)
{
    const TItemPropertyInfo* p = FindItemProperty(id);
    return p ? p->Type : VARTYPE(VT_EMPTY);
}

DWORD GetAccessRights(const TItemProps& entry)
{
    DWORD rights = 0;
    if (entry.Readable)
        rights |= OPC_READABLE;
    if (entry.Writable)
        rights |= OPC_WRITEABLE;
    return rights;
}

bool IsSupportedVarType(VARTYPE vt)
{
    const VARTYPE base = vt & 0x0FFF;
    return base <= 12 || (base >= 16 && base <= 19) || base == 72 || base == 256;
}

bool IsVarTypeCompatible(VARTYPE canonical, VARTYPE requested)
{
    if (requested == VT_EMPTY)
        return true;
    if ((canonical & VT_ARRAY) && (canonical & 0x0FFF) == VT_BSTR && (requested & 0x0FFF) != VT_BSTR)
        return false;
    return (canonical & VT_ARRAY) == (requested & VT_ARRAY) && IsSupportedVarType(requested);
}

bool CanConvertVariant(const VARIANT& a, const VARIANT& b)
{
    if (a.vt == b.vt)
        return true;
    const auto numeric = [](VARTYPE vt) { return (vt >= 2 && vt <= 5) || (vt >= 16 && vt <= 23); };
    return numeric(a.vt) && numeric(b.vt);
}

FILETIME DateTimeToFileTimeUTC(double time) { return com::dateTimeToUtcFileTime(time); }

std::string GetOPCLogEventName(int code)
{
    switch (code) {
    case leAsyncRead:
        return "Async Read";
    case leAsyncWrite:
        return "Async Write";
    case leAsyncCancel:
        return "Async Cancel";
    case leAsyncRefresh:
        return "Async Refresh";
    case leAsyncSetEnable:
        return "Async SetEnable";
    case leAsyncGetEnable:
        return "Async GetEnable";
    case leReadComplete:
        return "CallBack ReadComplete";
    case leWriteComplete:
        return "CallBack WriteComplete";
    case leCancelComplete:
        return "CallBack CancelComplete";
    case leDataChange:
        return "CallBack DataChange";
    default:
        return "?";
    }
}

void LogOPCCall(int code, const std::string& source, const std::string& detail)
{
    if (!OPCLogging)
        return;
    const double now = plat::clock().now();
    const std::string name = GetOPCLogEventName(code);
    const std::string time = longTimeText(now);
    // A limit of 0 or below leaves room for the new line only.
    while (static_cast<std::int64_t>(OPCLog.size()) >= OPCNumLogLines && !OPCLog.empty())
        OPCLog.pop_front();
    OPCLog.push_back(name + "\r" + time);
    if (OPCLogToFile) {
        const int ms = plat::decodeDateTime(now).millisecond;
        WriteOPCLogFile(time + ":" + std::to_string(ms) + " " + source + " " + name, detail);
    }
}

bool WriteOPCLogFile(const std::string& line, const std::string& detail)
{
    try {
        const std::string dir = plat::programDir();
        // The program's own file system; an unknown free space does not stop the log.
        const std::int64_t free = plat::freeDiskBytes(dir);
        if (free >= 0 && free < kMinFreeLogBytes)
            return false;
        std::ofstream file(OPCLogFileName(dir, plat::clock().now()), std::ios::binary | std::ios::app);
        if (!file)
            return false;
        file << line << "\r\n";
        if (!detail.empty())
            file << detail << "\r\n";
        file.close();
        return !file.fail();
    } catch (const std::exception&) {
        return false;  // the log never stops a client call
    }
}

std::string OPCLogFileName(const std::string& dir, double now)
{
    std::string date = shortDateText(now);
    std::replace(date.begin(), date.end(), '/', '-');
    return dir + "/OPC_" + date + ".log";
}

}  // namespace opc
