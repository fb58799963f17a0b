// The runtime monitor with sample clients, groups and items.
#include <QApplication>
#include <QItemSelectionModel>
#include <QObject>
#include <QPointer>
#include <QTreeView>
#include <memory>
#include <string>
#include <vector>

#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "editor/frm_runtime.h"
#include "opc/opc_globals.h"
#include "opc/opc_item.h"
#include "platform/clock.h"
#include "scene.h"
#include "tools/bench_common/opc_clients.h"

namespace shots {

namespace {

// One boiler house: its variables in the catalogue, two clients with their groups and items
// on the manual clock. Everything it set up goes with it, so that scenes can follow.
class SamplePlant {
public:
    SamplePlant() : clock_(plat::encodeDate(2026, 3, 14) + 9.5 / 24)
    {
        plat::setClock(&clock_);
        ownComm_ = vx::StationList == nullptr;
        vx::InitializeComm();
        savedWatchLen_ = vx::ArrWatchMaxLen;
        savedWatchOffset_ = vx::ArrWatchOffset;
        vx::ArrWatchMaxLen = 255;  // the settings' default
        vx::ArrWatchOffset = 0;
        BuildVariables();
        registry_ = bench::openRegistry(station_->Variables->items());
    }

    ~SamplePlant()
    {
        {
            opc::OPCLockGuard lock(opc::OPCLock);
            registry_->OnMonitorEvent = nullptr;  // the frame has been destroyed by now
        }
        groups_.clear();
        clients_.clear();
        registry_.reset();
        if (ownComm_)
            vx::FinalizeComm();
        opc::ResetOPCGlobals();
        vx::ArrWatchMaxLen = savedWatchLen_;
        vx::ArrWatchOffset = savedWatchOffset_;
        plat::setClock(nullptr);
    }

    SamplePlant(const SamplePlant&) = delete;
    SamplePlant& operator=(const SamplePlant&) = delete;

    // The clients connect with the frame listening, then report their first values.
    void Connect(vos::TFrm_Runtime& frame)
    {
        QPointer<vos::TFrm_Runtime> guarded(&frame);
        {
            opc::OPCLockGuard lock(opc::OPCLock);
            registry_->OnMonitorEvent = [guarded](int code, opc::TMonitorObject obj) {
                if (guarded)
                    vos::RouteMonitorEvent(*guarded, code, obj);
            };
        }
        IOPCServer* panel = AddClient();
        IOPCServer* logger = AddClient();
        // Named only after its node exists: the monitor renames it.
        com::ComPtr<IOPCCommon> common;
        if (SUCCEEDED(clients_[0].as(common)))
            common->SetClientName(u"Boiler House Panel");

        bench::addItems(AddGroup(panel, u"Fast", true, 250, 0.0f),
                        {{u"Boiler.Burner"}, {u"Boiler.Setpoint"}, {u"Boiler.Temperature"}, {u"Boiler.Profile"}}, 1);
        bench::addItems(AddGroup(panel, u"Slow", true, 1000, 0.5f),
                        {{u"Boiler.LastService"}, {u"Boiler.Operator"}, {u"Boiler.Pressure"}, {u"Boiler.Alarms", false}}, 1);
        bench::addItems(AddGroup(logger, u"Trend", false, 5000, 2.5f), {{u"Boiler.Temperature"}, {u"Boiler.Setpoint"}}, 1);

        // The first due updates report every item; later ones what changed.
        Pulse(250);
        SetValue("Temperature", [](com::Variant& v) { v.setR4(73.25f); });
        Pulse(750);
        SetValue("Temperature", [](com::Variant& v) { v.setR4(73.5f); });
        Pulse(250);
    }

    vx::TVariable* Variable(const std::string& name) const
    {
        for (vx::TVariable* v : *station_->Variables)
            if (v->Name == name)
                return v;
        return nullptr;
    }

private:
    vx::TVariable* AddVariable(const std::string& name, VARTYPE type, int address, int count = 0)
    {
        vx::TVariable* v = station_->AddVariable();
        v->Name = name;
        v->CanonicalType = type;
        v->RequestedType = type;
        v->Zone = 3;
        v->Address = address;
        v->ArrayCount = count;
        v->StringLength = (type & VT_TYPEMASK) == VT_BSTR ? 16 : 0;
        v->InitValue();
        v->Quality = vx::qGood;
        // Simulated with a user value: the monitor may write it.
        v->Forced = true;
        v->SimFunction = 0;
        return v;
    }

    template <class Set>
    void SetValue(const std::string& name, Set set)
    {
        vx::TVariable* v = Variable(name);
        if (!v)
            return;
        set(v->Value);
        v->ClientValue = v->Value;
    }

    void BuildVariables()
    {
        station_ = vx::StationList->AddStation();
        station_->Name = "Boiler";
        vx::TVariable* burner = AddVariable("Burner", VT_BOOL, 10);
        burner->TrueText = "Running";
        burner->FalseText = "Stopped";
        SetValue("Burner", [](com::Variant& v) { v.setBool(true); });
        AddVariable("Setpoint", VT_UI2, 20);
        SetValue("Setpoint", [](com::Variant& v) { v.setUI2(750); });
        AddVariable("Temperature", VT_R4, 22);
        SetValue("Temperature", [](com::Variant& v) { v.setR4(72.5f); });
        AddVariable("LastService", VT_DATE, 30);
        SetValue("LastService", [](com::Variant& v) { v.setDate(plat::encodeDate(2026, 2, 27) + 14.25 / 24); });
        AddVariable("Operator", VT_BSTR, 40);
        SetValue("Operator", [](com::Variant& v) { v.setString(std::string_view("J. Novak")); });
        vx::TVariable* profile = AddVariable("Profile", VT_ARRAY | VT_UI1, 100, 20);
        com::Variant bytes;
        vx::TextToVariant("0;5;10;15;20;25;30;35;40;45;50;55;60;65;70;75;80;85;90;95", VT_ARRAY | VT_UI1, *profile, bytes);
        SetValue("Profile", [&bytes](com::Variant& v) { v = bytes; });
        AddVariable("Alarms", VT_I4, 50);
        SetValue("Alarms", [](com::Variant& v) { v.setI4(3); });
        // Read from the PLC, whose line has failed: its last value with a bad quality.
        vx::TVariable* pressure = AddVariable("Pressure", VT_R4, 24);
        pressure->Forced = false;
        SetValue("Pressure", [](com::Variant& v) { v.setR4(1.25f); });
        pressure->Quality = vx::qCommFailure;
    }

    IOPCServer* AddClient()
    {
        clients_.push_back(bench::newClient());
        return clients_.back().get();
    }

    IOPCItemMgt* AddGroup(IOPCServer* server, const std::u16string& name, bool active, DWORD rate, float deadband)
    {
        groups_.push_back(bench::addGroup(server, {.name = name,
                                                   .active = active,
                                                   .rate = rate,
                                                   .handle = static_cast<OPCHANDLE>(groups_.size() + 1),
                                                   .timeBias = 0,
                                                   .deadband = deadband,
                                                   .sink = sink_.get()}));
        return groups_.back().get();
    }

    void Pulse(std::int64_t ms)
    {
        clock_.advanceMs(ms);
        opc::PulseAllServers(false, clock_.now());
    }

    plat::ManualClock clock_;
    bool ownComm_ = false;
    std::int32_t savedWatchLen_ = 0;
    std::int32_t savedWatchOffset_ = 0;
    vx::TStation* station_ = nullptr;
    bench::Registry registry_;
    std::vector<com::ComPtr<IOPCServer>> clients_;
    std::vector<com::ComPtr<IOPCItemMgt>> groups_;
    // The monitor shows values only of groups with a callback.
    com::ComPtr<bench::CountingSink> sink_ = com::makeCom<bench::CountingSink>();
};

// The first node of the item with id in the tree, in tree order.
vos::TRuntimeNode* FindItemNode(vos::TRuntimeNode* node, const std::string& id)
{
    if (node->Rec.Kind == vos::rnItem && node->Rec.Caption == id)
        return node;
    for (const auto& child : node->Children)
        if (vos::TRuntimeNode* found = FindItemNode(child.get(), id))
            return found;
    return nullptr;
}

// The monitor over the sample plant; with an item named, its value open in the editor, as
// the pop-up menu's command opens it on the selected node.
Scene RuntimeScene(std::string name, std::string editItem)
{
    return {std::move(name), [editItem]() -> std::unique_ptr<QWidget> {
                auto* plant = new SamplePlant;
                auto frame = std::make_unique<vos::TFrm_Runtime>();
                QObject::connect(frame.get(), &QObject::destroyed, [plant] { delete plant; });
                frame->resize(900, 400);
                frame->Init();
                plant->Connect(*frame);
                frame->show();
                QApplication::processEvents();
                if (!editItem.empty()) {
                    if (vos::TRuntimeNode* node = FindItemNode(frame->RootNode(), editItem)) {
                        const QModelIndex index = frame->RTreeModel().IndexOf(node);
                        frame->VST_RTree->setCurrentIndex(index);
                        frame->VST_RTree->selectionModel()->select(
                            index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
                        frame->PMnu_EditItemValueClick();
                        QApplication::processEvents();
                    }
                }
                return frame;
            }};
}

}  // namespace

std::vector<Scene> RuntimeScenes()
{
    return {
        RuntimeScene("Frm_Runtime-clients", ""),
        RuntimeScene("Frm_Runtime-edit-text", "Boiler.Profile"),
        RuntimeScene("Frm_Runtime-edit-list", "Boiler.Burner"),
        RuntimeScene("Frm_Runtime-edit-number", "Boiler.Temperature"),
    };
}

}  // namespace shots
