#pragma once
// The runtime monitor's nodes: their records in a tree of our own, the item model both monitor
// views show over it, and what a node shows (cell texts, image indexes, our drawn images).
#include <QAbstractItemModel>
#include <QIcon>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/com/variant.h"
#include "runtime_monitor.h"

namespace vx {
class TCOM;
class TVariable;
}  // namespace vx

namespace opc {
class TDA2;
class TOPCGroup;
class TOPCItem;
}  // namespace opc

namespace vos {

struct TRuntimeNodeRec {
    std::string Caption;
    TRuntimeNodeKind Kind = rnRoot;
    void* Obj = nullptr;  // by Kind a TDA2, TOPCGroup, TOPCItem or vx::TCOM; not owned

    opc::TDA2* Server() const { return Kind == rnServer ? static_cast<opc::TDA2*>(Obj) : nullptr; }
    opc::TOPCGroup* Group() const { return Kind == rnGroup ? static_cast<opc::TOPCGroup*>(Obj) : nullptr; }
    opc::TOPCItem* Item() const { return Kind == rnItem ? static_cast<opc::TOPCItem*>(Obj) : nullptr; }
    vx::TCOM* Channel() const { return Kind == rnChannel ? static_cast<vx::TCOM*>(Obj) : nullptr; }
};

// One node; the model owns every node through its parent's Children.
struct TRuntimeNode {
    TRuntimeNodeRec Rec;
    TRuntimeNode* Parent = nullptr;  // the model's hidden top for top-level nodes
    std::vector<std::unique_ptr<TRuntimeNode>> Children;
    int Row = 0;  // position in Parent->Children, kept in step
};

inline constexpr int kRuntimeColumns = 5;

class TRuntimeModel final : public QAbstractItemModel {
    Q_OBJECT
public:
    static constexpr int NodeRole = Qt::UserRole + 1;        // the TRuntimeNode* as void*
    static constexpr int ImageIndexRole = Qt::UserRole + 2;  // int; -1 none

    // columns: 5 for the runtime tree, 2 for the channel list.
    explicit TRuntimeModel(int columns, QObject* parent = nullptr);
    ~TRuntimeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // nullptr: top level. The new node is the parent's last child.
    TRuntimeNode* AddNode(TRuntimeNode* parent, TRuntimeNodeRec rec);
    // Deletes node with its subtree; visit runs for every node of it, deepest last, first.
    void RemoveNode(TRuntimeNode* node, const std::function<void(TRuntimeNode&)>& visit = {});
    // Every node goes (visit runs for each).
    void Clear(const std::function<void(TRuntimeNode&)>& visit = {});
    void SetCaption(TRuntimeNode* node, std::string caption);

    // Repaint requests are gathered per parent and sent as one dataChanged per parent range
    // once the event loop comes round: an update tick reports every changed item.
    void InvalidateNode(TRuntimeNode* node);
    void FlushInvalidations();
    bool InvalidationPending() const { return !pending_.empty(); }

    // Every level by caption under the user's collation; stable.
    void SortByCaption(bool descending);

    TRuntimeNode* NodeOf(const QModelIndex& index) const;
    QModelIndex IndexOf(const TRuntimeNode* node, int column = 0) const;
    TRuntimeNode* TopNode(int row) const;
    int TopCount() const { return static_cast<int>(top_.Children.size()); }
    std::size_t NodeCount() const { return nodeCount_; }

    // Which cells take an in-place edit.
    void SetEditableTest(std::function<bool(const TRuntimeNode& node, int column)> test) { editable_ = std::move(test); }
    // After a language change.
    void RetranslateHeaders();

private:
    TRuntimeNode* ParentNode(const QModelIndex& parent) const;
    void ForgetPending(TRuntimeNode& node);
    void ScheduleFlush();

    int columns_;
    TRuntimeNode top_;
    std::size_t nodeCount_ = 0;
    std::function<bool(const TRuntimeNode&, int)> editable_;
    // Parent → (first, last) row awaiting a repaint.
    std::unordered_map<TRuntimeNode*, std::pair<int, int>> pending_;
    bool flushQueued_ = false;
};

// The cell text of a node (the runtime tree's columns); "" where the node shows nothing.
std::string RuntimeCellText(const TRuntimeNodeRec& rec, int column);
// Column 1 of an item: its last reported value, arrays cut to the watch window, Booleans as
// the variable's texts. What was built before a failure stays.
std::string ItemValueText(const com::Variant& value, const vx::TVariable* variable);
// A date-time in the conversions' locale: the date, and the time unless it is midnight.
std::string DateTimeText(double dateTime);

int RuntimeImageIndex(const TRuntimeNodeRec& rec, int column);
int VarTypeImage(VARTYPE type);
int QualityImage(WORD quality);
// The monitor's image list, drawn in code once and cached; the null icon for an unused index.
QIcon RuntimeImage(int index);
// The runtime tree's column titles in the current language.
QString RuntimeColumnCaption(int column);

}  // namespace vos
