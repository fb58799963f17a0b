#include "opc_globals.h"

namespace opc {

const TItemPropertyInfo ItemPropertyNames[kItemPropertyCount] = {};
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

TServer::TServer() {}
TServer::~TServer() {}
void TServer::AddItem(const TItemProps&) {}
void TServer::ClearItems() {}
void TServer::SortItems() {}
Titem* TServer::FindItem(std::string_view, std::int32_t& index) { index = 0; return nullptr; }
void TServer::NotifyMonitor(int, TMonitorObject) {}
void TServer::ShutdownClients() {}
void TServer::DetachItemVariables() {}
void TServer::RelinkItems() {}
vx::TVariable* TServer::ResolveItemVariable(const std::string&) { return nullptr; }
void TServer::SetStateAndFastestUpdateInterval(vx::TVariable*) {}
void TServer::RerateVariable(vx::TVariable*) {}
void TServer::VariableRequestDone(vx::TVariable*) {}
std::int32_t TServer::TotalGroupCount() const { return 0; }
bool TServer::HasServer(const TDA2*) const { return false; }

void ResetOPCGlobals() {}
Titem* FindItemByID(const std::string&, std::int32_t& propertyID) { propertyID = 0; return nullptr; }
void UpdateFastestUpdateInterval() {}
void PulseAllServers(bool, double) {}
std::int32_t ParseItemID(std::string&) { return 0; }
std::int32_t SplitString(std::string_view, std::string_view, std::vector<std::string>&) { return 0; }
bool IsReservedItemName(std::string_view) { return false; }
const TItemPropertyInfo* FindItemProperty(std::int32_t) { return nullptr; }
std::string GetItemPropertyName(std::int32_t) { return {}; }
VARTYPE GetItemPropertyVarType(std::int32_t) { return 0; }
DWORD GetAccessRights(const TItemProps&) { return 0; }
bool IsSupportedVarType(VARTYPE) { return false; }
bool IsVarTypeCompatible(VARTYPE, VARTYPE) { return false; }
bool CanConvertVariant(const VARIANT&, const VARIANT&) { return false; }
FILETIME DateTimeToFileTimeUTC(double) { return {}; }
std::string GetOPCLogEventName(int) { return {}; }
void LogOPCCall(int, const std::string&, const std::string&) {}
bool WriteOPCLogFile(const std::string&, const std::string&) { return false; }
std::string OPCLogFileName(const std::string&, double) { return {}; }

}  // namespace opc
