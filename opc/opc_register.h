#pragma once
// Making the server known to the system: the class factories of the OPC objects with their
// class registration, the type library, the clipboard formats of the OPC data stream, the
// command-line switches of a COM server, and the server's own ProgID keys with its membership
// in the OPC Data Access 2.0 category.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/runtime.h"

namespace opc {

// The ProgID the main window registers the server under.
inline constexpr char16_t kServerProgID[] = u"Vorn OPC Server";

// The type library the type-library based classes belong to.
inline constexpr GUID LIBID_VORN = {0x499F44E9, 0xF6DA, 0x49C7, {0xAF, 0x70, 0x68, 0x8F, 0x79, 0x46, 0x03, 0xCE}};
inline constexpr char16_t kTypeLibName[] = u"VORN";
inline constexpr WORD kTypeLibMajorVersion = 2;
inline constexpr WORD kTypeLibMinorVersion = 0;
inline constexpr LCID kTypeLibLocale = 0x409;

// A registry key or the component categories manager failed; code is the failure's HRESULT.
class ERegistrationError : public std::runtime_error {
public:
    ERegistrationError(HRESULT code, const std::string& what) : std::runtime_error(what), code_(code) {}
    HRESULT code() const { return code_; }

private:
    HRESULT code_;
};

// --- Command line

// The switches of a COM server, each after "-" or "/", in any letter case.
struct TComServerSwitches {
    bool Automation = false;
    bool Embedding = false;
    bool RegServer = false;
    bool UnregServer = false;

    // Started by COM to serve a client.
    bool StartedByCom() const { return Automation || Embedding; }
    // The program ends once the class registration is written or removed.
    bool EndsAfterRegistration() const { return RegServer || UnregServer; }
};
// args[0] is the program and is not examined; other arguments are ignored.
TComServerSwitches ParseComServerSwitches(const std::vector<std::string>& args);
// This run's switches, recorded by the program entry.
extern TComServerSwitches StartSwitches;

// --- Class factories and their registration

struct TClassFactoryEntry {
    CLSID ClassID;
    std::u16string ClassName;    // the ProgID is the type library's name, "." and this
    std::u16string Description;  // the class key's default value
    bool TypeLibBased;           // the class key names the type library
    com::ComPtr<IClassFactory> Factory;

    std::u16string ProgID() const;
};
// The factories of TDA2, TOPCGroup, TOPCItemAttEnumerator, TOPCStringsEnumerator and
// TS3UnknownEnumerator, created on the first call. A group made by its factory belongs to no
// server object, and an enumerator made by one is empty.
const std::vector<TClassFactoryEntry>& ClassFactories();

// Registering: the type library, then every factory's class key with its description,
// LocalServer32 with programPath and the named value "BusName" (the class's name on the
// session bus), the ProgID with its description and Clsid key, the class's ProgID key and,
// for the type-library based ones, TypeLib and Version; and the class's service file in
// com::busServicesDir(), which starts programPath with "-Embedding" and activationArgs.
// Removing: the same entries, the service files and the type library; a class key goes only
// when nothing else is left in it, so what RegisterServer wrote (category membership, its
// ProgID) stays. Stops at the first failure with its code (and the reason in *error); what
// was written before stays.
HRESULT UpdateClassRegistration(bool registering, const std::u16string& programPath, std::string* error = nullptr,
                                const std::vector<std::u16string>& activationArgs = {});

// The service file of a class: "<bus name>.service" in com::busServicesDir(); empty when the
// user has no data folder.
std::filesystem::path ServiceFilePath(REFCLSID clsid);
// Its content. Arguments with characters the bus's command-line parser treats specially are
// quoted; ERegistrationError (E_INVALIDARG) for one with a line break, which a service file
// cannot hold.
std::string ServiceFileText(const std::string& busName, const std::u16string& programPath,
                            const std::vector<std::u16string>& activationArgs);

// Every factory's class object registered with COM (multiple use, local server) while this
// lives.
class TClassObjectRegistration {
public:
    TClassObjectRegistration() = default;
    ~TClassObjectRegistration() { Revoke(); }
    TClassObjectRegistration(const TClassObjectRegistration&) = delete;
    TClassObjectRegistration& operator=(const TClassObjectRegistration&) = delete;

    // The calling thread's apartment must be initialised. A failure revokes the class
    // objects registered before it.
    HRESULT Register();
    void Revoke();
    bool Registered() const { return !cookies_.empty(); }

private:
    std::vector<DWORD> cookies_;
};

// The formats of the OPC data-stream standard; no data is ever exchanged in them.
struct TOPCClipboardFormats {
    UINT Data = 0;           // "OPCSTMFORMATDATA"
    UINT DataTime = 0;       // "OPCSTMFORMATDATATIME"
    UINT WriteComplete = 0;  // "OPCSTMFORMATWRITECOMPLETE"
};
extern TOPCClipboardFormats OPCClipboardFormats;
void RegisterOPCClipboardFormats();

// --- Component categories

// Each obtains the standard component categories manager, which must be registered with COM
// in the process, and returns the manager's result; ERegistrationError when the manager
// cannot be created. The description is cut to 127 characters and stored for the English
// locale.
HRESULT AddComponentCategory(REFGUID catid, std::u16string_view description);
HRESULT RemoveComponentCategory(REFGUID catid, std::u16string_view description);
HRESULT RegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid);
HRESULT UnRegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid);

// --- The server's registration

// Writes the ProgID's keys, the server class's description and ProgID key and its membership
// in the OPC Data Access 2.0 category, then sets isRegistered and tells the user (message
// 130). A failure stops at that step, keeps the keys written before and isRegistered, and
// tells the user (message 129); nothing is thrown.
void RegisterServer(std::u16string_view progID, bool& isRegistered);
// Removes the server class's key (and its service file), the ProgID's keys and the
// membership, and the category too when no other class is left in it; then clears
// isRegistered (message 132). A failure tells
// the user (message 131) and keeps isRegistered; nothing is thrown.
void UnregisterServer(std::u16string_view progID, bool& isRegistered);

}  // namespace opc
