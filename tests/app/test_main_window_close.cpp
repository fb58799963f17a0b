// Closing the main window: the questions about registering and saving with their answers and
// the save's outcome, the question about clients still holding objects, the shut-down command
// against the close box, and the end of a run started by activation.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/com_server.h"
#include "app/main_window.h"
#include "comm/vx_lang.h"
#include "opc/opc_server.h"
#include "tests/app/main_fixture.h"

namespace {

constexpr int kNoAnswer = -1;

struct CloseCase {
    const char* name;
    bool registerPending;
    bool modified;
    int answer107;  // kNoAnswer: must not be asked
    int answer106;
    bool saveSucceeds;  // the file dialog gives a name
    std::vector<int> asked;
    bool closes;
};

class MainClose : public apptest::MainFixture, public ::testing::WithParamInterface<CloseCase> {
protected:
    // An untitled configuration in the state asked for: an edit makes both flags; registering
    // with a cancelled save leaves only Modified; a save leaves only RegisterPending.
    void PrepareEditor(bool registerPending, bool modified)
    {
        server->FileCommands().SetUi(&files);
        if (!registerPending && !modified)
            return;
        vos::TConfigNode* top = server->Editor().Tree().Root()->Child(0);
        ASSERT_NE(server->Editor().NewObjectExecute(vos::ntStation, top), nullptr);
        if (!registerPending) {
            server->Registrar().RefreshExecute();
        } else if (!modified) {
            files.saveAs = PathOf("Plant.cfg");
            ASSERT_TRUE(server->FileCommands().SaveConfiguration());
        }
        files.saveAs.reset();
        files.requests.clear();
        ASSERT_EQ(server->Editor().RegisterPending(), registerPending);
        ASSERT_EQ(server->Editor().Modified(), modified);
    }
    // The close questions' ids in the order asked.
    std::vector<int> Asked() const
    {
        std::vector<int> ids;
        for (const std::string& text : dialogs)
            for (const int id : {107, 106})
                if (text == vx::GetLangText(id))
                    ids.push_back(id);
        return ids;
    }
    void TearDown() override
    {
        if (server)
            server->FileCommands().SetUi(nullptr);
        apptest::MainFixture::TearDown();
    }

    apptest::FileDialogAnswer files;
};

TEST_P(MainClose, AsksAndClosesOnlyWhenNothingIsLost)
{
    const CloseCase& c = GetParam();
    StartOnConfig("");
    PrepareEditor(c.registerPending, c.modified);
    if (c.saveSucceeds)
        files.saveAs = PathOf("Saved.cfg");
    onDialog = [&](const std::string& text, vx::TMsgDlgButtons buttons) {
        EXPECT_EQ(buttons, vx::mbYesNoCancel) << text;
        const int answer = text == vx::GetLangText(107) ? c.answer107 : c.answer106;
        EXPECT_NE(answer, kNoAnswer) << "not to be asked: " << text;
        return answer;
    };

    window->close();
    EXPECT_EQ(Asked(), c.asked);
    EXPECT_EQ(ends, c.closes ? 1 : 0);
    EXPECT_EQ(window->isVisible(), !c.closes);
    if (!c.closes) {
        EXPECT_TRUE(server->Editor().Modified() || server->Editor().RegisterPending()) << "nothing to lose, yet kept";
    }
    if (c.closes && c.answer106 != vx::mrNo && c.answer107 != vx::mrNo) {
        EXPECT_FALSE(server->Editor().Modified() || server->Editor().RegisterPending()) << "closed with changes";
    }
}

constexpr int Yes = vx::mrYes;
constexpr int No = vx::mrNo;
constexpr int Cancel = vx::mrCancel;
constexpr int None = kNoAnswer;

INSTANTIATE_TEST_SUITE_P(
    Cases, MainClose,
    ::testing::Values(
        CloseCase{"Clean", false, false, None, None, true, {}, true},
        CloseCase{"BothCancelRegistering", true, true, Cancel, None, true, {107}, false},
        CloseCase{"BothRegisterAndSave", true, true, Yes, None, true, {107}, true},
        // The registering's own save cancelled: "Save changes?" follows.
        CloseCase{"BothRegisterSaveCancelledSaveAgain", true, true, Yes, Yes, false, {107, 106}, false},
        CloseCase{"BothRegisterSaveCancelledDiscard", true, true, Yes, No, false, {107, 106}, true},
        CloseCase{"BothRegisterSaveCancelledCancel", true, true, Yes, Cancel, false, {107, 106}, false},
        CloseCase{"BothNoRegisterSave", true, true, No, Yes, true, {107, 106}, true},
        CloseCase{"BothNoRegisterSaveCancelled", true, true, No, Yes, false, {107, 106}, false},
        CloseCase{"BothNoRegisterDiscard", true, true, No, No, true, {107, 106}, true},
        CloseCase{"BothNoRegisterCancel", true, true, No, Cancel, true, {107, 106}, false},
        CloseCase{"RegisterOnlyYes", true, false, Yes, None, false, {107}, true},
        CloseCase{"RegisterOnlyNo", true, false, No, None, false, {107}, true},
        CloseCase{"RegisterOnlyCancel", true, false, Cancel, None, false, {107}, false},
        CloseCase{"ModifiedOnlySave", false, true, None, Yes, true, {106}, true},
        CloseCase{"ModifiedOnlySaveCancelled", false, true, None, Yes, false, {106}, false},
        CloseCase{"ModifiedOnlyDiscard", false, true, None, No, false, {106}, true},
        CloseCase{"ModifiedOnlyCancel", false, true, None, Cancel, false, {106}, false}),
    [](const auto& info) { return std::string(info.param.name); });

class MainCloseFixture : public apptest::MainFixture {
protected:
    void TearDown() override
    {
        if (server)
            server->FileCommands().SetUi(nullptr);
        apptest::MainFixture::TearDown();
    }
    apptest::FileDialogAnswer files;
};

TEST_F(MainCloseFixture, AFailedSaveKeepsTheWindow)
{
    StartOnConfig("");
    server->FileCommands().SetUi(&files);
    vos::TConfigNode* top = server->Editor().Tree().Root()->Child(0);
    ASSERT_NE(server->Editor().NewObjectExecute(vos::ntStation, top), nullptr);
    files.saveAs = PathOf("no such folder/Plant.cfg");
    onDialog = [](const std::string& text, vx::TMsgDlgButtons) {
        return text == vx::GetLangText(107) ? int(vx::mrNo) : text == vx::GetLangText(106) ? int(vx::mrYes) : int(vx::mrOk);
    };
    window->close();
    ASSERT_EQ(dialogs.size(), 3u);
    EXPECT_NE(dialogs[2].find("no such folder"), std::string::npos) << "message 102: " << dialogs[2];
    EXPECT_EQ(ends, 0);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(server->Editor().Modified());
}

TEST_F(MainCloseFixture, ClientsStillHoldingObjectsAreAskedAbout)
{
    StartOnConfig("");
    client = std::make_unique<opctest::TestClient>();
    std::vector<int> answers = {vx::mrNo, vx::mrYes};
    onDialog = [&](const std::string& text, vx::TMsgDlgButtons buttons) {
        EXPECT_EQ(text, vos::TF_Main::kClientsStillConnectedText);
        EXPECT_EQ(buttons, vx::mbYesNo);
        const int answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    };
    window->close();
    EXPECT_EQ(ends, 0) << "No keeps the program running";
    EXPECT_TRUE(window->isVisible());
    window->close();
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(dialogs.size(), 2u);

    // Without clients nothing is asked: the same text in either language, but only then.
    client.reset();
    dialogs.clear();
    window->show();
    window->close();
    EXPECT_TRUE(dialogs.empty());
    EXPECT_EQ(ends, 2);
}

// The shut-down command asks the clients to disconnect before the questions; the close box
// does not ask them at all.
TEST_F(MainCloseFixture, OnlyTheShutDownCommandAsksClientsToDisconnect)
{
    StartOnConfig("");
    server->FileCommands().SetUi(&files);
    client = std::make_unique<opctest::TestClient>();
    sink = com::makeCom<opctest::RecordingSink>();
    ASSERT_NE(client->adviseShutdown(sink->unknown()), 0u);
    vos::TConfigNode* top = server->Editor().Tree().Root()->Child(0);
    ASSERT_NE(server->Editor().NewObjectExecute(vos::ntStation, top), nullptr);
    std::vector<std::size_t> requestsWhenAsked;
    onDialog = [&](const std::string&, vx::TMsgDlgButtons) {
        requestsWhenAsked.push_back(sink->shutdownReasons.size());
        return int(vx::mrCancel);
    };

    window->close();
    EXPECT_TRUE(sink->shutdownReasons.empty());
    EXPECT_EQ(requestsWhenAsked, std::vector<std::size_t>{0});

    window->Ac_ShutDownServerExecute();
    ASSERT_EQ(sink->shutdownReasons.size(), 1u);
    EXPECT_EQ(requestsWhenAsked, (std::vector<std::size_t>{0, 1})) << "asked after the request went out";
    EXPECT_EQ(ends, 0) << "Cancel keeps the program running, although the clients were asked";
    EXPECT_TRUE(window->isVisible());
}

struct ReleaseCase {
    const char* name;
    bool modified;
    bool headless;
    int answer106;  // kNoAnswer: nothing asked
    bool ends;
};

class MainLastRelease : public apptest::MainFixture, public ::testing::WithParamInterface<ReleaseCase> {};

// A run started by activation: the last release ends it, unless the editor holds changes,
// which the window then asks about first.
TEST_P(MainLastRelease, EndsOrAsksFirst)
{
    const ReleaseCase& c = GetParam();
    headless = c.headless;
    StartOnConfig("server\n  station Name=A\n    variable Name=V\n");
    if (c.modified) {
        vos::TConfigNode* top = server->Editor().Tree().Root()->Child(0);
        ASSERT_NE(server->Editor().NewObjectExecute(vos::ntStation, top), nullptr);
    }
    // Not registered now; saved (to Plant.cfg) or not as the case says.
    onDialog = [&](const std::string& text, vx::TMsgDlgButtons) {
        return text == vx::GetLangText(107) ? int(vx::mrNo) : c.answer106;
    };
    {
        vos::TEndAfterLastRelease watch([this] { window->LastClientReleased(); });
        Connect({"A.V"});
        LoopBack();
        // Hidden meanwhile, as the start timer does.
        scheduler.advance(6000);
        Disconnect();
        LoopBack();
    }
    EXPECT_EQ(dialogs.size(), c.answer106 == kNoAnswer ? 0u : 2u);
    EXPECT_EQ(ends, c.ends ? 1 : 0);
    if (c.modified && !c.headless) {
        EXPECT_TRUE(window->isVisible()) << "the window came up for the questions";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MainLastRelease,
    ::testing::Values(ReleaseCase{"Clean", false, false, kNoAnswer, true},
                      ReleaseCase{"ChangesSaved", true, false, vx::mrYes, true},
                      ReleaseCase{"ChangesDiscarded", true, false, vx::mrNo, true},
                      ReleaseCase{"ChangesCancel", true, false, vx::mrCancel, false},
                      ReleaseCase{"HeadlessEndsUnasked", true, true, kNoAnswer, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
