#pragma once
// The OPC Data Access 2.0 custom interfaces with their records, enumerations, result codes
// and quality bits, and the interface IDs of the OPC Common interfaces the server offers.
// Interfaces the server does not offer are named only by their IIDs, so that requests for
// them can be recognised.
#include "enums.h"
#include "filetime.h"
#include "variant.h"

// --- enumerations (4 bytes each, as in the published IDL)

enum OPCDATASOURCE : INT { OPC_DS_CACHE = 1, OPC_DS_DEVICE };
enum OPCBROWSETYPE : INT { OPC_BRANCH = 1, OPC_LEAF, OPC_FLAT };
enum OPCNAMESPACETYPE : INT { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT };
enum OPCBROWSEDIRECTION : INT { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN, OPC_BROWSE_TO };
enum OPCEUTYPE : INT { OPC_NOENUM = 0, OPC_ANALOG, OPC_ENUMERATED };
enum OPCSERVERSTATE : INT { OPC_STATUS_RUNNING = 1, OPC_STATUS_FAILED, OPC_STATUS_NOCONFIG, OPC_STATUS_SUSPENDED, OPC_STATUS_TEST };
enum OPCENUMSCOPE : INT {
    OPC_ENUM_PRIVATE_CONNECTIONS = 1,
    OPC_ENUM_PUBLIC_CONNECTIONS,
    OPC_ENUM_ALL_CONNECTIONS,
    OPC_ENUM_PRIVATE,
    OPC_ENUM_PUBLIC,
    OPC_ENUM_ALL
};

// Access rights are a bit mask, not an enumeration.
inline constexpr DWORD OPC_READABLE = 1;
inline constexpr DWORD OPC_WRITEABLE = 2;

// --- quality word: QQSSSSLL (quality, substatus, limit)

inline constexpr WORD OPC_QUALITY_MASK = 0xC0;
inline constexpr WORD OPC_STATUS_MASK = 0xFC;
inline constexpr WORD OPC_LIMIT_MASK = 0x03;

inline constexpr WORD OPC_QUALITY_BAD = 0x00;
inline constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
inline constexpr WORD OPC_QUALITY_GOOD = 0xC0;

inline constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
inline constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
inline constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
inline constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
inline constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
inline constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
inline constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;

inline constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
inline constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
inline constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
inline constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;

inline constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;

inline constexpr WORD OPC_LIMIT_OK = 0x00;
inline constexpr WORD OPC_LIMIT_LOW = 0x01;
inline constexpr WORD OPC_LIMIT_HIGH = 0x02;
inline constexpr WORD OPC_LIMIT_CONST = 0x03;

// --- result codes

inline constexpr HRESULT OPC_E_INVALIDHANDLE = MAKE_HR(0xC0040001);
inline constexpr HRESULT OPC_E_BADTYPE = MAKE_HR(0xC0040004);
inline constexpr HRESULT OPC_E_PUBLIC = MAKE_HR(0xC0040005);
inline constexpr HRESULT OPC_E_BADRIGHTS = MAKE_HR(0xC0040006);
inline constexpr HRESULT OPC_E_UNKNOWNITEMID = MAKE_HR(0xC0040007);
inline constexpr HRESULT OPC_E_INVALIDITEMID = MAKE_HR(0xC0040008);
inline constexpr HRESULT OPC_E_INVALIDFILTER = MAKE_HR(0xC0040009);
inline constexpr HRESULT OPC_E_UNKNOWNPATH = MAKE_HR(0xC004000A);
inline constexpr HRESULT OPC_E_RANGE = MAKE_HR(0xC004000B);
inline constexpr HRESULT OPC_E_DUPLICATENAME = MAKE_HR(0xC004000C);
inline constexpr HRESULT OPC_S_UNSUPPORTEDRATE = MAKE_HR(0x0004000D);
inline constexpr HRESULT OPC_S_CLAMP = MAKE_HR(0x0004000E);
inline constexpr HRESULT OPC_S_INUSE = MAKE_HR(0x0004000F);
inline constexpr HRESULT OPC_E_INVALIDCONFIGFILE = MAKE_HR(0xC0040010);
inline constexpr HRESULT OPC_E_NOTFOUND = MAKE_HR(0xC0040011);
inline constexpr HRESULT OPC_E_INVALID_PID = MAKE_HR(0xC0040203);
// Codes of OPC Alarms and Events that share the OPC error range.
inline constexpr HRESULT OPC_S_ALREADYACKED = MAKE_HR(0x00040200);
inline constexpr HRESULT OPC_S_INVALIDBUFFERTIME = MAKE_HR(0x00040201);
inline constexpr HRESULT OPC_S_INVALIDMAXSIZE = MAKE_HR(0x00040202);
inline constexpr HRESULT OPC_E_INVALIDTIME = MAKE_HR(0xC0040204);
inline constexpr HRESULT OPC_E_BUSY = MAKE_HR(0xC0040205);
inline constexpr HRESULT OPC_E_NOINFO = MAKE_HR(0xC0040206);

// --- records

struct OPCITEMDEF {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    WORD wReserved;
};

struct OPCITEMRESULT {
    OPCHANDLE hServer;
    VARTYPE vtCanonicalDataType;
    WORD wReserved;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
};

struct OPCITEMSTATE {
    OPCHANDLE hClient;
    FILETIME ftTimeStamp;
    WORD wQuality;
    WORD wReserved;
    VARIANT vDataValue;
};

struct OPCITEMATTRIBUTES {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    OPCHANDLE hServer;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    VARTYPE vtCanonicalDataType;
    OPCEUTYPE dwEUType;
    VARIANT vEUInfo;
};

struct OPCSERVERSTATUS {
    FILETIME ftStartTime;
    FILETIME ftCurrentTime;
    FILETIME ftLastUpdateTime;
    OPCSERVERSTATE dwServerState;
    DWORD dwGroupCount;
    DWORD dwBandWidth;
    WORD wMajorVersion;
    WORD wMinorVersion;
    WORD wBuildNumber;
    WORD wReserved;
    LPWSTR szVendorInfo;
};

// --- OPC Common

struct IOPCShutdown : IUnknown {
    static constexpr IID iid = {0xF31DFDE1, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
    virtual HRESULT ShutdownRequest(LPCWSTR szReason) = 0;
};

struct IOPCCommon : IUnknown {
    static constexpr IID iid = {0xF31DFDE2, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
    virtual HRESULT SetLocaleID(LCID dwLcid) = 0;
    virtual HRESULT GetLocaleID(LCID* pdwLcid) = 0;
    virtual HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) = 0;
    virtual HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) = 0;
    virtual HRESULT SetClientName(LPCWSTR szName) = 0;
};

// --- server object

struct IOPCServer : IUnknown {
    static constexpr IID iid = {0x39C13A4D, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup, LONG* pTimeBias,
                             FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                             REFIID riid, IUnknown** ppUnk) = 0;
    virtual HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
    virtual HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
    virtual HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
    virtual HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) = 0;
};

struct IOPCBrowseServerAddressSpace : IUnknown {
    static constexpr IID iid = {0x39C13A4F, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
    virtual HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) = 0;
    virtual HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                     DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) = 0;
    virtual HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
    virtual HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) = 0;
};

struct IOPCItemProperties : IUnknown {
    static constexpr IID iid = {0x39C13A72, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                             VARTYPE** ppvtDataTypes) = 0;
    virtual HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                      HRESULT** ppErrors) = 0;
    virtual HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                  HRESULT** ppErrors) = 0;
};

// --- group object

struct IOPCGroupStateMgt : IUnknown {
    static constexpr IID iid = {0x39C13A50, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                             DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) = 0;
    virtual HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                             FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) = 0;
    virtual HRESULT SetName(LPCWSTR szName) = 0;
    virtual HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
};

struct IOPCSyncIO : IUnknown {
    static constexpr IID iid = {0x39C13A52, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                         HRESULT** ppErrors) = 0;
    virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) = 0;
};

struct IOPCItemMgt : IUnknown {
    static constexpr IID iid = {0x39C13A54, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) = 0;
    virtual HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate, OPCITEMRESULT** ppValidationResults,
                                  HRESULT** ppErrors) = 0;
    virtual HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
    virtual HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) = 0;
    virtual HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) = 0;
    virtual HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) = 0;
    virtual HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) = 0;
};

struct IEnumOPCItemAttributes : IUnknown {
    static constexpr IID iid = {0x39C13A55, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;
};

struct IOPCDataCallback : IUnknown {
    static constexpr IID iid = {0x39C13A70, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror, DWORD dwCount,
                                 OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                 HRESULT* pErrors) = 0;
    virtual HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror, DWORD dwCount,
                                   OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                   HRESULT* pErrors) = 0;
    virtual HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount, OPCHANDLE* pClienthandles,
                                    HRESULT* pErrors) = 0;
    virtual HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;
};

struct IOPCAsyncIO2 : IUnknown {
    static constexpr IID iid = {0x39C13A71, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
    virtual HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
    virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID, DWORD* pdwCancelID,
                          HRESULT** ppErrors) = 0;
    virtual HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) = 0;
    virtual HRESULT Cancel2(DWORD dwCancelID) = 0;
    virtual HRESULT SetEnable(BOOL bEnable) = 0;
    virtual HRESULT GetEnable(BOOL* pbEnable) = 0;
};

inline constexpr IID IID_IOPCShutdown = IOPCShutdown::iid;
inline constexpr IID IID_IOPCCommon = IOPCCommon::iid;
inline constexpr IID IID_IOPCServer = IOPCServer::iid;
inline constexpr IID IID_IOPCBrowseServerAddressSpace = IOPCBrowseServerAddressSpace::iid;
inline constexpr IID IID_IOPCItemProperties = IOPCItemProperties::iid;
inline constexpr IID IID_IOPCGroupStateMgt = IOPCGroupStateMgt::iid;
inline constexpr IID IID_IOPCSyncIO = IOPCSyncIO::iid;
inline constexpr IID IID_IOPCItemMgt = IOPCItemMgt::iid;
inline constexpr IID IID_IEnumOPCItemAttributes = IEnumOPCItemAttributes::iid;
inline constexpr IID IID_IOPCDataCallback = IOPCDataCallback::iid;
inline constexpr IID IID_IOPCAsyncIO2 = IOPCAsyncIO2::iid;

// Interfaces of OPC DA 1.0 and 3.0 and of public groups, which this server does not offer.
inline constexpr IID IID_IOPCServerPublicGroups = {0x39C13A4E, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCPublicGroupStateMgt = {0x39C13A51, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCAsyncIO = {0x39C13A53, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCItemDeadbandMgt = {0x5946DA93, 0x8B39, 0x4EC8, {0xAB, 0x3D, 0xAA, 0x73, 0xDF, 0x5B, 0xC8, 0x6F}};
inline constexpr IID IID_IOPCAsyncIO3 = {0x0967B97B, 0x36EF, 0x423E, {0xB6, 0xF8, 0x6B, 0xFF, 0x1E, 0x40, 0xD3, 0x9D}};
inline constexpr IID IID_IOPCSyncIO2 = {0x730F5F0F, 0x55B1, 0x4C81, {0x9E, 0x18, 0xFF, 0x8A, 0x09, 0x04, 0xE1, 0xFA}};
inline constexpr IID IID_IOPCItemSamplingMgt = {0x3E22D313, 0xF08B, 0x41A5, {0x86, 0xC8, 0x95, 0xE9, 0x5C, 0xB4, 0x9F, 0xFC}};
inline constexpr IID IID_IOPCGroupStateMgt2 = {0x8E368666, 0xD72E, 0x4F78, {0x87, 0xED, 0x64, 0x76, 0x11, 0xC6, 0x1C, 0x9F}};
inline constexpr IID IID_IOPCBrowse = {0x39227004, 0xA18F, 0x4B57, {0x8B, 0x0A, 0x52, 0x35, 0x67, 0x0F, 0x44, 0x68}};
inline constexpr IID IID_IOPCItemIO = {0x85C0B427, 0x2893, 0x4CBC, {0xBD, 0x78, 0xE5, 0xFC, 0x51, 0x46, 0xF0, 0x8F}};
// The data-stream interface of OPC DA 1.0 groups.
inline constexpr IID IID_IDataObject = {0x0000010E, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The OPC Data Access 2.0 server category.
inline constexpr CATID CATID_OPCDAServer20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
