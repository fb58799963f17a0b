#pragma once
// Finding a class by name: a ProgID names a class ID in the registry (com::classesRoot()),
// and the class's key names its ProgID back. Clients of another process look classes up
// this way before they create them.
#include "types.h"

inline constexpr HRESULT CO_E_CLASSSTRING = MAKE_HR(0x800401F3);

// The class ID in the default value of "<ProgID>\CLSID". E_INVALIDARG for a null pointer;
// CO_E_CLASSSTRING when the ProgID is not registered or its value is no class ID.
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);
// A class ID in registry form ("{...}", either case), else a ProgID as CLSIDFromProgID.
HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid);
// The default value of "CLSID\{...}\ProgID", allocated with the task allocator (the caller
// frees it). E_INVALIDARG for a null pointer; REGDB_E_CLASSNOTREG when the class names none.
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
