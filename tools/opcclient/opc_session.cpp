#include "opc_session.h"

#include <algorithm>
#include <memory>

#include "platform/com/alloc.h"
#include "platform/com/connpoint.h"
#include "platform/com/enums.h"
#include "platform/com/locale.h"
#include "platform/com/progid.h"
#include "platform/text.h"

namespace opcclient {
namespace {

constexpr OPCHANDLE kClientGroup = 1;

// An array the server handed out, freed with the task allocator when it goes.
template <class T>
struct TaskArray {
    T* p = nullptr;
    ~TaskArray() { CoTaskMemFree(p); }
    T** put() { return &p; }
    T& operator[](std::size_t i) const { return p[i]; }
    explicit operator bool() const { return p != nullptr; }
};

std::string TakeString(LPWSTR s)
{
    std::string text = s ? plat::utf16ToUtf8(s) : std::string();
    CoTaskMemFree(s);
    return text;
}

}  // namespace

// --- Sink

HRESULT TSink::Deliver(TCallback::TKind kind, DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count,
                       OPCHANDLE* clients, VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors)
{
    if (count > 0 && !clients)
        return E_INVALIDARG;
    return com::orOutOfMemory([&] {
        TCallback c;
        c.Kind = kind;
        c.TransactionID = tid;
        c.Group = group;
        c.MasterQuality = mq;
        c.MasterError = me;
        c.Items.resize(count);
        for (DWORD i = 0; i < count; ++i) {
            TItemValue& item = c.Items[i];
            item.Client = clients[i];
            if (values)
                item.Value = com::Variant(values[i]);
            if (qualities)
                item.Quality = qualities[i];
            if (times)
                item.TimeStamp = times[i];
            if (errors)
                item.Error = errors[i];
        }
        if (OnCallback)
            OnCallback(std::move(c));
        return S_OK;
    });
}

HRESULT TSink::OnDataChange(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count, OPCHANDLE* clients,
                            VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors)
{
    return Deliver(TCallback::DataChange, tid, group, mq, me, count, clients, values, qualities, times, errors);
}

HRESULT TSink::OnReadComplete(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count, OPCHANDLE* clients,
                              VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors)
{
    return Deliver(TCallback::ReadComplete, tid, group, mq, me, count, clients, values, qualities, times, errors);
}

HRESULT TSink::OnWriteComplete(DWORD tid, OPCHANDLE group, HRESULT me, DWORD count, OPCHANDLE* clients, HRESULT* errors)
{
    return Deliver(TCallback::WriteComplete, tid, group, S_OK, me, count, clients, nullptr, nullptr, nullptr, errors);
}

HRESULT TSink::OnCancelComplete(DWORD tid, OPCHANDLE group)
{
    return Deliver(TCallback::CancelComplete, tid, group, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
}

HRESULT TSink::ShutdownRequest(LPCWSTR reason)
{
    return com::orOutOfMemory([&] {
        if (OnShutdown)
            OnShutdown(reason ? plat::utf16ToUtf8(reason) : std::string());
        return S_OK;
    });
}

// --- Session

TSession::TSession() : sink_(com::makeCom<TSink>()) {}

TSession::~TSession() { Close(); }

HRESULT TSession::Connect(const std::string& server, const std::string& clientName, std::string* why)
{
    auto fail = [&](HRESULT hr, const std::string& text) {
        if (why)
            *why = text;
        return hr;
    };
    Close();
    const std::u16string name = plat::utf8ToUtf16(server);
    CLSID clsid = GUID_NULL;
    if (const HRESULT hr = CLSIDFromString(name.c_str(), &clsid); FAILED(hr))
        return fail(hr, "\"" + server + "\" is no class ID and no registered ProgID");
    com::ComPtr<IOPCServer> created;
    if (const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, created.putVoid());
        FAILED(hr) || !created)
        return fail(FAILED(hr) ? hr : E_NOINTERFACE, "the server " + com::guidToString(clsid) + " cannot be created");
    server_ = std::move(created);

    com::ComPtr<IOPCCommon> common;
    if (SUCCEEDED(server_.as(common)) && common && !clientName.empty())
        common->SetClientName(plat::utf8ToUtf16(clientName).c_str());
    Advise(com::ComPtr<IUnknown>(server_.get()), IID_IOPCShutdown, &shutdownCookie_);
    return S_OK;
}

HRESULT TSession::Advise(const com::ComPtr<IUnknown>& object, REFIID iid, DWORD* cookie)
{
    com::ComPtr<IConnectionPointContainer> container;
    com::ComPtr<IConnectionPoint> point;
    HRESULT hr = object.as(container);
    if (SUCCEEDED(hr))
        hr = container->FindConnectionPoint(iid, point.put());
    if (SUCCEEDED(hr) && point)
        hr = point->Advise(sink_->unknown(), cookie);
    return hr;
}

void TSession::Unadvise(const com::ComPtr<IUnknown>& object, REFIID iid, DWORD& cookie)
{
    if (!cookie || !object)
        return;
    com::ComPtr<IConnectionPointContainer> container;
    com::ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(object.as(container)) && SUCCEEDED(container->FindConnectionPoint(iid, point.put())) && point)
        point->Unadvise(cookie);
    cookie = 0;
}

void TSession::Close()
{
    if (group_) {
        Unadvise(group_, IID_IOPCDataCallback, dataCookie_);
        group_ = nullptr;
        if (server_)
            server_->RemoveGroup(groupHandle_, FALSE);
    }
    items_.clear();
    if (server_) {
        Unadvise(com::ComPtr<IUnknown>(server_.get()), IID_IOPCShutdown, shutdownCookie_);
        server_ = nullptr;
    }
}

HRESULT TSession::GetStatus(TStatus& status)
{
    if (!server_)
        return E_FAIL;
    OPCSERVERSTATUS* s = nullptr;
    const HRESULT hr = server_->GetStatus(&s);
    if (FAILED(hr) || !s)
        return FAILED(hr) ? hr : E_POINTER;
    status.StartTime = s->ftStartTime;
    status.CurrentTime = s->ftCurrentTime;
    status.LastUpdateTime = s->ftLastUpdateTime;
    status.State = s->dwServerState;
    status.GroupCount = s->dwGroupCount;
    status.BandWidth = s->dwBandWidth;
    status.MajorVersion = s->wMajorVersion;
    status.MinorVersion = s->wMinorVersion;
    status.BuildNumber = s->wBuildNumber;
    status.VendorInfo = TakeString(s->szVendorInfo);
    CoTaskMemFree(s);
    return hr;
}

HRESULT TSession::Browse(const std::string& filter, VARTYPE type, DWORD rights, std::vector<std::string>& ids)
{
    ids.clear();
    com::ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (HRESULT hr = server_.as(browse); FAILED(hr))
        return hr;
    com::ComPtr<IEnumString> names;
    const HRESULT hr =
        browse->BrowseOPCItemIDs(OPC_FLAT, plat::utf8ToUtf16(filter).c_str(), type, rights, names.put());
    if (FAILED(hr) || !names)
        return hr;
    LPOLESTR batch[64] = {};
    for (;;) {
        ULONG fetched = 0;
        const HRESULT next = names->Next(std::size(batch), batch, &fetched);
        if (FAILED(next))
            return next;
        for (ULONG i = 0; i < fetched && i < std::size(batch); ++i)
            ids.push_back(TakeString(batch[i]));
        if (next != S_OK || fetched == 0)
            break;
    }
    return hr;
}

HRESULT TSession::Properties(const std::string& itemID, std::vector<TProperty>& properties)
{
    properties.clear();
    com::ComPtr<IOPCItemProperties> props;
    if (HRESULT hr = server_.as(props); FAILED(hr))
        return hr;
    std::u16string id = plat::utf8ToUtf16(itemID);
    DWORD count = 0;
    TaskArray<DWORD> ids;
    TaskArray<LPWSTR> descriptions;
    TaskArray<VARTYPE> types;
    HRESULT hr = props->QueryAvailableProperties(id.data(), &count, ids.put(), descriptions.put(), types.put());
    if (FAILED(hr))
        return hr;
    properties.resize(count);
    for (DWORD i = 0; i < count; ++i) {
        properties[i].ID = ids ? ids[i] : 0;
        properties[i].Description = descriptions ? TakeString(descriptions[i]) : std::string();
        properties[i].Type = types ? types[i] : VT_EMPTY;
    }
    if (count == 0 || !ids)
        return hr;
    TaskArray<VARIANT> values;
    TaskArray<HRESULT> errors;
    hr = props->GetItemProperties(id.data(), count, ids.p, values.put(), errors.put());
    if (FAILED(hr))
        return hr;
    for (DWORD i = 0; i < count; ++i) {
        if (values)
            properties[i].Value = com::Variant::attach(values[i]);
        properties[i].Error = errors ? errors[i] : S_OK;
    }
    return hr;
}

std::string TSession::ErrorText(HRESULT code)
{
    com::ComPtr<IOPCCommon> common;
    if (!server_ || FAILED(server_.as(common)))
        return {};
    LPWSTR text = nullptr;
    if (FAILED(common->GetErrorString(code, &text)))
        return {};
    return TakeString(text);
}

HRESULT TSession::AddGroup(const std::string& name, DWORD updateRate, DWORD* revisedRate)
{
    if (!server_)
        return E_FAIL;
    if (group_)
        return E_UNEXPECTED;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    const HRESULT hr = server_->AddGroup(plat::utf8ToUtf16(name).c_str(), TRUE, updateRate, kClientGroup, nullptr,
                                         nullptr, LOCALE_SYSTEM_DEFAULT, &groupHandle_, &revised, IID_IUnknown, &unk);
    if (FAILED(hr))
        return hr;
    group_ = com::ComPtr<IUnknown>::attach(unk);
    if (revisedRate)
        *revisedRate = revised;
    if (const HRESULT advised = Advise(group_, IID_IOPCDataCallback, &dataCookie_); FAILED(advised))
        return advised;
    return hr;
}

HRESULT TSession::AddItems(const std::vector<std::string>& itemIDs)
{
    com::ComPtr<IOPCItemMgt> mgt;
    if (!group_)
        return E_FAIL;
    if (HRESULT hr = group_.as(mgt); FAILED(hr))
        return hr;
    std::vector<std::u16string> ids;
    std::vector<OPCITEMDEF> defs(itemIDs.size());
    ids.reserve(itemIDs.size());
    for (std::size_t i = 0; i < itemIDs.size(); ++i) {
        ids.push_back(plat::utf8ToUtf16(itemIDs[i]));
        defs[i] = {nullptr, ids.back().data(), TRUE, static_cast<OPCHANDLE>(items_.size() + i + 1), 0, nullptr, VT_EMPTY, 0};
    }
    TaskArray<OPCITEMRESULT> results;
    TaskArray<HRESULT> errors;
    const HRESULT hr = mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.put(), errors.put());
    if (FAILED(hr))
        return hr;
    for (std::size_t i = 0; i < itemIDs.size(); ++i) {
        TItem item;
        item.ItemID = itemIDs[i];
        item.Error = errors ? errors[i] : E_FAIL;
        if (results) {
            item.Server = results[i].hServer;
            item.CanonicalType = results[i].vtCanonicalDataType;
            item.AccessRights = results[i].dwAccessRights;
            CoTaskMemFree(results[i].pBlob);
        }
        items_.push_back(std::move(item));
    }
    return hr;
}

std::vector<OPCHANDLE> TSession::ServerHandles() const
{
    std::vector<OPCHANDLE> handles;
    for (const TItem& item : items_)
        if (SUCCEEDED(item.Error))
            handles.push_back(item.Server);
    return handles;
}

const TItem* TSession::ItemByClient(OPCHANDLE client) const
{
    return client >= 1 && client <= items_.size() ? &items_[client - 1] : nullptr;
}

HRESULT TSession::Read(OPCDATASOURCE source, std::vector<TItemValue>& values)
{
    values.clear();
    com::ComPtr<IOPCSyncIO> io;
    if (!group_)
        return E_FAIL;
    if (HRESULT hr = group_.as(io); FAILED(hr))
        return hr;
    std::vector<OPCHANDLE> handles = ServerHandles();
    TaskArray<OPCITEMSTATE> states;
    TaskArray<HRESULT> errors;
    const HRESULT hr = io->Read(source, static_cast<DWORD>(handles.size()), handles.data(), states.put(), errors.put());
    if (FAILED(hr))
        return hr;
    values.resize(handles.size());
    for (std::size_t i = 0; i < handles.size(); ++i) {
        TItemValue& v = values[i];
        if (states) {
            v.Client = states[i].hClient;
            v.Value = com::Variant::attach(states[i].vDataValue);
            v.Quality = states[i].wQuality;
            v.TimeStamp = states[i].ftTimeStamp;
        }
        v.Error = errors ? errors[i] : E_FAIL;
    }
    return hr;
}

HRESULT TSession::Write(const std::vector<com::Variant>& values, std::vector<HRESULT>& errors)
{
    errors.clear();
    com::ComPtr<IOPCSyncIO> io;
    if (!group_)
        return E_FAIL;
    if (HRESULT hr = group_.as(io); FAILED(hr))
        return hr;
    std::vector<OPCHANDLE> handles = ServerHandles();
    if (values.size() != handles.size())
        return E_INVALIDARG;
    std::vector<VARIANT> raw;
    for (const com::Variant& v : values)
        raw.push_back(*v.get());
    TaskArray<HRESULT> results;
    const HRESULT hr = io->Write(static_cast<DWORD>(handles.size()), handles.data(), raw.data(), results.put());
    if (FAILED(hr))
        return hr;
    for (std::size_t i = 0; i < handles.size(); ++i)
        errors.push_back(results ? results[i] : E_FAIL);
    return hr;
}

HRESULT TSession::ReadAsync(DWORD transactionID, DWORD* cancelID, std::vector<HRESULT>& errors)
{
    errors.clear();
    com::ComPtr<IOPCAsyncIO2> io;
    if (!group_)
        return E_FAIL;
    if (HRESULT hr = group_.as(io); FAILED(hr))
        return hr;
    std::vector<OPCHANDLE> handles = ServerHandles();
    TaskArray<HRESULT> results;
    DWORD cancel = 0;
    const HRESULT hr = io->Read(static_cast<DWORD>(handles.size()), handles.data(), transactionID, &cancel, results.put());
    if (FAILED(hr))
        return hr;
    if (cancelID)
        *cancelID = cancel;
    for (std::size_t i = 0; i < handles.size(); ++i)
        errors.push_back(results ? results[i] : E_FAIL);
    return hr;
}

HRESULT TSession::WriteAsync(DWORD transactionID, const std::vector<com::Variant>& values, DWORD* cancelID,
                             std::vector<HRESULT>& errors)
{
    errors.clear();
    com::ComPtr<IOPCAsyncIO2> io;
    if (!group_)
        return E_FAIL;
    if (HRESULT hr = group_.as(io); FAILED(hr))
        return hr;
    std::vector<OPCHANDLE> handles = ServerHandles();
    if (values.size() != handles.size())
        return E_INVALIDARG;
    std::vector<VARIANT> raw;
    for (const com::Variant& v : values)
        raw.push_back(*v.get());
    TaskArray<HRESULT> results;
    DWORD cancel = 0;
    const HRESULT hr = io->Write(static_cast<DWORD>(handles.size()), handles.data(), raw.data(), transactionID, &cancel,
                                 results.put());
    if (FAILED(hr))
        return hr;
    if (cancelID)
        *cancelID = cancel;
    for (std::size_t i = 0; i < handles.size(); ++i)
        errors.push_back(results ? results[i] : E_FAIL);
    return hr;
}

}  // namespace opcclient
