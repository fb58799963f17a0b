#pragma once
// An in-process OPC client for tests: typed wrappers over the server's and the groups'
// interfaces that copy what a call hands out and free every array at once, and a sink that
// records every callback. A test that forgets nothing about memory still sees any block the
// server leaked (the fixture's task-allocator balance).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "opc/opc_group.h"
#include "opc/opc_server.h"
#include "platform/com/alloc.h"
#include "platform/com/connpoint.h"
#include "platform/com/opcda.h"
#include "platform/com/variant.h"
#include "platform/text.h"

namespace opctest {

inline std::u16string u16(const std::string& s) { return plat::utf8ToUtf16(s); }

// Everything one callback delivered.
struct CallbackEntry {
    OPCHANDLE client = 0;
    com::Variant value;
    WORD quality = 0;
    FILETIME timeStamp{};
    HRESULT error = S_OK;
};
struct Callback {
    enum Kind { DataChange, ReadComplete, WriteComplete, CancelComplete } kind;
    DWORD transactionID = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    DWORD count = 0;
    std::vector<CallbackEntry> entries;
};

class RecordingSink : public com::ComObject<IOPCDataCallback, IOPCShutdown> {
public:
    std::vector<Callback> calls;
    std::vector<std::u16string> shutdownReasons;
    // Runs inside each callback after it was recorded: a client doing things from there.
    std::function<void(const Callback&)> onCall;

    std::size_t count(Callback::Kind kind) const
    {
        std::size_t n = 0;
        for (const auto& c : calls)
            n += c.kind == kind;
        return n;
    }
    const Callback* last(Callback::Kind kind) const
    {
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            if (it->kind == kind)
                return &*it;
        return nullptr;
    }

    HRESULT OnDataChange(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count, OPCHANDLE* clients, VARIANT* values,
                         WORD* qualities, FILETIME* times, HRESULT* errors) override
    {
        return record(Callback::DataChange, tid, group, mq, me, count, clients, values, qualities, times, errors);
    }
    HRESULT OnReadComplete(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count, OPCHANDLE* clients,
                           VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors) override
    {
        return record(Callback::ReadComplete, tid, group, mq, me, count, clients, values, qualities, times, errors);
    }
    HRESULT OnWriteComplete(DWORD tid, OPCHANDLE group, HRESULT me, DWORD count, OPCHANDLE* clients, HRESULT* errors) override
    {
        return record(Callback::WriteComplete, tid, group, S_OK, me, count, clients, nullptr, nullptr, nullptr, errors);
    }
    HRESULT OnCancelComplete(DWORD tid, OPCHANDLE group) override
    {
        return record(Callback::CancelComplete, tid, group, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    HRESULT ShutdownRequest(LPCWSTR reason) override
    {
        shutdownReasons.emplace_back(reason ? reason : u"");
        return S_OK;
    }

private:
    HRESULT record(Callback::Kind kind, DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count, OPCHANDLE* clients,
                   VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors)
    {
        Callback c{kind, tid, group, mq, me, count, {}};
        for (DWORD i = 0; i < count; ++i) {
            CallbackEntry e;
            e.client = clients ? clients[i] : 0;
            if (values)
                e.value = com::Variant(values[i]);
            e.quality = qualities ? qualities[i] : 0;
            e.timeStamp = times ? times[i] : FILETIME{};
            e.error = errors ? errors[i] : S_OK;
            c.entries.push_back(std::move(e));
        }
        calls.push_back(c);
        if (onCall)
            onCall(calls.back());
        return S_OK;
    }
};

struct ItemDef {
    std::string id;
    OPCHANDLE client = 0;
    bool active = true;
    VARTYPE requested = VT_EMPTY;
};

struct AddResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<OPCITEMRESULT> results;  // blob pointers cleared
    OPCHANDLE handle(std::size_t i) const { return results.at(i).hServer; }
};

struct ErrorsResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
};

struct ItemState {
    OPCHANDLE client = 0;
    FILETIME timeStamp{};
    WORD quality = 0;
    com::Variant value;
};
struct ReadResult {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<ItemState> states;
};

struct AsyncResult {
    HRESULT hr = E_FAIL;
    DWORD cancelID = 0;
    std::vector<HRESULT> errors;
};

// Copies and frees an error array of n entries (null stays empty).
inline std::vector<HRESULT> takeErrors(HRESULT* errors, DWORD n)
{
    std::vector<HRESULT> out;
    if (errors)
        out.assign(errors, errors + n);
    CoTaskMemFree(errors);
    return out;
}

class TestGroup {
public:
    TestGroup() = default;
    explicit TestGroup(IUnknown* unk)
    {
        if (!unk)
            return;
        com::ComPtr<IUnknown> u(unk);
        u.as(mgt);
        u.as(state);
        u.as(sync);
        u.as(async);
        u.as(cpc);
    }

    com::ComPtr<IOPCItemMgt> mgt;
    com::ComPtr<IOPCGroupStateMgt> state;
    com::ComPtr<IOPCSyncIO> sync;
    com::ComPtr<IOPCAsyncIO2> async;
    com::ComPtr<IConnectionPointContainer> cpc;
    OPCHANDLE serverHandle = 0;
    DWORD revisedRate = 0;

    explicit operator bool() const { return static_cast<bool>(mgt); }
    // The group object behind the interfaces (tests look at its fields).
    opc::TOPCGroup* object() const { return static_cast<opc::TOPCGroup*>(mgt.get()); }
    // Drops every interface pointer the wrapper holds.
    void release() { *this = TestGroup(); }

    AddResult addItems(const std::vector<ItemDef>& defs) { return add(defs, false); }
    AddResult validateItems(const std::vector<ItemDef>& defs) { return add(defs, true); }

    ErrorsResult removeItems(std::vector<OPCHANDLE> handles)
    {
        HRESULT* errors = nullptr;
        ErrorsResult r;
        r.hr = mgt->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors);
        r.errors = takeErrors(errors, static_cast<DWORD>(handles.size()));
        return r;
    }
    ErrorsResult setActive(std::vector<OPCHANDLE> handles, bool active)
    {
        HRESULT* errors = nullptr;
        ErrorsResult r;
        r.hr = mgt->SetActiveState(static_cast<DWORD>(handles.size()), handles.data(), active, &errors);
        r.errors = takeErrors(errors, static_cast<DWORD>(handles.size()));
        return r;
    }
    ErrorsResult setClientHandles(std::vector<OPCHANDLE> handles, std::vector<OPCHANDLE> clients)
    {
        HRESULT* errors = nullptr;
        ErrorsResult r;
        r.hr = mgt->SetClientHandles(static_cast<DWORD>(handles.size()), handles.data(), clients.data(), &errors);
        r.errors = takeErrors(errors, static_cast<DWORD>(handles.size()));
        return r;
    }
    ErrorsResult setDatatypes(std::vector<OPCHANDLE> handles, std::vector<VARTYPE> types)
    {
        HRESULT* errors = nullptr;
        ErrorsResult r;
        r.hr = mgt->SetDatatypes(static_cast<DWORD>(handles.size()), handles.data(), types.data(), &errors);
        r.errors = takeErrors(errors, static_cast<DWORD>(handles.size()));
        return r;
    }

    ReadResult read(OPCDATASOURCE source, std::vector<OPCHANDLE> handles)
    {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        ReadResult r;
        const auto n = static_cast<DWORD>(handles.size());
        r.hr = sync->Read(source, n, handles.data(), &states, &errors);
        r.errors = takeErrors(errors, n);
        if (states) {
            for (DWORD i = 0; i < n; ++i) {
                ItemState s;
                s.client = states[i].hClient;
                s.timeStamp = states[i].ftTimeStamp;
                s.quality = states[i].wQuality;
                s.value = com::Variant::attach(states[i].vDataValue);
                r.states.push_back(std::move(s));
            }
            CoTaskMemFree(states);
        }
        return r;
    }
    ErrorsResult write(std::vector<OPCHANDLE> handles, std::vector<com::Variant> values)
    {
        std::vector<VARIANT> raw;
        for (auto& v : values)
            raw.push_back(*v.get());
        HRESULT* errors = nullptr;
        ErrorsResult r;
        r.hr = sync->Write(static_cast<DWORD>(handles.size()), handles.data(), raw.data(), &errors);
        r.errors = takeErrors(errors, static_cast<DWORD>(handles.size()));
        return r;
    }

    AsyncResult asyncRead(std::vector<OPCHANDLE> handles, DWORD transactionID)
    {
        HRESULT* errors = nullptr;
        AsyncResult r;
        r.hr = async->Read(static_cast<DWORD>(handles.size()), handles.data(), transactionID, &r.cancelID, &errors);
        r.errors = takeErrors(errors, static_cast<DWORD>(handles.size()));
        return r;
    }
    AsyncResult asyncWrite(std::vector<OPCHANDLE> handles, std::vector<com::Variant> values, DWORD transactionID)
    {
        std::vector<VARIANT> raw;
        for (auto& v : values)
            raw.push_back(*v.get());
        HRESULT* errors = nullptr;
        AsyncResult r;
        r.hr = async->Write(static_cast<DWORD>(handles.size()), handles.data(), raw.data(), transactionID, &r.cancelID, &errors);
        r.errors = takeErrors(errors, static_cast<DWORD>(handles.size()));
        return r;
    }
    AsyncResult refresh(OPCDATASOURCE source, DWORD transactionID)
    {
        AsyncResult r;
        r.hr = async->Refresh2(source, transactionID, &r.cancelID);
        return r;
    }

    // Connects sink to the data-callback point; returns the cookie (0 on failure).
    DWORD advise(IUnknown* sink)
    {
        com::ComPtr<IConnectionPoint> cp;
        if (FAILED(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put())))
            return 0;
        DWORD cookie = 0;
        return SUCCEEDED(cp->Advise(sink, &cookie)) ? cookie : 0;
    }
    HRESULT unadvise(DWORD cookie)
    {
        com::ComPtr<IConnectionPoint> cp;
        const HRESULT hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put());
        return FAILED(hr) ? hr : cp->Unadvise(cookie);
    }

private:
    AddResult add(const std::vector<ItemDef>& defs, bool validate)
    {
        std::vector<std::u16string> ids;
        for (const auto& d : defs)
            ids.push_back(u16(d.id));
        std::vector<OPCITEMDEF> raw;
        for (std::size_t i = 0; i < defs.size(); ++i) {
            OPCITEMDEF d{};
            d.szAccessPath = const_cast<LPWSTR>(u"");
            d.szItemID = ids[i].data();
            d.bActive = defs[i].active;
            d.hClient = defs[i].client;
            d.vtRequestedDataType = defs[i].requested;
            raw.push_back(d);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        AddResult r;
        const auto n = static_cast<DWORD>(defs.size());
        r.hr = validate ? mgt->ValidateItems(n, raw.data(), FALSE, &results, &errors) : mgt->AddItems(n, raw.data(), &results, &errors);
        r.errors = takeErrors(errors, n);
        if (results) {
            for (DWORD i = 0; i < n; ++i) {
                OPCITEMRESULT x = results[i];
                CoTaskMemFree(x.pBlob);
                x.pBlob = nullptr;
                r.results.push_back(x);
            }
            CoTaskMemFree(results);
        }
        return r;
    }
};

class TestClient {
public:
    // A new server object, as creating the server's class gives one.
    TestClient()
    {
        auto object = com::makeCom<opc::TDA2>();
        object.as(server);
        object.as(common);
        object.as(browse);
        object.as(props);
        object.as(cpc);
    }

    com::ComPtr<IOPCServer> server;
    com::ComPtr<IOPCCommon> common;
    com::ComPtr<IOPCBrowseServerAddressSpace> browse;
    com::ComPtr<IOPCItemProperties> props;
    com::ComPtr<IConnectionPointContainer> cpc;

    opc::TDA2* object() const { return static_cast<opc::TDA2*>(server.get()); }
    // Drops every reference: the server object goes unless something else holds it.
    void release()
    {
        server = nullptr;
        common = nullptr;
        browse = nullptr;
        props = nullptr;
        cpc = nullptr;
    }

    // hr receives AddGroup's result; the group is empty when it failed.
    TestGroup addGroup(const std::string& name, bool active, DWORD rate, OPCHANDLE clientHandle = 1, float deadband = 0.0f,
                       HRESULT* hr = nullptr)
    {
        std::u16string n = u16(name);
        OPCHANDLE serverHandle = 0;
        DWORD revised = 0;
        IUnknown* unk = nullptr;
        LONG bias = 0;
        const HRESULT r = server->AddGroup(n.c_str(), active, rate, clientHandle, &bias, &deadband, LOCALE_SYSTEM_DEFAULT,
                                           &serverHandle, &revised, IID_IOPCItemMgt, &unk);
        if (hr)
            *hr = r;
        TestGroup g(unk);
        if (unk)
            unk->Release();
        g.serverHandle = serverHandle;
        g.revisedRate = revised;
        return g;
    }

    // The item IDs the browse gives, in order; hr its result.
    std::vector<std::string> browseIDs(const std::string& filter, VARTYPE type = VT_EMPTY, DWORD rights = 0,
                                       HRESULT* hr = nullptr)
    {
        std::u16string f = u16(filter);
        com::ComPtr<IEnumString> e;
        const HRESULT r = browse->BrowseOPCItemIDs(OPC_FLAT, f.c_str(), type, rights, e.put());
        if (hr)
            *hr = r;
        std::vector<std::string> out;
        if (!e)
            return out;
        LPOLESTR s = nullptr;
        ULONG fetched = 0;
        while (e->Next(1, &s, &fetched) == S_OK && fetched == 1) {
            out.push_back(plat::utf16ToUtf8(s));
            CoTaskMemFree(s);
        }
        return out;
    }

    DWORD adviseShutdown(IUnknown* sink)
    {
        com::ComPtr<IConnectionPoint> cp;
        if (FAILED(cpc->FindConnectionPoint(IID_IOPCShutdown, cp.put())))
            return 0;
        DWORD cookie = 0;
        return SUCCEEDED(cp->Advise(sink, &cookie)) ? cookie : 0;
    }
};

}  // namespace opctest
