#pragma once
// Import of PLC variable declarations: the binary "*.tdr" files of the older development
// environments and the text "*.pub" files of the newer ones. The readers are pure functions
// of bytes; TDeclImporter applies what they give to the editor's tree, creating or updating
// variable nodes under a target node and counting them as new and changed.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "comm/vx_msgdlg.h"
#include "config_editor.h"
#include "config_file.h"
#include "config_validate.h"

namespace vos {

// Catalogue texts of the command.
inline constexpr std::int32_t kMsgImportSummary = 124;
inline constexpr std::int32_t kMsgImportPartlyFailed = 125;
inline constexpr std::int32_t kMsgImportCannotOpen = 126;
inline constexpr std::int32_t kMsgImportWrongFormat = 127;
inline constexpr std::int32_t kTextImportTitle = 400;
inline constexpr std::int32_t kTextImportFilter = 402;
inline constexpr std::int32_t kTextImportProgress = 406;

// Import results.
inline constexpr int kImportDone = 0;
inline constexpr int kImportCannotOpen = 1;
inline constexpr int kImportWrongFormat = 2;
inline constexpr int kImportUnknownExtension = 99;
// The command stopped before reading anything (no target, no file chosen).
inline constexpr int kImportCancelled = -1;

// No VARTYPE: a code without a type.
inline constexpr std::int32_t kNoVarType = -1;

// Largest ".pub" file read: beyond it the file counts as not openable.
inline constexpr std::uint64_t kMaxPubFileSize = 64ull << 20;

// --- Conversion tables ---

std::int32_t TdrTypeToVarType(std::uint8_t typeCode, std::uint8_t elementCode);
std::int32_t TdrZoneToDataZone(std::uint8_t zoneCode);
// Bytes taken by n items of a type code; 0 for codes without a size (arrays included).
std::int64_t TdrTypeByteSize(std::uint8_t typeCode, std::int64_t n);
std::int32_t PubZoneLetterToDataZone(char letter);
std::int32_t PubTypeLetterToVarType(std::string_view width, bool bitGiven);
std::int32_t IecTypeNameToVarType(std::string_view name);
struct TDeclAccess {
    bool Readable = false;
    bool Writable = false;
    bool operator==(const TDeclAccess&) const = default;
};
TDeclAccess PubDirectionToAccess(std::string_view direction);
std::int32_t VarTypeByteSize(std::int32_t varType);

// --- Readers ---

// One variable as a declaration gives it.
struct TImportedVariable {
    std::string Name;  // UTF-8
    std::string Comment;
    bool Writable = true;
    bool Readable = true;
    std::int32_t ArrayLength = 0;
    std::int32_t StringLength = 0;
    std::int32_t Bit = 0;
    std::int32_t Address = 0;
    std::int32_t Zone = 0;
    std::int32_t VarType = 0;
    std::size_t Source = 0;  // 0-based record or line it came from
    bool operator==(const TImportedVariable&) const = default;
};

inline constexpr std::size_t kTdrHeaderSize = 8;
inline constexpr std::size_t kTdrRecordSize = 32;
inline constexpr std::int32_t kTdrFormat = 27;
inline constexpr std::size_t kTdrFirstImported = 13;
inline constexpr std::uint8_t kTdrClassVariable = 25;
inline constexpr std::uint8_t kTdrFlagExported = 0x02;
inline constexpr std::uint8_t kTdrTypeArray = 35;
inline constexpr std::uint8_t kTdrTypeStructure = 36;

struct TTdrRecord {
    std::string Name;  // Windows-1250 bytes, at most 15
    std::uint8_t Type = 0;
    std::uint8_t ElementType = 0;
    std::uint8_t Class = 0;
    std::uint8_t Zone = 0;
    std::uint16_t Address = 0;
    std::uint16_t Bit = 0;
    std::uint16_t Count = 0;
    std::uint16_t MemberBase = 0;
    std::uint8_t Flags = 0;
};
// The record at bytes[offset]; nullopt when it does not lie wholly inside.
std::optional<TTdrRecord> ReadTdrRecord(std::string_view bytes, std::size_t offset);

struct TTdrParseResult {
    int Result = kImportDone;  // kImportWrongFormat: bad header, records missing, or a structure cut short
    std::size_t RecordCount = 0;  // the count of the header (0 for a bad header)
    std::vector<TImportedVariable> Variables;
    std::vector<std::string> Errors;  // why Result is not 0
};
TTdrParseResult ParseTdr(std::string_view bytes);

// One ".pub" line read.
struct TPubLine {
    enum Kind { Skipped, Declaration, Alias, Failed };
    Kind What = Skipped;
    TImportedVariable Var;  // of a declaration; of an alias: name, comment and rights
    // An alias: the base's name, the element index and the bit, when given.
    std::string Base;
    std::optional<std::int32_t> Index;
    std::optional<std::int32_t> AliasBit;
    std::string Error;  // why it failed
};
TPubLine ParsePubLine(std::string_view line);

// The text of a ".pub" file in UTF-8: a whole file of valid UTF-8 is taken as it is (a BOM
// dropped), anything else as Windows-1250.
std::string DecodePubText(std::string_view bytes);
// Lines end at CR LF, LF or a lone CR.
std::vector<std::string_view> SplitPubLines(std::string_view text);

// --- The messages of the command ---

struct TImportMessage {
    std::string Text;
    vx::TMsgDlgType Type = vx::mtInformation;
    bool operator==(const TImportMessage&) const = default;
};
// What the command shows after an import, in order, in the current language.
std::vector<TImportMessage> ImportMessages(int result, int importedNew, int importedChanged,
                                           const std::string& fileName);

// --- Applying an import to the editor ---

class TDeclImporter {
public:
    explicit TDeclImporter(TConfigEditor& editor) : editor_(editor) {}
    TDeclImporter(const TDeclImporter&) = delete;
    ~TDeclImporter() = default;
    TDeclImporter& operator=(const TDeclImporter&) = delete;

    // nullptr: the defaults of TConfigFileUi (no file name, no progress window).
    void SetUi(TConfigFileUi* ui) { ui_ = ui; }
    // The frame selects the nodes created and changed (ShowSelection).
    using TShowSelection = std::function<void(const std::vector<TConfigNode*>& nodes)>;
    void SetShowSelection(TShowSelection show) { showSelection_ = std::move(show); }

    // The import command into target (the first selected node); returns the result.
    int ImportConfiguration(TConfigNode* target);

    // Result 0, 1 or 2; the counts in ImportedNew and ImportedChanged.
    int ImportTdrFile(const std::string& fileName, TConfigNode* target);
    int ImportPubFile(const std::string& fileName, TConfigNode* target);
    // The same on bytes already read.
    int ImportTdrBytes(std::string_view bytes, TConfigNode* target);
    int ImportPubBytes(std::string_view bytes, TConfigNode* target);

    // One variable under parent (beside it when it is a variable), as one import of its own
    // when none is running. False when it could not be placed.
    bool AddOrUpdateImportedVariable(const TImportedVariable& var, TConfigNode* parent);

    int ImportedNew() const { return importedNew_; }
    int ImportedChanged() const { return importedChanged_; }
    // The nodes created and changed by the last import, in the order first touched.
    const std::vector<TConfigNode*>& ImportedNodes() const { return touched_; }
    // Conflicts of those nodes found after the last import (logged, not repaired).
    const std::vector<TNodeConflict>& Conflicts() const { return conflicts_; }

private:
    TConfigFileUi& Ui();
    void Begin(TConfigNode* target);
    void Finish();
    // The node where variables for target go; nullptr when none can be created there.
    TConfigNode* CreationParent(TConfigNode* target) const;
    TConfigNode* Scope(TConfigNode* parent) const;
    std::unordered_map<std::string, TConfigNode*>& ScopeIndex(TConfigNode* scope);
    std::unordered_map<std::string, TConfigNode*>& BaseIndex();
    // Adds a new variable to the indexes that hold its name.
    void Index(TConfigNode* node, TConfigNode* scope);
    // kImportDone, or kImportWrongFormat for a variable that could not be placed.
    // A dry run changes nothing and only notes whether the import would (WouldChange).
    int Apply(const TImportedVariable& var, bool dryRun = false);
    int ApplyAlias(const TPubLine& line, bool dryRun = false);
    // Applies the entries; run twice: dry until the first change, then inside one model reset
    // when anything changes, so that the views hear of the whole import once.
    template <class Entries, class ApplyOne>
    int ApplyAll(const Entries& entries, ApplyOne applyOne);

    TConfigEditor& editor_;
    TConfigFileUi* ui_ = nullptr;
    TShowSelection showSelection_;
    int importedNew_ = 0;
    int importedChanged_ = 0;
    std::vector<TConfigNode*> touched_;
    std::vector<TNodeConflict> conflicts_;

    // One import's state.
    bool running_ = false;
    bool wouldChange_ = false;
    TConfigNode* parent_ = nullptr;  // where new variables go
    std::unordered_set<const TConfigNode*> touchedSet_;
    std::unordered_set<const TConfigNode*> created_;
    // Variables by name per scope, built on first use and kept up to date during the import.
    std::unordered_map<const TConfigNode*, std::unordered_map<std::string, TConfigNode*>> indexes_;
    // Alias bases: the variables directly under the creation parent.
    std::optional<std::unordered_map<std::string, TConfigNode*>> bases_;
};

}  // namespace vos
