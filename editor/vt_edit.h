#pragma once
// In-place value editors: one edit link per edit, owning one editor control of six kinds, and
// the delegate that maps Qt's editor life (create, show, commit, revert, geometry, destroy) onto
// the link. The link writes at most once per edit and never after it was cancelled, however
// often Qt reports the end (Enter followed by the focus loss, a focus loss after Esc).
#include <QComboBox>
#include <QDateEdit>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QRect>
#include <QSpinBox>
#include <QStyledItemDelegate>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>

class QAbstractItemView;
class QEvent;

namespace vos {

enum TVTEditorType : std::uint8_t { etEdit = 0, etComboEdit = 1, etComboList = 2, etNumeric = 3, etDate = 4, etNumEdit = 5 };

class TVTEditDelegate;

class TVTEditLink {
public:
    // Creates the editor control of the kind, hidden, and sets LoadText.
    explicit TVTEditLink(TVTEditorType type);
    virtual ~TVTEditLink();
    TVTEditLink(const TVTEditLink&) = delete;
    TVTEditLink& operator=(const TVTEditLink&) = delete;

    QWidget* Editor = nullptr;  // owned, freed with the link; nullptr once its view deleted it first
    bool LoadText = false;      // fill the editor from the cell's display text when prepared
    QAbstractItemView* Tree = nullptr;
    QPersistentModelIndex Node;
    int Column = -1;
    Qt::Alignment Alignment = Qt::AlignLeft;  // horizontal, mirrored for right-to-left
    QRect TextBounds;                         // the cell's text rectangle, viewport coordinates
    bool Stopping = false;  // while being prepared, and for good once ended or cancelled
    const TVTEditorType EditorType;
    // Called while preparing, after the editor is placed and before the text is loaded.
    std::function<void(TVTEditLink& link, QWidget* editor)> OnPrepare;
    // Replaces the default write-back (setData(EditRole) with GetText). May throw: EndEdit then
    // clears Stopping again and the edit goes on.
    std::function<void(TVTEditLink& link, QWidget* editor)> OnSetValue;

    bool BeginEdit();   // shows, selects all, focuses; false while Stopping
    bool CancelEdit();  // no write; hides and tells the tree; false while Stopping
    bool EndEdit();     // writes (changed or not), hides; false while Stopping
    // False (no edit) without a view with a model holding node. Stopping is set meanwhile.
    bool PrepareEdit(QAbstractItemView* tree, const QModelIndex& node, int column);
    QRect GetBounds() const;
    bool ProcessMessage(QEvent* event);  // delivers the event to the editor
    // Places the editor: at least 30 px wide, within the viewport, the preferred height centred.
    void SetBounds(QRect r);

    virtual QString GetText() const;
    virtual QFont GetFont() const;
    virtual int PreferredHeight() const;  // -1: the cell's height
    virtual void SetText(const QString& text);

    // From the editor controls: Enter ends and Esc cancels the edit through the tree; leaving
    // the editor writes (as an end of the edit, so the write happens once).
    void TreeEndEdit();
    void TreeCancelEdit();
    void FocusLost();

    // The constructor calls this class's version: the control of EditorType.
    virtual QWidget* CreateEditControl();
    virtual void DoPrepare();   // OnPrepare, when set
    virtual void DoSetValue();  // OnSetValue, or the default write-back

    static constexpr int kMinEditorWidth = 30;

private:
    friend class TVTEditDelegate;
    TVTEditDelegate* Delegate() const;

    void HideEditor();

    QPointer<QWidget> editorAlive_;          // the viewport deletes its children when the view goes
    QPointer<TVTEditDelegate> delegate_;     // set while a delegate holds the edit open
};

// The edit controls; each knows its link for the keys and the focus loss.
class TVTEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TVTEdit(TVTEditLink& link);
    // Widens the editor to its text, keeping the left edge (right edge for right-aligned text).
    void AutoAdjustSize();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    TVTEditLink& link_;
};

class TVTComboEdit : public QComboBox {
    Q_OBJECT
public:
    TVTComboEdit(TVTEditLink& link, bool editable);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    TVTEditLink& link_;
};

class TVTNumericEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit TVTNumericEdit(TVTEditLink& link);
    void SetEditText(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    TVTEditLink& link_;
};

// Reads and writes the locale's short date; a text that is no date leaves the date as it is.
class TVTDateEdit : public QDateEdit {
    Q_OBJECT
public:
    explicit TVTDateEdit(TVTEditLink& link);
    QString ShortDateText() const;
    void SetShortDateText(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    TVTEditLink& link_;
};

// A number edit over the full double range; the text is kept as typed.
class TVTNumEdit : public QDoubleSpinBox {
    Q_OBJECT
public:
    explicit TVTNumEdit(TVTEditLink& link);
    void SetEditText(const QString& text);
    QValidator::State validate(QString& text, int& pos) const override;
    double valueFromText(const QString& text) const override;
    QString textFromValue(double value) const override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    TVTEditLink& link_;
};

// Maps Qt's editor life onto a link; the factory gives the link of an index, nullptr for none.
// createEditor runs PrepareEdit, the editor's first show BeginEdit, a commit EndEdit, a close
// without a commit CancelEdit, a geometry update SetBounds; setEditorData does nothing (the
// text was loaded when prepared, and a model update must not overwrite the user's typing).
// The delegate does not install itself: the caller sets it on the view (or on one column).
// An exception from the write-back (OnSetValue) is caught where it leaves the delegate's code
// and given to the error handler; with none set, it is rethrown from a queued call, so that it
// leaves through the application's event delivery (QApplication::notify) and never through
// Qt's view code. Either way the edit stays open.
class TVTEditDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using TLinkFactory = std::function<std::shared_ptr<TVTEditLink>(const QModelIndex& index)>;
    using TErrorHandler = std::function<void(std::exception_ptr error)>;

    TVTEditDelegate(QAbstractItemView* view, TLinkFactory factory);
    ~TVTEditDelegate() override;

    void SetErrorHandler(TErrorHandler handler) { errorHandler_ = std::move(handler); }
    // The link of an editor this delegate made (nullptr: not ours or already released).
    std::shared_ptr<TVTEditLink> LinkOf(const QWidget* editor) const;
    // The link of the open edit, nullptr for none.
    std::shared_ptr<TVTEditLink> ActiveLink() const;

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void destroyEditor(QWidget* editor, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    bool eventFilter(QObject* object, QEvent* event) override;

private:
    friend class TVTEditLink;
    struct TRecord {
        std::shared_ptr<TVTEditLink> Link;
        bool Begun = false;
    };
    // The tree's side of Enter and of a cancel: end (or close) and close the editor.
    void EndLinkEdit(TVTEditLink& link);
    void LinkCancelled(TVTEditLink& link);
    bool RunEndEdit(TVTEditLink& link) const;  // EndEdit with the exception handed on
    void HandOn(std::exception_ptr error) const;

    QPointer<QAbstractItemView> view_;
    TLinkFactory factory_;
    TErrorHandler errorHandler_;
    mutable std::map<const QWidget*, TRecord> records_;
};

}  // namespace vos
