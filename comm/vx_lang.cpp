#include "vx_lang.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "vx_def.h"
#include "vx_lang_table.h"

namespace vx {
namespace {

// A constant table: nothing runs before main, and the texts live in read-only data.
// 401 has no Czech text; its empty cs gives the empty text like an unknown id.
constexpr auto kRows = std::to_array<lang::Row>({
    {0, "Device", "Stanice"},
    {1, "Branch", "Slozka"},
    {2, "Item", "Promenna"},
    {3, "Communication port", "Komunikační port"},
    {4, "Packet", "Paket"},
    {5, "Modem", "Modem"},
    {6, "DeviceFolder", "Slozka stanic"},
    {10, "Address", "Adresa"},
    {11, "Type", "Typ"},
    {12, "Name", "Jméno"},
    {13, "Value", "Hodnota"},
    {14, "Quality", "Kvalita"},
    {15, "Active", "Aktivní"},
    {16, "Inactive", "Neaktivní"},
    {17, "Time", "Čas"},
    {18, "Rate", "Perioda"},
    {19, "Status", "Status"},
    {20, "Service", "Sluzebni"},
    {21, "DateTime", "DatumCas"},
    {22, "Value type", "Typ hodnoty"},
    {23, "Parameters", "Parametry"},
    {24, "Communications", "Komunikace"},
    {25, "Length", "Délka"},
    {26, "IP address", "IP adresa"},
    {27, "Parity", "Parita"},
    {49, "Ports count:", "Počet portů:"},
    {50, "Devices count:", "Počet stanic:"},
    {51, "Items count:", "Počet proměnných:"},
    {52, "Branches count:", "Počet složek:"},
    {53, "Show branches", "Zobrazovat složky"},
    {54, "Hide branches", "Skrýt složky"},
    {55, "About %s", "O aplikaci %s"},
    {56, "Read", "Čtení"},
    {57, "Write", "Zápis"},
    {58, "Allow", "Povolit"},
    {59, "Comment", "Komentář"},
    {60, "Settings", "Nastavení"},
    {61, "User value", "Uživatelská hodnota"},
    {62, "Random value", "Náhodná hodnota"},
    {63, "Ramp", "Pila"},
    {64, "Real value", "Reálná hodnota"},
    {65, "Events count:", "Počet hlášení:"},
    {66, "Real timeout:", "Skutečný timeout:"},
    {67, "Deadband", "Necitlivost"},
    {70, "none", "žádná"},
    {71, "odd", "lichá"},
    {72, "even", "sudá"},
    {73, "Project group:", "Projektová skupina:"},
    {74, "Project:", "Projekt:"},
    {75, "General", "Základní"},
    {76, "Diagnostic", "Diagnostika"},
    {100, "Bad format of value", "Nesprávný formát hodnoty"},
    {101, "Cannot load configuration from file %s!", "Konfiguraci se nepodařilo načíst!"},
    {102, "Cannot save configuration to file %s!", "Konfiguraci se nepodařilo uložit!"},
    {103, "Port COM", "Požadovaný port COM"},
    {104, " was not found, or port is busy!", " nebyl nalezen, nebo je využíván jinou aplikací!"},
    {105, "Version:", "Verze:"},
    {106, "Save changes?", "Uložit provedené změny?"},
    {107, "Register configuration?", "Registrovat konfiguraci?"},
    {108, "Untitled.cfg", "Bezejmena.cfg"},
    {109, "New device", "Nová stanice"},
    {110, "New item", "Nová proměnná"},
    {111, "New branch", "Nová složka"},
    {112, "Duplicate", "Duplikovat"},
    {113, "Delete", "Smazat"},
    {114, " already exists. Choose different one please.", " již existuje. Zvolte prosím jiný název."},
    {115, "Item", "Proměnná"},
    {116, "Branch", "Složka"},
    {117, " has the same address like another device. Choose different one please.", " má stejnou adresu jako již existující stanice. Zvolte prosím jinou adresu."},
    {118, "Change value", "Změnit hodnotu"},
    {119, "Import", "Importovat"},
    {120, "Register configuration", "Registrovat konfiguraci"},
    {121, " has bad initial value. Initial value type must be compatible with item value type.", " má nesprávnou inicializační hodnotu. Typ inicializační hodnoty musí být kompatibilní s typem proměnné."},
    {124, "%d items imported. %d new items and %d changed.", "Bylo importováno %d proměnných, z toho %d nových a %d změněných."},
    {125, "Import of some items was unsuccesful!", "Některé proměnné se nepodařilo importovat!"},
    {126, "Can not open file %s!", "Soubor %s se nepodařilo otevřít!"},
    {127, "File %s has wrong format!", "Soubor %s má nesprávný formát!"},
    {128, "communication driver", "komunikační driver"},
    {129, "Unable to register the server!", "Nepodařilo se zaregistrovat server!"},
    {130, "Server was succefully registered.", "Server byl úspěšně zaregistrován."},
    {131, "Unable to unregister the server!", "Nepodařilo se odregistrovat server!"},
    {132, "Server was succesfully unregistered.", "Server byl úspěšně odregistrován."},
    {133, "File %S already exists. Do you want to rewrite it?", "Soubor %S již existuje. Chcete jej přepsat?"},
    {134, "Do you really want to delete selected objects ?", "Opravdu chcete vymazat označené objekty ?"},
    {135, " has the same COM number like another modem. Choose different one please.", " má stejné číslo komunikačního portu jako již existující modem. Zvolte prosím jiný komunikační port."},
    {136, " has the same COM number like another device or modem. Choose different one please.", " má stejné číslo komunikačního portu jako již existující stanice nebo modem. Zvolte prosím jiný komunikační port."},
    {137, " has the same IP address like another device. Choose different one please.", " má stejnou IP adresu jako již existující stanice. Zvolte prosím jinou IP adresu."},
    {138, "Can not find file %s!", "Soubor %s se npodařilo najít!"},
    {139, "List of communications is deactivated", "Výpis komunikací není aktivován"},
    {140, " is item property reserved name. Choose different one please.", " je název vyhrazený pro vlastnost proměnné. Zvolte prosím jiný název."},
    {141, "New modem", "Nový modem"},
    {142, "Cut", "Vyjmout"},
    {143, "Copy", "Kopírovat"},
    {144, "Paste", "Vložit"},
    {145, "Unable to open TCPIP socket", "Nepodařilo se otevřít TCPIP socket (%s)"},
    {146, "Socket Error %d (%s)", "Socket Error %d (%s)"},
    {200, "Warning", "Upozornění"},
    {201, "Error", "Chyba"},
    {202, "Information", "Informace"},
    {203, "Confirmation", "Potvrzení"},
    {204, "Yes", "Ano"},
    {205, "No", "Ne"},
    {206, "OK", "OK"},
    {207, "Cancel", "Storno"},
    {208, "Abort", "Zrušit"},
    {209, "Again", "Znovu"},
    {210, "Ignore", "Ignorovat"},
    {211, "All", "Vše"},
    {212, "No to all", "Ne pro všechny"},
    {213, "Yes to all", "Ano pro všechny"},
    {214, "Help", "Nápověda"},
    {215, "Common", "Obecné"},
    {216, "Language:", "Jazyk:"},
    {217, "Communication", "Komunikace"},
    {218, "Max. count of bad communications:", "Max. počet chybných komunikací:"},
    {219, "Reset port on bad communications count:", "Reset portu při počtu chybných komunikací:"},
    {220, "Czech", "Čeština"},
    {221, "English", "Angličtina"},
    {225, "Items types signing:", "Značení typů proměnných:"},
    {226, "Items name uniqueness", "Jedinečnost názvů proměnných"},
    {227, "within the branch", "v rámci složky"},
    {228, "within the device", "v rámci stanice"},
    {230, "Dispatch delay after data receive [ms]:", "Prodleva mezi příjmem a vysíláním [ms]:"},
    {231, "Communication port:", "Komunikační port:"},
    {232, "Baud:", "Komunikační rychlost:"},
    {233, "Timeout [ms]:", "Timeout [ms]:"},
    {234, "Connection type", "Typ připojení"},
    {235, "serial (via COM port)", "sériové(COM port)"},
    {236, "net (via ethernet)", "síťové (ethernet)"},
    {237, "phone (via modem)", "telefonické (modem)"},
    {238, "none", "žádné"},
    {239, "net(via ethernet)/serial(RS232,RS485)", "síťové(ethernet)/sériové(RS232,RS485)"},
    {240, "Dial number:", "Telefonní číslo:"},
    {241, "IP address:", "IP adresa:"},
    {242, "Server address:", "Adresa serveru:"},
    {243, "You are not authorized to shutdown driver!", "Nemáte právo k ukončení driveru!"},
    {244, "Update rate [ms]:", "Interval aktualizace [ms]:"},
    {245, "Try to connect every [s]:", "Interval navázání spojení [s]:"},
    {246, "Show communications", "Vypisovat komunikace"},
    {247, "Num of comm. lines:", "Počet řádků výpisu komunikací:"},
    {248, "Log events to file", "Logovat hlášení"},
    {249, "Num of event lines:", "Počet řádků výpisu hlášení:"},
    {250, "Array length:", "Délka pole:"},
    {251, "Num of chars:", "Počet znaků:"},
    {252, "Readable", "Povoleno čtení"},
    {253, "Writeable", "Povolen zápis"},
    {254, "Scale", "Přepočítávat"},
    {255, "Units:", "Jednotky:"},
    {256, "Digital value label", "Text bin. hodnoty"},
    {257, "Input range", "Vstupní rozsah"},
    {258, "Scaling", "Přepočet"},
    {259, "Limits", "Meze"},
    {260, "Initial value", "Inicializační hodnota"},
    {261, "HiHiLimit:", "Horní kritická mez:"},
    {262, "HiLimit:", "Horní varovná mez:"},
    {263, "LoLimit:", "Dolní varovná mez:"},
    {264, "LoLoLimit:", "Dolní kritická mez:"},
    {265, "Simulation", "Simulace"},
    {266, "Simulate value", "Simulovat hodnotu"},
    {267, "Rate [ms]:", "Perioda [ms]:"},
    {268, "Max. gain:", "Max. přírůstek:"},
    {269, "Connected clients", "Připojení klienti"},
    {270, "Events", "Hlášení"},
    {271, "Show error messages", "Zobrazovat chybové hlášky"},
    {272, "Updating of values in driver", "Aktualizace hodnot v driveru"},
    {273, "periodical", "v pravidelném intervalu"},
    {274, "on value change", "při změně hodnoty"},
    {275, "Provider:", "Modemové připojení:"},
    {276, "Max. call repeat:", "Počet opakování volání:"},
    {277, "Limit duration of connection:", "Omezit dobu spojení"},
    {278, "Max. duration of connection [s]:", "Max. doba spojení [s]:"},
    {279, "Number of bad comm. to restart communication:", "Restart komunikace při počtu chybných komunikací:"},
    {280, "Main connection", "Hlavní připojení"},
    {281, "Standby connection", "Záložní připojení"},
    {282, "Data flow control", "Řízení toku dat"},
    {283, "Max. length of data packet:", "Maximální délka komunikačního paketu:"},
    {284, "Max. count of connecting on active connection:", "Max. počet navázání aktivního spojení:"},
    {285, "Try to connect on main connection every [ms]:", "Interval navázání hlavního spojení [ms]:"},
    {286, "Port:", "Port:"},
    {287, "provide communication by different packet length", "zabezpečit komunikaci různou délkou po sobě jdoucích paketů"},
    {288, "provide communication by checking timestamp", "zabezpečit komunikaci ověřením časové značky"},
    {289, "Before dial delay [s]:", "Prodleva mezi jednotlivými voláními [s]:"},
    {290, "Same device call delay [s]:", "Prodleva při opakování volání na stejnou stanici [s]:"},
    {291, "Tilde delay [ms]:", "Prodleva příkazu přechod do řídícího režimu [ms]:"},
    {292, "communication via comm. zones only", "komunikovat pouze prostřednictvím komunikačních zón"},
    {300, "Use this item to read/write device date and time.", "Proměnná pro čtení/zápis datumu a času stanice."},
    {301, "Use this item to determine start index of reading/writing data block.", "Proměnná určuje počáteční adresu čteného/zapisovaného bloku dat."},
    {302, "Use this item to set length of reading/writing block.\r\nWhen DRW_DataBuffer item is of array type, then length is specified by this array items.\r\nIn other case is the length defined by DRW_DataBuffer item type and the value of DRW_Length is not considered.", "Proměnná určuje délku čteného/zapisovaného bloku dat.\r\nJe-li proměnná DRW_DataBuffer typu pole, je délka stanovena v prvcích tohoto pole.\r\nNení-li proměnná DRW_DataBuffer typu pole, je délka určena typem proměnné DRW_DataBuffer a hodnota proměnné DRW_Length není uvažována."},
    {303, "Use this item to control reading/writing data block.\r\n0 .. quiet\r\n1 .. start reading\r\n2 .. start writing", "Proměnná řídící čtení/zápis dat.\r\n0 .. klid\r\n1 .. čtení dat\r\n2 .. zápis dat"},
    {304, "Use this item to get data block reading/writing status.\r\n0  .. ready\r\n1  .. reading in progress\r\n2  .. reading finished with result OK\r\n3  .. reading finished with result BAD\r\n11 .. writing in progress\r\n12 .. writing finished with result OK\r\n13 .. writing finished with result BAD", "Proměnná obsahuje informaci o průběhu čtení/zápisu bloku dat.\r\n0  .. připraven\r\n1  .. probíhá čtení dat\r\n2  .. data vyčtena v pořádku\r\n3  .. data se nepodařilo vyčíst\r\n11 .. probíhá zápis dat\r\n12 .. data zapsána v pořádku\r\n13 .. data se napodařilo zapsat"},
    {305, "Use this item to store data read/written from/to device memory.", "Pole dat čtených/zapisovaných z/do paměti stanice"},
    {306, "Use this item to set data zone reading/writing data block.\r\n0 .. zone X - inputs\r\n1 .. zone Y - outputs\r\n2 .. zone S - system registers\r\n3 .. zone R - user registers\r\n4 .. zone M - databox", "Proměnná určuje datovou zónu čteného/zapisovaného bloku dat.\r\n0 .. zóna X - vstupy\r\n1 .. zóna Y - výstupy\r\n2 .. zóna S - systemové registry\r\n3 .. zóna R - uživatelské registry\r\n4 .. zóna M - databox"},
    {310, "Use this item to set dial number of remote connection.", "Proměnná obsahuje telefonní číslo pro vzdálené připojení."},
    {311, "Use this item to control connection with device.\r\n$01 .. connect to device\r\n$02 .. read data and disconnect\r\n$04 .. use standby connection", "Proměnná řídící spojení se stanicí.\r\n$01 .. spojit se stanicí\r\n$02 .. vyčíst data a odpojit (neaktivováno)\r\n$04 .. použít záložní spojení (neaktivováno)"},
    {312, "Use this item to get remote connection status.\r\n0 .. quiet\r\n1 .. waiting for call\r\n2 .. calling\r\n3 .. connected", "Proměnná obsahuje informaci o stavu vzdáleného připojení.\r\n0 .. klid\r\n1 .. čeká na volání\r\n2 .. volá se\r\n3 .. spojeno"},
    {313, "Use this item to get remote connection status as string.\r\n0 .. quiet\r\n1 .. waiting for call\r\n2 .. calling\r\n3 .. connected", "Proměnná obsahuje textovou informaci o stavu vzdáleného připojení.\r\n0 .. klid\r\n1 .. čeká na volání\r\n2 .. volá se\r\n3 .. spojeno"},
    {314, "Use this item to get remote connection status of the last call.\r\n0 .. OK - data transfered\r\n1 .. Err - connection failed\r\n2 .. Err - connection failed, data partially transfered", "Proměnná obsahuje informaci o výsledku posledniho připojení.\r\n0 .. OK - data přenesena\r\n1 .. Err - přenos dat selhal\r\n2 .. Err - přenos selhal část dat přenesena"},
    {315, "Use this item to get remote connection status of the last call as string.\r\n0 .. OK - data transfered\r\n1 .. Err - connection failed\r\n2 .. Err - connection failed, data partially transfered", "Proměnná obsahuje textovou informaci o výsledku posledního připojení.\r\n0 .. data přenesena\r\n1 .. přenos dat selhal\r\n2 .. přenos selhal část dat přenesena"},
    {316, "Use this item to get remote connection extended status of the last call.\r\n0 .. initial value\r\n1 .. modem reset error\r\n2 .. modem init error\r\n3 .. modem dial error\r\n4 .. modem error\r\n5 .. no carrier\r\n6 .. no dial tone\r\n7 .. bad data\r\n8 .. no dial number\r\n9 .. line is busy\r\n10 .. no response\r\n11 .. line error\r\n12 .. time overflow\r\n13 .. lost response\r\n14 .. canceled by user\r\n15 .. cannot find modem", "Proměnná obsahuje doplňující informaci o výsledku posledniho připojení.\r\n0 .. implicitní hodnota - výchozí stav\r\n1 .. chyba při resetování modemu\r\n2 .. chyba při inicializaci modemu\r\n3 .. chyba při vytáčení\r\n4 .. chyba modemu\r\n5 .. není nosná\r\n6 .. není oznamovací tón\r\n7 .. přijata špatná data\r\n8 .. chybí telefonní číslo\r\n9 .. obsazeno\r\n10 .. stanice neodpovídá\r\n11 .. spojení přerušeno\r\n12 .. překročen maximální čas spojení\r\n13 .. stanice přestala odpovídat\r\n14 .. přerušeno uživatelem\r\n15 .. nebyl nalezen vhodný modem"},
    {317, "Use this item to get remote connection extended status of the last call as string.\r\n0 .. initial value\r\n1 .. modem reset error\r\n2 .. modem init error\r\n3 .. modem dial error\r\n4 .. modem error\r\n5 .. no carrier\r\n6 .. no dial tone\r\n7 .. bad data\r\n8 .. no dial number\r\n9 .. line is busy\r\n10 .. no response\r\n11 .. line error\r\n12 .. time overflow\r\n13 .. lost response\r\n14 .. canceled by user\r\n15 .. cannot find modem", "Proměnná obsahuje doplňující textovou informaci o výsledku posledniho připojení.\r\n0 .. implicitní hodnota - výchozí stav\r\n1 .. chyba při resetování modemu\r\n2 .. chyba při inicializaci modemu\r\n3 .. chyba při vytáčení\r\n4 .. chyba modemu\r\n5 .. není nosná\r\n6 .. není oznamovací tón\r\n7 .. přijata špatná data\r\n8 .. chybí telefonní číslo\r\n9 .. obsazeno\r\n10 .. stanice neodpovídá\r\n11 .. spojení přerušeno\r\n12 .. překročen maximální čas spojení\r\n13 .. stanice přestala odpovídat\r\n14 .. přerušeno uživatelem\r\n15 .. nebyl nalezen vhodný modem"},
    {319, "Use this item to set remote connection modem type.", "Proměnná obsahuje typ modemu vzdáleného připojení."},
    {320, "Use this item to get connection status.", "Proměnná obsahuje informace o stavu spojení se stanicí."},
    {350, "Contains devices connected via modem.", "Obsahuje stanice připojované prostřednictvím modemu."},
    {380, "Cannot activate UDP socket", "Nepodařilo se aktivovat UDP sockert"},
    {400, "Select file containing variable declarations", "Vybrat soubor s deklaracemi proměnných"},
    {401, "Imported: %d\r\nAdded: %d\r\nModified: %d", ""},
    {402, "Declarations Pentar, Ilsa (*.tdr)|*.tdr|Declarations Lunaro, Wexa (*.pub)|*.pub", "Deklarace Pentar, Ilsa (*.tdr)|*.tdr|Deklarace Lunaro, Wexa (*.pub)|*.pub"},
    {403, "Open configuration file", "Otevřít soubor konfigurace"},
    {404, "Vorn OPC server configuration files (*.cfg)|*.cfg|All files (*.*)|*.*", "Konfigurace Vorn OPC serveru (*.cfg)|*.cfg|Všechny soubory (*.*)|*.*"},
    {405, "Save configuration to file", "Uložit konfiguraci do souboru"},
    {406, "Items import in progress.", "Importuji proměnné."},
    {407, "Saving configuration.", "Ukládám konfiguraci."},
    {408, "Loading configuration.", "Načítám konfiguraci."},
    {499, "New", "Nový"},
    {500, "File", "Soubor"},
    {501, "Open...", "Otevřít..."},
    {502, "Save", "Uložit"},
    {503, "Save as...", "Uložit jako ..."},
    {504, "Hide", "Skrýt"},
    {505, "Shutdown", "Ukončit"},
    {506, "Registration", "Registrace"},
    {507, "Register server", "Registrovat server"},
    {508, "Unregister server", "Odregistrovat server"},
    {509, "View", "Zobrazit"},
    {510, "Configuration", "Konfiguraci"},
    {511, "Runtime", "Runtime"},
    {512, "Settings...", "Nastavení..."},
    {513, "Help", "Nápověda"},
    {514, "About...", "O aplikaci..."},
    {515, "Edit", "Editace"},
    {516, "Communication", "Komunikace"},
    {517, "User", "Uživatel"},
    {518, "User login", "Přihlásit uživatele"},
    {519, "User logout", "Odhlásit uživatele"},
    {520, "Communication start", "Start komunikace"},
    {521, "Communication stop", "Stop komunikace"},
    {522, "Configuration", "Konfigurace"},
    {523, "Always on top", "Vždy navrchu"},
    {620, "Array values watch settings", "Zobrazení hodnot pole"},
    {621, "Watch values from", "Hodnoty zobrazit od"},
    {622, "item index", "prvku pole"},
    {623, "Show no more than", "Zobrazit maximálně"},
    {624, "items", "prvků pole"},
    {1000, "", ""},
    {1001, "initialization error (modem did not accept Reset command)", "chyba při inicializaci (modem nepřijímá Reset)"},
    {1002, "initialization error (modem did not accept Init command)", "chyba při inicializaci (modem nepřijímá Init)"},
    {1003, "initialization error (modem did not accept Dial command)", "chyba při inicializaci (modem nepřijímá Dial)"},
    {1004, "modem error", "tvrdá chyba modemu"},
    {1005, "device did not accept call (wrong number, ...", "stanice nezvedá (chybné číslo, modemy se nespojily ..."},
    {1006, "no carrier (line is not connected)", "není oznamovací tón (linka není připojena)"},
    {1007, "unable to decode received data", "data se nepodařilo dekódovat"},
    {1008, "dial number is missing", "chybí telefonní číslo"},
    {1009, "line is busy", "obsazeno"},
    {1010, "device did not respond", "stanice nereaguje"},
    {1011, "connection interrupted", "spojení přerušeno"},
    {1012, "connection length overflow", "překročení času spojení"},
    {1013, "device stopped the communication", "stanice přestala reagovat"},
    {1014, "connection interrupted by user", "spojení přerušeno uživatelem"},
    {1015, "unable to find right modem", "nebyl nalezen vhodný modem"},
    {1100, "Quiet", "Klid"},
    {1101, "Waiting for call", "Čeká na volání"},
    {1102, "Calling", "Volá se"},
    {1103, "Connected", "Spojeno"},
    {1120, "OK", "Spojení bez chyb"},
    {1121, "Failed", "Chyba spojení"},
    {1122, "Failed", "Chyba spojení"},
    {10000, "An error occured while reading defined computers from project!", "Nepodařilo se načíst definované počítače projektu!"},
    {10001, "Cannot load project %s!", "Nepodařilo se načíst projekt %s!"},
    {10002, "Select a computer before quitting the dialog!", "Před potvrzením dialogu je třeba vybrat počítač!"},
    {10003, "User \"%s\" was not found in user list!", "Uživatel \"%s\" nebyl nalezen v seznamu uživatelů!"},
    {10004, "Wrong password!", "Chybně zadané heslo!"},
    {10005, "Current user %", "Přihlášen uživatel %"},
});

constexpr bool byId(const lang::Row& a, const lang::Row& b) { return a.id < b.id; }
static_assert(std::is_sorted(kRows.begin(), kRows.end(), byId), "the lookup is a binary search");

void appendArg(std::string& out, const FormatArg& arg)
{
    if (const auto* text = std::get_if<std::string>(&arg)) {
        out += *text;
        return;
    }
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::get<std::int64_t>(arg));
    out.append(buf, res.ptr);
}

}  // namespace

namespace lang {

std::span<const Row> Catalogue()
{
    return kRows;
}

}  // namespace lang

std::string GetLangText(std::int32_t id)
{
    const std::int32_t language = Language;
    if (language != 0 && language != 1)
        return {};
    const auto it = std::lower_bound(kRows.begin(), kRows.end(), lang::Row{id, {}, {}}, byId);
    if (it == kRows.end() || it->id != id)
        return {};
    return std::string(language == 0 ? it->cs : it->en);
}

std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args)
{
    std::string out;
    out.reserve(format.size());
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        const char conv = i + 1 < format.size() ? format[i + 1] : '\0';
        if (c != '%' || (conv != 's' && conv != 'S' && conv != 'd' && conv != '%')) {
            out += c;  // also a "%" that starts no placeholder, as in 10005
            continue;
        }
        ++i;
        if (conv == '%')
            out += '%';
        else if (next != args.end())
            appendArg(out, *next++);  // the argument's kind decides: a number is written in decimal
    }
    return out;
}

}  // namespace vx
