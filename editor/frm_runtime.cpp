#include "frm_runtime.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMenu>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "comm/vx_channel.h"
#include "comm/vx_classes.h"
#include "comm/vx_lang.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_server.h"
#include "platform/clock.h"
#include "platform/com/locale.h"
#include "platform/com/safearray.h"

namespace vos {

namespace {

constexpr std::int32_t kTextChangeValue = 118;
constexpr const char* kRootCaption = "VORN OPC Server";
constexpr const char* kUnknownCaption = "Unknown";
constexpr int kRTreeWidths[] = {300, 150, 150, 100, 100};
constexpr int kComListNameWidth = 300;

template <class T>
T* ObjectOf(const opc::TMonitorObject& obj)
{
    T* const* p = std::get_if<T*>(&obj);
    return p ? *p : nullptr;
}

// The RuntimeNode field of the object a monitor object names; nullptr for none.
void** RuntimeNodeField(const opc::TMonitorObject& obj)
{
    if (auto* g = ObjectOf<opc::TOPCGroup>(obj))
        return &g->RuntimeNode;
    if (auto* i = ObjectOf<opc::TOPCItem>(obj))
        return &i->RuntimeNode;
    if (auto* s = ObjectOf<opc::TDA2>(obj))
        return &s->RuntimeNode;
    return nullptr;
}

// The object of a node forgets the node, when it still names this one.
void UnlinkObject(TRuntimeNode& node)
{
    void** field = nullptr;
    if (auto* s = node.Rec.Server())
        field = &s->RuntimeNode;
    else if (auto* g = node.Rec.Group())
        field = &g->RuntimeNode;
    else if (auto* i = node.Rec.Item())
        field = &i->RuntimeNode;
    if (field && *field == &node)
        *field = nullptr;
}

[[noreturn]] void ConversionError(const std::string& text, const std::string& why)
{
    throw std::runtime_error("\"" + text + "\" " + why);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits into 64 bits; a number that does not fit is an error, never a wrap.
std::uint64_t AccumulateDigits(const std::string& digits, const std::string& token)
{
    std::uint64_t n = 0;
    for (char c : digits) {
        if (!IsDigit(c))
            continue;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (n > (std::numeric_limits<std::uint64_t>::max() - d) / 10)
            ConversionError(token, "is too large a number");
        n = n * 10 + d;
    }
    return n;
}

// v converted to type; a value outside the type's range is an error.
void ConvertTo(com::Variant& v, VARTYPE type, const std::string& token)
{
    const HRESULT hr = v.changeType(type);
    if (hr == DISP_E_OVERFLOW)
        ConversionError(token, "is out of range for the item's type");
    if (FAILED(hr))
        ConversionError(token, "is not a valid value for the item's type");
}

// A signed token's taken text ("-" only as its first character) as a 64-bit integer.
com::Variant SignedValue(const std::string& taken, const std::string& token)
{
    const bool negative = !taken.empty() && taken[0] == '-';
    const std::uint64_t magnitude = AccumulateDigits(taken, token);
    if (negative && taken.size() == 1)
        ConversionError(token, "is not a valid number");
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (magnitude > kMax + (negative ? 1 : 0))
        ConversionError(token, "is out of range for the item's type");
    com::Variant v;
    if (negative)
        v.setI8(magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude));
    else
        v.setI8(static_cast<std::int64_t>(magnitude));
    return v;
}

// One element of an edited array from its token; nullopt when the token gives none.
std::optional<com::Variant> ArrayElementOf(const std::string& token, VARTYPE elemType, const vx::TVariable& variable,
                                           const std::string& decimalSeparator)
{
    com::Variant v;
    switch (elemType) {
    case VT_BOOL:
        v.setBool(token == variable.TrueText);
        return v;
    case VT_BSTR:
        v.setString(std::string_view(token));
        return v;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4: {
        if (std::none_of(token.begin(), token.end(), IsDigit))
            return std::nullopt;
        v.setUI8(AccumulateDigits(token, token));
        break;
    }
    case VT_I2:
    case VT_I4: {
        std::string taken;
        for (std::size_t i = 0; i < token.size(); ++i)
            if (IsDigit(token[i]) || (i == 0 && token[i] == '-'))
                taken += token[i];
        if (taken.empty())
            return std::nullopt;
        v = SignedValue(taken, token);
        break;
    }
    case VT_R4:
    case VT_R8: {
        std::string taken;
        for (std::size_t i = 0; i < token.size();) {
            if (!decimalSeparator.empty() && token.compare(i, decimalSeparator.size(), decimalSeparator) == 0) {
                taken += decimalSeparator;
                i += decimalSeparator.size();
                continue;
            }
            if (IsDigit(token[i]) || (i == 0 && token[i] == '-'))
                taken += token[i];
            ++i;
        }
        if (taken.empty())
            return std::nullopt;
        v.setString(std::string_view(taken));
        ConvertTo(v, VT_R8, token);
        break;
    }
    case VT_DATE: {
        std::string taken;
        for (char c : token)
            if (IsDigit(c) || c == '.')
                taken += c;
        if (taken.empty())
            return std::nullopt;
        v.setString(std::string_view(taken));
        ConvertTo(v, VT_DATE, token);
        break;
    }
    default:
        return std::nullopt;
    }
    ConvertTo(v, elemType, token);
    return v;
}

bool IsArrayElementType(VARTYPE t)
{
    switch (t) {
    case VT_BOOL:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_DATE:
    case VT_BSTR:
        return true;
    default:
        return false;
    }
}

std::optional<com::Variant> BuildEditedArray(const opc::TOPCItem& item, const std::string& text)
{
    const vx::TVariable* variable = item.GetVariable();
    const auto elemType = static_cast<VARTYPE>(item.CanonicalType & VT_TYPEMASK);
    if (!variable || !IsArrayElementType(elemType))
        return std::nullopt;
    const com::Variant current = item.GetPropertyValue();
    if (!(current.vt() & VT_ARRAY) || (current.vt() & VT_BYREF) || !current.get()->parray)
        return std::nullopt;
    LONG high = -1;
    if (FAILED(SafeArrayGetUBound(current.get()->parray, 1, &high)))
        return std::nullopt;
    const std::int64_t length = std::max<std::int64_t>(static_cast<std::int64_t>(high) + 1, 0);
    // The array has H + 1 elements whatever ArrayCount says.
    const std::int64_t limit = std::clamp<std::int64_t>(variable->ArrayCount, 0, length);

    SAFEARRAY* sa = SafeArrayCreateVector(elemType, 0, static_cast<ULONG>(length));
    if (!sa)
        throw std::runtime_error("Not enough memory for the edited array");
    com::Variant result;
    result.setArray(sa);  // owns it from here, on every path

    const std::string separator = com::processLocale().decimalSeparator;
    std::int64_t index = 0;
    std::size_t pos = 0;
    while (index < limit && pos <= text.size()) {
        const std::size_t end = std::min(text.find(';', pos), text.size());
        const std::string token = text.substr(pos, end - pos);
        pos = end + 1;
        std::optional<com::Variant> element = ArrayElementOf(token, elemType, *variable, separator);
        if (!element)
            continue;
        LONG i = static_cast<LONG>(index);
        VARIANT* raw = element->get();
        void* value = elemType == VT_BSTR ? static_cast<void*>(raw->bstrVal) : static_cast<void*>(&raw->lVal);
        if (FAILED(SafeArrayPutElement(sa, &i, value)))
            throw std::runtime_error("The edited array could not be filled");
        ++index;
    }
    return result;
}

bool IsIntegerType(VARTYPE t)
{
    return t == VT_I2 || t == VT_I4 || (t >= VT_I1 && t <= VT_UI8);
}

}  // namespace

// --- Edited values ---

TVTEditorType EditorKindOf(VARTYPE canonicalType)
{
    if ((canonicalType & VT_ARRAY) == 0 && (IsIntegerType(canonicalType) || canonicalType == VT_R4 || canonicalType == VT_R8))
        return etNumEdit;
    if (canonicalType == VT_BOOL)
        return etComboList;
    return etEdit;
}

std::optional<com::Variant> BuildEditedValue(const opc::TOPCItem& item, const TEditedInput& input)
{
    com::Variant v;
    if (input.Kind == etComboList) {
        v.setBool(input.Index != 0);
        return v;
    }
    const VARTYPE type = item.CanonicalType;
    if (type & VT_ARRAY)
        return BuildEditedArray(item, input.Text);
    if (IsIntegerType(type)) {
        // Halves to even, as the default rounding mode does.
        const double r = std::nearbyint(input.Number);
        const std::string shown = QString::number(input.Number, 'g', 17).toStdString();
        if (!std::isfinite(r) || r < -9223372036854775808.0 || r >= 18446744073709551616.0)
            ConversionError(shown, "is out of range for the item's type");
        if (r >= 9223372036854775808.0)
            v.setUI8(static_cast<std::uint64_t>(r));
        else
            v.setI8(static_cast<std::int64_t>(r));
        ConvertTo(v, type, shown);
        return v;
    }
    switch (type) {
    case VT_R4:
    case VT_R8:
        v.setR8(input.Number);
        ConvertTo(v, type, QString::number(input.Number, 'g', 17).toStdString());
        return v;
    case VT_DATE:
        v.setString(std::string_view(input.Text));
        ConvertTo(v, VT_DATE, input.Text);
        return v;
    case VT_BSTR:
        v.setString(std::string_view(input.Text));
        return v;
    default:
        return std::nullopt;
    }
}

// --- The frame ---

TFrm_Runtime::TFrm_Runtime(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Frm_Runtime"));
    BuildUi();
    ApplyCaptions();
}

TFrm_Runtime::~TFrm_Runtime()
{
    // Objects that outlive the frame must not keep its nodes.
    rtreeModel_->Clear(UnlinkObject);
}

void TFrm_Runtime::BuildUi()
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    rtreeModel_ = new TRuntimeModel(kRuntimeColumns, this);
    rtreeModel_->SetEditableTest([this](const TRuntimeNode& node, int column) {
        return column == 1 && CanEditItem(&node);
    });
    VST_RTree = new QTreeView(this);
    VST_RTree->setObjectName(QStringLiteral("VST_RTree"));
    VST_RTree->setModel(rtreeModel_);
    VST_RTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    VST_RTree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    VST_RTree->setUniformRowHeights(true);
    VST_RTree->setEditTriggers(QAbstractItemView::DoubleClicked);
    VST_RTree->setSortingEnabled(false);
    VST_RTree->header()->setSectionsClickable(true);
    VST_RTree->header()->setStretchLastSection(true);
    VST_RTree->setContextMenuPolicy(Qt::CustomContextMenu);
    delegate_ = new TVTEditDelegate(VST_RTree, [this](const QModelIndex& index) { return VST_RTreeCreateEditor(index); });
    VST_RTree->setItemDelegate(delegate_);
    connect(VST_RTree->header(), &QHeaderView::sectionClicked, this, [this](int column) { VST_RTreeHeaderClick(column); });
    layout->addWidget(VST_RTree);

    comListModel_ = new TRuntimeModel(2, this);
    VST_ComList = new QTreeView(this);
    VST_ComList->setObjectName(QStringLiteral("VST_ComList"));
    VST_ComList->setModel(comListModel_);
    VST_ComList->setRootIsDecorated(false);
    VST_ComList->setUniformRowHeights(true);
    VST_ComList->setColumnWidth(0, kComListNameWidth);
    VST_ComList->hide();
    layout->addWidget(VST_ComList);

    PMnu_RTree = new QMenu(this);
    PMnu_RTree->setObjectName(QStringLiteral("PMnu_RTree"));
    PMnu_EditItemValue = PMnu_RTree->addAction(QString());
    PMnu_EditItemValue->setObjectName(QStringLiteral("PMnu_EditItemValue"));
    connect(PMnu_RTree, &QMenu::aboutToShow, this, [this] { PMnu_RTreePopup(); });
    connect(PMnu_EditItemValue, &QAction::triggered, this, [this] { PMnu_EditItemValueClick(); });
    connect(VST_RTree, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PMnu_RTree->popup(VST_RTree->viewport()->mapToGlobal(pos)); });
    for (int c = 0; c < kRuntimeColumns; ++c)
        VST_RTree->setColumnWidth(c, kRTreeWidths[c]);
}

void TFrm_Runtime::ApplyCaptions()
{
    PMnu_EditItemValue->setText(QString::fromStdString(vx::GetLangText(kTextChangeValue)));
    rtreeModel_->RetranslateHeaders();
    comListModel_->RetranslateHeaders();
}

void TFrm_Runtime::SetTerminating(bool terminating)
{
    if (terminating && !terminating_)
        rtreeModel_->Clear(UnlinkObject);
    terminating_ = terminating;
}

bool TFrm_Runtime::Terminating() const { return terminating_ || QCoreApplication::closingDown(); }

// --- Node operations ---

void TFrm_Runtime::Init()
{
    comListModel_->Clear();
    rtreeModel_->Clear(UnlinkObject);
    for (int c = 0; c < kRuntimeColumns; ++c)
        VST_RTree->setColumnWidth(c, kRTreeWidths[c]);
    VST_ComList->setColumnWidth(0, kComListNameWidth);
    AddNode(rnRoot, opc::TMonitorObject{});
}

TRuntimeNode* TFrm_Runtime::FindNodeOf(opc::TMonitorObject object) const
{
    if (Terminating())
        return nullptr;
    void** field = RuntimeNodeField(object);
    return field ? static_cast<TRuntimeNode*>(*field) : nullptr;
}

std::string TFrm_Runtime::GetNodeCaption(const TRuntimeNodeRec& rec) const
{
    opc::OPCLockGuard lock(opc::OPCLock);
    switch (rec.Kind) {
    case rnRoot:
        return kRootCaption;
    case rnServer:
        // A client that has not named itself (yet) stays "Unknown".
        return rec.Server() && !rec.Server()->ClientName.empty() ? rec.Server()->ClientName : kUnknownCaption;
    case rnGroup:
        return rec.Group() ? rec.Group()->Name : std::string();
    case rnItem:
        return rec.Item() ? rec.Item()->ItemID : std::string();
    default:
        return rec.Caption;
    }
}

void TFrm_Runtime::AddNode(TRuntimeNodeKind kind, opc::TMonitorObject object)
{
    // A node made now would never see its object's removal.
    if (Terminating())
        return;
    TRuntimeNode* parent = nullptr;
    void* obj = nullptr;
    switch (kind) {
    case rnRoot:
        break;
    case rnServer:
        obj = ObjectOf<opc::TDA2>(object);
        parent = rtreeModel_->TopNode(0);
        break;
    case rnGroup: {
        auto* group = ObjectOf<opc::TOPCGroup>(object);
        obj = group;
        parent = group && group->Server ? FindNodeOf(group->Server) : nullptr;
        break;
    }
    case rnItem: {
        auto* item = ObjectOf<opc::TOPCItem>(object);
        obj = item;
        parent = item && item->Group ? FindNodeOf(item->Group) : nullptr;
        break;
    }
    default:
        return;
    }
    if (kind != rnRoot && (!parent || !obj))
        return;
    // One node per object: a second node would outlive the object unseen when the first goes.
    if (void** field = RuntimeNodeField(object); field && kind != rnRoot && *field)
        return;
    TRuntimeNode* node = rtreeModel_->AddNode(parent, TRuntimeNodeRec{kUnknownCaption, kind, obj});
    if (void** field = RuntimeNodeField(object); field && kind != rnRoot)
        *field = node;
    node->Rec.Caption = GetNodeCaption(node->Rec);
    if (parent) {
        const QModelIndex p = rtreeModel_->IndexOf(parent);
        if (!VST_RTree->isExpanded(p))
            VST_RTree->expand(p);
    }
}

void TFrm_Runtime::RemoveNode(TRuntimeNodeKind, opc::TMonitorObject object)
{
    if (Terminating())
        return;
    TRuntimeNode* node = FindNodeOf(object);
    if (void** field = RuntimeNodeField(object))
        *field = nullptr;
    // Every object below forgets its node too: groups may outlive their server object.
    if (node)
        rtreeModel_->RemoveNode(node, UnlinkObject);
}

void TFrm_Runtime::RenameNode(opc::TDA2* server)
{
    if (TRuntimeNode* node = FindNodeOf(server))
        rtreeModel_->SetCaption(node, GetNodeCaption(node->Rec));
}

void TFrm_Runtime::InvalidateNode(void* node)
{
    if (node)
        rtreeModel_->InvalidateNode(static_cast<TRuntimeNode*>(node));
}

void TFrm_Runtime::FullCollapse() { VST_RTree->collapseAll(); }

void TFrm_Runtime::FillComList()
{
    comListModel_->Clear();
    if (!vx::ComList)
        return;
    for (const auto& channel : *vx::ComList)
        comListModel_->AddNode(nullptr, TRuntimeNodeRec{"COM" + std::to_string(channel->GetPortNumber()), rnChannel, channel.get()});
}

void TFrm_Runtime::VST_RTreeHeaderClick(int column)
{
    if (column != 0)
        return;
    // Against the recorded direction, which stays: every click gives the same order.
    rtreeModel_->SortByCaption(sortDirection_ == Qt::AscendingOrder);
}

// --- Editing ---

TRuntimeNode* TFrm_Runtime::FirstSelectedNode() const
{
    const QModelIndexList rows = VST_RTree->selectionModel()->selectedRows();
    // Tree order: compare the rows on the path from the top.
    auto path = [this](const QModelIndex& i) {
        std::vector<int> p;
        for (QModelIndex x = i; x.isValid(); x = x.parent())
            p.push_back(x.row());
        std::reverse(p.begin(), p.end());
        return p;
    };
    TRuntimeNode* first = nullptr;
    std::vector<int> firstPath;
    for (const QModelIndex& i : rows) {
        std::vector<int> p = path(i);
        if (!first || p < firstPath) {
            first = rtreeModel_->NodeOf(i);
            firstPath = std::move(p);
        }
    }
    return first;
}

bool TFrm_Runtime::CanEditItem(const TRuntimeNode* node) const
{
    if (!node || node->Rec.Kind != rnItem || !node->Rec.Item())
        return false;
    opc::OPCLockGuard lock(opc::OPCLock);
    const vx::TVariable* v = node->Rec.Item()->GetVariable();
    return v && v->Forced && v->SimFunction == 0;
}

bool TFrm_Runtime::VST_RTreeEditing(const QModelIndex& index) const
{
    return index.column() == 1 && CanEditItem(rtreeModel_->NodeOf(index));
}

void TFrm_Runtime::PMnu_RTreePopup() { PMnu_EditItemValue->setEnabled(CanEditItem(FirstSelectedNode())); }

void TFrm_Runtime::PMnu_EditItemValueClick()
{
    TRuntimeNode* node = FirstSelectedNode();
    if (!CanEditItem(node))
        return;
    const QModelIndex cell = rtreeModel_->IndexOf(node, 1);
    VST_RTree->scrollTo(cell);
    VST_RTree->edit(cell);
}

std::shared_ptr<TVTEditLink> TFrm_Runtime::VST_RTreeCreateEditor(const QModelIndex& index)
{
    if (!VST_RTreeEditing(index))
        return nullptr;
    TVTEditorType kind;
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        kind = EditorKindOf(rtreeModel_->NodeOf(index)->Rec.Item()->CanonicalType);
    }
    auto link = std::make_shared<TVTEditLink>(kind);
    link->OnPrepare = [this](TVTEditLink& l, QWidget* editor) { PrepareEditor(l, editor); };
    link->OnSetValue = [this](TVTEditLink& l, QWidget* editor) { ApplyEditedValue(l, editor); };
    return link;
}

void TFrm_Runtime::PrepareEditor(TVTEditLink& link, QWidget* editor)
{
    auto* list = qobject_cast<QComboBox*>(editor);
    if (link.EditorType != etComboList || !list)
        return;
    const TRuntimeNode* node = rtreeModel_->NodeOf(link.Node);
    const opc::TOPCItem* item = node ? node->Rec.Item() : nullptr;
    opc::OPCLockGuard lock(opc::OPCLock);
    const vx::TVariable* v = item ? item->GetVariable() : nullptr;
    if (!v)
        return;
    list->clear();
    list->addItem(QString::fromStdString(v->FalseText));
    list->addItem(QString::fromStdString(v->TrueText));
    const auto number = item->Reported.toI4();
    list->setCurrentIndex(number && *number != 0 ? 1 : 0);
}

void TFrm_Runtime::ApplyEditedValue(TVTEditLink& link, QWidget* editor)
{
    // The edit ends later than it began: the item may have gone, lost its variable or its
    // user-value simulation, or changed its type meanwhile. Then nothing is written.
    TRuntimeNode* node = rtreeModel_->NodeOf(link.Node);
    if (!CanEditItem(node) || !editor)
        return;
    opc::TOPCItem* item = node->Rec.Item();
    TEditedInput input;
    input.Kind = link.EditorType;
    switch (link.EditorType) {
    case etComboList: {
        auto* list = qobject_cast<QComboBox*>(editor);
        if (!list)
            return;
        input.Index = list->currentIndex();
        break;
    }
    case etNumEdit: {
        auto* spin = qobject_cast<QDoubleSpinBox*>(editor);
        if (!spin)
            return;
        const QString text = spin->cleanText().trimmed();
        bool ok = false;
        input.Number = spin->locale().toDouble(text, &ok);
        if (!ok)
            input.Number = QLocale::c().toDouble(text, &ok);
        if (!ok || !std::isfinite(input.Number))
            ConversionError(text.toStdString(), "is not a valid number");
        break;
    }
    default:
        input.Text = link.GetText().toStdString();
        break;
    }
    {
        opc::OPCLockGuard lock(opc::OPCLock);
        if (EditorKindOf(item->CanonicalType) != link.EditorType)
            return;
        const std::optional<com::Variant> value = BuildEditedValue(*item, input);
        if (value) {
            bool done = false;
            item->WriteValue(*value->get(), done);  // a refused write leaves the item as it was
            if (link.EditorType != etComboList)
                RunForcedUpdate(item->Group);
        }
    }
    // A client's callback inside the update may have removed the item: find the node again.
    if (TRuntimeNode* again = rtreeModel_->NodeOf(link.Node))
        rtreeModel_->InvalidateNode(again);
}

void TFrm_Runtime::RunForcedUpdate(opc::TOPCGroup* group)
{
    // The update may run later (after the pulse that runs now): it holds the group.
    if (!group || group->TornDown() || group->refCount() == 0)
        return;
    com::ComPtr<IUnknown> hold(group->unknown());
    auto update = [hold, group] {
        opc::OPCLockGuard lock(opc::OPCLock);
        if (!group->TornDown())
            group->Update(true, plat::clock().now());
    };
    if (link_)
        link_->RunForcedUpdate(update);
    else
        update();
}

}  // namespace vos
