#include "errtext.h"

#include <algorithm>
#include <iterator>

#include "registry.h"

namespace com {
namespace {

template <class Code>
struct Entry {
    Code code;
    const char16_t* text;
};

// Win32 error codes; an HRESULT of FACILITY_WIN32 (0x8007xxxx) has the text of its low word.
constexpr Entry<DWORD> win32Texts[] = {
    {0, u"The operation completed successfully."},
    {1, u"Incorrect function."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {14, u"Not enough memory resources are available to complete this operation."},
    {87, u"The parameter is incorrect."},
};

constexpr Entry<HRESULT> comTexts[] = {
    {E_NOTIMPL, u"Not implemented"},
    {E_NOINTERFACE, u"No such interface supported"},
    {E_POINTER, u"Invalid pointer"},
    {E_ABORT, u"Operation aborted"},
    {E_FAIL, u"Unspecified error"},
    {E_UNEXPECTED, u"Catastrophic failure"},
    {RPC_E_CHANGED_MODE, u"Cannot change thread mode after it is set."},
    {DISP_E_UNKNOWNINTERFACE, u"Unknown interface."},
    {DISP_E_MEMBERNOTFOUND, u"Member not found."},
    {DISP_E_PARAMNOTFOUND, u"Parameter not found."},
    {DISP_E_TYPEMISMATCH, u"Type mismatch."},
    {DISP_E_UNKNOWNNAME, u"Unknown name."},
    {DISP_E_BADVARTYPE, u"Bad variable type."},
    {DISP_E_OVERFLOW, u"Out of present range."},
    {DISP_E_BADINDEX, u"Invalid index."},
    {DISP_E_ARRAYISLOCKED, u"Memory is locked."},
    {TYPE_E_REGISTRYACCESS, u"Error accessing the OLE registry."},
    {TYPE_E_ELEMENTNOTFOUND, u"Element not found."},
    {CLASS_E_NOAGGREGATION, u"Class does not support aggregation (or class object is remote)"},
    {CLASS_E_CLASSNOTAVAILABLE, u"ClassFactory cannot supply requested class"},
    {REGDB_E_READREGDB, u"Could not read key from registry"},
    {REGDB_E_WRITEREGDB, u"Could not write key to registry"},
    {REGDB_E_KEYMISSING, u"Could not find the key in the registry"},
    {REGDB_E_CLASSNOTREG, u"Class not registered"},
    // The system table holds texts of another component at these numbers; connection points
    // get the meanings their interface documents instead.
    {CONNECT_E_NOCONNECTION, u"There is no connection for this connection ID"},
    {CONNECT_E_ADVISELIMIT, u"This implementation's limit for advisory connections has been reached"},
    {CONNECT_E_CANNOTCONNECT, u"Connection attempt failed"},
    {CONNECT_E_OVERRIDDEN, u"Must use a derived interface to connect"},
    {CO_E_NOTINITIALIZED, u"CoInitialize has not been called."},
    {CO_E_OBJNOTCONNECTED, u"Object is not connected to server"},
};

template <class Code, std::size_t N>
const char16_t* find(const Entry<Code> (&table)[N], Code code)
{
    const auto it = std::find_if(std::begin(table), std::end(table), [code](const auto& e) { return e.code == code; });
    return it == std::end(table) ? nullptr : it->text;
}

}  // namespace

std::optional<std::u16string> systemMessageText(HRESULT code)
{
    const auto value = static_cast<DWORD>(code);
    const char16_t* text = find(comTexts, code);
    if (!text && (value & 0xFFFF0000u) == 0x80070000u)
        text = find(win32Texts, value & 0xFFFFu);
    if (!text && value <= 0xFFFFu)
        text = find(win32Texts, value);
    if (!text)
        return std::nullopt;
    return std::u16string(text);
}

}  // namespace com
