#include "opc_props.h"

#include <QLoggingCategory>

#include <string>

#include "comm/vx_variable.h"
#include "opc_arrays.h"
#include "opc_enums.h"
#include "opc_globals.h"
#include "platform/com/enums.h"
#include "platform/text.h"

namespace opc {

HRESULT GetVariablePropertyValue(const vx::TVariable& variable, std::int32_t id, com::Variant& out)
{
    out.clear();
    switch (id & 0xFFFF) {
    case pidDataType:
        // The type clients see: the engineering type of a scaled variable.
        out.setI2(static_cast<SHORT>(variable.RequestedType));
        return S_OK;
    case pidValue: {
        if (variable.Value.vt() == variable.CanonicalType) {
            out = variable.Value;
            return S_OK;
        }
        com::Variant converted;
        const HRESULT hr = VariantChangeType(converted.get(), variable.Value.get(), 0, variable.CanonicalType);
        if (FAILED(hr))
            return hr;
        out = std::move(converted);
        return S_OK;
    }
    case pidQuality:
        out.setI2(static_cast<SHORT>(variable.Quality));
        return S_OK;
    case pidTimeStamp:
        out.setDate(variable.LastUpdate);
        return S_OK;
    case pidRights:
        out.setI4(static_cast<LONG>((variable.Readable ? OPC_READABLE : 0) | (variable.Writable ? OPC_WRITEABLE : 0)));
        return S_OK;
    case pidScanRate:
        out.setR4(10.0f);
        return S_OK;
    case pidUnits:
        out.setString(std::string_view(variable.Units));
        return S_OK;
    case pidDescription:
        out.setString(std::string_view(variable.Comment));
        return S_OK;
    case pidHiEU:
        out.setR8(variable.EuHigh);
        return S_OK;
    case pidLoEU:
        out.setR8(variable.EuLow);
        return S_OK;
    case pidHiRange:
        out.setR8(variable.RawHigh);
        return S_OK;
    case pidLoRange:
        out.setR8(variable.RawLow);
        return S_OK;
    case pidCloseLabel:
        out.setString(std::string_view(variable.TrueText));
        return S_OK;
    case pidOpenLabel:
        out.setString(std::string_view(variable.FalseText));
        return S_OK;
    case pidDeadband:
        // Variables carry no deadband of their own.
        out.setR8(0.0);
        return S_OK;
    case pidHiHiLimit:
        out.setR8(variable.HiHiLimit);
        return S_OK;
    case pidHiLimit:
        out.setR8(variable.HiLimit);
        return S_OK;
    case pidLoLimit:
        out.setR8(variable.LoLimit);
        return S_OK;
    case pidLoLoLimit:
        out.setR8(variable.LoLoLimit);
        return S_OK;
    default:
        return E_INVALIDARG;
    }
}

namespace {

Q_LOGGING_CATEGORY(lcItemProps, "vx.opc.props")

// GetItemProperties reads no more than this many properties; larger counts are refused before
// anything is allocated, and LookupItemIDs keeps the same bound.
constexpr DWORD kMaxPropertyCount = 65536;

// Property IDs are compared on their low 16 bits.
std::int32_t propertyOf(DWORD id) { return static_cast<std::int32_t>(id & 0xFFFF); }

// The catalogue entry of an item ID, which may name one of the variable's properties.
const Titem* findEntry(LPCWSTR szItemID)
{
    std::int32_t propertyID = 0;
    return FindItemByID(plat::utf16ToUtf8(szItemID), propertyID);
}

// A task-allocated array of task-allocated strings; both are freed unless handed out.
class TaskStringArray {
public:
    explicit TaskStringArray(std::size_t n) : strings_(n), n_(n) {}
    ~TaskStringArray()
    {
        if (strings_)
            for (std::size_t i = 0; i < n_; ++i)
                CoTaskMemFree(strings_[i]);
    }
    TaskStringArray(const TaskStringArray&) = delete;
    TaskStringArray& operator=(const TaskStringArray&) = delete;

    explicit operator bool() const { return static_cast<bool>(strings_); }
    bool set(std::size_t i, std::u16string_view text)
    {
        strings_[i] = com::taskString(text);
        return strings_[i] != nullptr;
    }
    LPWSTR* release() { return strings_.release(); }

private:
    TaskArray<LPWSTR> strings_;
    std::size_t n_;
};

}  // namespace

HRESULT TOPCItemProp::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                               VARTYPE** ppvtDataTypes)
{
    if (pdwCount)
        *pdwCount = 0;
    if (ppPropertyIDs)
        *ppPropertyIDs = nullptr;
    if (ppDescriptions)
        *ppDescriptions = nullptr;
    if (ppvtDataTypes)
        *ppvtDataTypes = nullptr;
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes)
        return E_POINTER;
    if (!szItemID)
        return E_INVALIDARG;
    return com::orOutOfMemory([&] {
        VARTYPE valueType = VT_EMPTY;
        {
            OPCLockGuard lock(OPCLock);
            const Titem* entry = findEntry(szItemID);
            if (!entry)
                return OPC_E_INVALIDITEMID;
            valueType = entry->CanonicalType;
        }
        TaskArray<DWORD> ids(kItemPropertyCount);
        TaskStringArray descriptions(kItemPropertyCount);
        TaskArray<VARTYPE> types(kItemPropertyCount);
        if (!ids || !descriptions || !types)
            return E_OUTOFMEMORY;
        // Every item has all of them, whatever its type.
        for (int i = 0; i < kItemPropertyCount; ++i) {
            const TItemPropertyInfo& p = ItemPropertyNames[i];
            ids[i] = static_cast<DWORD>(p.ID);
            types[i] = p.ID == pidValue ? valueType : p.Type;
            if (!descriptions.set(i, plat::utf8ToUtf16(p.Description)))
                return E_OUTOFMEMORY;
        }
        *pdwCount = kItemPropertyCount;
        *ppPropertyIDs = ids.release();
        *ppDescriptions = descriptions.release();
        *ppvtDataTypes = types.release();
        return S_OK;
    });
}

HRESULT TOPCItemProp::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData, HRESULT** ppErrors)
{
    if (ppvData)
        *ppvData = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (!ppvData || !ppErrors)
        return E_POINTER;
    if (dwCount == 0 || dwCount > kMaxPropertyCount || !pdwPropertyIDs || !szItemID)
        return E_INVALIDARG;
    return com::orOutOfMemory([&] {
        const Titem* entry = findEntry(szItemID);
        if (!entry)
            return OPC_E_INVALIDITEMID;
        TaskArray<VARIANT> values(dwCount);
        TaskArray<HRESULT> errors(dwCount);
        if (!values || !errors)
            return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            const std::int32_t id = propertyOf(pdwPropertyIDs[i]);
            if (!FindItemProperty(id)) {
                errors[i] = OPC_E_INVALID_PID;
                result = S_FALSE;
                continue;
            }
            com::Variant value;
            HRESULT hr = OPC_E_UNKNOWNITEMID;
            {
                OPCLockGuard lock(OPCLock);
                if (entry->Variable)
                    hr = GetVariablePropertyValue(*entry->Variable, id, value);
            }
            if (hr == E_OUTOFMEMORY)
                return E_OUTOFMEMORY;
            if (FAILED(hr)) {
                // A value that cannot be delivered fails its entry only; the client is not
                // kept waiting on a message box.
                qCWarning(lcItemProps, "%s: %s %d", plat::utf16ToUtf8(szItemID).c_str(),
                          plat::utf16ToUtf8(GetOPCErrorString(hr)).c_str(), id);
                errors[i] = OPC_E_INVALID_PID;
                result = S_FALSE;
                continue;
            }
            values[i] = value.detach();
            errors[i] = S_OK;
        }
        *ppvData = values.release();
        *ppErrors = errors.release();
        return result;
    });
}

HRESULT TOPCItemProp::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs, HRESULT** ppErrors)
{
    if (ppszNewItemIDs)
        *ppszNewItemIDs = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (!ppszNewItemIDs || !ppErrors)
        return E_POINTER;
    if (dwCount == 0 || dwCount > kMaxPropertyCount || !pdwPropertyIDs || !szItemID)
        return E_INVALIDARG;
    return com::orOutOfMemory([&] {
        if (!findEntry(szItemID))
            return OPC_E_INVALIDITEMID;
        TaskStringArray newIDs(dwCount);
        TaskArray<HRESULT> errors(dwCount);
        if (!newIDs || !errors)
            return E_OUTOFMEMORY;
        // The client's ID as it came, even when it already names a property.
        const std::u16string base = std::u16string(szItemID) + u".";
        HRESULT result = S_OK;
        OPCLockGuard lock(OPCLock);
        for (DWORD i = 0; i < dwCount; ++i) {
            const std::int32_t id = propertyOf(pdwPropertyIDs[i]);
            // Only the properties past the first six have item IDs of their own here, although
            // AddItems takes the keywords of all of them.
            const bool hasItemID = id > pidScanRate && FindItemProperty(id);
            errors[i] = hasItemID ? S_OK : OPC_E_INVALID_PID;
            if (!hasItemID)
                result = S_FALSE;
            // Refused entries get an empty text: the client must not use it, but may free it.
            const std::u16string text = hasItemID ? base + plat::utf8ToUtf16(GetItemPropertyName(id)) : std::u16string();
            if (!newIDs.set(i, text))
                return E_OUTOFMEMORY;
        }
        *ppszNewItemIDs = newIDs.release();
        *ppErrors = errors.release();
        return result;
    });
}

}  // namespace opc
