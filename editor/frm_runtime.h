#pragma once
// The runtime monitor: the live OPC side as a tree (server objects of the connected clients,
// their groups and items with values, qualities, states and times), built from the OPC
// objects' monitor events, with in-place writing of items simulated with a user value; and
// the hidden list of serial channels.
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

#include "main_window_link.h"
#include "platform/com/variant.h"
#include "runtime_model.h"
#include "runtime_monitor.h"
#include "vt_edit.h"

class QAction;
class QMenu;
class QTreeView;

namespace vos {

// The editor kind for an item's canonical type: the number edit for integers and reals, the
// True/False list for Booleans, the text edit for everything else (arrays included).
TVTEditorType EditorKindOf(VARTYPE canonicalType);

// What an edit ended with.
struct TEditedInput {
    TVTEditorType Kind = etEdit;
    std::string Text;   // the text edit's text
    double Number = 0;  // the number edit's value
    int Index = -1;     // the list's selected item
};

// The value an edit writes into item, converted to its canonical type; nullopt when the type
// takes no edited value. Throws std::runtime_error when the input does not convert (a number
// out of its type's range included); the item is not touched.
std::optional<com::Variant> BuildEditedValue(const opc::TOPCItem& item, const TEditedInput& input);

class TFrm_Runtime : public QWidget, public TRuntimeMonitor {
    Q_OBJECT
public:
    explicit TFrm_Runtime(QWidget* parent = nullptr);
    ~TFrm_Runtime() override;

    // TRuntimeMonitor
    void Init() override;
    void AddNode(TRuntimeNodeKind kind, opc::TMonitorObject object) override;
    void RemoveNode(TRuntimeNodeKind kind, opc::TMonitorObject object) override;
    void RenameNode(opc::TDA2* server) override;
    void InvalidateNode(void* node) override;
    void FullCollapse() override;
    void FillComList() override;

    // The object's node through its RuntimeNode; none while the program terminates.
    TRuntimeNode* FindNodeOf(opc::TMonitorObject object) const;
    std::string GetNodeCaption(const TRuntimeNodeRec& rec) const;
    // Column titles and the pop-up item, after a language change.
    void ApplyCaptions();
    // The main window's side of the forced group update after an edit; none: run at once.
    void SetMainWindowLink(TMainWindowLink* link) { link_ = link; }
    // Set once the program has begun to end: removals are ignored and no node is found.
    // From termination on, nodes are neither added nor removed; the objects forget their nodes
    // at once, since their later removals reach no monitor.
    void SetTerminating(bool terminating);
    bool Terminating() const;

    // Sorts by column 0 against the recorded direction; other columns do nothing.
    void VST_RTreeHeaderClick(int column);
    Qt::SortOrder SortDirection() const { return sortDirection_; }
    void SetSortDirection(Qt::SortOrder order) { sortDirection_ = order; }

    void PMnu_RTreePopup();
    void PMnu_EditItemValueClick();

    bool CanEditItem(const TRuntimeNode* node) const;
    bool VST_RTreeEditing(const QModelIndex& index) const;
    // The link for an edit of index; nullptr when it may not be edited.
    std::shared_ptr<TVTEditLink> VST_RTreeCreateEditor(const QModelIndex& index);
    void PrepareEditor(TVTEditLink& link, QWidget* editor);
    // Writes the edit when the item is still there and still takes this editor's kind.
    void ApplyEditedValue(TVTEditLink& link, QWidget* editor);

    QTreeView* VST_RTree = nullptr;
    QTreeView* VST_ComList = nullptr;
    QMenu* PMnu_RTree = nullptr;
    QAction* PMnu_EditItemValue = nullptr;

    TRuntimeModel& RTreeModel() const { return *rtreeModel_; }
    TRuntimeModel& ComListModel() const { return *comListModel_; }
    TVTEditDelegate& EditDelegate() const { return *delegate_; }
    TRuntimeNode* RootNode() const { return rtreeModel_->TopNode(0); }

private:
    void BuildUi();
    TRuntimeNode* FirstSelectedNode() const;
    void RunForcedUpdate(opc::TOPCGroup* group);

    TRuntimeModel* rtreeModel_ = nullptr;
    TRuntimeModel* comListModel_ = nullptr;
    TVTEditDelegate* delegate_ = nullptr;
    TMainWindowLink* link_ = nullptr;
    bool terminating_ = false;
    Qt::SortOrder sortDirection_ = Qt::AscendingOrder;
};

}  // namespace vos
