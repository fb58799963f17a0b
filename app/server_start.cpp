#include "server_start.h"

#include <QLoggingCategory>
#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>

#include "app/settings.h"
#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_notify.h"
#include "opc/opc_register.h"
#include "platform/clock.h"

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcStart, "vx.app.start")

// The pulse timer's period before the first recomputation.
constexpr int kInitialPulseInterval = 200;

int TimerInterval(std::uint32_t ms)
{
    return static_cast<int>(std::min<std::uint32_t>(ms, std::numeric_limits<int>::max()));
}

struct TNodeCounts {
    int Stations = 0;
    int Modems = 0;
    int Variables = 0;
};

TNodeCounts CountNodes(const TConfigTree& tree)
{
    TNodeCounts n;
    for (const TConfigNode* node : tree) {
        switch (node->Rec().Kind) {
        case nkStation:
            ++n.Stations;
            break;
        case nkModem:
            ++n.Modems;
            break;
        case nkVariable:
            ++n.Variables;
            break;
        default:
            break;
        }
    }
    return n;
}

// What reaches the message loop from a timer: shown only when ShowMessages is on; the
// program goes on either way.
void ReportTickFailure(const char* what)
{
    const std::string text = std::string("pulse tick failed: ") + what;
    qCWarning(lcStart, "%s", text.c_str());
    if (vx::ShowMessages)
        vx::NotifyMessage(vx::TMessageKind::Error, text);
}

}  // namespace

TServerStart::TServerStart() : fileCommands_(editor_), validation_(editor_), registrar_(editor_)
{
    editor_.SetValidator(&validation_);
    fileCommands_.SetLoadedTreeCheck(CheckLoadedTree);
    SetRegistrarHooks();
}

TServerStart::~TServerStart()
{
    Shutdown();
    editor_.SetValidator(nullptr);
}

void TServerStart::SetRegistrarHooks()
{
    // The same file commands as the editor's own save: after a failed load it asks for a
    // name instead of writing over the file that failed.
    registrar_.SetHooks({[this] { fileCommands_.SaveConfiguration(TSaveSender::Save); }, fillComList_});
}

void TServerStart::SetFillComList(std::function<void()> fill)
{
    fillComList_ = std::move(fill);
    SetRegistrarHooks();
}

void TServerStart::Start()
{
    if (started_)
        return;
    started_ = true;

    loadResult_ = fileCommands_.LoadConfiguration(TLoadSender::Settings);

    registry_ = std::make_unique<opc::TServer>();
    registry_->OnMonitorEvent = [this](int code, opc::TMonitorObject obj) { OnMonitorEvent(code, obj); };
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        opc::OPCRegistry = registry_.get();
    }

    registrar_.RefreshExecute();
    LogStartState();

    if (!IsRegistered)
        opc::RegisterServer(opc::kServerProgID, IsRegistered);

    opc::PulseEnabled = true;
    pulseTimer_ = plat::timers().createTimer();
    pulseTimer_->onTimer = [this] { PulseTick(); };
    pulseTimer_->setInterval(kInitialPulseInterval);
    pulseTimer_->setEnabled(true);
}

void TServerStart::LogStartState() const
{
    const std::string& file = vx::CfgFileName;
    const TNodeCounts n = CountNodes(editor_.Tree());
    switch (loadResult_) {
    case TLoadResult::Loaded:
        qCInfo(lcStart, "Configuration loaded from %s: %d stations, %d modems, %d variables", file.c_str(), n.Stations,
               n.Modems, n.Variables);
        break;
    case TLoadResult::NewFile:
        if (IsUntitledConfig())
            qCInfo(lcStart, "No configuration file named in the settings: an empty untitled configuration (%s)",
                   file.c_str());
        else
            qCInfo(lcStart, "Configuration file %s not found: an empty configuration", file.c_str());
        break;
    default:
        qCInfo(lcStart, "Configuration %s not loaded: an empty configuration", file.c_str());
        break;
    }
    const std::size_t items = registry_ ? registry_->Items.size() : 0;
    qCInfo(lcStart, "Configuration registered: %zu stations, %zu items in the catalogue; communication starts with "
                    "the first item a client adds",
           vx::StationList ? vx::StationList->size() : 0, items);
}

void TServerStart::OnMonitorEvent(int code, opc::TMonitorObject obj)
{
    if (code < opc::meGroupAdded || code > opc::meItemActivated)
        return;
    if (monitorHook_)
        monitorHook_(code, obj);
    if (code == opc::meItemAdded && vx::CommServer && !vx::CommServer->Running) {
        qCInfo(lcStart, "A client added its first item: communication started");
        vx::CommServer->StartCommunication();
    }
}

void TServerStart::PulseTick()
{
    if (!pulseTimer_)
        return;
    opc::UpdateFastestUpdateInterval();
    pulseTimer_->setInterval(TimerInterval(opc::FastestUpdateInterval));
    if (!opc::PulseEnabled)
        return;
    // Off while it works: a call to a client may run the message loop, and no tick may run
    // inside another.
    pulseTimer_->setEnabled(false);
    try {
        if (opc::OPCRegistry)
            opc::PulseAllServers(false, plat::clock().now());
    } catch (const std::exception& e) {
        ReportTickFailure(e.what());
    } catch (...) {
        ReportTickFailure("unknown exception");
    }
    // Shutdown may have come meanwhile and taken the timer.
    if (pulseTimer_)
        pulseTimer_->setEnabled(true);
}

void TServerStart::Shutdown()
{
    if (shutDown_ || !started_)
        return;
    shutDown_ = true;
    pulseTimer_.reset();
    if (vx::CommServer && vx::CommServer->Running)
        vx::CommServer->StopCommunication();
    if (registry_) {
        opc::OPCLockGuard lock(opc::OPCLock);
        // The runtime monitor is gone by now; nothing is to hear of the teardown.
        registry_->OnMonitorEvent = nullptr;
        // A client that still holds its objects must not reach the run-time model, which
        // is freed next.
        registry_->DetachItemVariables();
        registry_.reset();
    }
}

}  // namespace vos
