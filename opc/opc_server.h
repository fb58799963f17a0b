#pragma once
// The OPC server object: one per client connection. It owns the client's groups and offers
// the server-level interfaces of OPC Data Access 2.0.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "opc_props.h"
#include "opc_typelib.h"
#include "platform/com/connpoint.h"
#include "platform/com/opcda.h"
#include "platform/com/locale.h"
#include "platform/com/persist.h"

namespace opc {

class TOPCGroup;

// Item server handles: one counter for the whole process, pre-incremented, first value 2.
OPCHANDLE NextItemHandle();

// The vendor line of GetStatus.
inline constexpr char16_t kVendorInfo[] = u"Vorn OPC Data Access 2.0 server for Vorn PLCs";

// A parsed browse filter: "*" ends the pattern, "?" stands for one character, "#" for one
// decimal digit. Positions are 1-based.
struct TSelectionFilter {
    std::string Pattern;
    bool MatchAll = false;
    bool HasStar = false;
    bool HasQuestion = false;
    bool HasHash = false;
    std::int32_t PrefixLength = -1;
    std::vector<std::int32_t> QuestionPositions;
    std::vector<std::int32_t> HashPositions;
};
TSelectionFilter ParseBrowseFilter(std::string_view filter);
// Whether itemID passes the filter.
bool BrowseFilterMatches(const TSelectionFilter& filter, std::string_view itemID);

class TDA2 : public com::ComObject<IOPCServer, IOPCCommon, IOPCBrowseServerAddressSpace, IOPCItemProperties,
                                   com::ConnectionPointContainer, IPersistFile, com::DispatchWithoutTypeInfo<IDA2>> {
public:
    // Registers itself in OPCRegistry.Servers (monitor event 4) when the registry exists.
    TDA2();
    // Tears the groups down and leaves OPCRegistry.Servers (monitor event 5).
    ~TDA2() override;

    TOPCItemProp ItemProps;
    void* RuntimeNode = nullptr;  // the runtime monitor's node; not owned
    // The groups, in order of creation. Not counted references: a group is the client's, and
    // leaves the list when it goes.
    std::vector<TOPCGroup*> Groups;
    std::vector<TOPCGroup*> PublicGroups;  // nothing ever adds to it
    DWORD LastGroupHandle = 1;
    LCID LocaleID = LOCALE_SYSTEM_DEFAULT;
    std::string ClientName;
    double StartTime = 0;
    double LastUpdateTime = 0;
    com::ComPtr<IUnknown> ShutdownSink;

    void UpdateGroups(bool force, double time);
    DWORD NextGroupHandle() { return ++LastGroupHandle; }
    static std::int32_t FindGroupIndex(const std::vector<TOPCGroup*>& list, OPCHANDLE handle);
    static void RemoveGroupByHandle(std::vector<TOPCGroup*>& list, OPCHANDLE handle);
    static std::int32_t FindGroupIndexByName(const std::vector<TOPCGroup*>& list, std::string_view name);
    bool GroupNameExists(std::string_view name) const;
    // The name of an unnamed group: "Group_" and the first free number from the group count
    // + 2 on; empty when none is free below 65536.
    std::string NewGroupName() const;
    // A new group in Groups with name, filled by source's CopyTo; the interface riid of it in
    // ppUnk.
    HRESULT CreateClonedGroup(const std::string& name, TOPCGroup& source, REFIID riid, IUnknown** ppUnk);
    std::int32_t RegistryIndex() const;
    void ShutdownConnect(IUnknown* sink, bool connecting);

    // IOPCServer
    HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup, LONG* pTimeBias,
                     FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                     IUnknown** ppUnk) override;
    HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;
    HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) override;

    // IOPCCommon
    HRESULT SetLocaleID(LCID dwLcid) override;
    HRESULT GetLocaleID(LCID* pdwLcid) override;
    HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    HRESULT SetClientName(LPCWSTR szName) override;

    // IOPCBrowseServerAddressSpace
    HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                             DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) override;
    HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override;

    // IOPCItemProperties
    HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                     VARTYPE** ppvtDataTypes) override;
    HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                              HRESULT** ppErrors) override;
    HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                          HRESULT** ppErrors) override;

    // IPersist, IPersistFile: nothing to persist.
    HRESULT GetClassID(CLSID* pClassID) override;
    HRESULT IsDirty() override;
    HRESULT Load(LPCOLESTR pszFileName, DWORD dwMode) override;
    HRESULT Save(LPCOLESTR pszFileName, BOOL fRemember) override;
    HRESULT SaveCompleted(LPCOLESTR pszFileName) override;
    HRESULT GetCurFile(LPOLESTR* ppszFileName) override;

protected:
    void* queryBase(REFIID riid) override;

private:
    com::ConnectionPoint* shutdownPoint_ = nullptr;
};

}  // namespace opc
