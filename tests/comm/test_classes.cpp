#include "comm/vx_classes.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "comm/vx_channel.h"
#include "comm/vx_def.h"
#include "comm/vx_station.h"
#include "comm/vx_variable.h"
#include "platform/text.h"

namespace {

struct Model : ::testing::Test {
    void SetUp() override
    {
        plat::setCollationLocale("en_US");
        vx::Language = 1;
        vx::InitializeComm();
    }
    void TearDown() override
    {
        vx::FinalizeComm();
        vx::ResetSettings();
        plat::setCollationLocale("");
    }
};

TEST_F(Model, NewObjectsAreNamedFromTheCatalogue)
{
    vx::TStation* s = vx::StationList->AddStation();
    EXPECT_EQ(s->Name, "Device0");
    EXPECT_EQ(s->Owner, vx::CommServer);
    EXPECT_EQ(s->AddFolder(0)->Name, "Branch0");
    EXPECT_EQ(s->AddVariable()->Name, "Item0");
    EXPECT_EQ(vx::CommServer->Name, "Server");
    EXPECT_EQ(vx::CommServer->ObjectType, 0);
    EXPECT_FALSE(vx::CommServer->Children);
    EXPECT_FALSE(vx::CommServer->Variables);
}

TEST_F(Model, FolderVariablesAreListedTwiceAndRemovedFromBoth)
{
    vx::TStation* s = vx::StationList->AddStation();
    const std::size_t builtIn = s->Variables->size();
    vx::TFolder* outer = s->AddFolder(0);
    vx::TFolder* inner = outer->AddFolder(0);
    vx::TVariable* direct = s->AddVariable();
    vx::TVariable* deep = inner->AddVariable();

    EXPECT_EQ(deep->Owner, inner);
    EXPECT_EQ(deep->GetStation(), s);
    EXPECT_TRUE(inner->Variables->contains(deep));
    EXPECT_FALSE(outer->Variables->contains(deep));
    ASSERT_EQ(s->Variables->size(), builtIn + 2);

    vx::RemoveVariable(inner, deep);
    EXPECT_TRUE(inner->Variables->empty());
    EXPECT_EQ(s->Variables->size(), builtIn + 1);
    EXPECT_TRUE(s->Variables->contains(direct));

    // Removing what is not there does nothing.
    vx::RemoveVariable(inner, direct);
    EXPECT_EQ(s->Variables->size(), builtIn + 1);
    vx::TFolder stray(s);
    vx::RemoveFolder(s, &stray);
    EXPECT_EQ(s->Children->size(), 1u);
}

TEST_F(Model, RemovingAFolderFreesItsSubtreeFromTheStationList)
{
    vx::TStation* s = vx::StationList->AddStation();
    const std::size_t builtIn = s->Variables->size();
    vx::TFolder* outer = s->AddFolder(0);
    vx::TFolder* inner = outer->AddFolder(0);
    inner->AddVariable();
    outer->AddVariable();
    vx::TVariable* keep = s->AddVariable();
    ASSERT_EQ(s->Variables->size(), builtIn + 3);

    vx::RemoveFolder(s, outer);
    EXPECT_TRUE(s->Children->empty());
    ASSERT_EQ(s->Variables->size(), builtIn + 1);
    EXPECT_TRUE(s->Variables->contains(keep));
}

TEST_F(Model, ClearingStationsFreesEverything)
{
    for (int i = 0; i < 3; ++i) {
        vx::TStation* s = vx::StationList->AddStation();
        vx::TFolder* f = s->AddFolder(0)->AddFolder(0);
        for (int k = 0; k < 5; ++k) {
            f->AddVariable();
            s->AddVariable();
        }
    }
    vx::StationList->Clear();  // leaks or double frees show under the sanitizers
    EXPECT_EQ(vx::StationList->size(), 0u);
}

TEST_F(Model, Orderings)
{
    for (const char* n : {"b", "A", "c"})
        vx::StationList->AddStation()->Name = n;
    vx::StationList->SortByName();
    EXPECT_EQ((*vx::StationList)[0]->Name, "A");
    EXPECT_EQ((*vx::StationList)[1]->Name, "b");
    EXPECT_EQ((*vx::StationList)[2]->Name, "c");

    vx::TStation* s = (*vx::StationList)[0];
    struct {
        int zone, address, bit;
    } locations[] = {{3, 10, 0}, {2, 500, 7}, {3, 9, 7}};
    std::vector<vx::TVariable*> due;
    for (const auto& l : locations) {
        vx::TVariable* v = s->AddVariable();
        v->Zone = l.zone;
        v->Address = l.address;
        v->BitNumber = l.bit;
        due.push_back(v);
    }
    vx::SortVariablesByLocation(due);
    EXPECT_EQ(due[0]->Zone, 2);
    EXPECT_EQ(due[1]->Address, 9);
    EXPECT_EQ(due[2]->Address, 10);

    const char* names[] = {"beta", "Alpha", "gamma"};
    for (std::size_t i = 0; i < 3; ++i)
        (*s->Variables)[i]->Name = names[i];
    vx::SortVariablesByName(*s->Variables);
    EXPECT_EQ((*s->Variables)[0]->Name, "Alpha");
    EXPECT_EQ((*s->Variables)[2]->Name, "gamma");
}

TEST_F(Model, RunningFlags)
{
    vx::TServer& root = *vx::CommServer;
    root.StartCommunication();
    EXPECT_TRUE(root.Running);
    EXPECT_FALSE(root.WasRunning);
    EXPECT_TRUE(root.StopCommunication());
    EXPECT_FALSE(root.Running);
    EXPECT_TRUE(root.WasRunning);
    EXPECT_TRUE(root.StopCommunication());  // twice is harmless
    EXPECT_FALSE(root.WasRunning);
}

struct FailingChannel : vx::TCOM {
    explicit FailingChannel(int* stops) : TCOM(vx::CommServer), stops_(stops) {}
    void Stop() override
    {
        ++*stops_;
        throw std::runtime_error("port gone");
    }
    int* stops_;
};

TEST_F(Model, AStopThatRaisesSkipsTheRestAndReportsFalse)
{
    int stops = 0;
    vx::ComList->items().push_back(std::make_unique<FailingChannel>(&stops));
    vx::ComList->items().push_back(std::make_unique<FailingChannel>(&stops));
    vx::CommServer->StartCommunication();
    EXPECT_FALSE(vx::CommServer->StopCommunication());
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(vx::CommServer->Running);
    vx::ComList->items().clear();
}

TEST_F(Model, SingletonsLiveOncePerInitialisation)
{
    vx::TServer* root = vx::CommServer;
    vx::InitializeComm();  // a second initialisation does nothing
    EXPECT_EQ(vx::CommServer, root);
    vx::CfgFileName = "a.cfg";
    vx::FinalizeComm();
    EXPECT_EQ(vx::CommServer, nullptr);
    EXPECT_EQ(vx::StationList, nullptr);
    EXPECT_EQ(vx::LunaroChannel, nullptr);
    EXPECT_TRUE(vx::ShuttingDown);  // freeing the root sets it
    EXPECT_TRUE(vx::CfgFileName.empty());
    vx::FinalizeComm();  // and a second finalisation too
    vx::InitializeComm();
}

}  // namespace
