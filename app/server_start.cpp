#include "server_start.h"

#include <QLoggingCategory>
#include <string>

#include "app/settings.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "opc/opc_register.h"

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcStart, "vx.app.start")

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

}  // namespace

TServerStart::TServerStart() : fileCommands_(editor_), validation_(editor_), registrar_(editor_)
{
    editor_.SetValidator(&validation_);
    fileCommands_.SetLoadedTreeCheck(CheckLoadedTree);
    SetRegistrarHooks();
}

TServerStart::~TServerStart()
{
    EndRegistry();
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

TLoadResult TServerStart::LoadConfiguration()
{
    loadResult_ = fileCommands_.LoadConfiguration(TLoadSender::Settings);
    return loadResult_;
}

void TServerStart::CreateRegistry(opc::TMonitorEventHandler onMonitorEvent)
{
    registry_ = std::make_unique<opc::TServer>();
    opc::OPCLockGuard lock(opc::OPCLock);
    registry_->OnMonitorEvent = std::move(onMonitorEvent);
    opc::OPCRegistry = registry_.get();
}

void TServerStart::RegisterConfiguration()
{
    registrar_.RefreshExecute();
    LogStartState();
}

void TServerStart::RegisterServerWhenNeeded()
{
    if (!IsRegistered)
        opc::RegisterServer(opc::kServerProgID, IsRegistered);
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

void TServerStart::SilenceMonitorEvents()
{
    opc::OPCLockGuard lock(opc::OPCLock);
    if (registry_)
        registry_->OnMonitorEvent = nullptr;
}

void TServerStart::EndRegistry()
{
    if (!registry_)
        return;
    opc::OPCLockGuard lock(opc::OPCLock);
    registry_->OnMonitorEvent = nullptr;
    // A client that still holds its objects must not reach the run-time model, which is
    // freed next.
    registry_->DetachItemVariables();
    registry_.reset();
}

}  // namespace vos
