#include "opc_register.h"

#include <QtGlobal>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "opc_enums.h"
#include "opc_group.h"
#include "opc_server.h"
#include "platform/com/catmgr.h"
#include "platform/com/dbus_names.h"
#include "platform/com/registry.h"
#include "platform/com/userfiles.h"
#include "platform/savefile.h"
#include "platform/text.h"

namespace opc {

TOPCClipboardFormats OPCClipboardFormats;
TComServerSwitches StartSwitches;

namespace {

constexpr char16_t kServerDescription[] = u"VORN Data Access Server Version 2.0";
constexpr char16_t kServerClassDescription[] = u"VORN OPC Data Access 2.0";
constexpr char16_t kCategoryDescription[] = u"VORN OPC Data Access";
// Linux has no locale IDs of its own; the description above is English.
constexpr LCID kCategoryLocale = 0x409;

constexpr int kMsgRegisterFailed = 129;
constexpr int kMsgRegistered = 130;
constexpr int kMsgUnregisterFailed = 131;
constexpr int kMsgUnregistered = 132;

// --- Switches

bool SameLetters(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
        return upper(x) == upper(y);
    });
}

// --- Registry

com::Registry& Reg() { return com::classesRoot(); }

std::u16string ClassKey(REFCLSID clsid) { return u"CLSID\\" + com::guidToWString(clsid); }

std::u16string Join(std::u16string_view key, std::u16string_view sub)
{
    std::u16string path(key);
    path += u'\\';
    path += sub;
    return path;
}

// A missing key is no failure: deleting one that is not there is fine.
void Check(com::RegResult result, std::u16string_view key)
{
    if (result == com::RegResult::ok || result == com::RegResult::notFound)
        return;
    const bool badName = result == com::RegResult::badName;
    throw ERegistrationError(badName ? E_INVALIDARG : REGDB_E_WRITEREGDB,
                             "registry key \"" + plat::utf16ToUtf8(key) + "\": " +
                                 (badName ? std::string("not a valid key name") : Reg().lastError()));
}

// The empty path would be the whole registry.
void CheckProgID(std::u16string_view progID)
{
    if (progID.empty())
        throw ERegistrationError(E_INVALIDARG, "empty ProgID");
}

void SetDefault(std::u16string_view key, std::u16string_view data) { Check(Reg().setValue(key, {}, data), key); }
void CreateKey(std::u16string_view key) { Check(Reg().createKey(key), key); }
void DeleteTree(std::u16string_view key) { Check(Reg().deleteTree(key), key); }

// A key whose default value is its only content.
bool OnlyDefaultLeft(std::u16string_view key)
{
    return Reg().subkeys(key).empty() && Reg().valueNames(key).empty();
}

// --- Service files

// A D-Bus name cannot hold a ProgID's spaces: the class ID names the class on the bus.
std::string BusName(REFCLSID clsid) { return com::busNameForClass(clsid); }

// What the bus's command-line parser (a shell's word splitting and quoting) takes as it is.
bool TakenAsItIs(std::string_view arg)
{
    return !arg.empty() && std::ranges::all_of(arg, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("_/.,:=+@%-").find(c) != std::string_view::npos;
    });
}

std::string ExecArgument(std::u16string_view arg)
{
    const std::string text = plat::utf16ToUtf8(arg);
    if (text.find_first_of("\n\r") != std::string::npos)
        throw ERegistrationError(E_INVALIDARG, "a service file cannot start \"" + text + "\": it holds a line break");
    if (TakenAsItIs(text))
        return text;
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadWholeFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

void WriteServiceFile(REFCLSID clsid, const std::u16string& programPath, const std::vector<std::u16string>& args)
{
    const std::filesystem::path file = ServiceFilePath(clsid);
    if (file.empty()) {
        qWarning("No data folder (neither XDG_DATA_HOME nor HOME): the session bus cannot start the server for a client");
        return;
    }
    const std::string text = ServiceFileText(BusName(clsid), programPath, args);
    // Every start rewrites the registration; an unchanged file is left alone.
    if (ReadWholeFile(file) == text)
        return;
    try {
        plat::SaveFile(file, text, {.createFolders = true});
    } catch (const plat::SaveFileError& e) {
        throw ERegistrationError(REGDB_E_WRITEREGDB, e.what());
    }
}

void RemoveServiceFile(REFCLSID clsid)
{
    const std::filesystem::path file = ServiceFilePath(clsid);
    std::error_code ec;
    if (!file.empty() && !std::filesystem::remove(file, ec) && ec)
        throw ERegistrationError(REGDB_E_WRITEREGDB, "service file " + file.string() + ": " + ec.message());
}

void WriteClassRegistration(const TClassFactoryEntry& f, const std::u16string& programPath)
{
    const std::u16string classKey = ClassKey(f.ClassID);
    const std::u16string localServer = Join(classKey, u"LocalServer32");
    SetDefault(classKey, f.Description);
    SetDefault(localServer, programPath);
    Check(Reg().setValue(localServer, com::kBusNameValue, plat::utf8ToUtf16(BusName(f.ClassID))), localServer);
    if (!f.ClassName.empty()) {
        const std::u16string progID = f.ProgID();
        SetDefault(progID, f.Description);
        SetDefault(Join(progID, u"Clsid"), com::guidToWString(f.ClassID));
        SetDefault(Join(classKey, u"ProgID"), progID);
    }
    if (f.TypeLibBased) {
        SetDefault(Join(classKey, u"TypeLib"), com::guidToWString(LIBID_VORN));
        SetDefault(Join(classKey, u"Version"), plat::utf8ToUtf16(std::to_string(kTypeLibMajorVersion) + "." +
                                                                 std::to_string(kTypeLibMinorVersion)));
    }
}

void RemoveClassRegistration(const TClassFactoryEntry& f)
{
    const std::u16string classKey = ClassKey(f.ClassID);
    if (f.TypeLibBased) {
        DeleteTree(Join(classKey, u"TypeLib"));
        DeleteTree(Join(classKey, u"Version"));
    }
    if (!f.ClassName.empty()) {
        const std::u16string progID = f.ProgID();
        DeleteTree(progID);
        // RegisterServer points the class at its own ProgID, which stays until
        // UnregisterServer.
        const std::u16string progIDKey = Join(classKey, u"ProgID");
        const auto named = Reg().value(progIDKey);
        if (named && SameLetters(plat::utf16ToUtf8(*named), plat::utf16ToUtf8(progID)))
            DeleteTree(progIDKey);
    }
    DeleteTree(Join(classKey, u"LocalServer32"));
    if (Reg().keyExists(classKey) && OnlyDefaultLeft(classKey))
        Check(Reg().deleteKey(classKey), classKey);
}

// --- Component categories

template <class I>
com::ComPtr<I> CategoriesManager()
{
    com::ComPtr<I> manager;
    const HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, uuidof<I>(),
                                        manager.putVoid());
    if (FAILED(hr) || !manager)
        throw ERegistrationError(FAILED(hr) ? hr : E_NOINTERFACE, "the component categories manager cannot be created");
    return manager;
}

// Whether some class still implements the category. When the manager cannot tell, the
// shared category counts as in use.
bool CategoryHasMembers(CATID catid)
{
    com::ComPtr<IEnumGUID> classes;
    if (FAILED(CategoriesManager<ICatInformation>()->EnumClassesOfCategories(1, &catid, static_cast<ULONG>(-1), nullptr,
                                                                              classes.put())) ||
        !classes)
        return true;
    GUID member;
    ULONG fetched = 0;
    return classes->Next(1, &member, &fetched) != S_FALSE;
}

// The reason goes to the log; the user sees the catalogue text.
void ReportFailure(const char* what, int message)
{
    try {
        throw;
    } catch (const std::exception& e) {
        qWarning("%s: %s", what, e.what());
    } catch (...) {
        qWarning("%s", what);
    }
    vx::ShowMessageDlg(vx::GetLangText(message), vx::mtWarning, vx::mbOKOnly);
}

template <class T>
TClassFactoryEntry Entry(REFCLSID clsid, std::u16string className, std::u16string description, bool typeLibBased,
                         typename com::ClassFactory<T>::Maker make)
{
    const auto factory = com::makeCom<com::ClassFactory<T>>(std::move(make));
    return {clsid, std::move(className), std::move(description), typeLibBased, com::ComPtr<IClassFactory>(factory.get())};
}

std::vector<TClassFactoryEntry> MakeClassFactories()
{
    std::vector<TClassFactoryEntry> list;
    list.push_back(Entry<TDA2>(CLSID_DA2, u"DA2", u"VORN DA2 Server", true, [] { return com::makeCom<TDA2>(); }));
    list.push_back(Entry<TOPCGroup>(CLSID_OPCGroup, u"OPCGroup", u"OPCGroup Object", true,
                                    [] { return com::makeCom<TOPCGroup>(nullptr, nullptr); }));
    list.push_back(Entry<TOPCItemAttEnumerator>(IID_IEnumOPCItemAttributes, u"TOPCItemAttEnumerator", u"VORN", false, [] {
        return com::makeCom<TOPCItemAttEnumerator>(std::vector<TOPCItemAttributes>{});
    }));
    list.push_back(Entry<TOPCStringsEnumerator>(IID_IEnumString, u"TOPCStringsEnumerator", u"VORN", false, [] {
        return com::makeCom<TOPCStringsEnumerator>(std::vector<std::u16string>{});
    }));
    list.push_back(Entry<TS3UnknownEnumerator>(IID_IEnumUnknown, u"TS3UnknownEnumerator", u"VORN", false, [] {
        return com::makeCom<TS3UnknownEnumerator>(std::vector<com::ComPtr<IUnknown>>{});
    }));
    return list;
}

}  // namespace

// --- Command line

TComServerSwitches ParseComServerSwitches(const std::vector<std::string>& args)
{
    TComServerSwitches s;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg.empty() || (arg[0] != '-' && arg[0] != '/'))
            continue;
        const std::string_view name = arg.substr(1);
        s.Automation |= SameLetters(name, "AUTOMATION");
        s.Embedding |= SameLetters(name, "EMBEDDING");
        s.RegServer |= SameLetters(name, "REGSERVER");
        s.UnregServer |= SameLetters(name, "UNREGSERVER");
    }
    return s;
}

// --- Class factories

std::u16string TClassFactoryEntry::ProgID() const { return std::u16string(kTypeLibName) + u"." + ClassName; }

const std::vector<TClassFactoryEntry>& ClassFactories()
{
    static const std::vector<TClassFactoryEntry> factories = MakeClassFactories();
    return factories;
}

HRESULT UpdateClassRegistration(bool registering, const std::u16string& programPath, std::string* error,
                                const std::vector<std::u16string>& activationArgs)
{
    try {
        if (registering) {
            const std::u16string helpDir = std::filesystem::path(programPath).parent_path().u16string();
            const HRESULT hr = com::registerTypeLib(
                {LIBID_VORN, kTypeLibMajorVersion, kTypeLibMinorVersion, kTypeLibLocale, programPath, helpDir});
            if (FAILED(hr))
                throw ERegistrationError(hr, "the type library cannot be registered");
            for (const TClassFactoryEntry& f : ClassFactories()) {
                WriteClassRegistration(f, programPath);
                WriteServiceFile(f.ClassID, programPath, activationArgs);
            }
        } else {
            for (const TClassFactoryEntry& f : ClassFactories()) {
                RemoveServiceFile(f.ClassID);
                RemoveClassRegistration(f);
            }
            // A type library that was never registered is as good as removed.
            const HRESULT hr = com::unregisterTypeLib(LIBID_VORN, kTypeLibMajorVersion, kTypeLibMinorVersion, kTypeLibLocale);
            if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS)
                throw ERegistrationError(hr, "the type library cannot be unregistered");
        }
        return S_OK;
    } catch (const ERegistrationError& e) {
        if (error)
            *error = e.what();
        return e.code();
    } catch (const std::bad_alloc&) {
        if (error)
            *error = "out of memory";
        return E_OUTOFMEMORY;
    }
}

std::filesystem::path ServiceFilePath(REFCLSID clsid)
{
    const std::filesystem::path dir = com::busServicesDir();
    return dir.empty() ? dir : dir / (BusName(clsid) + ".service");
}

std::string ServiceFileText(const std::string& busName, const std::u16string& programPath,
                            const std::vector<std::u16string>& activationArgs)
{
    std::string exec = ExecArgument(programPath) + " -Embedding";
    for (const std::u16string& arg : activationArgs)
        exec += " " + ExecArgument(arg);
    // The file's own reader takes "\\" for one backslash before the command line is split.
    std::string escaped;
    for (const char c : exec)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "[D-BUS Service]\nName=" + busName + "\nExec=" + escaped + "\n";
}

HRESULT TClassObjectRegistration::Register()
{
    if (Registered())
        return S_OK;
    return com::orOutOfMemory([&] {
        for (const TClassFactoryEntry& f : ClassFactories()) {
            DWORD cookie = 0;
            const HRESULT hr = CoRegisterClassObject(f.ClassID, f.Factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
            if (FAILED(hr)) {
                Revoke();
                return hr;
            }
            cookies_.push_back(cookie);
        }
        return S_OK;
    });
}

void TClassObjectRegistration::Revoke()
{
    for (const DWORD cookie : cookies_)
        CoRevokeClassObject(cookie);
    cookies_.clear();
}

void RegisterOPCClipboardFormats()
{
    OPCClipboardFormats.Data = RegisterClipboardFormatW(u"OPCSTMFORMATDATA");
    OPCClipboardFormats.DataTime = RegisterClipboardFormatW(u"OPCSTMFORMATDATATIME");
    OPCClipboardFormats.WriteComplete = RegisterClipboardFormatW(u"OPCSTMFORMATWRITECOMPLETE");
}

// --- Component categories

HRESULT AddComponentCategory(REFGUID catid, std::u16string_view description)
{
    CATEGORYINFO info{catid, kCategoryLocale, {}};
    const std::size_t length = std::min<std::size_t>(description.size(), std::size(info.szDescription) - 1);
    std::copy_n(description.begin(), length, info.szDescription);
    return CategoriesManager<ICatRegister>()->RegisterCategories(1, &info);
}

HRESULT RemoveComponentCategory(REFGUID catid, std::u16string_view)
{
    CATID list[] = {catid};
    return CategoriesManager<ICatRegister>()->UnRegisterCategories(1, list);
}

HRESULT RegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid)
{
    CATID list[] = {catid};
    return CategoriesManager<ICatRegister>()->RegisterClassImplCategories(clsid, 1, list);
}

HRESULT UnRegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid)
{
    CATID list[] = {catid};
    return CategoriesManager<ICatRegister>()->UnRegisterClassImplCategories(clsid, 1, list);
}

// --- The server's registration

void RegisterServer(std::u16string_view progID, bool& isRegistered)
{
    try {
        CheckProgID(progID);
        const std::u16string classKey = ClassKey(CLSID_DA2);
        SetDefault(progID, kServerDescription);
        SetDefault(Join(progID, u"Clsid"), com::guidToWString(CLSID_DA2));
        CreateKey(Join(progID, u"OPC"));
        SetDefault(classKey, kServerClassDescription);
        SetDefault(Join(classKey, u"ProgID"), progID);
        // The manager's results are not examined: only its absence stops the registration.
        AddComponentCategory(CATID_OPCDAServer20, kCategoryDescription);
        RegisterCLSIDInCategory(CLSID_DA2, CATID_OPCDAServer20);
    } catch (...) {
        ReportFailure("The server cannot be registered", kMsgRegisterFailed);
        return;
    }
    isRegistered = true;
    vx::ShowMessageDlg(vx::GetLangText(kMsgRegistered), vx::mtInformation, vx::mbOKOnly);
}

void UnregisterServer(std::u16string_view progID, bool& isRegistered)
{
    try {
        CheckProgID(progID);
        const std::u16string classKey = ClassKey(CLSID_DA2);
        DeleteTree(Join(classKey, u"ProgID"));
        DeleteTree(classKey);
        RemoveServiceFile(CLSID_DA2);
        DeleteTree(Join(progID, u"OPC"));
        DeleteTree(Join(progID, u"Clsid"));
        DeleteTree(progID);
        UnRegisterCLSIDInCategory(CLSID_DA2, CATID_OPCDAServer20);
        // Other OPC servers on this machine belong to the same category.
        if (!CategoryHasMembers(CATID_OPCDAServer20))
            RemoveComponentCategory(CATID_OPCDAServer20, kCategoryDescription);
    } catch (...) {
        ReportFailure("The server cannot be unregistered", kMsgUnregisterFailed);
        return;
    }
    isRegistered = false;
    vx::ShowMessageDlg(vx::GetLangText(kMsgUnregistered), vx::mtInformation, vx::mbOKOnly);
}

}  // namespace opc
