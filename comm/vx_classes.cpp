#include "vx_classes.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"
#include "vx_channel.h"
#include "vx_def.h"
#include "vx_lang.h"
#include "vx_lunaro.h"
#include "vx_modem.h"
#include "vx_socket.h"
#include "vx_station.h"
#include "vx_variable.h"

namespace vx {

TVariableList::~TVariableList()
{
    if (owning_)
        for (auto it = items_.rbegin(); it != items_.rend(); ++it)
            delete *it;
}

bool TVariableList::contains(const TVariable* v) const
{
    return std::find(items_.begin(), items_.end(), v) != items_.end();
}

bool TVariableList::remove(const TVariable* v)
{
    auto it = std::find(items_.begin(), items_.end(), v);
    if (it == items_.end())
        return false;
    items_.erase(it);
    return true;
}

TParentTreeObject::TParentTreeObject(TTreeObject* owner, Lists lists) : TTreeObject(owner)
{
    if (lists == Lists::None)
        return;
    Children = std::make_unique<std::vector<std::unique_ptr<TFolder>>>();
    Variables = std::make_unique<TVariableList>(lists == Lists::Owning);
}

TParentTreeObject::~TParentTreeObject() { DestroyChildren(); }

namespace {

// The folders' lists below node, emptied without touching the variables they name.
void ForgetFolderVariables(TParentTreeObject& node)
{
    if (!node.Children)
        return;
    for (const auto& folder : *node.Children) {
        if (folder->Variables)
            folder->Variables->items().clear();
        ForgetFolderVariables(*folder);
    }
}

}  // namespace

void TParentTreeObject::DestroyChildren()
{
    // An owning list holds its folders' variables too: they all go in one pass, while the
    // folders they name as owner still exist. Taking them one by one searched the lists for
    // each, which made freeing a station of many variables quadratic.
    if (Variables && Variables->owning()) {
        std::vector<TVariable*> all;
        all.swap(Variables->items());
        ForgetFolderVariables(*this);
        for (auto it = all.rbegin(); it != all.rend(); ++it)
            delete *it;
    }
    if (Children) {
        while (!Children->empty())
            RemoveFolder(this, Children->back().get());
        Children.reset();
    }
    if (Variables) {
        while (!Variables->empty())
            RemoveVariable(this, Variables->items().back());
        Variables.reset();
    }
}

TParentTreeObject* FirstNonFolderAncestor(TTreeObject* node)
{
    while (node && node->ObjectType == otFolder)
        node = node->Owner;
    return static_cast<TParentTreeObject*>(node);
}

TVariable* TParentTreeObject::AddVariable()
{
    auto* v = new TVariable(this);
    if (ObjectType == otFolder && Variables)
        Variables->add(v);
    TParentTreeObject* holder = FirstNonFolderAncestor(this);
    if (!holder || !holder->Variables || !holder->Variables->owning()) {
        // Nothing could own it: a variable under the root has no list to live in.
        if (ObjectType == otFolder && Variables)
            Variables->remove(v);
        delete v;
        return nullptr;
    }
    holder->Variables->add(v);
    return v;
}

TFolder* TParentTreeObject::AddFolder(std::int32_t folderKind)
{
    if (!Children)
        return nullptr;
    auto folder = std::make_unique<TFolder>(this);
    folder->FolderKind = folderKind;
    TFolder* f = folder.get();
    Children->push_back(std::move(folder));
    return f;
}

void RemoveVariable(TParentTreeObject* owner, TVariable* variable)
{
    // A variable that the node does not list is not the node's to free.
    if (!owner || !variable || !owner->Variables || !owner->Variables->contains(variable))
        return;
    owner->Variables->remove(variable);
    // Taken out of its own folder too, so that no folder keeps a freed variable.
    if (variable->Owner && variable->Owner->ObjectType == otFolder) {
        auto* folder = static_cast<TParentTreeObject*>(variable->Owner);
        if (folder->Variables)
            folder->Variables->remove(variable);
    }
    TParentTreeObject* holder = FirstNonFolderAncestor(variable->Owner);
    if (holder && holder->Variables)
        holder->Variables->remove(variable);
    delete variable;
}

void RemoveFolder(TParentTreeObject* parent, TFolder* folder)
{
    if (!parent || !folder || !parent->Children)
        return;
    auto& list = *parent->Children;
    auto it = std::find_if(list.begin(), list.end(), [folder](const auto& f) { return f.get() == folder; });
    if (it == list.end())
        return;
    // The folder frees its sub-folders and variables first, while it is still listed.
    std::unique_ptr<TFolder> owned = std::move(*it);
    owned.reset();
    list.erase(std::find_if(list.begin(), list.end(), [](const auto& f) { return !f; }));
}

TFolder::TFolder(TTreeObject* owner) : TParentTreeObject(owner, Lists::Referring)
{
    ObjectType = otFolder;
    Name = GetLangText(kMsgNewFolderName) + std::to_string(ID);
}

TServer::TServer() : TParentTreeObject(nullptr, Lists::None)
{
    Name = "Server";
    ObjectType = otServer;
}

TServer::~TServer() { ShuttingDown = true; }

void TServer::StartCommunication()
{
    WasRunning = Running;
    Running = true;
    if (ComList)
        for (auto& channel : *ComList)
            channel->Start();
    if (UdpSocket)
        UdpSocket->Start();
    if (LunaroChannel)
        LunaroChannel->Start();
    if (SocketList)
        for (auto& channel : *SocketList)
            channel->Start();
}

bool TServer::StopCommunication()
{
    WasRunning = Running;
    Running = false;
    try {
        if (ComList)
            for (auto& channel : *ComList)
                channel->Stop();
        if (ModemList)
            ModemList->HangUpAll();
        if (UdpSocket)
            UdpSocket->Stop();
        if (LunaroChannel)
            LunaroChannel->Stop();
        if (SocketList)
            for (auto& channel : *SocketList)
                channel->Stop();
    } catch (...) {
        return false;
    }
    return true;
}

TStationList::~TStationList() { Clear(); }

TStation* TStationList::AddStation()
{
    items_.push_back(std::make_unique<TStation>(CommServer));
    return items_.back().get();
}

void TStationList::Clear()
{
    while (!items_.empty())
        items_.pop_back();
}

void TStationList::SortByName()
{
    std::sort(items_.begin(), items_.end(),
              [](const auto& a, const auto& b) { return plat::compareTextLocale(a->Name, b->Name) < 0; });
}

void SortVariablesByName(TVariableList& list)
{
    std::sort(list.items().begin(), list.items().end(),
              [](const TVariable* a, const TVariable* b) { return plat::compareTextLocale(a->Name, b->Name) < 0; });
}

std::int64_t VariableLocationKey(const TVariable& v)
{
    return static_cast<std::int64_t>(v.Zone) * 100000 + static_cast<std::int64_t>(v.Address) * 10 + v.BitNumber;
}

void SortVariablesByLocation(std::vector<TVariable*>& list)
{
    std::sort(list.begin(), list.end(),
              [](const TVariable* a, const TVariable* b) { return VariableLocationKey(*a) < VariableLocationKey(*b); });
}

TStationList* StationList = nullptr;
TServer* CommServer = nullptr;
TComList* ComList = nullptr;
TModemList* ModemList = nullptr;
TUdpSocket* UdpSocket = nullptr;
TSocketList* SocketList = nullptr;
TLunaro* LunaroChannel = nullptr;

namespace {
bool initialized = false;
bool finalized = false;
}  // namespace

void InitializeComm()
{
    if (initialized)
        return;
    initialized = true;
    finalized = false;
    StationList = new TStationList;
    CommServer = new TServer;
    ComList = new TComList;
    ModemList = new TModemList;
    UdpSocket = new TUdpSocket(CommServer);
    SocketList = new TSocketList;
    LunaroChannel = new TLunaro(CommServer);
}

void FinalizeComm()
{
    if (!initialized || finalized)
        return;
    finalized = true;
    // The UDP channel goes before the TCP list; the rest is the reverse of creation.
    delete std::exchange(LunaroChannel, nullptr);
    delete std::exchange(UdpSocket, nullptr);
    delete std::exchange(SocketList, nullptr);
    delete std::exchange(ModemList, nullptr);
    delete std::exchange(ComList, nullptr);
    delete std::exchange(CommServer, nullptr);
    delete std::exchange(StationList, nullptr);
    FinalizeDef();
    initialized = false;
}

}  // namespace vx
