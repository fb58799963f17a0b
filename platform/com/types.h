#pragma once
// Basic COM types with the Windows widths (never C long), GUIDs and result codes.
#include <compare>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = std::uint32_t;
using VARTYPE = std::uint16_t;
using FLOAT = float;
using DOUBLE = double;
using DATE = double;
using OPCHANDLE = DWORD;
using OLECHAR = char16_t;
using WCHAR = char16_t;
using LPWSTR = OLECHAR*;
using LPCWSTR = const OLECHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using VARIANT_BOOL = std::int16_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
    friend bool operator<(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

namespace com {
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as the registry stores it.
std::string guidToString(const GUID& g);
std::u16string guidToWString(const GUID& g);
// Accepts the braced form in either case; nullopt for anything else.
std::optional<GUID> guidFromString(std::string_view text);
}  // namespace com

constexpr HRESULT MAKE_HR(std::uint32_t v) { return static_cast<HRESULT>(v); }
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MAKE_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MAKE_HR(0x80004002);
inline constexpr HRESULT E_POINTER = MAKE_HR(0x80004003);
inline constexpr HRESULT E_ABORT = MAKE_HR(0x80004004);
inline constexpr HRESULT E_FAIL = MAKE_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MAKE_HR(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MAKE_HR(0x80070005);
inline constexpr HRESULT E_HANDLE = MAKE_HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = MAKE_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MAKE_HR(0x80070057);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MAKE_HR(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MAKE_HR(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MAKE_HR(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MAKE_HR(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MAKE_HR(0x80020006);
inline constexpr HRESULT DISP_E_BADVARTYPE = MAKE_HR(0x80020008);
inline constexpr HRESULT DISP_E_OVERFLOW = MAKE_HR(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = MAKE_HR(0x8002000B);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = MAKE_HR(0x8002000D);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MAKE_HR(0x8002802B);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MAKE_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MAKE_HR(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MAKE_HR(0x80040154);
inline constexpr HRESULT REGDB_E_KEYMISSING = MAKE_HR(0x80040152);
inline constexpr HRESULT CO_E_NOTINITIALIZED = MAKE_HR(0x800401F0);
inline constexpr HRESULT CO_E_OBJNOTCONNECTED = MAKE_HR(0x800401FD);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = MAKE_HR(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = MAKE_HR(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = MAKE_HR(0x80040202);
inline constexpr HRESULT CONNECT_E_OVERRIDDEN = MAKE_HR(0x80040203);
inline constexpr HRESULT RPC_E_CHANGED_MODE = MAKE_HR(0x80010106);
