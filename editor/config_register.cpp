#include "config_register.h"

#include <QLoggingCategory>
#include <algorithm>
#include <exception>
#include <unordered_map>
#include <utility>

#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_hook.h"
#include "comm/vx_lunaro.h"
#include "comm/vx_modem.h"
#include "comm/vx_socket.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "config_editor.h"
#include "config_settings.h"
#include "opc/opc_globals.h"
#include "platform/text.h"

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcRegister, "vx.editor.register")

constexpr std::int32_t kPrimaryMaxRedials = 3;

bool IsModemServiceCode(std::int32_t code)
{
    return code == vx::vkModStatus || code == vx::vkModStatusStr || code == vx::vkModModemType;
}

void CopyConnection(vx::TConnectionParams& to, std::int32_t port, std::int32_t baud, std::int32_t parity,
                    std::int32_t type, const std::string& ip, std::int32_t bus, std::int32_t timeout)
{
    to.PortNumber = port;
    to.BaudRate = baud;
    to.Parity = static_cast<std::uint8_t>(parity & 0xFF);
    to.ConnectionType = type;
    to.IPAddress = ip;
    to.BusAddress = bus;
    to.Timeout = timeout;
}

// The node's names from the top level down, for the log.
std::string NodePath(const TConfigNode& node)
{
    std::string path = node.Rec().Name;
    for (const TConfigNode* p = node.Parent(); p && !p->IsRoot(); p = p->Parent())
        path = p->Rec().Name + "." + path;
    return path;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string OwnerName(const vx::TVariable& v) { return v.Owner ? v.Owner->Name : std::string(); }

}  // namespace

void TConfigRegistrar::Note(std::string text)
{
    qCWarning(lcRegister, "%s", text.c_str());
    notes_.push_back(std::move(text));
}

void TConfigRegistrar::RefreshExecute()
{
    notes_.clear();
    registered_.clear();
    if (!vx::CommServer || !vx::StationList || !vx::ComList || !vx::ModemList || !vx::SocketList || !vx::UdpSocket ||
        !vx::LunaroChannel) {
        Note("registering skipped: the communication library is not initialised");
        return;
    }

    // A cancelled or failed save does not stop registering.
    if (editor_.Tree().NodeCount() > 1 && editor_.Modified() && hooks_.SaveConfiguration)
        hooks_.SaveConfiguration();
    CfgFileNames().SaveCfgFileName();
    // No OPC object may refer to anything the next steps free.
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        if (opc::OPCRegistry) {
            opc::OPCRegistry->DetachItemVariables();
            opc::OPCRegistry->ClearItems();
        }
    }
    // Records in WasRunning whether communication ran.
    if (!vx::CommServer->StopCommunication())
        Note("a channel did not stop cleanly; its stations are freed all the same");
    ReleaseWaitingTransactions();
    vx::UdpSocket->ClearStations();
    vx::LunaroChannel->ClearStations();
    vx::ComList->Clear();
    vx::ModemList->Clear();
    vx::SocketList->Clear();
    vx::StationList->Clear();
    BuildRuntimeObjects(*editor_.Tree().Root(), nullptr);
    SortRuntimeObjects();
    if (hooks_.FillComList)
        hooks_.FillComList();
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        if (opc::OPCRegistry) {
            opc::OPCRegistry->ClearItems();
            for (const auto& station : *vx::StationList)
                RegisterCatalogue(*station);
            for (const auto& modem : *vx::ModemList)
                RegisterCatalogue(*modem);
            opc::OPCRegistry->SortItems();
            DropDuplicateItems();
        }
    }
    registered_.clear();
    if (vx::CommServer->WasRunning)
        vx::CommServer->StartCommunication();
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        if (opc::OPCRegistry)
            opc::OPCRegistry->RelinkItems();
    }
    // The configuration is now the registered one.
    editor_.SetRegisterEnabled(false);
}

void TConfigRegistrar::ReleaseWaitingTransactions()
{
    // Stopping the channels freed every request with its hook; a transaction still listed
    // here would outlive its variable and unlink itself from freed memory later.
    if (!vx::OnVariableRequestDone)
        return;
    auto release = [](const vx::TParentTreeObject& holder) {
        if (!holder.Variables)
            return;
        for (vx::TVariable* v : *holder.Variables)
            if (!v->WaitingTransactions.empty())
                vx::OnVariableRequestDone(v);
    };
    for (const auto& station : *vx::StationList)
        release(*station);
    for (const auto& modem : *vx::ModemList)
        release(*modem);
}

void TConfigRegistrar::BuildRuntimeObjects(const TConfigNode& node, vx::TParentTreeObject* parent)
{
    for (int i = 0; i < node.ChildCount(); ++i) {
        const TConfigNode& child = *node.Child(i);
        const TConfigNodeRec& rec = child.Rec();
        switch (rec.Kind) {
        case nkServer:
            BuildRuntimeObjects(child, nullptr);
            break;
        case nkStation:
            BuildRuntimeObjects(child, BuildStation(rec));
            break;
        case nkFolder: {
            vx::TFolder* folder = parent ? parent->AddFolder(0) : nullptr;
            if (!folder) {
                SkipSubtree(child, "has no station, folder or modem above it");
                break;
            }
            folder->Name = rec.Name;
            folder->ID = rec.Ordinal;
            BuildRuntimeObjects(child, folder);
            break;
        }
        case nkModem: {
            vx::TModem* modem = vx::ModemList->AddModem();
            modem->Name = rec.Name;
            modem->Comment = rec.Comment;
            modem->ID = rec.Ordinal;
            try {
                modem->SetPortNumber(rec.ComPort);
            } catch (const std::exception& e) {
                Note("modem " + Quoted(NodePath(child)) + ": " + e.what());
            }
            BuildRuntimeObjects(child, modem);
            break;
        }
        case nkVariable:
            if (!parent) {
                SkipSubtree(child, "has no station, folder or modem above it");
                break;
            }
            BuildVariable(rec, *parent);
            // A variable holds nothing; what the editor's paste put under it stays unbuilt.
            for (int k = 0; k < child.ChildCount(); ++k)
                SkipSubtree(*child.Child(k), "lies under a variable");
            break;
        default:
            SkipSubtree(child, ("is of unknown kind " + std::to_string(rec.Kind)).c_str());
            break;
        }
    }
}

void TConfigRegistrar::SkipSubtree(const TConfigNode& node, const char* why)
{
    Note("node " + Quoted(NodePath(node)) + " " + why + ": skipped with its subtree");
}

vx::TStation* TConfigRegistrar::BuildStation(const TConfigNodeRec& rec)
{
    vx::TStation* st = vx::StationList->AddStation();
    st->Name = rec.Name;
    st->Comment = rec.Comment;
    st->ID = rec.Ordinal;
    CopyConnection(*st->Primary, rec.ComPort, rec.BaudRate, rec.Parity, rec.ConnectionType, rec.IpAddress,
                   rec.BusAddress, rec.Timeout);
    st->Primary->MaxRedials = kPrimaryMaxRedials;
    CopyConnection(*st->Standby, rec.StandbyComPort, rec.StandbyBaudRate, rec.StandbyParity,
                   rec.StandbyConnectionType, rec.StandbyIpAddress, rec.StandbyBusAddress, rec.StandbyTimeout);
    st->SetPlcFamily(rec.StationType);
    try {
        switch (st->GetConnParams().ConnectionType) {
        case vx::ctSerial:
            vx::ComList->GetChannelForStation(st);
            break;
        case vx::ctModem:
            // Waits blocked; its modem attaches it when it dials.
            st->SetState(vx::ssBlocked);
            break;
        case vx::ctUdp:
            vx::UdpSocket->AddStation(st);
            break;
        case vx::ctLunaro:
            vx::LunaroChannel->AddStation(st);
            break;
        case vx::ctTcp:
            vx::SocketList->AssignStation(st);
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        Note("station " + Quoted(rec.Name) + ": no channel: " + e.what());
    }
    return st;
}

void TConfigRegistrar::BuildVariable(const TConfigNodeRec& rec, vx::TParentTreeObject& parent)
{
    vx::TVariable* v = parent.AddVariable();
    if (!v) {
        Note("variable " + Quoted(rec.Name) + " of " + Quoted(parent.Name) + ": nothing can hold it; skipped");
        return;
    }
    v->Name = rec.Name;
    v->Comment = rec.Comment;
    v->ID = rec.Ordinal;
    if (rec.Zone == vx::kConfigZoneM) {
        v->PlaceInZoneM(rec.Address);
    } else {
        v->Zone = rec.Zone;
        v->Address = rec.Address;
    }
    v->BitNumber = rec.BitNumber;
    v->CanonicalType = static_cast<VARTYPE>(rec.VarType);
    v->Readable = rec.Readable != 0;
    v->Writable = rec.Writable != 0;
    v->Units = rec.Units;
    v->StringLength = rec.StringLength;
    v->ArrayCount = rec.ArrayLength;
    // The record's whole number: a type that only looks scalable in its low 16 bits is not.
    v->SetScaled(rec.Scaled != 0 && rec.VarType == v->CanonicalType);
    v->RawLow = rec.InstrumentLow;
    v->RawHigh = rec.InstrumentHigh;
    v->EuLow = rec.ScaledLow;
    v->EuHigh = rec.ScaledHigh;
    v->TrueText = rec.CloseLabel;
    v->FalseText = rec.OpenLabel;
    v->HiHiLimit = rec.HiHiLimit;
    v->HiLimit = rec.HiLimit;
    v->LoLimit = rec.LoLimit;
    v->LoLoLimit = rec.LoLoLimit;
    v->RequestedType = v->GetScaled() ? static_cast<VARTYPE>(rec.ScaledVarType) : v->CanonicalType;
    v->SetForced(rec.Simulated != 0);
    v->SimFunction = rec.SimulationType;
    v->SimLow = rec.SimulationMin;
    v->SimHigh = rec.SimulationMax;
    v->SimPeriod = rec.SimulationPeriod;
    v->SimStep = rec.SimulationGain;
    v->SetKind(rec.ServiceCode);
    v->InitialValue = rec.InitialValue;

    // A station's code binds only with a station above, a modem's only directly under a
    // modem: the wrong owner would be called as what it is not.
    const char* misplaced = nullptr;
    if (vx::TStation::IsStationServiceKind(rec.ServiceCode)) {
        vx::TStation* st = v->GetStation();
        if (!st || !st->BindServiceVariable(v))
            misplaced = "a station";
    } else if (IsModemServiceCode(rec.ServiceCode)) {
        if (parent.ObjectType != vx::otModem) {
            misplaced = "a modem";
        } else {
            auto& modem = static_cast<vx::TModem&>(parent);
            if (rec.ServiceCode == vx::vkModStatus)
                modem.StatusVariable = v;
            else if (rec.ServiceCode == vx::vkModStatusStr)
                modem.StatusTextVariable = v;
            else
                modem.ModemTypeVariable = v;
        }
    }

    v->InitValue();
    if (vx::ArrayTooLarge(*v))
        Note("variable " + Quoted(v->GetFullName()) + ": an array of " + std::to_string(rec.ArrayLength) +
             " elements of type " + std::to_string(rec.VarType) + " is larger than a zone holds; it has no value");
    if (misplaced) {
        v->SetQuality(vx::qConfigError);
        Note("variable " + Quoted(v->GetFullName()) + ": service code " + std::to_string(rec.ServiceCode) +
             " belongs to " + misplaced + " above it; left unbound");
    }
}

void TConfigRegistrar::SortRuntimeObjects()
{
    vx::StationList->SortByName();
    // One collation key per name rather than two conversions per comparison.
    std::vector<std::pair<plat::TextSortKey, vx::TVariable*>> keyed;
    for (const auto& station : *vx::StationList) {
        auto& list = station->Variables->items();
        keyed.clear();
        keyed.reserve(list.size());
        for (vx::TVariable* v : list)
            keyed.emplace_back(plat::textSortKeyLocale(v->Name), v);
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 0; i < keyed.size(); ++i)
            list[i] = keyed[i].second;
    }
}

void TConfigRegistrar::RegisterCatalogue(vx::TParentTreeObject& object)
{
    if (!opc::OPCRegistry || !object.Variables)
        return;
    for (vx::TVariable* v : *object.Variables) {
        opc::OPCRegistry->AddItem({v->GetFullName(), v->RequestedType, v->Readable, v->Writable, v});
        registered_.push_back(v);
    }
}

void TConfigRegistrar::DropDuplicateItems()
{
    auto& items = opc::OPCRegistry->Items;
    // Sorted, equal IDs stand side by side, whatever order the unstable sort gave them.
    std::unordered_map<const vx::TVariable*, std::size_t> order;
    std::vector<bool> drop(items.size(), false);
    bool any = false;
    for (std::size_t first = 0; first < items.size();) {
        std::size_t end = first + 1;
        while (end < items.size() && plat::compareTextLocale(items[first].ItemID, items[end].ItemID) == 0)
            ++end;
        if (end - first > 1) {
            if (order.empty())
                for (std::size_t i = 0; i < registered_.size(); ++i)
                    order.emplace(registered_[i], i);
            std::size_t keep = first;
            for (std::size_t i = first + 1; i < end; ++i)
                if (order[items[i].Variable] < order[items[keep].Variable])
                    keep = i;
            for (std::size_t i = first; i < end; ++i) {
                if (i == keep)
                    continue;
                drop[i] = true;
                any = true;
                const vx::TVariable& gone = *items[i].Variable;
                const vx::TVariable& kept = *items[keep].Variable;
                Note("item ID " + Quoted(items[i].ItemID) + " of variable " + Quoted(gone.Name) + " in " +
                     Quoted(OwnerName(gone)) + " is not offered: the catalogue holds it for variable " +
                     Quoted(kept.Name) + " in " + Quoted(OwnerName(kept)) + " as " + Quoted(items[keep].ItemID));
            }
        }
        first = end;
    }
    if (!any)
        return;
    std::size_t out = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (drop[i])
            continue;
        if (out != i)
            items[out] = std::move(items[i]);
        ++out;
    }
    items.resize(out);
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i].Handle = opc::kFirstCatalogueHandle + static_cast<std::int32_t>(i);
}

}  // namespace vos
