#pragma once
// The run-time model: the communication root, the common bases of stations, folders,
// variables and channels, connection parameters, the station list and the process-wide
// singletons of the communication library.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vx {

class TVariable;
class TFolder;
class TStation;
class TParentTreeObject;

enum ObjectTypeCode : std::uint8_t {
    otServer = 0,
    otStation = 1,
    otVariable = 2,
    otFolder = 3,
    otPacket = 4,
    otSerialChannel = 5,
    otModem = 10,
    otEthChannel = 11,
    otLunaroChannel = 12,
    otEthPacket = 13,
};

class TTreeObject {
public:
    explicit TTreeObject(TTreeObject* owner) : Owner(owner) {}
    virtual ~TTreeObject() = default;
    TTreeObject(const TTreeObject&) = delete;
    TTreeObject& operator=(const TTreeObject&) = delete;

    std::int32_t ID = 0;
    std::string Name;
    std::string Comment;
    TTreeObject* Owner;  // not owning
    std::uint8_t ObjectType = 0;
};

// A list of variables that frees its entries only when it owns them: a station's flat list
// owns every variable of the station, a folder's list merely points at its own.
class TVariableList {
public:
    explicit TVariableList(bool owning) : owning_(owning) {}
    ~TVariableList();
    TVariableList(const TVariableList&) = delete;
    TVariableList& operator=(const TVariableList&) = delete;

    bool owning() const { return owning_; }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    TVariable* operator[](std::size_t i) const { return items_[i]; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    std::vector<TVariable*>& items() { return items_; }
    const std::vector<TVariable*>& items() const { return items_; }
    bool contains(const TVariable* v) const;

    void add(TVariable* v) { items_.push_back(v); }
    // Takes v out of the list without freeing it; false when it was not there.
    bool remove(const TVariable* v);

private:
    bool owning_;
    std::vector<TVariable*> items_;
};

class TParentTreeObject : public TTreeObject {
public:
    enum class Lists { Owning, Referring, None };
    // A folder's variable list refers to its variables; a station's or channel's owns them.
    // The communication root has no lists at all.
    explicit TParentTreeObject(TTreeObject* owner, Lists lists = Lists::Owning);
    ~TParentTreeObject() override;

    virtual void CreateInternalVariables() {}

    // A new variable owned by this node's first non-folder ancestor, listed here too when
    // this node is a folder.
    TVariable* AddVariable();
    TFolder* AddFolder(std::int32_t folderKind);

    std::unique_ptr<std::vector<std::unique_ptr<TFolder>>> Children;
    std::unique_ptr<TVariableList> Variables;

protected:
    // Frees folders and variables; derived destructors call it while their fields still live.
    void DestroyChildren();
};

// The first ancestor of node (or node itself) that is not a folder.
TParentTreeObject* FirstNonFolderAncestor(TTreeObject* node);

// Frees variable and takes it out of owner's list (for a folder) and of its owning list.
// Does nothing for a variable that is not there.
void RemoveVariable(TParentTreeObject* owner, TVariable* variable);
// Frees folder with its sub-folders and variables. Does nothing for a folder not in parent.
void RemoveFolder(TParentTreeObject* parent, TFolder* folder);

class TFolder : public TParentTreeObject {
public:
    explicit TFolder(TTreeObject* owner);
    std::int32_t FolderKind = 0;
};

struct TConnectionParams {
    std::int32_t ConnectionType = 0;  // 0 serial, 1 modem, 2 UDP, 3 development environment, 4 TCP
    std::int32_t PortNumber = 0;
    std::int32_t BaudRate = 0;
    std::uint8_t Parity = 0;
    std::string IPAddress;
    std::int32_t BusAddress = 0;
    std::int32_t Timeout = 0;  // ms
    std::string PhoneNumber;
    std::int32_t ModemNumber = 0;
    std::int32_t MaxRedials = 0;
};

// The communication root (distinct from the OPC registry of the same short name).
class TServer : public TParentTreeObject {
public:
    TServer();
    ~TServer() override;

    void StartCommunication();
    // False when a channel's stop raised; the remaining stops are then skipped.
    bool StopCommunication();

    bool Running = false;
    bool WasRunning = false;
};

class TStationList {
public:
    TStationList() = default;
    ~TStationList();
    TStationList(const TStationList&) = delete;
    TStationList& operator=(const TStationList&) = delete;

    TStation* AddStation();
    // Frees every station, last first.
    void Clear();
    void SortByName();
    std::size_t size() const { return items_.size(); }
    TStation* operator[](std::size_t i) const { return items_[i].get(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::unique_ptr<TStation>> items_;
};

// Sorts a station's flat variable list by name, as the item catalogue expects.
void SortVariablesByName(TVariableList& list);
// The packing key Zone * 100000 + Address * 10 + BitNumber.
std::int64_t VariableLocationKey(const TVariable& v);
// Orders due variables so that neighbours in the PLC meet in the packer.
void SortVariablesByLocation(std::vector<TVariable*>& list);

class TComList;
class TModemList;
class TUdpSocket;
class TSocketList;
class TLunaro;

// Process-wide singletons; null outside InitializeComm .. FinalizeComm.
extern TStationList* StationList;
extern TServer* CommServer;
extern TComList* ComList;
extern TModemList* ModemList;
extern TUdpSocket* UdpSocket;
extern TSocketList* SocketList;
extern TLunaro* LunaroChannel;

// Creates the singletons in their order; a second call does nothing.
void InitializeComm();
// Frees them: LunaroChannel, UdpSocket, SocketList, ModemList, ComList, CommServer,
// StationList. A second call does nothing.
void FinalizeComm();

}  // namespace vx
