#include "opc_props.h"

#include "comm/vx_variable.h"
#include "opc_globals.h"

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

HRESULT TOPCItemProp::QueryAvailableProperties(LPWSTR, DWORD*, DWORD**, LPWSTR**, VARTYPE**) { return E_NOTIMPL; }
HRESULT TOPCItemProp::GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT**, HRESULT**) { return E_NOTIMPL; }
HRESULT TOPCItemProp::LookupItemIDs(LPWSTR, DWORD, DWORD*, LPWSTR**, HRESULT**) { return E_NOTIMPL; }

}  // namespace opc
