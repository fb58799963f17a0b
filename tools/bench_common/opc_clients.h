// In-process OPC clients for the programs that drive the server directly: a plant of simulated
// stations in the catalogue, clients, their groups and items through the server's own
// interfaces, a data callback that counts what it gets, and timing on the steady clock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/opcda.h"
#include "platform/com/unknown.h"

namespace vx {
class TStation;
class TVariable;
}  // namespace vx

namespace opc {
class TServer;
}  // namespace opc

namespace bench {

// The large plant the OPC benchmarks drive: 100,000 variables (ten stations of 10,000) and ten
// clients holding 1,000 groups of 100 items, every variable used by one item.
namespace large_plant {
inline constexpr int kStations = 10;
inline constexpr int kVariablesPerStation = 10000;
inline constexpr int kClients = 10;
inline constexpr int kGroupsPerClient = 100;
inline constexpr int kItemsPerGroup = 100;
inline constexpr DWORD kRate = 1000;  // ms
}  // namespace large_plant

using Clock = std::chrono::steady_clock;

// Milliseconds on the steady clock since start.
double msSince(Clock::time_point start);

// The middle sample (the upper one of an even count); samples not empty.
double median(std::vector<double> samples);

// A data callback that counts what it gets and keeps nothing: the server reports values only
// to a group with a callback.
class CountingSink : public com::ComObject<IOPCDataCallback> {
public:
    long long calls = 0;
    long long values = 0;

    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                         HRESULT*) override;
    HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                           HRESULT*) override;
    HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override;
    HRESULT OnCancelComplete(DWORD, OPCHANDLE) override;
};

// Makes one variable of a station, given its name and its address.
using VariableMaker = std::function<vx::TVariable*(vx::TStation* st, const std::string& name, int address)>;

// Stations "Station0", "Station1", ... of perStation variables "Var0", "Var1", ... each, made by
// make with the variable's number as its address; every variable, station by station. Call
// after vx::InitializeComm().
std::vector<vx::TVariable*> addPlant(int stations, int perStation, const VariableMaker& make);

// Withdraws the registry from OPCRegistry (under OPCLock) and frees it.
struct RegistryCloser {
    void operator()(opc::TServer* registry) const;
};
using Registry = std::unique_ptr<opc::TServer, RegistryCloser>;

// A registry with the variables in its catalogue, readable and writable as they are; it is
// OPCRegistry until it goes.
Registry openRegistry(const std::vector<vx::TVariable*>& variables);

// A new in-process client: a server object, through its IOPCServer.
com::ComPtr<IOPCServer> newClient();

struct GroupSpec {
    std::u16string name{};
    bool active = true;
    DWORD rate = 1000;  // ms
    OPCHANDLE handle = 1;  // the client's
    std::optional<LONG> timeBias{};  // none: the server's own
    std::optional<float> deadband{};  // percent; none: 0
    IOPCDataCallback* sink = nullptr;  // advised on the group when given
};

// Adds a group; its item management, null when the server refused it.
com::ComPtr<IOPCItemMgt> addGroup(IOPCServer* server, const GroupSpec& spec);

struct ItemSpec {
    std::u16string id;
    bool active = true;
};

// Adds the items with the client handles firstHandle, firstHandle + 1, ... and frees what the
// call hands back; the call's result, E_POINTER without a group.
HRESULT addItems(IOPCItemMgt* group, std::vector<ItemSpec> items, OPCHANDLE firstHandle);

// Adds the plant's variables [first, first + count) (numbered across stations of perStation
// variables) as active items, each with its number as client handle; the call's result.
HRESULT addPlantItems(IOPCItemMgt* group, int first, int count, int perStation);

}  // namespace bench
