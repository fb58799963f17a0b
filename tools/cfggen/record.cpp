// The record's fields, the editor's defaults per kind and its generated service items.
#include <algorithm>
#include <cctype>

#include "platform/text.h"
#include "tools/cfggen/cfggen.h"
#include "tools/cfggen/fields.h"

namespace cfggen {
namespace detail {
namespace {

#define VX_FIELD(num, member, type) \
    FieldDef { num, #member, FieldType::type, [](Record& r) -> void* { return &r.member; } }

std::vector<FieldDef> buildTable()
{
    std::vector<FieldDef> t = {
        VX_FIELD(1, Name, Text),
        VX_FIELD(2, Comment, Text),
        VX_FIELD(3, Ordinal, I32),
        VX_FIELD(4, Kind, KindByte),
        VX_FIELD(5, Editable, U8),
        VX_FIELD(6, ComPort, I32),
        VX_FIELD(7, BaudRate, I32),
        VX_FIELD(8, Parity, I32),
        VX_FIELD(9, ConnectionType, I32),
        VX_FIELD(10, Reserved, I32),
        VX_FIELD(11, BusAddress, I32),
        VX_FIELD(12, StationType, I32),
        VX_FIELD(13, Timeout, I32),
        VX_FIELD(14, Marker, MarkerByte),
        VX_FIELD(15, Zone, I32),
        VX_FIELD(16, Address, I32),
        VX_FIELD(17, BitNumber, I32),
        VX_FIELD(18, VarType, I32),
        VX_FIELD(19, StringLength, I32),
        VX_FIELD(20, ArrayLength, I32),
        VX_FIELD(21, Readable, U8),
        VX_FIELD(22, Writable, U8),
        VX_FIELD(23, Units, Text),
        VX_FIELD(24, Scaled, U8),
        VX_FIELD(25, InstrumentLow, F64),
        VX_FIELD(26, InstrumentHigh, F64),
        VX_FIELD(27, ScaledLow, F64),
        VX_FIELD(28, ScaledHigh, F64),
        VX_FIELD(29, CloseLabel, Text),
        VX_FIELD(30, OpenLabel, Text),
        VX_FIELD(31, HiHiLimit, F64),
        VX_FIELD(31, HiLimit, F64),
        VX_FIELD(31, LoLimit, F64),
        VX_FIELD(31, LoLoLimit, F64),
        VX_FIELD(32, ScaledVarType, I32),
        VX_FIELD(33, Simulated, U8),
        VX_FIELD(34, SimulationType, I32),
        VX_FIELD(35, SimulationMin, F64),
        VX_FIELD(36, SimulationMax, F64),
        VX_FIELD(37, SimulationGain, F64),
        VX_FIELD(38, SimulationPeriod, I32),
        VX_FIELD(39, ServiceCode, I32),
    };
    for (std::size_t i = 0; i < 10; ++i)
        t.push_back({40, "ReservedFloat" + std::to_string(i + 1), FieldType::F64,
                     [i](Record& r) -> void* { return &r.ReservedFloat[i]; }});
    for (std::size_t i = 0; i < 10; ++i)
        t.push_back({41, "ReservedInt" + std::to_string(i + 1), FieldType::I32,
                     [i](Record& r) -> void* { return &r.ReservedInt[i]; }});
    for (std::size_t i = 0; i < 10; ++i)
        t.push_back({42, "ReservedByte" + std::to_string(i + 1), FieldType::U8,
                     [i](Record& r) -> void* { return &r.ReservedByte[i]; }});
    const std::vector<FieldDef> tail = {
        VX_FIELD(43, InitialValue, Text),
        VX_FIELD(44, IpAddress, Text),
        VX_FIELD(45, ReservedText, Text),
        VX_FIELD(46, StandbyComPort, I32),
        VX_FIELD(46, StandbyBaudRate, I32),
        VX_FIELD(46, StandbyParity, I32),
        VX_FIELD(46, StandbyConnectionType, I32),
        VX_FIELD(46, StandbyBusAddress, I32),
        VX_FIELD(46, StandbyTimeout, I32),
        VX_FIELD(47, StandbyIpAddress, Text),
    };
    t.insert(t.end(), tail.begin(), tail.end());
    return t;
}

#undef VX_FIELD

bool equalNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

const std::vector<FieldDef>& fieldTable()
{
    static const std::vector<FieldDef> table = buildTable();
    return table;
}

const FieldDef* findField(std::string_view name)
{
    for (const FieldDef& f : fieldTable())
        if (equalNoCase(f.name, name))
            return &f;
    return nullptr;
}

}  // namespace detail

namespace {

struct ServiceItem {
    const char* name;
    std::int32_t code;
    std::int32_t zone;
    std::int32_t address;
    std::int32_t varType;
    const char* initialValue;
    int commentId;
};

// In the order the editor creates them.
constexpr ServiceItem kStationItems[] = {
    {"SYS_DateTime", 1, 2, 5, 7, "", 300},
    {"DRW_Zone", 16, 0, 0, 3, "", 306},
    {"DRW_Address", 10, 0, 0, 3, "", 301},
    {"DRW_Length", 11, 0, 0, 3, "", 302},
    {"DRW_Control", 12, 0, 0, 3, "", 303},
    {"DRW_Status", 14, 0, 0, 3, "", 304},
    {"DRW_DataBuffer", 13, 0, 0, 0x2011, "", 305},
    {"CON_Control", 40, 0, 0, 3, "1", 311},
    {"REM_DialNum", 20, 0, 0, 8, "", 310},
    {"REM_Status", 22, 0, 0, 3, "", 312},
    {"REM_StatusStr", 26, 0, 0, 8, "", 313},
    {"REM_LastStatus", 23, 0, 0, 3, "", 314},
    {"REM_LastStatusStr", 27, 0, 0, 8, "", 315},
    {"REM_LastExtStatus", 25, 0, 0, 3, "", 316},
    {"REM_LastExtStatusStr", 28, 0, 0, 8, "", 317},
    {"REM_ModemType", 30, 0, 0, 3, "", 319},
};

constexpr ServiceItem kModemItems[] = {
    {"Status", 50, 0, 0, 3, "", 312},
    {"ModemType", 52, 0, 0, 3, "", 319},
};

// The catalogue's descriptions of the service items (UTF-8 here, stored in Windows-1250).
struct CatalogueText {
    int id;
    const char* english;
    const char* czech;
};

constexpr CatalogueText kCatalogue[] = {
    {0, "Device", "Stanice"},
    {1, "Branch", "Slozka"},
    {2, "Item", "Promenna"},
    {5, "Modem", "Modem"},
    {20, "Service", "Sluzebni"},
    {300, "Use this item to read/write device date and time.", "Proměnná pro čtení/zápis datumu a času stanice."},
    {301, "Use this item to determine start index of reading/writing data block.",
     "Proměnná určuje počáteční adresu čteného/zapisovaného bloku dat."},
    {302,
     "Use this item to set length of reading/writing block.\r\nWhen DRW_DataBuffer item is of array type, then "
     "length is specified by this array items.\r\nIn other case is the length defined by DRW_DataBuffer item type "
     "and the value of DRW_Length is not considered.",
     "Proměnná určuje délku čteného/zapisovaného bloku dat.\r\nJe-li proměnná DRW_DataBuffer typu pole, je délka "
     "stanovena v prvcích tohoto pole.\r\nNení-li proměnná DRW_DataBuffer typu pole, je délka určena typem "
     "proměnné DRW_DataBuffer a hodnota proměnné DRW_Length není uvažována."},
    {303, "Use this item to control reading/writing data block.\r\n0 .. quiet\r\n1 .. start reading\r\n2 .. start writing",
     "Proměnná řídící čtení/zápis dat.\r\n0 .. klid\r\n1 .. čtení dat\r\n2 .. zápis dat"},
    {304,
     "Use this item to get data block reading/writing status.\r\n0  .. ready\r\n1  .. reading in progress\r\n2  .. "
     "reading finished with result OK\r\n3  .. reading finished with result BAD\r\n11 .. writing in progress\r\n12 .. "
     "writing finished with result OK\r\n13 .. writing finished with result BAD",
     "Proměnná obsahuje informaci o průběhu čtení/zápisu bloku dat.\r\n0  .. připraven\r\n1  .. probíhá čtení "
     "dat\r\n2  .. data vyčtena v pořádku\r\n3  .. data se nepodařilo vyčíst\r\n11 .. probíhá zápis dat\r\n12 .. "
     "data zapsána v pořádku\r\n13 .. data se napodařilo zapsat"},
    {305, "Use this item to store data read/written from/to device memory.",
     "Pole dat čtených/zapisovaných z/do paměti stanice"},
    {306,
     "Use this item to set data zone reading/writing data block.\r\n0 .. zone X - inputs\r\n1 .. zone Y - "
     "outputs\r\n2 .. zone S - system registers\r\n3 .. zone R - user registers\r\n4 .. zone M - databox",
     "Proměnná určuje datovou zónu čteného/zapisovaného bloku dat.\r\n0 .. zóna X - vstupy\r\n1 .. zóna Y - "
     "výstupy\r\n2 .. zóna S - systemové registry\r\n3 .. zóna R - uživatelské registry\r\n4 .. zóna M - databox"},
    {310, "Use this item to set dial number of remote connection.",
     "Proměnná obsahuje telefonní číslo pro vzdálené připojení."},
    {311,
     "Use this item to control connection with device.\r\n$01 .. connect to device\r\n$02 .. read data and "
     "disconnect\r\n$04 .. use standby connection",
     "Proměnná řídící spojení se stanicí.\r\n$01 .. spojit se stanicí\r\n$02 .. vyčíst data a odpojit "
     "(neaktivováno)\r\n$04 .. použít záložní spojení (neaktivováno)"},
    {312,
     "Use this item to get remote connection status.\r\n0 .. quiet\r\n1 .. waiting for call\r\n2 .. calling\r\n3 "
     ".. connected",
     "Proměnná obsahuje informaci o stavu vzdáleného připojení.\r\n0 .. klid\r\n1 .. čeká na volání\r\n2 .. volá "
     "se\r\n3 .. spojeno"},
    {313,
     "Use this item to get remote connection status as string.\r\n0 .. quiet\r\n1 .. waiting for call\r\n2 .. "
     "calling\r\n3 .. connected",
     "Proměnná obsahuje textovou informaci o stavu vzdáleného připojení.\r\n0 .. klid\r\n1 .. čeká na "
     "volání\r\n2 .. volá se\r\n3 .. spojeno"},
    {314,
     "Use this item to get remote connection status of the last call.\r\n0 .. OK - data transfered\r\n1 .. Err - "
     "connection failed\r\n2 .. Err - connection failed, data partially transfered",
     "Proměnná obsahuje informaci o výsledku posledniho připojení.\r\n0 .. OK - data přenesena\r\n1 .. Err - "
     "přenos dat selhal\r\n2 .. Err - přenos selhal část dat přenesena"},
    {315,
     "Use this item to get remote connection status of the last call as string.\r\n0 .. OK - data "
     "transfered\r\n1 .. Err - connection failed\r\n2 .. Err - connection failed, data partially transfered",
     "Proměnná obsahuje textovou informaci o výsledku posledního připojení.\r\n0 .. data přenesena\r\n1 .. "
     "přenos dat selhal\r\n2 .. přenos selhal část dat přenesena"},
    {316,
     "Use this item to get remote connection extended status of the last call.\r\n0 .. initial value\r\n1 .. "
     "modem reset error\r\n2 .. modem init error\r\n3 .. modem dial error\r\n4 .. modem error\r\n5 .. no "
     "carrier\r\n6 .. no dial tone\r\n7 .. bad data\r\n8 .. no dial number\r\n9 .. line is busy\r\n10 .. no "
     "response\r\n11 .. line error\r\n12 .. time overflow\r\n13 .. lost response\r\n14 .. canceled by "
     "user\r\n15 .. cannot find modem",
     "Proměnná obsahuje doplňující informaci o výsledku posledniho připojení.\r\n0 .. implicitní hodnota - "
     "výchozí stav\r\n1 .. chyba při resetování modemu\r\n2 .. chyba při inicializaci modemu\r\n3 .. chyba při "
     "vytáčení\r\n4 .. chyba modemu\r\n5 .. není nosná\r\n6 .. není oznamovací tón\r\n7 .. přijata špatná "
     "data\r\n8 .. chybí telefonní číslo\r\n9 .. obsazeno\r\n10 .. stanice neodpovídá\r\n11 .. spojení "
     "přerušeno\r\n12 .. překročen maximální čas spojení\r\n13 .. stanice přestala odpovídat\r\n14 .. přerušeno "
     "uživatelem\r\n15 .. nebyl nalezen vhodný modem"},
    {317,
     "Use this item to get remote connection extended status of the last call as string.\r\n0 .. initial "
     "value\r\n1 .. modem reset error\r\n2 .. modem init error\r\n3 .. modem dial error\r\n4 .. modem "
     "error\r\n5 .. no carrier\r\n6 .. no dial tone\r\n7 .. bad data\r\n8 .. no dial number\r\n9 .. line is "
     "busy\r\n10 .. no response\r\n11 .. line error\r\n12 .. time overflow\r\n13 .. lost response\r\n14 .. "
     "canceled by user\r\n15 .. cannot find modem",
     "Proměnná obsahuje doplňující textovou informaci o výsledku posledniho připojení.\r\n0 .. implicitní "
     "hodnota - výchozí stav\r\n1 .. chyba při resetování modemu\r\n2 .. chyba při inicializaci modemu\r\n3 .. "
     "chyba při vytáčení\r\n4 .. chyba modemu\r\n5 .. není nosná\r\n6 .. není oznamovací tón\r\n7 .. přijata "
     "špatná data\r\n8 .. chybí telefonní číslo\r\n9 .. obsazeno\r\n10 .. stanice neodpovídá\r\n11 .. spojení "
     "přerušeno\r\n12 .. překročen maximální čas spojení\r\n13 .. stanice přestala odpovídat\r\n14 .. přerušeno "
     "uživatelem\r\n15 .. nebyl nalezen vhodný modem"},
    {319, "Use this item to set remote connection modem type.", "Proměnná obsahuje typ modemu vzdáleného připojení."},
};

std::string catalogue(int id, Lang lang)
{
    for (const CatalogueText& t : kCatalogue)
        if (t.id == id)
            return plat::utf8ToCp1250(lang == Lang::English ? t.english : t.czech);
    return {};
}

void addItem(Node& parent, const ServiceItem& item, Counters& counters, Lang lang)
{
    Node n = makeNode(kind::Variable, counters, lang);
    n.rec.Name = item.name;
    n.rec.Comment = catalogue(item.commentId, lang);
    n.rec.VarType = item.varType;
    n.rec.Zone = item.zone;
    n.rec.Address = item.address;
    n.rec.Editable = 0;
    n.rec.ServiceCode = item.code;
    n.rec.InitialValue = item.initialValue;
    parent.children.push_back(std::move(n));
}

}  // namespace

std::string detail::defaultName(std::uint8_t k, std::int32_t ordinal, Lang lang)
{
    const int stem = k == kind::Station ? 0 : k == kind::Variable ? 2 : k == kind::Folder ? 1 : k == kind::Modem ? 5 : -1;
    if (stem < 0)
        return k == kind::Server ? "Server" : "";
    return catalogue(stem, lang) + std::to_string(ordinal);
}

std::int32_t Counters::next(std::uint8_t k)
{
    switch (k) {
    case kind::Station:
        return ++station;
    case kind::Variable:
        return ++variable;
    case kind::Folder:
        return ++folder;
    case kind::Modem:
        return ++modem;
    default:
        return 1;
    }
}

Node makeNode(std::uint8_t k, Counters& counters, Lang lang)
{
    Node n;
    n.rec.Kind = k;
    n.rec.Ordinal = counters.next(k);
    n.rec.Name = detail::defaultName(k, n.rec.Ordinal, lang);
    if (k == kind::Server)
        n.rec.Editable = 0;
    return n;
}

void addServiceItems(Node& owner, Counters& counters, Lang lang)
{
    if (owner.rec.Kind == kind::Modem) {
        for (const ServiceItem& item : kModemItems)
            addItem(owner, item, counters, lang);
        return;
    }
    Node folder = makeNode(kind::Folder, counters, lang);
    folder.rec.Name = catalogue(20, lang);
    folder.rec.Editable = 0;
    for (const ServiceItem& item : kStationItems)
        addItem(folder, item, counters, lang);
    owner.children.push_back(std::move(folder));
}

std::size_t countNodes(const Node& node)
{
    std::size_t n = 1;
    for (const Node& c : node.children)
        n += countNodes(c);
    return n;
}

std::size_t countNodes(const Config& cfg)
{
    std::size_t n = 0;
    for (const Node& c : cfg.nodes)
        n += countNodes(c);
    return n;
}

}  // namespace cfggen
