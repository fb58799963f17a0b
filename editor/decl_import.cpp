// Applying declarations to the editor's tree, and the import command.
#include <QLoggingCategory>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "comm/vx_lang.h"
#include "config_settings.h"
#include "decl_import.h"

namespace vos {

namespace {

Q_LOGGING_CATEGORY(lcImport, "vx.editor.import")

// A regular file's bytes; nullopt for anything else (a pipe or a device would block the
// editor), an unreadable file, or one larger than maxSize.
std::optional<std::string> ReadRegularFile(const std::string& fileName, std::uint64_t maxSize)
{
    std::error_code ec;
    const std::filesystem::path path(fileName);
    if (!std::filesystem::is_regular_file(path, ec) || ec)
        return std::nullopt;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > maxSize)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(size));
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    if (in.gcount() != static_cast<std::streamsize>(size))
        return std::nullopt;
    return bytes;
}

}  // namespace

TConfigFileUi& TDeclImporter::Ui()
{
    static TConfigFileUi defaults;
    return ui_ ? *ui_ : defaults;
}

TConfigNode* TDeclImporter::CreationParent(TConfigNode* target) const
{
    if (!target || target->IsRoot())
        return nullptr;
    auto* parent = editor_.ValidateParentNode(nkVariable, target);
    // A modem's items are generated; nothing is imported into a modem.
    if (!parent || parent->Rec().Kind == nkModem)
        return nullptr;
    return parent;
}

TConfigNode* TDeclImporter::Scope(TConfigNode* parent) const
{
    if (!parent || !VarUniqueInStation())
        return parent;
    if (parent->Rec().Kind == nkStation)
        return parent;
    auto* station = TConfigEditor::GetOwnerNode(parent);
    return station ? station : parent;
}

std::unordered_map<std::string, TConfigNode*>& TDeclImporter::ScopeIndex(TConfigNode* scope)
{
    auto [it, added] = indexes_.try_emplace(scope);
    if (!added)
        return it->second;
    auto& index = it->second;
    // The first variable of a name in tree order, as FindNodeByName finds it.
    if (VarUniqueInStation()) {
        const auto* end = TConfigTree::NextSkippingChildren(scope);
        for (auto* n = scope->FirstChild(); n && n != end; n = TConfigTree::Next(n))
            if (n->Rec().Kind == nkVariable)
                index.try_emplace(n->Rec().Name, n);
    } else {
        for (auto* n = scope->FirstChild(); n; n = n->NextSibling())
            if (n->Rec().Kind == nkVariable)
                index.try_emplace(n->Rec().Name, n);
    }
    return index;
}

std::unordered_map<std::string, TConfigNode*>& TDeclImporter::BaseIndex()
{
    if (!bases_) {
        bases_.emplace();
        for (auto* n = parent_->FirstChild(); n; n = n->NextSibling())
            if (n->Rec().Kind == nkVariable)
                bases_->try_emplace(n->Rec().Name, n);
    }
    return *bases_;
}

void TDeclImporter::Index(TConfigNode* node, TConfigNode* scope)
{
    ScopeIndex(scope).try_emplace(node->Rec().Name, node);
    if (bases_)
        bases_->try_emplace(node->Rec().Name, node);
}

void TDeclImporter::Begin(TConfigNode* target)
{
    importedNew_ = importedChanged_ = 0;
    touched_.clear();
    conflicts_.clear();
    touchedSet_.clear();
    created_.clear();
    indexes_.clear();
    bases_.reset();
    parent_ = editor_.Tree().Owns(target) ? CreationParent(target) : nullptr;
    running_ = true;
    editor_.RaiseUpdateLock();
    editor_.Tree().BeginUpdate();
}

void TDeclImporter::Finish()
{
    editor_.Tree().EndUpdate();
    editor_.LowerUpdateLock();
    running_ = false;
    indexes_.clear();
    bases_.reset();
    created_.clear();
    if (touched_.empty())
        return;
    // Names come from the PLC and are kept as they are; their conflicts are only reported.
    // One pass over the tree, not one scan of a scope per node.
    for (const auto& conflict : CheckWholeTree(editor_.Tree())) {
        if (!touchedSet_.contains(conflict.Node))
            continue;
        conflicts_.push_back(conflict);
        qCWarning(lcImport, "imported variable in conflict %d: %s", conflict.Code,
                  ConflictText(conflict.Node->Rec(), conflict.Code).c_str());
    }
    touchedSet_.clear();
    editor_.SetChanged(true);
}

int TDeclImporter::Apply(const TImportedVariable& var, bool dryRun)
{
    if (!parent_)
        return kImportDone;
    auto* scope = Scope(parent_);
    auto& index = ScopeIndex(scope);
    TConfigNode* node = nullptr;
    if (auto it = index.find(var.Name); it != index.end())
        node = it->second;
    bool existed = node != nullptr;
    if (node && (!node->Rec().Editable || node->Rec().ServiceCode != 0)) {
        if (!dryRun)
            qCWarning(lcImport, "declaration '%s' names a locked item; not imported", var.Name.c_str());
        return kImportWrongFormat;
    }
    if (!node && dryRun) {
        wouldChange_ = parent_->Depth() < kMaxTreeDepth;
        return kImportDone;
    }
    if (!node) {
        if (parent_->Depth() >= kMaxTreeDepth)
            return kImportWrongFormat;
        auto rec = TConfigNodeRec::WithDefaults(nkVariable);
        if (VariableCounter < std::numeric_limits<std::int32_t>::max())
            ++VariableCounter;
        rec.Ordinal = VariableCounter;
        rec.Name = var.Name;
        node = editor_.Tree().AddChild(parent_, std::move(rec));
        if (!node)
            return kImportWrongFormat;
        created_.insert(node);
        ++importedNew_;
        Index(node, scope);
    }
    auto& rec = node->Rec();
    const std::uint8_t readable = var.Readable ? 1 : 0;
    const std::uint8_t writable = var.Writable ? 1 : 0;
    const bool differs = rec.Zone != var.Zone || rec.Address != var.Address || rec.BitNumber != var.Bit ||
                         rec.VarType != var.VarType || rec.StringLength != var.StringLength ||
                         rec.ArrayLength != var.ArrayLength || rec.Comment != var.Comment ||
                         rec.Readable != readable || rec.Writable != writable;
    existed = existed && !created_.contains(node);
    if (!differs && existed)
        return kImportDone;
    if (dryRun) {
        wouldChange_ = true;
        return kImportDone;
    }
    rec.Saved = 0;
    rec.Name = var.Name;
    rec.Zone = var.Zone;
    rec.Comment = var.Comment;
    rec.Address = var.Address;
    rec.BitNumber = var.Bit;
    rec.VarType = var.VarType;
    rec.StringLength = var.StringLength;
    rec.ArrayLength = var.ArrayLength;
    rec.Readable = readable;
    rec.Writable = writable;
    editor_.Tree().NotifyChanged(node);
    if (touchedSet_.insert(node).second) {
        touched_.push_back(node);
        if (existed)
            ++importedChanged_;
    }
    return kImportDone;
}

int TDeclImporter::ApplyAlias(const TPubLine& line, bool dryRun)
{
    if (!parent_)
        return kImportDone;
    // Bases are looked up where the variables go, so a base from an earlier line is found.
    const auto& bases = BaseIndex();
    const auto it = bases.find(line.Base);
    if (it == bases.end())
        return kImportDone;
    const auto& base = it->second->Rec();
    TImportedVariable var = line.Var;
    var.Zone = base.Zone;
    std::int32_t type = base.VarType;
    var.Bit = 0;
    if (line.Index) {
        const std::int64_t address =
            std::int64_t{*line.Index} * VarTypeByteSize(base.VarType) + std::int64_t{base.Address};
        if (address < std::numeric_limits<std::int32_t>::min() || address > std::numeric_limits<std::int32_t>::max()) {
            if (!dryRun)
                qCWarning(lcImport, "alias '%s': address beyond 32 bits", var.Name.c_str());
            return kImportWrongFormat;
        }
        var.Address = static_cast<std::int32_t>(address);
    } else {
        var.Address = base.Address;
        if (!line.AliasBit)
            var.Bit = base.BitNumber;
    }
    if (line.AliasBit) {
        type = 11;
        var.Bit = *line.AliasBit;
    }
    if (line.Var.VarType != kNoVarType)
        type = line.Var.VarType;
    var.VarType = type;
    var.StringLength = 0;
    var.ArrayLength = 0;
    return Apply(var, dryRun);
}

template <class Entries, class ApplyOne>
int TDeclImporter::ApplyAll(const Entries& entries, ApplyOne applyOne)
{
    // Until the first change the tree is as it was, so the dry run sees what the real one
    // would; it stops there.
    wouldChange_ = false;
    if (parent_) {
        for (const auto& entry : entries) {
            applyOne(entry, true);
            if (wouldChange_)
                break;
        }
    }
    std::optional<TConfigTreeReset> reset;
    if (wouldChange_)
        reset.emplace(editor_.Tree());
    int result = kImportDone;
    for (const auto& entry : entries)
        if (applyOne(entry, false) != kImportDone)
            result = kImportWrongFormat;
    return result;
}

bool TDeclImporter::AddOrUpdateImportedVariable(const TImportedVariable& var, TConfigNode* parent)
{
    if (running_) {
        if (CreationParent(parent) != parent_)
            return false;
        return Apply(var) == kImportDone;
    }
    Begin(parent);
    const bool placed = parent_ && Apply(var) == kImportDone;
    Finish();
    return placed;
}

int TDeclImporter::ImportTdrBytes(std::string_view bytes, TConfigNode* target)
{
    Begin(target);
    const auto parsed = ParseTdr(bytes);
    for (const auto& error : parsed.Errors)
        qCWarning(lcImport, "declaration file: %s", error.c_str());
    auto& ui = Ui();
    ui.ProgressOpen(vx::GetLangText(kTextImportProgress));
    ui.ProgressMaximum(parsed.RecordCount);
    const int applied = ApplyAll(parsed.Variables, [&](const TImportedVariable& var, bool dryRun) {
        if (!dryRun)
            ui.ProgressPosition(var.Source + 1);
        return Apply(var, dryRun);
    });
    ui.ProgressClose();
    Finish();
    return applied != kImportDone ? applied : parsed.Result;
}

int TDeclImporter::ImportPubBytes(std::string_view bytes, TConfigNode* target)
{
    Begin(target);
    const auto text = DecodePubText(bytes);
    const auto lines = SplitPubLines(text);
    std::vector<TPubLine> parsed;
    parsed.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        parsed.push_back(ParsePubLine(lines[i]));
        parsed.back().Var.Source = i;
    }
    auto& ui = Ui();
    ui.ProgressOpen(vx::GetLangText(kTextImportProgress));
    ui.ProgressMaximum(lines.size());
    const int result = ApplyAll(parsed, [&](const TPubLine& line, bool dryRun) {
        if (!dryRun)
            ui.ProgressPosition(line.Var.Source + 1);
        switch (line.What) {
        case TPubLine::Declaration:
            return Apply(line.Var, dryRun);
        case TPubLine::Alias:
            return ApplyAlias(line, dryRun);
        case TPubLine::Failed:
            if (!dryRun)
                qCWarning(lcImport, "declaration line %zu: %s", line.Var.Source + 1, line.Error.c_str());
            return kImportWrongFormat;
        case TPubLine::Skipped:
            break;
        }
        return kImportDone;
    });
    ui.ProgressClose();
    Finish();
    return result;
}

int TDeclImporter::ImportTdrFile(const std::string& fileName, TConfigNode* target)
{
    const auto bytes = ReadRegularFile(fileName, std::numeric_limits<std::uint32_t>::max());
    if (!bytes) {
        Begin(nullptr);
        Finish();
        return kImportCannotOpen;
    }
    return ImportTdrBytes(*bytes, target);
}

int TDeclImporter::ImportPubFile(const std::string& fileName, TConfigNode* target)
{
    const auto bytes = ReadRegularFile(fileName, kMaxPubFileSize);
    if (!bytes) {
        Begin(nullptr);
        Finish();
        return kImportCannotOpen;
    }
    return ImportPubBytes(*bytes, target);
}

int TDeclImporter::ImportConfiguration(TConfigNode* target)
{
    importedNew_ = importedChanged_ = 0;
    touched_.clear();
    conflicts_.clear();
    if (!target || !editor_.Tree().Owns(target) || target->IsRoot())
        return kImportCancelled;
    TFileDialogRequest request;
    request.Title = vx::GetLangText(kTextImportTitle);
    request.Filter = vx::GetLangText(kTextImportFilter);
    const auto fileName = Ui().OpenFileDialog(request);
    if (!fileName)
        return kImportCancelled;
    std::string extension = std::filesystem::path(*fileName).extension().string();
    for (auto& c : extension)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    int result = kImportUnknownExtension;
    if (extension == ".TDR")
        result = ImportTdrFile(*fileName, target);
    else if (extension == ".PUB")
        result = ImportPubFile(*fileName, target);
    if ((importedNew_ != 0 || importedChanged_ != 0) && showSelection_)
        showSelection_(touched_);
    for (const auto& message : ImportMessages(result, importedNew_, importedChanged_, *fileName))
        vx::ShowMessageDlg(message.Text, message.Type, vx::mbOKOnly);
    return result;
}

}  // namespace vos
