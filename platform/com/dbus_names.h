#pragma once
// Names on the message bus that client and server processes must agree on: the bus name and
// object path of a class object, the registry value naming the bus name, the interface names,
// and the result codes a call over the bus can give besides the method's own.
#include <string>

#include "types.h"

// A call could not reach its object or its answer could not be read.
inline constexpr HRESULT RPC_E_INVALID_DATA = MAKE_HR(0x8001000F);
inline constexpr HRESULT RPC_E_FAULT = MAKE_HR(0x80010104);
inline constexpr HRESULT RPC_E_INVALIDMETHOD = MAKE_HR(0x80010107);
inline constexpr HRESULT RPC_E_DISCONNECTED = MAKE_HR(0x80010108);
inline constexpr HRESULT RPC_E_WRONG_THREAD = MAKE_HR(0x8001010E);
inline constexpr HRESULT RPC_E_TIMEOUT = MAKE_HR(0x8001011F);
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE = MAKE_HR(0x800706BA);
// The program serving a class could not be started, or did not answer in time.
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MAKE_HR(0x80080005);

namespace com {

// The registry value under "CLSID\{...}\LocalServer32" holding the class's bus name.
inline constexpr char16_t kBusNameValue[] = u"BusName";

// "org.vorn.Com.C" and the 32 upper-case hex digits of the class ID in its textual order:
// {499F44E9-F6DA-49C7-AF70-688F794603CE} gives "org.vorn.Com.C499F44E9F6DA49C7AF70688F794603CE".
inline std::string busNameForClass(REFCLSID clsid)
{
    std::string name = "org.vorn.Com.C";
    for (const char c : guidToString(clsid))
        if (c != '{' && c != '}' && c != '-')
            name += c;
    return name;
}

// Where the server process answers for the class object: "/class/" and the same 32 digits.
inline std::string classObjectPath(REFCLSID clsid)
{
    return "/class/" + busNameForClass(clsid).substr(14);
}

// A COM interface's methods are members of the bus interface of this prefix and its name
// ("org.vorn.Com.IOPCSyncIO"); IUnknown's own messages (Release, Ping) use "org.vorn.Com.IUnknown".
inline constexpr char kInterfacePrefix[] = "org.vorn.Com.";

}  // namespace com
