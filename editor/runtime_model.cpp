#include "runtime_model.h"

#include <QColor>
#include <QMetaObject>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <stdexcept>

#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_variable.h"
#include "opc/opc_globals.h"
#include "opc/opc_group.h"
#include "opc/opc_item.h"
#include "opc/opc_server.h"
#include "platform/com/filetime.h"
#include "platform/com/locale.h"
#include "platform/com/safearray.h"
#include "platform/text.h"

namespace vos {

namespace {

enum : std::int32_t {
    kTextName = 12,
    kTextValue = 13,
    kTextQuality = 14,
    kTextActive = 15,
    kTextInactive = 16,
    kTextTime = 17,
    kTextRate = 18,
    kTextStatus = 19,
    kTextDeadband = 67,
};

// Image indexes fixed by kind and state.
enum : int {
    kImgServer = 0,
    kImgGroup = 1,
    kImgOtherType = 27,
    kImgUncertain = 27,
    kImgBad = 28,
    kImgGood = 29,
    kImgOverride = 30,
    kImgChannel = 35,
};

// A text that cannot be built further; the cell keeps what it has.
struct TTextStop {};

std::string Text(const com::Variant& v)
{
    auto s = v.toUtf8(VARIANT_ALPHABOOL);
    if (!s)
        throw TTextStop{};
    return *s;
}

// One element of a one-dimensional array as a variant of its own type.
com::Variant ArrayElement(SAFEARRAY* sa, VARTYPE elemType, LONG index)
{
    VARIANT x;
    VariantInit(&x);
    HRESULT hr = E_FAIL;
    if (elemType == VT_VARIANT)
        hr = SafeArrayGetElement(sa, &index, &x);
    else if (elemType == VT_DECIMAL) {
        hr = SafeArrayGetElement(sa, &index, &x.decVal);
        x.vt = VT_DECIMAL;
    } else if (elemType != VT_UNKNOWN && elemType != VT_DISPATCH) {
        hr = SafeArrayGetElement(sa, &index, &x.lVal);
        if (SUCCEEDED(hr))
            x.vt = elemType;
    }
    if (FAILED(hr))
        throw TTextStop{};
    return com::Variant::attach(x);
}

std::string ElementText(const com::Variant& v, const vx::TVariable* variable)
{
    if (v.vt() == VT_BOOL && variable)
        return v.get()->boolVal ? variable->TrueText : variable->FalseText;
    return Text(v);
}

void BuildValueText(const com::Variant& value, const vx::TVariable* variable, std::string& out)
{
    if (!(value.vt() & VT_ARRAY)) {
        out += ElementText(value, variable);
        return;
    }
    SAFEARRAY* sa = value.vt() & VT_BYREF ? (value.get()->pparray ? *value.get()->pparray : nullptr) : value.get()->parray;
    if (!sa || SafeArrayGetDim(sa) < 1)
        throw TTextStop{};
    LONG lb = 0, ub = -1;
    if (FAILED(SafeArrayGetLBound(sa, 1, &lb)) || FAILED(SafeArrayGetUBound(sa, 1, &ub)))
        throw TTextStop{};
    // In 64 bits: a large offset or length must not wrap the window.
    std::int64_t lo = lb, hi = ub;
    const std::int64_t offset = vx::ArrWatchOffset, maxLen = vx::ArrWatchMaxLen;
    if (offset > lo && hi > offset) {
        lo = offset;
        out += "... ";
    }
    bool cut = false;
    if (hi - lo > maxLen) {
        hi = lo + maxLen - 1;
        cut = true;
    }
    const auto elemType = static_cast<VARTYPE>(value.vt() & VT_TYPEMASK);
    for (std::int64_t i = lo; i <= hi; ++i) {
        if (i > lo)
            out += ';';
        out += ElementText(ArrayElement(sa, elemType, static_cast<LONG>(i)), variable);
    }
    if (cut)
        out += " ...";
}

// A group's LastUpdate counts milliseconds from 0001-01-01.
double GroupTimeToDateTime(std::int64_t ms)
{
    constexpr std::int64_t kMsPerDay = 86400000;
    constexpr std::int64_t kDaysBefore1899 = 693594;
    const std::int64_t days = ms / kMsPerDay - kDaysBefore1899;
    return static_cast<double>(days) + static_cast<double>(ms % kMsPerDay) / kMsPerDay;
}

void BuildCellText(const TRuntimeNodeRec& rec, int column, std::string& out)
{
    if (column == 0) {
        out = rec.Caption;
        return;
    }
    if (opc::TOPCGroup* g = rec.Group()) {
        switch (column) {
        case 1:
            out = std::to_string(g->UpdateRate) + " ms";
            break;
        case 2: {
            com::Variant d;
            d.setR4(g->PercentDeadband);
            out = Text(d) + "%";
            break;
        }
        case 3:
            out = vx::GetLangText(g->Active ? kTextActive : kTextInactive);
            break;
        case 4:
            out = DateTimeText(GroupTimeToDateTime(g->LastUpdate));
            break;
        default:
            break;
        }
    } else if (opc::TOPCItem* item = rec.Item()) {
        switch (column) {
        case 1: {
            const com::Variant reported = item->Reported;  // a copy: painting must not hold the item's
            BuildValueText(reported, item->GetVariable(), out);
            break;
        }
        case 2:
            out = vx::QualityText(item->GetQuality());
            break;
        case 3:
            out = vx::GetLangText(item->Active ? kTextActive : kTextInactive);
            break;
        case 4:
            out = DateTimeText(item->TimeStamp);
            break;
        default:
            break;
        }
    }
}

// --- Images ---

constexpr int kImageSize = 16;

struct TImageSpec {
    int index;
    QColor colour;
    const char* mark;
    bool array;
};

void DrawTag(QPainter& p, const TImageSpec& spec)
{
    const int layers = spec.array ? 3 : 1;
    for (int i = layers - 1; i >= 0; --i) {
        const QRectF r(1.5 + i, 1.5 + (layers - 1 - i) * 1.5, 12 - (layers - 1), 12 - (layers - 1) * 1.5);
        p.setPen(spec.colour.darker(160));
        p.setBrush(i == 0 ? spec.colour : spec.colour.lighter(130));
        p.drawRoundedRect(r, 2, 2);
        if (i == 0) {
            QFont f = p.font();
            f.setPixelSize(8);
            f.setBold(true);
            p.setFont(f);
            p.setPen(Qt::white);
            p.drawText(r, Qt::AlignCenter, QString::fromLatin1(spec.mark));
        }
    }
}

QPixmap DrawImage(int index)
{
    // Variable types: the tag of the type, stacked for arrays.
    static const std::array<TImageSpec, 20> kTypes = {{
        {9, QColor(40, 140, 40), "b", false},     {10, QColor(60, 90, 170), "1", false},
        {11, QColor(60, 90, 170), "2", false},    {12, QColor(60, 90, 170), "4", false},
        {13, QColor(150, 80, 160), "i", false},   {14, QColor(150, 80, 160), "I", false},
        {15, QColor(190, 110, 30), "f", false},   {16, QColor(120, 120, 120), "s", false},
        {17, QColor(40, 140, 40), "b", true},     {18, QColor(60, 90, 170), "1", true},
        {19, QColor(60, 90, 170), "2", true},     {20, QColor(60, 90, 170), "4", true},
        {21, QColor(150, 80, 160), "i", true},    {22, QColor(150, 80, 160), "I", true},
        {23, QColor(190, 110, 30), "f", true},    {24, QColor(120, 120, 120), "s", true},
        {31, QColor(30, 130, 140), "t", false},   {32, QColor(30, 130, 140), "t", true},
        {33, QColor(190, 110, 30), "d", false},   {34, QColor(190, 110, 30), "d", true},
    }};
    QPixmap pm(kImageSize, kImageSize);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const auto type = std::find_if(kTypes.begin(), kTypes.end(), [&](const TImageSpec& s) { return s.index == index; });
    if (type != kTypes.end()) {
        DrawTag(p, *type);
        return pm;
    }
    auto lamp = [&](QColor c) {
        p.setPen(c.darker(170));
        p.setBrush(c);
        p.drawEllipse(QRectF(2.5, 2.5, 11, 11));
    };
    switch (index) {
    case kImgServer:  // a server box with a lamp
        p.setPen(QColor(40, 60, 110));
        p.setBrush(QColor(90, 120, 190));
        p.drawRect(QRectF(3.5, 1.5, 9, 13));
        p.setBrush(QColor(200, 220, 255));
        p.drawRect(QRectF(5.5, 3.5, 5, 2));
        p.drawRect(QRectF(5.5, 7.5, 5, 2));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 220, 40));
        p.drawEllipse(QRectF(9, 11, 2.5, 2.5));
        break;
    case kImgGroup:  // a folder
        p.setPen(QColor(150, 110, 20));
        p.setBrush(QColor(240, 200, 80));
        p.drawRect(QRectF(1.5, 3.5, 6, 2));
        p.drawRect(QRectF(1.5, 5.5, 13, 8));
        break;
    case kImgUncertain:
        lamp(QColor(230, 190, 30));
        break;
    case kImgBad:
        lamp(QColor(210, 40, 40));
        break;
    case kImgGood:
        lamp(QColor(40, 180, 40));
        break;
    case kImgOverride:  // good, with the hand of a local override
        lamp(QColor(40, 180, 40));
        p.setPen(QPen(Qt::white, 1.5));
        p.drawLine(QPointF(8, 5), QPointF(8, 11));
        p.drawLine(QPointF(5, 8), QPointF(11, 8));
        break;
    case kImgChannel:  // a serial plug
        p.setPen(QColor(60, 60, 60));
        p.setBrush(QColor(170, 170, 170));
        p.drawRoundedRect(QRectF(1.5, 4.5, 13, 7), 2, 2);
        p.setBrush(QColor(60, 60, 60));
        for (int i = 0; i < 4; ++i)
            p.drawEllipse(QRectF(3.2 + i * 2.7, 7, 1.6, 1.6));
        break;
    default:
        p.end();
        return {};
    }
    return pm;
}

}  // namespace

// --- Texts and images ---

std::string DateTimeText(double dateTime)
{
    // The conversions' own text of a date: the locale's format, the time left out at midnight.
    // A time stamp of 0 is one never set (nothing reported yet): no text.
    if (dateTime == 0)
        return {};
    com::Variant v;
    v.setDate(dateTime);
    return v.toUtf8().value_or(std::string());
}

std::string ItemValueText(const com::Variant& value, const vx::TVariable* variable)
{
    std::string out;
    try {
        BuildValueText(value, variable, out);
    } catch (const TTextStop&) {
    } catch (const std::exception&) {
    }
    return out;
}

std::string RuntimeCellText(const TRuntimeNodeRec& rec, int column)
{
    std::string out;
    try {
        opc::OPCLockGuard lock(opc::OPCLock);
        BuildCellText(rec, column, out);
    } catch (const TTextStop&) {
    } catch (const std::exception&) {
    }
    return out;
}

int VarTypeImage(VARTYPE type)
{
    static const std::map<VARTYPE, int> kImages = {
        {VT_I2, 13},  {VT_I4, 14},  {VT_R4, 15},  {VT_R8, 33},  {VT_DATE, 31},
        {VT_BSTR, 16}, {VT_BOOL, 9}, {VT_UI1, 10}, {VT_UI2, 11}, {VT_UI4, 12},
    };
    const auto it = kImages.find(static_cast<VARTYPE>(type & ~VT_ARRAY));
    if (it == kImages.end() || (type & ~(VT_ARRAY | VT_TYPEMASK)))
        return kImgOtherType;
    if (!(type & VT_ARRAY))
        return it->second;
    static const std::map<int, int> kArrayImages = {{13, 21}, {14, 22}, {15, 23}, {33, 34}, {31, 32},
                                                    {16, 24}, {9, 17},  {10, 18}, {11, 19}, {12, 20}};
    return kArrayImages.at(it->second);
}

int QualityImage(WORD quality)
{
    if ((quality & 0xD8) == 0xD8)
        return kImgOverride;
    if ((quality & 0xC0) == 0)
        return kImgBad;
    if ((quality & 0xC0) == 0xC0)
        return kImgGood;
    return kImgUncertain;
}

int RuntimeImageIndex(const TRuntimeNodeRec& rec, int column)
{
    if (column == 0) {
        switch (rec.Kind) {
        case rnRoot:
        case rnServer:
            return kImgServer;
        case rnGroup:
            return kImgGroup;
        case rnChannel:
            return kImgChannel;
        case rnItem: {
            const opc::TOPCItem* item = rec.Item();
            if (!item)
                return -1;
            opc::OPCLockGuard lock(opc::OPCLock);
            return VarTypeImage(item->CanonicalType);
        }
        }
        return -1;
    }
    if (column == 2 && rec.Kind == rnItem && rec.Item()) {
        opc::OPCLockGuard lock(opc::OPCLock);
        return QualityImage(rec.Item()->GetQuality());
    }
    return -1;
}

QIcon RuntimeImage(int index)
{
    static std::map<int, QIcon> cache;
    const auto it = cache.find(index);
    if (it != cache.end())
        return it->second;
    const QPixmap pm = DrawImage(index);
    QIcon icon = pm.isNull() ? QIcon() : QIcon(pm);
    cache.emplace(index, icon);
    return icon;
}

QString RuntimeColumnCaption(int column)
{
    auto t = [](std::int32_t id) { return QString::fromStdString(vx::GetLangText(id)); };
    switch (column) {
    case 0:
        return t(kTextName);
    case 1:
        return t(kTextRate) + "/" + t(kTextValue);
    case 2:
        return t(kTextDeadband) + "/" + t(kTextQuality);
    case 3:
        return t(kTextStatus);
    case 4:
        return t(kTextTime);
    default:
        return {};
    }
}

// --- The model ---

TRuntimeModel::TRuntimeModel(int columns, QObject* parent) : QAbstractItemModel(parent), columns_(columns) {}

TRuntimeModel::~TRuntimeModel() = default;

TRuntimeNode* TRuntimeModel::ParentNode(const QModelIndex& parent) const
{
    return parent.isValid() ? static_cast<TRuntimeNode*>(parent.internalPointer()) : const_cast<TRuntimeNode*>(&top_);
}

QModelIndex TRuntimeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column < 0 || column >= columns_ || row < 0 || (parent.isValid() && parent.model() != this))
        return {};
    const TRuntimeNode* p = ParentNode(parent);
    if (row >= static_cast<int>(p->Children.size()))
        return {};
    return createIndex(row, column, p->Children[static_cast<std::size_t>(row)].get());
}

QModelIndex TRuntimeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    const auto* node = static_cast<const TRuntimeNode*>(child.internalPointer());
    TRuntimeNode* p = node->Parent;
    if (!p || p == &top_)
        return {};
    return createIndex(p->Row, 0, p);
}

int TRuntimeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return static_cast<int>(ParentNode(parent)->Children.size());
}

int TRuntimeModel::columnCount(const QModelIndex&) const { return columns_; }

QVariant TRuntimeModel::data(const QModelIndex& index, int role) const
{
    const TRuntimeNode* node = NodeOf(index);
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return QString::fromStdString(RuntimeCellText(node->Rec, index.column()));
    case Qt::DecorationRole: {
        const int image = RuntimeImageIndex(node->Rec, index.column());
        return image < 0 ? QVariant() : QVariant(RuntimeImage(image));
    }
    case ImageIndexRole:
        return RuntimeImageIndex(node->Rec, index.column());
    case NodeRole:
        return QVariant::fromValue(static_cast<void*>(const_cast<TRuntimeNode*>(node)));
    default:
        return {};
    }
}

QVariant TRuntimeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columns_)
        return {};
    // The channel list names its channels; its address column has no title.
    if (columns_ != kRuntimeColumns)
        return section == 0 ? RuntimeColumnCaption(0) : QString();
    return RuntimeColumnCaption(section);
}

Qt::ItemFlags TRuntimeModel::flags(const QModelIndex& index) const
{
    const TRuntimeNode* node = NodeOf(index);
    if (!node)
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (editable_ && editable_(*node, index.column()))
        f |= Qt::ItemIsEditable;
    return f;
}

TRuntimeNode* TRuntimeModel::NodeOf(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<TRuntimeNode*>(index.internalPointer());
}

QModelIndex TRuntimeModel::IndexOf(const TRuntimeNode* node, int column) const
{
    if (!node || node == &top_)
        return {};
    return createIndex(node->Row, column, const_cast<TRuntimeNode*>(node));
}

TRuntimeNode* TRuntimeModel::TopNode(int row) const
{
    return row >= 0 && row < TopCount() ? top_.Children[static_cast<std::size_t>(row)].get() : nullptr;
}

TRuntimeNode* TRuntimeModel::AddNode(TRuntimeNode* parent, TRuntimeNodeRec rec)
{
    TRuntimeNode* p = parent ? parent : &top_;
    const int row = static_cast<int>(p->Children.size());
    beginInsertRows(IndexOf(p), row, row);
    auto node = std::make_unique<TRuntimeNode>();
    node->Rec = std::move(rec);
    node->Parent = p;
    node->Row = row;
    TRuntimeNode* raw = node.get();
    p->Children.push_back(std::move(node));
    ++nodeCount_;
    endInsertRows();
    return raw;
}

void TRuntimeModel::ForgetPending(TRuntimeNode& node)
{
    if (!pending_.empty())
        pending_.erase(&node);
}

void TRuntimeModel::RemoveNode(TRuntimeNode* node, const std::function<void(TRuntimeNode&)>& visit)
{
    if (!node || node == &top_)
        return;
    TRuntimeNode* p = node->Parent;
    const int row = node->Row;
    beginRemoveRows(IndexOf(p), row, row);
    std::vector<TRuntimeNode*> stack{node};
    while (!stack.empty()) {
        TRuntimeNode* n = stack.back();
        stack.pop_back();
        if (visit)
            visit(*n);
        ForgetPending(*n);
        --nodeCount_;
        for (auto& c : n->Children)
            stack.push_back(c.get());
    }
    p->Children.erase(p->Children.begin() + row);
    for (std::size_t i = static_cast<std::size_t>(row); i < p->Children.size(); ++i)
        p->Children[i]->Row = static_cast<int>(i);
    endRemoveRows();
}

void TRuntimeModel::Clear(const std::function<void(TRuntimeNode&)>& visit)
{
    beginResetModel();
    std::vector<TRuntimeNode*> stack;
    for (auto& c : top_.Children)
        stack.push_back(c.get());
    while (!stack.empty()) {
        TRuntimeNode* n = stack.back();
        stack.pop_back();
        if (visit)
            visit(*n);
        for (auto& c : n->Children)
            stack.push_back(c.get());
    }
    top_.Children.clear();
    nodeCount_ = 0;
    pending_.clear();
    endResetModel();
}

void TRuntimeModel::SetCaption(TRuntimeNode* node, std::string caption)
{
    if (!node || node == &top_)
        return;
    node->Rec.Caption = std::move(caption);
    const QModelIndex i = IndexOf(node);
    emit dataChanged(i, i, {Qt::DisplayRole});
}

void TRuntimeModel::InvalidateNode(TRuntimeNode* node)
{
    if (!node || node == &top_)
        return;
    auto [it, added] = pending_.try_emplace(node->Parent, node->Row, node->Row);
    if (!added) {
        it->second.first = std::min(it->second.first, node->Row);
        it->second.second = std::max(it->second.second, node->Row);
    }
    ScheduleFlush();
}

void TRuntimeModel::ScheduleFlush()
{
    if (flushQueued_)
        return;
    flushQueued_ = true;
    QMetaObject::invokeMethod(this, [this] { FlushInvalidations(); }, Qt::QueuedConnection);
}

void TRuntimeModel::FlushInvalidations()
{
    flushQueued_ = false;
    auto pending = std::move(pending_);
    pending_.clear();
    static const QList<int> kRoles = {Qt::DisplayRole, Qt::DecorationRole, ImageIndexRole};
    for (const auto& [parent, range] : pending) {
        // Rows removed meanwhile shorten the range; the parent itself would have left pending_.
        const int last = std::min(range.second, static_cast<int>(parent->Children.size()) - 1);
        if (range.first > last)
            continue;
        const QModelIndex p = IndexOf(parent);
        emit dataChanged(index(range.first, 0, p), index(last, columns_ - 1, p), kRoles);
    }
}

void TRuntimeModel::SortByCaption(bool descending)
{
    FlushInvalidations();
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList from = persistentIndexList();
    std::vector<TRuntimeNode*> nodes;
    nodes.reserve(static_cast<std::size_t>(from.size()));
    for (const QModelIndex& i : from)
        nodes.push_back(NodeOf(i));

    std::vector<TRuntimeNode*> parents{&top_};
    while (!parents.empty()) {
        TRuntimeNode* p = parents.back();
        parents.pop_back();
        auto& children = p->Children;
        if (children.size() > 1) {
            // One collation key per caption and sort.
            std::vector<std::pair<plat::TextSortKey, std::unique_ptr<TRuntimeNode>>> keyed;
            keyed.reserve(children.size());
            for (auto& c : children) {
                plat::TextSortKey key = plat::textSortKeyLocale(c->Rec.Caption);
                keyed.emplace_back(std::move(key), std::move(c));
            }
            std::stable_sort(keyed.begin(), keyed.end(), [descending](const auto& a, const auto& b) {
                const int r = a.first.compare(b.first);
                return descending ? r > 0 : r < 0;
            });
            for (std::size_t i = 0; i < keyed.size(); ++i) {
                children[i] = std::move(keyed[i].second);
                children[i]->Row = static_cast<int>(i);
            }
        }
        for (auto& c : children)
            if (!c->Children.empty())
                parents.push_back(c.get());
    }

    QModelIndexList to;
    to.reserve(from.size());
    for (qsizetype i = 0; i < from.size(); ++i)
        to.push_back(nodes[static_cast<std::size_t>(i)] ? IndexOf(nodes[static_cast<std::size_t>(i)], from[i].column())
                                                        : QModelIndex());
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TRuntimeModel::RetranslateHeaders()
{
    if (columns_ > 0)
        emit headerDataChanged(Qt::Horizontal, 0, columns_ - 1);
}

}  // namespace vos
