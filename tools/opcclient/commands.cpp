#include "commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <charconv>
#include <ostream>
#include <string_view>

#include "format.h"

namespace opcclient {
namespace {

constexpr DWORD kReadTransaction = 1;
constexpr DWORD kWriteTransaction = 2;
constexpr char kGroupName[] = "opcclient";

struct TCommandSpec {
    std::string_view Name;
    std::size_t MinArgs;
    std::size_t MaxArgs;
    bool Assignments;  // arguments are ITEM=VALUE
};
constexpr std::size_t kMany = static_cast<std::size_t>(-1);
constexpr TCommandSpec kCommands[] = {
    {"status", 0, 0, false},     {"browse", 0, 1, false},     {"properties", 1, 1, false},
    {"add", 1, kMany, false},    {"read", 1, kMany, false},   {"write", 1, kMany, true},
    {"read-async", 1, kMany, false}, {"write-async", 1, kMany, true}, {"subscribe", 1, kMany, false},
};

const TCommandSpec* FindCommand(std::string_view name)
{
    for (const TCommandSpec& c : kCommands)
        if (c.Name == name)
            return &c;
    return nullptr;
}

template <class T>
bool ParseNumber(std::string_view text, T& out)
{
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

std::optional<VARTYPE> ParseVarType(std::string text)
{
    unsigned number = 0;
    if (ParseNumber(text, number))
        return number <= 0xFFFF ? std::optional<VARTYPE>(static_cast<VARTYPE>(number)) : std::nullopt;
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (!text.starts_with("VT_"))
        text = "VT_" + text;
    for (VARTYPE vt = 0; vt <= VT_UINT; ++vt)
        for (const VARTYPE flags : {VARTYPE(0), VT_ARRAY})
            if (VarTypeName(static_cast<VARTYPE>(vt | flags)) == text)
                return static_cast<VARTYPE>(vt | flags);
    return std::nullopt;
}

std::string StateName(OPCSERVERSTATE state)
{
    switch (state) {
    case OPC_STATUS_RUNNING:
        return "running";
    case OPC_STATUS_FAILED:
        return "failed";
    case OPC_STATUS_NOCONFIG:
        return "no configuration";
    case OPC_STATUS_SUSPENDED:
        return "suspended";
    case OPC_STATUS_TEST:
        return "test";
    }
    return std::to_string(static_cast<int>(state));
}

std::string RightsText(DWORD rights)
{
    const bool r = rights & OPC_READABLE;
    const bool w = rights & OPC_WRITEABLE;
    return r && w ? "read/write" : r ? "read" : w ? "write" : "none";
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Item IDs hold no "=", so the first one splits ITEM=VALUE.
bool SplitAssignment(const std::string& arg, std::string& item, std::string& value)
{
    const std::size_t at = arg.find('=');
    if (at == std::string::npos || at == 0)
        return false;
    item = arg.substr(0, at);
    value = arg.substr(at + 1);
    return true;
}

class TRunner {
public:
    TRunner(const TOptions& o, TSession& s, std::ostream& out, std::ostream& err, const TWaiter& wait)
        : o_(o), s_(s), out_(out), err_(err), wait_(wait)
    {
    }

    int Run();

private:
    int Status();
    int Browse();
    int Properties();
    int Add();
    int Read();
    int Write(bool async);
    int ReadAsync();
    int Subscribe();

    // Adds the group and the items (the arguments, or the item parts of ITEM=VALUE);
    // reports what failed. false when the call failed as a whole.
    bool AddGroupAndItems(const std::vector<std::string>& ids);
    // Waits for the completion of one transaction; nullopt after the time-out.
    std::optional<TCallback> WaitForCompletion(TCallback::TKind kind, DWORD transactionID);

    void OnCallback(TCallback&& c);
    void OnShutdown(const std::string& reason);

    void Emit(const QJsonObject& o);
    int Failed(const std::string& what, HRESULT hr);
    std::string Describe(HRESULT hr);
    QJsonObject ErrorJson(HRESULT hr);
    QJsonObject ItemJson(const TItemValue& v);
    std::string ItemLine(const TItemValue& v);
    std::string ItemName(OPCHANDLE client) const;
    QJsonArray ItemResultsJson(const std::vector<HRESULT>& errors);
    bool ItemsOk(const std::vector<HRESULT>& errors) const;
    int ExitFor(HRESULT hr, bool itemsOk) const { return hr == S_OK && itemsOk ? kExitOk : kExitFailed; }

    const TOptions& o_;
    TSession& s_;
    std::ostream& out_;
    std::ostream& err_;
    const TWaiter& wait_;
    std::vector<TCallback> completions_;
    long dataChanges_ = 0;
    bool shutdown_ = false;
    bool subscribing_ = false;
};

int TRunner::Run()
{
    s_.Sink().OnCallback = [this](TCallback&& c) { OnCallback(std::move(c)); };
    s_.Sink().OnShutdown = [this](const std::string& reason) { OnShutdown(reason); };
    std::string why;
    if (const HRESULT hr = s_.Connect(o_.Server, o_.ClientName, &why); FAILED(hr))
        return Failed("cannot connect: " + why, hr);
    int rc = kExitFailed;
    const std::string& c = o_.Command;
    if (c == "status")
        rc = Status();
    else if (c == "browse")
        rc = Browse();
    else if (c == "properties")
        rc = Properties();
    else if (c == "add")
        rc = Add();
    else if (c == "read")
        rc = Read();
    else if (c == "write")
        rc = Write(false);
    else if (c == "read-async")
        rc = ReadAsync();
    else if (c == "write-async")
        rc = Write(true);
    else if (c == "subscribe")
        rc = Subscribe();
    s_.Close();
    s_.Sink().OnCallback = nullptr;
    s_.Sink().OnShutdown = nullptr;
    return rc;
}

void TRunner::Emit(const QJsonObject& o)
{
    out_ << QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() << '\n' << std::flush;
}

std::string TRunner::Describe(HRESULT hr)
{
    const std::string text = s_.Connected() ? s_.ErrorText(hr) : std::string();
    return text.empty() ? HResultText(hr) : HResultText(hr) + " (" + text + ")";
}

QJsonObject TRunner::ErrorJson(HRESULT hr)
{
    QJsonObject e{{"code", Q(HResultText(hr))}};
    if (s_.Connected())
        if (const std::string text = s_.ErrorText(hr); !text.empty())
            e["text"] = Q(text);
    return e;
}

int TRunner::Failed(const std::string& what, HRESULT hr)
{
    if (o_.Json)
        Emit({{"command", Q(o_.Command)}, {"ok", false}, {"message", Q(what)}, {"error", ErrorJson(hr)}});
    else
        err_ << "opcclient: " << what << ": " << Describe(hr) << '\n' << std::flush;
    return kExitFailed;
}

std::string TRunner::ItemName(OPCHANDLE client) const
{
    const TItem* item = s_.ItemByClient(client);
    return item ? item->ItemID : "#" + std::to_string(client);
}

QJsonObject TRunner::ItemJson(const TItemValue& v)
{
    QJsonObject o{{"item", Q(ItemName(v.Client))}, {"clientHandle", static_cast<qint64>(v.Client)}};
    if (FAILED(v.Error)) {
        o["error"] = ErrorJson(v.Error);
        return o;
    }
    o["value"] = VariantJson(*v.Value.get());
    o["type"] = Q(VarTypeName(v.Value.vt()));
    o["quality"] = v.Quality;
    o["qualityText"] = Q(QualityText(v.Quality));
    o["timeStamp"] = Q(FileTimeText(v.TimeStamp));
    if (v.Error != S_OK)
        o["result"] = Q(HResultText(v.Error));
    return o;
}

std::string TRunner::ItemLine(const TItemValue& v)
{
    if (FAILED(v.Error))
        return ItemName(v.Client) + ": error " + Describe(v.Error);
    return ItemName(v.Client) + " = " + VariantText(*v.Value.get()) + "  " + VarTypeName(v.Value.vt()) + "  " +
           QualityText(v.Quality) + "  " + FileTimeText(v.TimeStamp);
}

QJsonArray TRunner::ItemResultsJson(const std::vector<HRESULT>& errors)
{
    QJsonArray items;
    std::size_t next = 0;
    for (const TItem& item : s_.Items()) {
        QJsonObject o{{"item", Q(item.ItemID)}};
        const HRESULT hr = FAILED(item.Error) ? item.Error : next < errors.size() ? errors[next++] : E_FAIL;
        o["ok"] = SUCCEEDED(hr);
        if (FAILED(hr))
            o["error"] = ErrorJson(hr);
        items.append(o);
    }
    return items;
}

bool TRunner::ItemsOk(const std::vector<HRESULT>& errors) const
{
    for (const TItem& item : s_.Items())
        if (FAILED(item.Error))
            return false;
    for (const HRESULT hr : errors)
        if (FAILED(hr))
            return false;
    return true;
}

void TRunner::OnCallback(TCallback&& c)
{
    if (c.Kind != TCallback::DataChange || c.TransactionID != 0) {
        completions_.push_back(std::move(c));
        return;
    }
    if (!subscribing_)
        return;
    ++dataChanges_;
    if (o_.Json) {
        QJsonArray items;
        for (const TItemValue& v : c.Items)
            items.append(ItemJson(v));
        Emit({{"event", "dataChange"}, {"masterQuality", Q(HResultText(c.MasterQuality))},
              {"masterError", Q(HResultText(c.MasterError))}, {"items", items}});
    } else {
        for (const TItemValue& v : c.Items)
            out_ << ItemLine(v) << '\n';
        out_ << std::flush;
    }
}

void TRunner::OnShutdown(const std::string& reason)
{
    shutdown_ = true;
    if (o_.Json)
        Emit({{"event", "shutdown"}, {"reason", Q(reason)}});
    else
        out_ << "The server asks its clients to disconnect: " << reason << '\n' << std::flush;
}

std::optional<TCallback> TRunner::WaitForCompletion(TCallback::TKind kind, DWORD transactionID)
{
    auto find = [&] {
        return std::find_if(completions_.begin(), completions_.end(), [&](const TCallback& c) {
            return c.TransactionID == transactionID && (c.Kind == kind || c.Kind == TCallback::CancelComplete);
        });
    };
    if (!wait_([&] { return find() != completions_.end() || shutdown_; }, o_.TimeoutMs) || find() == completions_.end())
        return std::nullopt;
    const auto it = find();
    TCallback c = std::move(*it);
    completions_.erase(it);
    return c;
}

int TRunner::Status()
{
    TStatus st;
    const HRESULT hr = s_.GetStatus(st);
    if (FAILED(hr))
        return Failed("GetStatus failed", hr);
    const std::string version =
        std::to_string(st.MajorVersion) + "." + std::to_string(st.MinorVersion) + "." + std::to_string(st.BuildNumber);
    if (o_.Json) {
        Emit({{"command", "status"},
              {"ok", true},
              {"state", Q(StateName(st.State))},
              {"vendorInfo", Q(st.VendorInfo)},
              {"version", Q(version)},
              {"startTime", Q(FileTimeText(st.StartTime))},
              {"currentTime", Q(FileTimeText(st.CurrentTime))},
              {"lastUpdateTime", Q(FileTimeText(st.LastUpdateTime))},
              {"groupCount", static_cast<qint64>(st.GroupCount)},
              {"bandWidth", static_cast<qint64>(st.BandWidth)}});
    } else {
        out_ << "State:        " << StateName(st.State) << '\n'
             << "Vendor:       " << st.VendorInfo << '\n'
             << "Version:      " << version << '\n'
             << "Start time:   " << FileTimeText(st.StartTime) << '\n'
             << "Current time: " << FileTimeText(st.CurrentTime) << '\n'
             << "Last update:  " << FileTimeText(st.LastUpdateTime) << '\n'
             << "Groups:       " << st.GroupCount << '\n'
             << "Bandwidth:    " << st.BandWidth << '\n'
             << std::flush;
    }
    return kExitOk;
}

int TRunner::Browse()
{
    const std::string filter = o_.Arguments.empty() ? std::string() : o_.Arguments[0];
    std::vector<std::string> ids;
    const HRESULT hr = s_.Browse(filter, o_.BrowseType, o_.BrowseRights, ids);
    if (FAILED(hr))
        return Failed("browsing failed", hr);
    if (o_.Json) {
        QJsonArray items;
        for (const std::string& id : ids)
            items.append(Q(id));
        Emit({{"command", "browse"}, {"ok", true}, {"filter", Q(filter)}, {"items", items}});
    } else {
        for (const std::string& id : ids)
            out_ << id << '\n';
        out_ << std::flush;
    }
    return kExitOk;
}

int TRunner::Properties()
{
    const std::string& id = o_.Arguments[0];
    std::vector<TProperty> props;
    const HRESULT hr = s_.Properties(id, props);
    if (FAILED(hr))
        return Failed("the properties of " + id + " cannot be read", hr);
    if (o_.Json) {
        QJsonArray list;
        for (const TProperty& p : props) {
            QJsonObject o{{"id", static_cast<qint64>(p.ID)}, {"description", Q(p.Description)}, {"type", Q(VarTypeName(p.Type))}};
            if (FAILED(p.Error))
                o["error"] = ErrorJson(p.Error);
            else
                o["value"] = VariantJson(*p.Value.get());
            list.append(o);
        }
        Emit({{"command", "properties"}, {"ok", true}, {"item", Q(id)}, {"properties", list}});
    } else {
        for (const TProperty& p : props) {
            out_ << p.ID << "  " << p.Description << " (" << VarTypeName(p.Type) << "): ";
            if (FAILED(p.Error))
                out_ << "error " << Describe(p.Error) << '\n';
            else
                out_ << VariantText(*p.Value.get()) << '\n';
        }
        out_ << std::flush;
    }
    return kExitOk;
}

bool TRunner::AddGroupAndItems(const std::vector<std::string>& ids)
{
    DWORD revised = 0;
    if (const HRESULT hr = s_.AddGroup(kGroupName, o_.Rate, &revised); FAILED(hr)) {
        Failed("the group cannot be added", hr);
        return false;
    }
    if (const HRESULT hr = s_.AddItems(ids); FAILED(hr)) {
        Failed("the items cannot be added", hr);
        return false;
    }
    if (!o_.Json)
        for (const TItem& item : s_.Items())
            if (FAILED(item.Error))
                err_ << item.ItemID << ": not added: " << Describe(item.Error) << '\n' << std::flush;
    if (!o_.Json && o_.Command == "subscribe")
        err_ << "Subscribed to " << s_.ServerHandles().size() << " items, update rate " << revised
             << " ms; Ctrl+C ends\n"
             << std::flush;
    return true;
}

int TRunner::Add()
{
    if (!AddGroupAndItems(o_.Arguments))
        return kExitFailed;
    bool ok = true;
    if (o_.Json) {
        QJsonArray items;
        for (const TItem& item : s_.Items()) {
            QJsonObject o{{"item", Q(item.ItemID)}, {"ok", SUCCEEDED(item.Error)}};
            if (FAILED(item.Error)) {
                o["error"] = ErrorJson(item.Error);
            } else {
                o["serverHandle"] = static_cast<qint64>(item.Server);
                o["canonicalType"] = Q(VarTypeName(item.CanonicalType));
                o["rights"] = Q(RightsText(item.AccessRights));
            }
            ok = ok && SUCCEEDED(item.Error);
            items.append(o);
        }
        Emit({{"command", "add"}, {"ok", ok}, {"items", items}});
    } else {
        for (const TItem& item : s_.Items()) {
            ok = ok && SUCCEEDED(item.Error);
            if (SUCCEEDED(item.Error))
                out_ << item.ItemID << "  handle " << item.Server << "  " << VarTypeName(item.CanonicalType) << "  "
                     << RightsText(item.AccessRights) << '\n';
        }
        out_ << std::flush;
    }
    return ok ? kExitOk : kExitFailed;
}

int TRunner::Read()
{
    if (!AddGroupAndItems(o_.Arguments))
        return kExitFailed;
    bool ok = true;
    std::vector<TItemValue> values;
    HRESULT hr = S_OK;
    if (!s_.ServerHandles().empty()) {
        hr = s_.Read(o_.Device ? OPC_DS_DEVICE : OPC_DS_CACHE, values);
        if (FAILED(hr))
            return Failed("the read failed", hr);
    }
    for (const TItem& item : s_.Items())
        ok = ok && SUCCEEDED(item.Error);
    for (const TItemValue& v : values)
        ok = ok && SUCCEEDED(v.Error);
    if (o_.Json) {
        QJsonArray items;
        for (const TItemValue& v : values)
            items.append(ItemJson(v));
        for (const TItem& item : s_.Items())
            if (FAILED(item.Error))
                items.append(QJsonObject{{"item", Q(item.ItemID)}, {"error", ErrorJson(item.Error)}});
        Emit({{"command", "read"}, {"ok", ok}, {"items", items}});
    } else {
        for (const TItemValue& v : values)
            out_ << ItemLine(v) << '\n';
        out_ << std::flush;
    }
    return ExitFor(hr, ok);
}

int TRunner::ReadAsync()
{
    if (!AddGroupAndItems(o_.Arguments))
        return kExitFailed;
    std::vector<HRESULT> errors;
    HRESULT hr = S_OK;
    std::optional<TCallback> done;
    if (!s_.ServerHandles().empty()) {
        hr = s_.ReadAsync(kReadTransaction, nullptr, errors);
        if (FAILED(hr))
            return Failed("the asynchronous read failed", hr);
        // Items refused at once get no result in the completion.
        if (!std::all_of(errors.begin(), errors.end(), [](HRESULT e) { return FAILED(e); })) {
            done = WaitForCompletion(TCallback::ReadComplete, kReadTransaction);
            if (!done)
                return Failed("no read completion came", E_ABORT);
        }
    }
    bool ok = ItemsOk(errors) && (!done || SUCCEEDED(done->MasterError));
    std::vector<TItemValue> values = done ? std::move(done->Items) : std::vector<TItemValue>{};
    for (const TItemValue& v : values)
        ok = ok && SUCCEEDED(v.Error);
    if (o_.Json) {
        QJsonArray items;
        for (const TItemValue& v : values)
            items.append(ItemJson(v));
        Emit({{"command", "read-async"}, {"ok", ok}, {"accepted", ItemResultsJson(errors)}, {"items", items}});
    } else {
        std::size_t next = 0;
        for (const TItem& item : s_.Items())
            if (SUCCEEDED(item.Error) && next < errors.size() && FAILED(errors[next++]))
                out_ << item.ItemID << ": refused: " << Describe(errors[next - 1]) << '\n';
        for (const TItemValue& v : values)
            out_ << ItemLine(v) << '\n';
        out_ << std::flush;
    }
    return ExitFor(hr, ok);
}

int TRunner::Write(bool async)
{
    std::vector<std::string> ids;
    std::vector<std::string> texts;
    for (const std::string& arg : o_.Arguments) {
        std::string id, value;
        SplitAssignment(arg, id, value);
        ids.push_back(id);
        texts.push_back(value);
    }
    if (!AddGroupAndItems(ids))
        return kExitFailed;
    // Every value is checked before anything is written.
    std::vector<com::Variant> values;
    const std::vector<TItem>& items = s_.Items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (FAILED(items[i].Error))
            continue;
        com::Variant v;
        std::string why;
        if (!ParseValue(texts[i], items[i].CanonicalType, v, &why))
            return Failed(items[i].ItemID + ": " + why, E_INVALIDARG);
        values.push_back(std::move(v));
    }
    std::vector<HRESULT> errors;
    HRESULT hr = S_OK;
    std::optional<TCallback> done;
    if (!values.empty()) {
        hr = async ? s_.WriteAsync(kWriteTransaction, values, nullptr, errors) : s_.Write(values, errors);
        if (FAILED(hr))
            return Failed(async ? "the asynchronous write failed" : "the write failed", hr);
        if (async && !std::all_of(errors.begin(), errors.end(), [](HRESULT e) { return FAILED(e); })) {
            done = WaitForCompletion(TCallback::WriteComplete, kWriteTransaction);
            if (!done)
                return Failed("no write completion came", E_ABORT);
        }
    }
    // The completion's result per item replaces what the call accepted.
    if (done) {
        std::vector<OPCHANDLE> clients;
        for (const TItem& item : items)
            if (SUCCEEDED(item.Error))
                clients.push_back(static_cast<OPCHANDLE>(&item - items.data() + 1));
        for (const TItemValue& v : done->Items)
            for (std::size_t k = 0; k < clients.size() && k < errors.size(); ++k)
                if (clients[k] == v.Client && SUCCEEDED(errors[k]))
                    errors[k] = v.Error;
    }
    const bool ok = ItemsOk(errors) && (!done || SUCCEEDED(done->MasterError));
    if (o_.Json) {
        Emit({{"command", Q(o_.Command)}, {"ok", ok}, {"items", ItemResultsJson(errors)}});
    } else {
        std::size_t next = 0;
        for (const TItem& item : items) {
            if (FAILED(item.Error))
                continue;
            const HRESULT e = next < errors.size() ? errors[next++] : E_FAIL;
            out_ << item.ItemID << (SUCCEEDED(e) ? ": written" : ": not written: " + Describe(e)) << '\n';
        }
        out_ << std::flush;
    }
    return ExitFor(hr, ok);
}

int TRunner::Subscribe()
{
    subscribing_ = true;
    if (!AddGroupAndItems(o_.Arguments))
        return kExitFailed;
    if (s_.ServerHandles().empty())
        return kExitFailed;
    wait_([&] { return shutdown_ || (o_.Count >= 0 && dataChanges_ >= o_.Count); }, -1);
    subscribing_ = false;
    return kExitOk;
}

}  // namespace

std::optional<TOptions> ParseArguments(const std::vector<std::string>& args, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::optional<TOptions> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    TOptions o;
    std::vector<std::string> words;
    bool optionsEnd = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnd || !a.starts_with("-") || a == "-") {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnd = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> inlineValue;
        if (const std::size_t eq = a.find('='); a.starts_with("--") && eq != std::string::npos) {
            name = a.substr(0, eq);
            inlineValue = a.substr(eq + 1);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        if (name == "--json" && !inlineValue) {
            o.Json = true;
        } else if ((name == "--help" || name == "-h") && !inlineValue) {
            o.Help = true;
        } else if (name == "--device" && !inlineValue) {
            o.Device = true;
        } else if (name == "--registry" || name == "--client-name") {
            const auto v = value();
            if (!v || v->empty())
                return fail(name + " needs a value");
            (name == "--registry" ? o.Registry : o.ClientName) = *v;
        } else if (name == "--rate" || name == "--timeout" || name == "--count") {
            const auto v = value();
            long n = 0;
            if (!v || !ParseNumber(std::string_view(*v), n) || n < 0 || n > 0x7FFFFFFF)
                return fail(name + " needs a whole number from 0 on");
            if (name == "--rate")
                o.Rate = static_cast<DWORD>(n);
            else if (name == "--timeout")
                o.TimeoutMs = static_cast<int>(n);
            else
                o.Count = n;
        } else if (name == "--type") {
            const auto v = value();
            const auto vt = v ? ParseVarType(*v) : std::nullopt;
            if (!vt)
                return fail("--type needs a VARTYPE (VT_I2, i2, VT_ARRAY|VT_R4 or a number)");
            o.BrowseType = *vt;
        } else if (name == "--rights") {
            const auto v = value();
            if (v == "read")
                o.BrowseRights = OPC_READABLE;
            else if (v == "write")
                o.BrowseRights = OPC_WRITEABLE;
            else if (v == "readwrite")
                o.BrowseRights = OPC_READABLE | OPC_WRITEABLE;
            else
                return fail("--rights needs read, write or readwrite");
        } else {
            return fail("unknown option " + a);
        }
    }
    if (o.Help)
        return o;
    if (words.size() < 2)
        return fail("a server and a command are needed");
    o.Server = words[0];
    o.Command = words[1];
    o.Arguments.assign(words.begin() + 2, words.end());
    const TCommandSpec* spec = FindCommand(o.Command);
    if (!spec)
        return fail("unknown command " + o.Command);
    if (o.Arguments.size() < spec->MinArgs || o.Arguments.size() > spec->MaxArgs)
        return fail(o.Command + ": wrong number of arguments");
    if (spec->Assignments)
        for (const std::string& arg : o.Arguments) {
            std::string item, value;
            if (!SplitAssignment(arg, item, value))
                return fail(o.Command + ": \"" + arg + "\" is not ITEM=VALUE");
        }
    return o;
}

std::string UsageText()
{
    return R"(Usage: opcclient [OPTIONS] SERVER COMMAND [ARGUMENTS]

An OPC Data Access client on the session bus. SERVER is a ProgID ("Vorn OPC Server",
VORN.DA2) or a class ID ({806F6780-14F5-4D43-BF45-BB508ED2B724}); a server that is not
running is started by the bus.

Commands:
  status                      the server's status
  browse [FILTER]             item IDs, all or those matching FILTER (* any rest, ? one
                              character, # one digit)
  properties ITEM             the item's properties with their values
  add ITEM...                 add a group and the items; show handles, types and rights
  read ITEM...                read synchronously (from the cache; --device asks the PLC)
  write ITEM=VALUE...         write synchronously
  read-async ITEM...          read through IOPCAsyncIO2, the result by OnReadComplete
  write-async ITEM=VALUE...   write through IOPCAsyncIO2, the result by OnWriteComplete
  subscribe ITEM...           print data changes until Ctrl+C (or --count changes)

Values: numbers in C notation, true/false, ISO 8601 date-times (2026-12-10T08:30:00),
text as it is; arrays as JSON arrays, e.g. Simulation.User.Recipe=[1,2,3,4].

Options:
  --json             one JSON object per line, for scripts
  --registry PATH    the registry file (default: ~/.local/share/VornOPCServer/VornOPCServer.reg,
                     or under $XDG_DATA_HOME)
  --rate MS          the group's update rate (default 1000)
  --device           read from the device instead of the cache
  --timeout MS       how long to wait for a completion (default 10000)
  --count N          subscribe: end after N data changes
  --type VT          browse: only items of this type (VT_I2, r8, ...)
  --rights R         browse: only items with these rights (read, write, readwrite)
  --client-name NAME the name the server shows for this client (default opcclient)
  -h, --help         this text

Exit code: 0 when everything succeeded, 1 when the server, a call or an item failed,
2 for a usage fault.
)";
}

int RunCommand(const TOptions& options, TSession& session, std::ostream& out, std::ostream& err, const TWaiter& wait)
{
    TRunner runner(options, session, out, err, wait);
    return runner.Run();
}

}  // namespace opcclient
