#pragma once
// The program's start on the manual clock and scheduler, offscreen: a settings file in a
// scratch folder, the server's objects and the main window created and started as the program
// entry does, the message dialog and the error box answered and recorded, serial lines that
// hear nothing, and an OPC client in this process.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/inifile.h"
#include "app/main_frames.h"
#include "app/main_window.h"
#include "app/server_start.h"
#include "app/settings.h"
#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_def.h"
#include "comm/vx_hook.h"
#include "comm/vx_msgdlg.h"
#include "comm/vx_notify.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "platform/clock.h"
#include "platform/com/catmgr.h"
#include "platform/com/locale.h"
#include "platform/com/registry.h"
#include "platform/com/runtime.h"
#include "platform/text.h"
#include "platform/timers.h"
#include "tests/com/alloc_balance.h"
#include "tests/comm/quiet_port.h"
#include "tests/opc/opc_client.h"
#include "tools/cfggen/cfggen.h"

namespace apptest {

inline std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void Put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The log lines of the program's own categories are kept for the tests; the editor's and the
// dialog's stay off the output.
inline std::vector<std::string>* keptLog = nullptr;
inline QtMessageHandler previousLogHandler = nullptr;
inline void KeepLog(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const std::string category = context.category ? context.category : "";
    if (category.starts_with("vx.app.") && keptLog) {
        keptLog->push_back(text.toStdString());
        return;
    }
    if (category.starts_with("vx.editor.") || category == "vx.msgdlg")
        return;
    if (previousLogHandler)
        previousLogHandler(type, context, text);
}

// A tray that is there, or not, as the test says; clicks come from the test.
class TrayStandIn final : public vos::TTrayIcon {
public:
    explicit TrayStandIn(bool* available) : available_(available) {}
    bool Available() const override { return *available_; }
    void Click()
    {
        if (OnClick)
            OnClick();
    }

private:
    bool* available_;
};

// Answers every file dialog of the editor's commands: a file name, or cancelled.
class FileDialogAnswer final : public vos::TConfigFileUi {
public:
    std::optional<std::string> SaveFileDialog(const vos::TFileDialogRequest& request) override
    {
        requests.push_back(request);
        return saveAs;
    }
    std::optional<std::string> saveAs;  // nullopt: cancelled
    std::vector<vos::TFileDialogRequest> requests;
};

class MainFixture : public comtest::TaskAllocBalance {
protected:
    MainFixture() : clock(46365.5), scheduler(clock) {}

    void SetUp() override
    {
        comtest::TaskAllocBalance::SetUp();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(SUCCEEDED(apartment.result()));
        keptLog = &log;
        previousLogHandler = qInstallMessageHandler(KeepLog);
        plat::setClock(&clock);
        plat::setTimerFactory(&scheduler);
        vx::SetComPortFactory([this] { return std::make_unique<chantest::QuietPort>(&portOpens); });
        vx::ResetSettings();
        vos::ResetAppSettings();
        opc::ResetOPCGlobals();
        plat::setCollationLocale("en_US");
        com::classesRoot().deleteTree(u"");
        ASSERT_EQ(com::registerComponentCategoriesManager(&managerCookie), S_OK);
        vx::SetMessageDlgAnswer([this](const std::string& text, vx::TMsgDlgType, vx::TMsgDlgButtons buttons) {
            dialogs.push_back(text);
            if (onDialog)
                return onDialog(text, buttons);
            return buttons == vx::mbOKOnly ? int(vx::mrOk) : int(vx::mrCancel);
        });
        vx::InitializeComm();
    }

    void TearDown() override
    {
        if (sink)
            sink->onCall = nullptr;
        group.release();
        client.reset();
        sink = nullptr;
        // As the program ends: the window's destruction, the registry's end, the singletons.
        if (window)
            window->FormDestroy();
        window.reset();
        server.reset();
        QCoreApplication::sendPostedEvents();
        vx::OnVariableRequestDone = nullptr;
        vx::FinalizeComm();
        vx::SetComPortFactory(nullptr);
        vx::SetMessageNotifier({});
        vx::SetMessageDlgAnswer({});
        vos::SetSettingsNotifier({});
        vos::AttachConfigFileNames(nullptr);
        if (managerCookie)
            CoRevokeClassObject(managerCookie);
        com::classesRoot().deleteTree(u"");
        vx::ResetSettings();
        vos::ResetAppSettings();
        opc::ResetOPCGlobals();
        com::setProcessLocale(com::ProcessLocale::english());
        plat::setCollationLocale("");
        plat::setTimerFactory(nullptr);
        plat::setClock(nullptr);
        qInstallMessageHandler(previousLogHandler);
        keptLog = nullptr;
        comtest::TaskAllocBalance::TearDown();
    }

    std::string PathOf(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }

    vos::TMainWindowSeams Seams()
    {
        vos::TMainWindowSeams seams;
        seams.CreateTray = [this](QObject*) -> std::unique_ptr<vos::TTrayIcon> {
            if (!withTray)
                return nullptr;
            auto t = std::make_unique<TrayStandIn>(&trayAvailable);
            tray = t.get();
            return t;
        };
        seams.ErrorBox = [this](const std::string& text) { errorBoxes.push_back(text); };
        seams.EndApplication = [this] { ++ends; };
        seams.UtcOffset = [this] { return utcOffset; };
        seams.TraceMonitor = true;
        return seams;
    }

    // The program's start on the settings file: F_Main made, created and shown.
    void StartOn(const std::string& settingsFile)
    {
        vx::IniFileName = settingsFile;
        server = std::make_unique<vos::TServerStart>();
        window = std::make_unique<vos::TF_Main>(*server, headless, Seams());
        window->FormCreate();
        window->ShowMainWindow();
    }
    void StartWithSettings(const std::string& ini)
    {
        Put(PathOf("VornOPCServer.ini"), ini);
        StartOn(PathOf("VornOPCServer.ini"));
    }
    // A registered server in English on a configuration of this description; none: untitled.
    void StartOnConfig(const std::string& description, const std::string& extraSettings = "")
    {
        std::string ini = "[Main]\nLanguage=1\nIsRegistered=1\n" + extraSettings;
        if (!description.empty()) {
            Put(PathOf("Plant.cfg"), cfggen::fromDescription(description));
            ini += "CfgFileName=Plant.cfg\n";
        }
        StartWithSettings(ini);
    }
    // The demo as the build lays it out: Demo.cfg written by the generator from its
    // description, the shipped Demo.ini beside it.
    void StartOnDemo()
    {
        Put(PathOf("Demo.cfg"), cfggen::fromDescription(Slurp(VX_DEMO_DESCRIPTION)));
        Put(PathOf("Demo.ini"), Slurp(VX_DEMO_SETTINGS));
        StartOn(PathOf("Demo.ini"));
    }

    // A client with one active group at rate ms holding the items, its data changes in sink.
    std::vector<OPCHANDLE> Connect(const std::vector<std::string>& ids, DWORD rate = 100)
    {
        client = std::make_unique<opctest::TestClient>();
        sink = com::makeCom<opctest::RecordingSink>();
        group = client->addGroup("G", true, rate);
        EXPECT_TRUE(group);
        EXPECT_NE(group.advise(sink->unknown()), 0u);
        std::vector<opctest::ItemDef> defs;
        for (std::size_t i = 0; i < ids.size(); ++i)
            defs.push_back({ids[i], static_cast<OPCHANDLE>(100 + i), true});
        const opctest::AddResult r = group.addItems(defs);
        EXPECT_EQ(r.hr, S_OK);
        std::vector<OPCHANDLE> handles;
        for (std::size_t i = 0; i < r.results.size(); ++i)
            handles.push_back(r.handle(i));
        return handles;
    }
    // Drops the client's objects.
    void Disconnect()
    {
        if (sink)
            sink->onCall = nullptr;
        group.release();
        client.reset();
        sink = nullptr;
    }
    // The queued calls run, as when the loop is back from a client's call.
    static void LoopBack() { QCoreApplication::sendPostedEvents(); }

    // A variable's quality changes, as an answer from the PLC would change it.
    static void SetQuality(const std::string& name, std::uint16_t quality)
    {
        for (const auto& station : *vx::StationList)
            for (vx::TVariable* v : station->Variables->items())
                if (v->Name == name)
                    v->SetQuality(quality);
    }
    std::size_t DataChanges() const { return sink ? sink->count(opctest::Callback::DataChange) : 0; }
    bool Logged(const std::string& part) const
    {
        return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
    std::size_t LoggedCount(const std::string& part) const
    {
        return static_cast<std::size_t>(
            std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
    const std::vector<vos::TMonitorCall>& MonitorCalls() const { return window->MonitorTrace()->Calls(); }

    plat::ManualClock clock;
    plat::ManualScheduler scheduler;
    QTemporaryDir dir;
    com::ApartmentScope apartment;
    DWORD managerCookie = 0;
    int portOpens = 0;
    // Answers of the message dialog by its text; none: OK, or Cancel where OK is not offered.
    std::function<int(const std::string& text, vx::TMsgDlgButtons buttons)> onDialog;
    std::vector<std::string> dialogs;
    std::vector<std::string> errorBoxes;
    std::vector<std::string> log;
    int ends = 0;
    long utcOffset = 3600;
    bool headless = false;
    bool withTray = true;
    bool trayAvailable = true;
    TrayStandIn* tray = nullptr;

    std::unique_ptr<vos::TServerStart> server;
    std::unique_ptr<vos::TF_Main> window;
    std::unique_ptr<opctest::TestClient> client;
    com::ComPtr<opctest::RecordingSink> sink;
    opctest::TestGroup group;
};

}  // namespace apptest
