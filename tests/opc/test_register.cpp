// Registration: the server's ProgID keys and category membership, their removal, the class
// registration of every factory, the command-line switches and the class objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "comm/vx_msgdlg.h"
#include "opc/opc_register.h"
#include "opc_client.h"
#include "opc_fixture.h"
#include "platform/com/alloc.h"
#include "platform/com/catmgr.h"
#include "platform/com/progid.h"
#include "platform/com/registry.h"
#include "platform/com/userfiles.h"

namespace opctest {
namespace {

namespace fs = std::filesystem;

const std::u16string kProgID = opc::kServerProgID;
const std::u16string kServerClassKey = u"CLSID\\{806F6780-14F5-4D43-BF45-BB508ED2B724}";
const std::u16string kCategoryKey = u"Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
constexpr CLSID CLSID_OtherServer = {0x12345678, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

com::Registry& reg() { return com::classesRoot(); }

// Every key with its values, one line each, to compare two states of the registry.
std::string dump(const std::u16string& key = {})
{
    std::string text;
    if (const auto d = reg().value(key))
        text += plat::utf16ToUtf8(key) + "|=" + plat::utf16ToUtf8(*d) + "\n";
    for (const auto& name : reg().valueNames(key))
        text += plat::utf16ToUtf8(key) + "|" + plat::utf16ToUtf8(name) + "=" + plat::utf16ToUtf8(*reg().value(key, name)) + "\n";
    for (const auto& sub : reg().subkeys(key)) {
        const std::u16string path = key.empty() ? sub : key + u"\\" + sub;
        text += plat::utf16ToUtf8(path) + "\n" + dump(path);
    }
    return text;
}

// The process-wide registry's content, put back after a test.
struct RegistrySnapshot {
    struct Value {
        std::u16string key, name, data;
    };
    std::vector<std::u16string> keys;
    std::vector<Value> values;

    void take(const std::u16string& key = {})
    {
        if (const auto d = reg().value(key))
            values.push_back({key, {}, *d});
        for (const auto& name : reg().valueNames(key))
            values.push_back({key, name, *reg().value(key, name)});
        for (const auto& sub : reg().subkeys(key)) {
            const std::u16string path = key.empty() ? sub : key + u"\\" + sub;
            keys.push_back(path);
            take(path);
        }
    }
    void restore() const
    {
        reg().deleteTree(u"");
        for (const auto& k : keys)
            reg().createKey(k);
        for (const auto& v : values)
            reg().setValue(v.key, v.name, v.data);
    }
};

struct Shown {
    std::string text;
    vx::TMsgDlgType type;
    vx::TMsgDlgButtons buttons;
    friend bool operator==(const Shown&, const Shown&) = default;
};

void PrintTo(const Shown& s, std::ostream* os) { *os << '"' << s.text << "\" type " << int(s.type) << " buttons " << s.buttons; }

const Shown kRegistered{"Server was succefully registered.", vx::mtInformation, vx::mbOKOnly};
const Shown kRegisterFailed{"Unable to register the server!", vx::mtWarning, vx::mbOKOnly};
const Shown kUnregistered{"Server was succesfully unregistered.", vx::mtInformation, vx::mbOKOnly};
const Shown kUnregisterFailed{"Unable to unregister the server!", vx::mtWarning, vx::mbOKOnly};

// An environment variable set for a test and put back after it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value)
    {
        if (value)
            setenv(name_, value->c_str(), 1);
        else
            unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

fs::path makeScratchDir()
{
    char pattern[] = "/tmp/vx_register_XXXXXX";
    return mkdtemp(pattern) ? fs::path(pattern) : fs::path();
}

// An empty in-memory registry, the categories manager creatable, the message dialog answered
// and recorded, and the user's data folder (where the service files go) in a scratch folder.
class RegisterFixture : public OpcFixture {
protected:
    void SetUp() override
    {
        OpcFixture::SetUp();
        dataHome_ = makeScratchDir();
        ASSERT_FALSE(dataHome_.empty());
        dataHomeEnv_.emplace("XDG_DATA_HOME", dataHome_.string());
        ASSERT_TRUE(SUCCEEDED(apartment_.result()));
        reg().detachFile();
        saved_.take();
        reg().deleteTree(u"");
        savedTypeLibs_ = com::registeredTypeLibs();
        ASSERT_EQ(com::registerComponentCategoriesManager(&managerCookie_), S_OK);
        vx::SetMessageDlgAnswer([this](const std::string& text, vx::TMsgDlgType type, vx::TMsgDlgButtons buttons) {
            shown.push_back({text, type, buttons});
            return int(vx::mrOk);
        });
    }
    void TearDown() override
    {
        vx::SetMessageDlgAnswer({});
        if (managerCookie_)
            CoRevokeClassObject(managerCookie_);
        reg().detachFile();
        saved_.restore();
        com::unregisterTypeLib(opc::LIBID_VORN, 2, 0, 0x409);
        for (const auto& lib : savedTypeLibs_)
            com::registerTypeLib(lib);
        if (!scratch_.empty())
            fs::remove_all(scratch_);
        dataHomeEnv_.reset();
        if (!dataHome_.empty())
            fs::remove_all(dataHome_);
        OpcFixture::TearDown();
    }

    fs::path servicesDir() const { return dataHome_ / "dbus-1" / "services"; }
    // The names of the service files there, in order.
    std::vector<std::string> serviceFiles() const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(servicesDir(), ec))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The registry written through to a file from here on, so that breakRegistry can take
    // the file's folder away.
    void attachScratchFile()
    {
        scratch_ = makeScratchDir();
        ASSERT_FALSE(scratch_.empty());
        fs::create_directory(scratch_ / "reg");
        ASSERT_TRUE(reg().attachFile(scratch_ / "reg" / "classes.reg"));
    }
    // Every later change fails and changes nothing: the file's folder becomes a plain file.
    void breakRegistry()
    {
        fs::rename(scratch_ / "reg", scratch_ / "moved");
        std::ofstream(scratch_ / "reg") << "not a folder";
    }
    void dropCategoriesManager()
    {
        CoRevokeClassObject(managerCookie_);
        managerCookie_ = 0;
    }

    // Makes another server a member of the OPC Data Access 2.0 category, or no longer one.
    void otherServerInCategory(bool member)
    {
        com::ComPtr<ICatRegister> cats;
        ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister, cats.putVoid()),
                  S_OK);
        CATID catid = CATID_OPCDAServer20;
        if (member)
            EXPECT_EQ(cats->RegisterClassImplCategories(CLSID_OtherServer, 1, &catid), S_OK);
        else
            EXPECT_EQ(cats->UnRegisterClassImplCategories(CLSID_OtherServer, 1, &catid), S_OK);
    }
    bool isMember(REFCLSID clsid)
    {
        com::ComPtr<ICatInformation> info;
        EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                   info.putVoid()),
                  S_OK);
        CATID catid = CATID_OPCDAServer20;
        return info && info->IsClassOfCategories(clsid, 1, &catid, static_cast<ULONG>(-1), nullptr) == S_OK;
    }

    std::vector<Shown> shown;
    bool registered = false;

private:
    com::ApartmentScope apartment_;
    RegistrySnapshot saved_;
    std::vector<com::TypeLibRegistration> savedTypeLibs_;
    DWORD managerCookie_ = 0;
    fs::path scratch_;

protected:
    fs::path dataHome_;

private:
    std::optional<ScopedEnv> dataHomeEnv_;
};

class RegisterServerKeys : public RegisterFixture {};

TEST_F(RegisterServerKeys, WritesTheProgIDTheClassAndTheMembershipAndTellsTheUser)
{
    opc::RegisterServer(kProgID, registered);

    EXPECT_EQ(reg().value(u"Vorn OPC Server"), u"VORN Data Access Server Version 2.0");
    EXPECT_EQ(reg().subkeys(u"Vorn OPC Server"), (std::vector<std::u16string>{u"Clsid", u"OPC"}));
    EXPECT_EQ(reg().value(u"Vorn OPC Server\\Clsid"), u"{806F6780-14F5-4D43-BF45-BB508ED2B724}");
    EXPECT_EQ(reg().value(u"Vorn OPC Server\\OPC"), std::nullopt) << "created without a value";
    EXPECT_TRUE(reg().valueNames(u"Vorn OPC Server\\OPC").empty());
    EXPECT_EQ(reg().value(kServerClassKey), u"VORN OPC Data Access 2.0");
    EXPECT_EQ(reg().value(kServerClassKey + u"\\ProgID"), u"Vorn OPC Server");
    EXPECT_EQ(reg().value(kCategoryKey, u"409"), u"VORN OPC Data Access");
    EXPECT_TRUE(isMember(CLSID_DA2));

    EXPECT_TRUE(registered);
    EXPECT_EQ(shown, std::vector<Shown>{kRegistered});
}

TEST_F(RegisterServerKeys, TwiceLeavesTheSameKeysAndTellsTwice)
{
    opc::RegisterServer(kProgID, registered);
    const std::string once = dump();
    opc::RegisterServer(kProgID, registered);
    EXPECT_EQ(dump(), once);
    EXPECT_TRUE(registered);
    EXPECT_EQ(shown, (std::vector<Shown>{kRegistered, kRegistered}));
}

TEST_F(RegisterServerKeys, MessagesFollowTheLanguage)
{
    vx::Language = 0;
    opc::RegisterServer(kProgID, registered);
    opc::UnregisterServer(kProgID, registered);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "Server byl úspěšně zaregistrován.");
    EXPECT_EQ(shown[1].text, "Server byl úspěšně odregistrován.");
}

class RegisterUnregister : public RegisterFixture {};

TEST_F(RegisterUnregister, LeavesNoKeyOfTheProgIDOrTheServerClassAndNoMembership)
{
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    opc::RegisterServer(kProgID, registered);
    ASSERT_TRUE(reg().keyExists(kServerClassKey + u"\\LocalServer32"));

    opc::UnregisterServer(kProgID, registered);
    EXPECT_FALSE(reg().keyExists(u"Vorn OPC Server"));
    EXPECT_FALSE(reg().keyExists(kServerClassKey)) << "with the subkeys the class registration wrote";
    EXPECT_FALSE(isMember(CLSID_DA2));
    EXPECT_FALSE(reg().keyExists(kCategoryKey)) << "no class is left in the category";
    EXPECT_TRUE(reg().keyExists(u"CLSID\\{4F40460E-B3B5-47A0-AF28-DCF071B6E3DD}")) << "other classes stay";
    EXPECT_TRUE(reg().keyExists(u"VORN.DA2")) << "the class registration's ProgID is the switch's to remove";
    EXPECT_FALSE(registered);
    EXPECT_EQ(shown, (std::vector<Shown>{kRegistered, kUnregistered}));
}

TEST_F(RegisterUnregister, NothingToRemoveIsNoError)
{
    registered = true;
    opc::UnregisterServer(kProgID, registered);
    EXPECT_FALSE(registered);
    EXPECT_EQ(shown, std::vector<Shown>{kUnregistered});
    EXPECT_EQ(dump(), "");
}

class RegisterCategory : public RegisterFixture {};

// The OPC Data Access 2.0 category is shared with the other OPC servers of the machine.
TEST_F(RegisterCategory, StaysWhileAnotherClassIsAMemberAndGoesWithTheLast)
{
    otherServerInCategory(true);
    opc::RegisterServer(kProgID, registered);
    opc::UnregisterServer(kProgID, registered);
    EXPECT_FALSE(isMember(CLSID_DA2));
    EXPECT_TRUE(isMember(CLSID_OtherServer));
    EXPECT_EQ(reg().value(kCategoryKey, u"409"), u"VORN OPC Data Access");

    otherServerInCategory(false);
    opc::RegisterServer(kProgID, registered);
    opc::UnregisterServer(kProgID, registered);
    EXPECT_FALSE(reg().keyExists(kCategoryKey));
    EXPECT_FALSE(reg().keyExists(kServerClassKey));
    EXPECT_EQ(shown, (std::vector<Shown>{kRegistered, kUnregistered, kRegistered, kUnregistered}));
}

class RegisterFailure : public RegisterFixture {};

TEST_F(RegisterFailure, UnwritableRegistryRegistersNothing)
{
    attachScratchFile();
    breakRegistry();
    opc::RegisterServer(kProgID, registered);
    EXPECT_FALSE(registered);
    EXPECT_EQ(dump(), "");
    EXPECT_EQ(shown, std::vector<Shown>{kRegisterFailed});
}

TEST_F(RegisterFailure, UnwritableRegistryUnregistersNothing)
{
    attachScratchFile();
    opc::RegisterServer(kProgID, registered);
    const std::string before = dump();
    breakRegistry();
    opc::UnregisterServer(kProgID, registered);
    EXPECT_TRUE(registered);
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(shown, (std::vector<Shown>{kRegistered, kUnregisterFailed}));
}

TEST_F(RegisterFailure, WithoutTheCategoriesManagerTheKeysWrittenBeforeStay)
{
    dropCategoriesManager();
    opc::RegisterServer(kProgID, registered);
    EXPECT_FALSE(registered);
    EXPECT_EQ(reg().value(u"Vorn OPC Server\\Clsid"), u"{806F6780-14F5-4D43-BF45-BB508ED2B724}");
    EXPECT_EQ(reg().value(kServerClassKey + u"\\ProgID"), u"Vorn OPC Server");
    EXPECT_FALSE(reg().keyExists(kCategoryKey));

    registered = true;
    opc::UnregisterServer(kProgID, registered);
    EXPECT_TRUE(registered);
    EXPECT_EQ(dump(), "CLSID\n") << "the keys went before the manager was needed";
    EXPECT_EQ(shown, (std::vector<Shown>{kRegisterFailed, kUnregisterFailed}));
}

TEST_F(RegisterFailure, EmptyProgIDTouchesNothing)
{
    opc::RegisterServer(u"Other", registered);
    const std::string before = dump();
    registered = true;
    opc::UnregisterServer(u"", registered);
    EXPECT_TRUE(registered);
    registered = false;
    opc::RegisterServer(u"", registered);
    EXPECT_FALSE(registered);
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(shown, (std::vector<Shown>{kRegistered, kUnregisterFailed, kRegisterFailed}));
}

class RegisterClassKeys : public RegisterFixture {};

struct ClassRow {
    std::u16string clsid;
    std::u16string progID;
    std::u16string description;
    bool typeLib;
};
const std::vector<ClassRow> kClassRows = {
    {u"{806F6780-14F5-4D43-BF45-BB508ED2B724}", u"VORN.DA2", u"VORN DA2 Server", true},
    {u"{4F40460E-B3B5-47A0-AF28-DCF071B6E3DD}", u"VORN.OPCGroup", u"OPCGroup Object", true},
    {u"{39C13A55-011E-11D0-9675-0020AFD8ADB3}", u"VORN.TOPCItemAttEnumerator", u"VORN", false},
    {u"{00000101-0000-0000-C000-000000000046}", u"VORN.TOPCStringsEnumerator", u"VORN", false},
    {u"{00000100-0000-0000-C000-000000000046}", u"VORN.TS3UnknownEnumerator", u"VORN", false},
};

TEST_F(RegisterClassKeys, EveryFactoryWritesItsClassAndProgID)
{
    const std::u16string program = u"/opt/vorn/VornOPCServer";
    ASSERT_EQ(opc::UpdateClassRegistration(true, program), S_OK);

    EXPECT_EQ(reg().subkeys(u"CLSID").size(), kClassRows.size());
    EXPECT_EQ(reg().subkeys(u"").size(), kClassRows.size() + 1) << "the ProgIDs and CLSID";
    for (const ClassRow& row : kClassRows) {
        SCOPED_TRACE(plat::utf16ToUtf8(row.progID));
        const std::u16string key = u"CLSID\\" + row.clsid;
        EXPECT_EQ(reg().value(key), row.description);
        EXPECT_EQ(reg().value(key + u"\\LocalServer32"), program);
        EXPECT_EQ(reg().value(key + u"\\ProgID"), row.progID);
        EXPECT_EQ(reg().value(row.progID), row.description);
        EXPECT_EQ(reg().value(row.progID + u"\\Clsid"), row.clsid);
        if (row.typeLib) {
            EXPECT_EQ(reg().value(key + u"\\TypeLib"), u"{499F44E9-F6DA-49C7-AF70-688F794603CE}");
            EXPECT_EQ(reg().value(key + u"\\Version"), u"2.0");
        } else {
            EXPECT_FALSE(reg().keyExists(key + u"\\TypeLib"));
        }
    }
    const auto libs = com::registeredTypeLibs();
    const auto lib = std::find_if(libs.begin(), libs.end(), [](const auto& l) { return l.libid == opc::LIBID_VORN; });
    ASSERT_NE(lib, libs.end());
    EXPECT_EQ(lib->majorVersion, 2);
    EXPECT_EQ(lib->minorVersion, 0);
    EXPECT_EQ(lib->lcid, 0x409u);
    EXPECT_EQ(lib->path, program);

    // Rewriting at the next start changes nothing.
    const std::string once = dump();
    ASSERT_EQ(opc::UpdateClassRegistration(true, program), S_OK);
    EXPECT_EQ(dump(), once);

    ASSERT_EQ(opc::UpdateClassRegistration(false, program), S_OK);
    EXPECT_EQ(dump(), "CLSID\n") << "the CLSID folder itself stays, as on any machine";
    for (const auto& l : com::registeredTypeLibs())
        EXPECT_NE(l.libid, opc::LIBID_VORN);
    EXPECT_EQ(opc::UpdateClassRegistration(false, program), S_OK) << "nothing left to remove";
    EXPECT_TRUE(shown.empty());
}

TEST_F(RegisterClassKeys, RemovalLeavesWhatRegisterServerWrote)
{
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    opc::RegisterServer(kProgID, registered);
    ASSERT_EQ(opc::UpdateClassRegistration(false, u"/opt/vorn/VornOPCServer"), S_OK);

    EXPECT_EQ(reg().value(u"Vorn OPC Server\\Clsid"), u"{806F6780-14F5-4D43-BF45-BB508ED2B724}");
    EXPECT_TRUE(reg().keyExists(u"Vorn OPC Server\\OPC"));
    EXPECT_EQ(reg().value(kServerClassKey + u"\\ProgID"), u"Vorn OPC Server");
    EXPECT_TRUE(isMember(CLSID_DA2));
    for (const char16_t* gone : {u"\\LocalServer32", u"\\TypeLib", u"\\Version"})
        EXPECT_FALSE(reg().keyExists(kServerClassKey + gone)) << plat::utf16ToUtf8(gone);
    EXPECT_EQ(reg().subkeys(u"CLSID"), std::vector<std::u16string>{u"{806F6780-14F5-4D43-BF45-BB508ED2B724}"});
    EXPECT_FALSE(reg().keyExists(u"VORN.DA2"));

    opc::UnregisterServer(kProgID, registered);
    EXPECT_EQ(dump(), "CLSID\nComponent Categories\n") << "only the folders stay, as on any machine";
}

TEST_F(RegisterClassKeys, AStartRewritesWhatRegisterServerWroteIntoTheClassKey)
{
    opc::RegisterServer(kProgID, registered);
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    EXPECT_EQ(reg().value(kServerClassKey), u"VORN DA2 Server");
    EXPECT_EQ(reg().value(kServerClassKey + u"\\ProgID"), u"VORN.DA2");
    EXPECT_TRUE(isMember(CLSID_DA2));
    EXPECT_EQ(reg().value(u"Vorn OPC Server\\Clsid"), u"{806F6780-14F5-4D43-BF45-BB508ED2B724}");
}

TEST_F(RegisterClassKeys, UnwritableRegistryGivesTheFailureAndItsReason)
{
    attachScratchFile();
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    breakRegistry();
    std::string why;
    EXPECT_EQ(opc::UpdateClassRegistration(false, u"/opt/vorn/VornOPCServer", &why), REGDB_E_WRITEREGDB);
    EXPECT_NE(why.find("registry key"), std::string::npos) << why;
    EXPECT_EQ(reg().subkeys(u"CLSID").size(), kClassRows.size()) << "nothing removed";
    why.clear();
    EXPECT_EQ(opc::UpdateClassRegistration(true, u"/opt/other/VornOPCServer", &why), REGDB_E_WRITEREGDB);
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(shown.empty()) << "the caller reports";
}

TEST(RegisterClipboardFormats, TheThreeOPCDataStreamFormats)
{
    opc::RegisterOPCClipboardFormats();
    EXPECT_EQ(opc::OPCClipboardFormats.Data, RegisterClipboardFormatW(u"OPCSTMFORMATDATA"));
    EXPECT_EQ(opc::OPCClipboardFormats.DataTime, RegisterClipboardFormatW(u"OPCSTMFORMATDATATIME"));
    EXPECT_EQ(opc::OPCClipboardFormats.WriteComplete, RegisterClipboardFormatW(u"OPCSTMFORMATWRITECOMPLETE"));
    EXPECT_GE(opc::OPCClipboardFormats.Data, 0xC000u);
    EXPECT_NE(opc::OPCClipboardFormats.Data, opc::OPCClipboardFormats.DataTime);
    EXPECT_NE(opc::OPCClipboardFormats.DataTime, opc::OPCClipboardFormats.WriteComplete);
}

struct SwitchCase {
    std::vector<std::string> args;  // after the program
    bool automation, embedding, regServer, unregServer;
};

TEST(RegisterSwitches, Table)
{
    const std::vector<SwitchCase> cases = {
        {{}, false, false, false, false},
        {{"-regserver"}, false, false, true, false},
        {{"/RegServer"}, false, false, true, false},
        {{"-UNREGSERVER"}, false, false, false, true},
        {{"/unRegServer"}, false, false, false, true},
        {{"-Embedding"}, false, true, false, false},
        {{"/AUTOMATION"}, true, false, false, false},
        {{"-automation", "/embedding"}, true, true, false, false},
        {{"-Embedding", "-regserver"}, false, true, true, false},
        {{"--settings", "x.ini", "/regserver"}, false, false, true, false},
        {{"--regserver"}, false, false, false, false},
        {{"regserver"}, false, false, false, false},
        {{"-regserverx"}, false, false, false, false},
        {{"-reg"}, false, false, false, false},
        {{"-reg server"}, false, false, false, false},
        {{"\\regserver"}, false, false, false, false},
        {{"-"}, false, false, false, false},
        {{"/"}, false, false, false, false},
        {{""}, false, false, false, false},
        {{"-quit-after", "-help"}, false, false, false, false},
    };
    for (const SwitchCase& c : cases) {
        std::vector<std::string> args = {"/usr/bin/VornOPCServer"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string shownArgs;
        for (const auto& a : c.args)
            shownArgs += "[" + a + "]";
        SCOPED_TRACE(shownArgs);
        const opc::TComServerSwitches s = opc::ParseComServerSwitches(args);
        EXPECT_EQ(s.Automation, c.automation);
        EXPECT_EQ(s.Embedding, c.embedding);
        EXPECT_EQ(s.RegServer, c.regServer);
        EXPECT_EQ(s.UnregServer, c.unregServer);
        EXPECT_EQ(s.StartedByCom(), c.automation || c.embedding);
        EXPECT_EQ(s.EndsAfterRegistration(), c.regServer || c.unregServer);
    }
    EXPECT_FALSE(opc::ParseComServerSwitches({"-regserver"}).RegServer) << "the program's own name is no switch";
    EXPECT_FALSE(opc::ParseComServerSwitches({}).RegServer);
}

class RegisterClassObjects : public RegisterFixture {};

TEST_F(RegisterClassObjects, ClientsCreateAWorkingServerObject)
{
    vx::TVariable* v = var("V", VT_I2);
    buildCatalogue();
    opc::TClassObjectRegistration classes;
    ASSERT_EQ(classes.Register(), S_OK);

    com::ComPtr<IOPCServer> server;
    ASSERT_EQ(CoCreateInstance(CLSID_DA2, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid()), S_OK);
    ASSERT_EQ(registry->Servers.size(), 1u);
    EXPECT_EQ(countEvents(opc::meServerCreated), 1);

    IUnknown* unk = nullptr;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ASSERT_EQ(server->AddGroup(u"G", TRUE, 100, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &handle, &revised, IID_IUnknown, &unk),
              S_OK);
    TestGroup group(unk);
    unk->Release();
    const AddResult added = group.addItems({{"St.V", 5}});
    ASSERT_EQ(added.hr, S_OK);
    v->Value.setI2(42);
    const ReadResult r = group.read(OPC_DS_CACHE, {added.handle(0)});
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.states.at(0).value.get()->iVal, 42);

    group.release();
    server = nullptr;
    EXPECT_TRUE(registry->Servers.empty());
}

TEST_F(RegisterClassObjects, EveryClassIsCreatableUntilRevoked)
{
    opc::TClassObjectRegistration classes;
    ASSERT_EQ(classes.Register(), S_OK);
    EXPECT_EQ(classes.Register(), S_OK) << "once is enough";

    com::ComPtr<IOPCItemMgt> group;
    ASSERT_EQ(CoCreateInstance(CLSID_OPCGroup, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCItemMgt, group.putVoid()), S_OK);
    com::ComPtr<IEnumOPCItemAttributes> items;
    EXPECT_EQ(group->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(items.put())), E_FAIL)
        << "a group of no server object";

    com::ComPtr<IEnumOPCItemAttributes> attributes;
    ASSERT_EQ(CoCreateInstance(IID_IEnumOPCItemAttributes, nullptr, CLSCTX_LOCAL_SERVER, IID_IEnumOPCItemAttributes,
                               attributes.putVoid()),
              S_OK);
    OPCITEMATTRIBUTES* fetchedItems = nullptr;
    ULONG fetched = 7;
    EXPECT_EQ(attributes->Next(3, &fetchedItems, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    CoTaskMemFree(fetchedItems);

    com::ComPtr<IEnumString> strings;
    ASSERT_EQ(CoCreateInstance(IID_IEnumString, nullptr, CLSCTX_LOCAL_SERVER, IID_IEnumString, strings.putVoid()), S_OK);
    LPOLESTR s[2] = {};
    fetched = 7;
    EXPECT_EQ(strings->Next(2, s, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    com::ComPtr<IEnumUnknown> unknowns;
    ASSERT_EQ(CoCreateInstance(IID_IEnumUnknown, nullptr, CLSCTX_LOCAL_SERVER, IID_IEnumUnknown, unknowns.putVoid()), S_OK);
    EXPECT_EQ(unknowns->Skip(1), S_FALSE);

    classes.Revoke();
    EXPECT_FALSE(classes.Registered());
    com::ComPtr<IUnknown> none;
    for (REFCLSID clsid : {CLSID_DA2, CLSID_OPCGroup, IID_IEnumOPCItemAttributes, IID_IEnumString, IID_IEnumUnknown})
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, none.putVoid()), REGDB_E_CLASSNOTREG);
}

TEST_F(RegisterClassObjects, TheFactoriesAreTheClassesOfTheTable)
{
    const auto& factories = opc::ClassFactories();
    ASSERT_EQ(factories.size(), kClassRows.size());
    for (std::size_t i = 0; i < factories.size(); ++i) {
        EXPECT_EQ(com::guidToWString(factories[i].ClassID), kClassRows[i].clsid);
        EXPECT_EQ(factories[i].ProgID(), kClassRows[i].progID);
        EXPECT_EQ(factories[i].Description, kClassRows[i].description);
        EXPECT_EQ(factories[i].TypeLibBased, kClassRows[i].typeLib);
        com::ComPtr<IUnknown> aggregated;
        IUnknown* outer = reinterpret_cast<IUnknown*>(&aggregated);
        EXPECT_EQ(factories[i].Factory->CreateInstance(outer, IID_IUnknown, aggregated.putVoid()), CLASS_E_NOAGGREGATION);
    }
}


// --- Start by the session bus: the service files and the way from a ProgID to a bus name

std::string readFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kServerBusName = "org.vorn.Com.C806F678014F54D43BF45BB508ED2B724";

class RegisterServiceFiles : public RegisterFixture {};

TEST_F(RegisterServiceFiles, TheClassRegistrationWritesOnePerClassAndRemovalDeletesThem)
{
    const std::vector<std::u16string> args = {u"--settings", u"/srv/vorn/VornOPCServer.ini"};
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer", nullptr, args), S_OK);

    EXPECT_EQ(serviceFiles(), (std::vector<std::string>{
                                  "org.vorn.Com.C0000010000000000C000000000000046.service",
                                  "org.vorn.Com.C0000010100000000C000000000000046.service",
                                  "org.vorn.Com.C39C13A55011E11D096750020AFD8ADB3.service",
                                  "org.vorn.Com.C4F40460EB3B547A0AF28DCF071B6E3DD.service",
                                  "org.vorn.Com.C806F678014F54D43BF45BB508ED2B724.service",
                              }));
    EXPECT_EQ(readFile(servicesDir() / (kServerBusName + ".service")),
              "[D-BUS Service]\nName=" + kServerBusName +
                  "\nExec=/opt/vorn/VornOPCServer -Embedding --settings /srv/vorn/VornOPCServer.ini\n");
    EXPECT_EQ(opc::ServiceFilePath(CLSID_DA2), servicesDir() / (kServerBusName + ".service"));
    for (const ClassRow& row : kClassRows) {
        SCOPED_TRACE(plat::utf16ToUtf8(row.progID));
        const auto busName = reg().value(u"CLSID\\" + row.clsid + u"\\LocalServer32", u"BusName");
        ASSERT_TRUE(busName);
        EXPECT_TRUE(fs::exists(servicesDir() / (plat::utf16ToUtf8(*busName) + ".service")));
    }

    // The next start with other arguments rewrites them.
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    EXPECT_EQ(readFile(servicesDir() / (kServerBusName + ".service")),
              "[D-BUS Service]\nName=" + kServerBusName + "\nExec=/opt/vorn/VornOPCServer -Embedding\n");

    ASSERT_EQ(opc::UpdateClassRegistration(false, u"/opt/vorn/VornOPCServer"), S_OK);
    EXPECT_TRUE(serviceFiles().empty());
    EXPECT_EQ(opc::UpdateClassRegistration(false, u"/opt/vorn/VornOPCServer"), S_OK) << "nothing left to remove";
}

TEST_F(RegisterServiceFiles, RegisterServerWritesNoneAndUnregisterServerRemovesTheServers)
{
    opc::RegisterServer(kProgID, registered);
    EXPECT_TRUE(serviceFiles().empty());

    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    opc::UnregisterServer(kProgID, registered);
    const std::vector<std::string> left = serviceFiles();
    EXPECT_EQ(left.size(), kClassRows.size() - 1);
    EXPECT_EQ(std::count(left.begin(), left.end(), kServerBusName + ".service"), 0)
        << "it goes with the class key and the subkeys the class registration wrote";
    EXPECT_EQ(shown, (std::vector<Shown>{kRegistered, kUnregistered}));
}

TEST_F(RegisterServiceFiles, AFolderThatCannotBeMadeFailsTheRegistrationWithItsReason)
{
    fs::create_directories(dataHome_);
    std::ofstream(dataHome_ / "dbus-1") << "not a folder";
    std::string why;
    EXPECT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer", &why), REGDB_E_WRITEREGDB);
    EXPECT_NE(why.find("dbus-1"), std::string::npos) << why;
}

struct ExecCase {
    std::u16string program;
    std::vector<std::u16string> args;
    std::string exec;
};

// The bus reads the Exec line as a desktop file's value (where "\\" is one backslash), then
// splits it as a shell would.
TEST(RegisterServiceFileText, ArgumentsTheBusWouldSplitAreQuoted)
{
    const std::vector<ExecCase> cases = {
        {u"/opt/vorn/VornOPCServer", {}, "/opt/vorn/VornOPCServer -Embedding"},
        {u"/home/jan/Vorn OPC/VornOPCServer", {}, "'/home/jan/Vorn OPC/VornOPCServer' -Embedding"},
        {u"/opt/v/VornOPCServer", {u"--settings", u"/home/jan/it's/a.ini"},
         "/opt/v/VornOPCServer -Embedding --settings '/home/jan/it'\\\\''s/a.ini'"},
        {u"/opt/v/VornOPCServer", {u"--registry", u"/tmp/$HOME\"x\\y #;"},
         "/opt/v/VornOPCServer -Embedding --registry '/tmp/$HOME\"x\\\\y #;'"},
        {u"/opt/v/VornOPCServer", {u"--settings", u"/data/Měření.ini"},
         "/opt/v/VornOPCServer -Embedding --settings '/data/Měření.ini'"},
        {u"/opt/v/VornOPCServer", {u""}, "/opt/v/VornOPCServer -Embedding ''"},
    };
    for (const ExecCase& c : cases) {
        SCOPED_TRACE(c.exec);
        EXPECT_EQ(opc::ServiceFileText("org.vorn.Com.C1", c.program, c.args),
                  "[D-BUS Service]\nName=org.vorn.Com.C1\nExec=" + c.exec + "\n");
    }
    EXPECT_THROW(opc::ServiceFileText("n", u"/opt/a\nb", {}), opc::ERegistrationError) << "a service file is line by line";
    EXPECT_THROW(opc::ServiceFileText("n", u"/opt/a", {u"x\ry"}), opc::ERegistrationError);
}

TEST_F(RegisterServiceFiles, WithAnArgumentNoFileCanHoldTheRegistrationFails)
{
    std::string why;
    EXPECT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer", &why, {u"--settings", u"/a\nb.ini"}),
              E_INVALIDARG);
    EXPECT_NE(why.find("line break"), std::string::npos) << why;
    EXPECT_TRUE(serviceFiles().empty());
}

struct DataHomeCase {
    std::string xdgDataHome;
    std::string home;
    std::string expected;
};

TEST(RegisterUserDataHome, XdgDataHomeWhenAbsoluteElseTheHomesLocalShare)
{
    const std::vector<DataHomeCase> cases = {
        {"/srv/data", "/home/jan", "/srv/data"},
        {"relative/data", "/home/jan", "/home/jan/.local/share"},
        {"", "/home/jan", "/home/jan/.local/share"},
        {"/srv/data", "", "/srv/data"},
        {"", "", ""},
    };
    for (const DataHomeCase& c : cases) {
        SCOPED_TRACE(c.xdgDataHome + " | " + c.home);
        EXPECT_EQ(com::userDataHome(c.xdgDataHome, c.home), fs::path(c.expected));
    }

    const ScopedEnv noXdg("XDG_DATA_HOME", std::nullopt);
    const ScopedEnv home("HOME", "/home/jan");
    EXPECT_EQ(com::busServicesDir(), fs::path("/home/jan/.local/share/dbus-1/services"));
    EXPECT_EQ(com::defaultClassesRootFile(), fs::path("/home/jan/.local/share/VornOPCServer/VornOPCServer.reg"));
    EXPECT_EQ(opc::ServiceFilePath(CLSID_DA2),
              fs::path("/home/jan/.local/share/dbus-1/services/" + kServerBusName + ".service"));
}

class RegisterProgIDs : public RegisterFixture {};

TEST_F(RegisterProgIDs, AProgIDLeadsToTheClassAndItsBusName)
{
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    opc::RegisterServer(kProgID, registered);

    for (const char16_t* progID : {u"Vorn OPC Server", u"VORN.DA2", u"vorn opc server"}) {
        SCOPED_TRACE(plat::utf16ToUtf8(progID));
        CLSID clsid = GUID_NULL;
        ASSERT_EQ(CLSIDFromProgID(progID, &clsid), S_OK);
        EXPECT_EQ(clsid, CLSID_DA2);
        EXPECT_EQ(reg().value(u"CLSID\\" + com::guidToWString(clsid) + u"\\LocalServer32", u"BusName"),
                  plat::utf8ToUtf16(kServerBusName));
    }

    LPOLESTR progID = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_DA2, &progID), S_OK);
    EXPECT_EQ(std::u16string(progID), u"Vorn OPC Server") << "RegisterServer's ProgID names the class";
    CoTaskMemFree(progID);
    ASSERT_EQ(ProgIDFromCLSID(CLSID_OPCGroup, &progID), S_OK);
    EXPECT_EQ(std::u16string(progID), u"VORN.OPCGroup");
    CoTaskMemFree(progID);
}

struct ClassTextCase {
    std::u16string text;
    HRESULT hr;
    CLSID clsid;
};

TEST_F(RegisterProgIDs, NamesThatLeadNowhereGiveTheirCodes)
{
    ASSERT_EQ(opc::UpdateClassRegistration(true, u"/opt/vorn/VornOPCServer"), S_OK);
    reg().setValue(u"Broken\\CLSID", {}, u"not a class ID");
    const std::vector<ClassTextCase> cases = {
        {u"VORN.OPCGroup", S_OK, CLSID_OPCGroup},
        {u"{806f6780-14f5-4d43-bf45-bb508ed2b724}", S_OK, CLSID_DA2},
        {u"{12345678-1111-2222-3333-444444444444}", S_OK, CLSID_OtherServer},  // any class ID, registered or not
        {u"No.Such.Server", CO_E_CLASSSTRING, GUID_NULL},
        {u"", CO_E_CLASSSTRING, GUID_NULL},
        {u"Broken", CO_E_CLASSSTRING, GUID_NULL},
        {u"CLSID\\{806F6780-14F5-4D43-BF45-BB508ED2B724}\\ProgID", CO_E_CLASSSTRING, GUID_NULL},
        {u"{806F6780-14F5-4D43-BF45-BB508ED2B72}", CO_E_CLASSSTRING, GUID_NULL},
    };
    for (const ClassTextCase& c : cases) {
        SCOPED_TRACE(plat::utf16ToUtf8(c.text));
        CLSID clsid = CLSID_DA2;
        EXPECT_EQ(CLSIDFromString(c.text.c_str(), &clsid), c.hr);
        EXPECT_EQ(clsid, c.clsid);
    }
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"{806F6780-14F5-4D43-BF45-BB508ED2B724}", &clsid), CO_E_CLASSSTRING)
        << "a class ID is no ProgID";
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromProgID(u"VORN.DA2", nullptr), E_INVALIDARG);
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), E_INVALIDARG);

    LPOLESTR progID = reinterpret_cast<LPOLESTR>(&clsid);
    EXPECT_EQ(ProgIDFromCLSID(CLSID_OtherServer, &progID), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(progID, nullptr);
    EXPECT_EQ(ProgIDFromCLSID(CLSID_DA2, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace opctest
