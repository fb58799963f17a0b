#include "tools/bench_common/opc_clients.h"

#include <algorithm>
#include <utility>

#include "comm/vx_classes.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "opc/opc_server.h"
#include "platform/com/alloc.h"
#include "platform/text.h"

namespace bench {

namespace {

std::string stationName(int station) { return "Station" + std::to_string(station); }

std::string variableName(int variable) { return "Var" + std::to_string(variable); }

}  // namespace

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

HRESULT CountingSink::OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*,
                                   FILETIME*, HRESULT*)
{
    ++calls;
    values += count;
    return S_OK;
}

HRESULT CountingSink::OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                     HRESULT*)
{
    return S_OK;
}

HRESULT CountingSink::OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) { return S_OK; }

HRESULT CountingSink::OnCancelComplete(DWORD, OPCHANDLE) { return S_OK; }

std::vector<vx::TVariable*> addPlant(int stations, int perStation, const VariableMaker& make)
{
    std::vector<vx::TVariable*> variables;
    variables.reserve(static_cast<std::size_t>(stations) * static_cast<std::size_t>(perStation));
    for (int s = 0; s < stations; ++s) {
        vx::TStation* st = vx::StationList->AddStation();
        st->Name = stationName(s);
        for (int i = 0; i < perStation; ++i)
            variables.push_back(make(st, variableName(i), i));
    }
    return variables;
}

void RegistryCloser::operator()(opc::TServer* registry) const
{
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        if (opc::OPCRegistry == registry)
            opc::OPCRegistry = nullptr;
    }
    delete registry;
}

Registry openRegistry(const std::vector<vx::TVariable*>& variables)
{
    Registry registry(new opc::TServer);
    opc::OPCLockGuard lock(opc::OPCLock);
    opc::OPCRegistry = registry.get();
    for (vx::TVariable* v : variables)
        registry->AddItem({v->GetFullName(), v->RequestedType, v->Readable, v->Writable, v});
    registry->SortItems();
    return registry;
}

com::ComPtr<IOPCServer> newClient()
{
    auto object = com::makeCom<opc::TDA2>();
    com::ComPtr<IOPCServer> server;
    object.as(server);
    return server;
}

com::ComPtr<IOPCItemMgt> addGroup(IOPCServer* server, const GroupSpec& spec)
{
    if (!server)
        return {};
    LONG bias = spec.timeBias.value_or(0);
    float deadband = spec.deadband.value_or(0.0f);
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    server->AddGroup(spec.name.c_str(), spec.active, spec.rate, spec.handle, spec.timeBias ? &bias : nullptr,
                     spec.deadband ? &deadband : nullptr, LOCALE_SYSTEM_DEFAULT, &handle, &revised, IID_IOPCItemMgt, &unk);
    auto group = com::ComPtr<IOPCItemMgt>::attach(static_cast<IOPCItemMgt*>(unk));
    if (group && spec.sink) {
        com::ComPtr<IConnectionPointContainer> container;
        com::ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        if (SUCCEEDED(group.as(container)) && SUCCEEDED(container->FindConnectionPoint(IID_IOPCDataCallback, point.put())))
            point->Advise(spec.sink, &cookie);
    }
    return group;
}

HRESULT addItems(IOPCItemMgt* group, std::vector<ItemSpec> items, OPCHANDLE firstHandle)
{
    if (!group)
        return E_POINTER;
    std::vector<OPCITEMDEF> defs(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = items[i].id.data();
        defs[i].bActive = items[i].active;
        defs[i].hClient = static_cast<OPCHANDLE>(firstHandle + i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = group->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return hr;
}

HRESULT addPlantItems(IOPCItemMgt* group, int first, int count, int perStation)
{
    std::vector<ItemSpec> items;
    items.reserve(static_cast<std::size_t>(count));
    for (int i = first; i < first + count; ++i)
        items.push_back({plat::utf8ToUtf16(stationName(i / perStation) + "." + variableName(i % perStation))});
    return addItems(group, std::move(items), static_cast<OPCHANDLE>(first));
}

}  // namespace bench
