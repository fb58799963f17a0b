#include "vt_edit.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLocale>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <climits>
#include <limits>

namespace vos {

namespace {

// Reaches the protected option set-up to find a cell's text rectangle outside a paint.
class TOptionProbe : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::initStyleOption;
};

QRect CellTextRect(QAbstractItemView* tree, const QModelIndex& index, const QFont& font)
{
    QStyle* style = tree->style();
    QStyleOptionViewItem opt;
    opt.initFrom(tree->viewport());
    opt.widget = tree;
    opt.rect = tree->visualRect(index);
    const int icon = style->pixelMetric(QStyle::PM_SmallIconSize, nullptr, tree);
    opt.decorationSize = tree->iconSize().isValid() ? tree->iconSize() : QSize(icon, icon);
    opt.showDecorationSelected = style->styleHint(QStyle::SH_ItemView_ShowDecorationSelected, nullptr, tree);
    TOptionProbe().initStyleOption(&opt, index);
    opt.font = font;
    opt.fontMetrics = QFontMetrics(font);
    return style->subElementRect(QStyle::SE_ItemViewItemText, &opt, tree);
}

// The cell's horizontal alignment as drawn: left, right or centre, mirrored for right-to-left.
Qt::Alignment CellAlignment(const QAbstractItemView* tree, const QModelIndex& index)
{
    Qt::Alignment align = Qt::AlignLeft;
    const QVariant v = index.data(Qt::TextAlignmentRole);
    if (v.metaType() == QMetaType::fromType<Qt::Alignment>())
        align = v.value<Qt::Alignment>();
    else if (v.isValid())
        align = Qt::Alignment::fromInt(v.toInt());
    align = QStyle::visualAlignment(tree->layoutDirection(), align & Qt::AlignHorizontal_Mask);
    if (align & Qt::AlignRight)
        return Qt::AlignRight;
    if (align & Qt::AlignHCenter)
        return Qt::AlignHCenter;
    return Qt::AlignLeft;
}

bool IsEnter(const QKeyEvent* e) { return e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter; }

// A focus loss that leaves the editor: not to its own pop-up or to a widget inside it.
bool LeavesEditor(const QWidget* editor, const QFocusEvent* e)
{
    if (e->reason() == Qt::PopupFocusReason)
        return false;
    for (const QWidget* w = QApplication::focusWidget(); w; w = w->parentWidget())
        if (w == editor)
            return false;
    return true;
}

// Enter ends and Esc cancels through the tree; true when the key was one of them.
bool EndOrCancelKey(TVTEditLink& link, QKeyEvent* e)
{
    if (IsEnter(e))
        link.TreeEndEdit();
    else if (e->key() == Qt::Key_Escape)
        link.TreeCancelEdit();
    else
        return false;
    e->accept();
    return true;
}

// Two-digit years fall in 1930-2029, the usual system window (Qt alone reads them as 19xx).
QDate ParseShortDate(const QLocale& locale, const QString& text)
{
    const QString format = locale.dateFormat(QLocale::ShortFormat);
    QDate date = locale.toDate(text.trimmed(), format);
    if (date.isValid()) {
        if (!format.contains(QLatin1String("yyyy")) && date.year() < 1930)
            date = date.addYears(100);
        return date;
    }
    if (!format.contains(QLatin1String("yyyy"))) {
        QString longYears = format;
        longYears.replace(QLatin1String("yy"), QLatin1String("yyyy"));
        date = locale.toDate(text.trimmed(), longYears);
    }
    return date;
}

}  // namespace

// ---- the link ----

TVTEditLink::TVTEditLink(TVTEditorType type) : EditorType(type)
{
    Editor = TVTEditLink::CreateEditControl();
    editorAlive_ = Editor;
    // The view deletes the editor with itself when it goes first; the link then holds none.
    QObject::connect(Editor, &QObject::destroyed, [this] { Editor = nullptr; });
    Editor->hide();
    LoadText = true;
}

TVTEditLink::~TVTEditLink()
{
    delete editorAlive_.data();
}

QWidget* TVTEditLink::CreateEditControl()
{
    switch (EditorType) {
    case etComboEdit: return new TVTComboEdit(*this, true);
    case etComboList: return new TVTComboEdit(*this, false);
    case etNumeric: return new TVTNumericEdit(*this);
    case etDate: return new TVTDateEdit(*this);
    case etNumEdit: return new TVTNumEdit(*this);
    case etEdit: break;
    }
    return new TVTEdit(*this);
}

QString TVTEditLink::GetText() const
{
    if (!editorAlive_)
        return {};
    switch (EditorType) {
    case etComboEdit:
    case etComboList: return static_cast<const QComboBox*>(Editor)->currentText();
    case etNumeric:
    case etNumEdit: return static_cast<const QAbstractSpinBox*>(Editor)->text();
    case etDate: return static_cast<const TVTDateEdit*>(Editor)->ShortDateText();
    case etEdit: break;
    }
    return static_cast<const QLineEdit*>(Editor)->text();
}

void TVTEditLink::SetText(const QString& text)
{
    if (!editorAlive_)
        return;
    switch (EditorType) {
    case etComboEdit:
    case etComboList: static_cast<QComboBox*>(Editor)->setCurrentText(text); return;
    case etNumeric: static_cast<TVTNumericEdit*>(Editor)->SetEditText(text); return;
    case etNumEdit: static_cast<TVTNumEdit*>(Editor)->SetEditText(text); return;
    case etDate: static_cast<TVTDateEdit*>(Editor)->SetShortDateText(text); return;
    case etEdit: break;
    }
    static_cast<QLineEdit*>(Editor)->setText(text);
}

QFont TVTEditLink::GetFont() const { return editorAlive_ ? Editor->font() : QFont(); }

int TVTEditLink::PreferredHeight() const
{
    switch (EditorType) {
    case etNumeric:
    case etNumEdit: return 19;
    case etDate: return 22;
    default: return -1;
    }
}

void TVTEditLink::DoPrepare()
{
    if (OnPrepare)
        OnPrepare(*this, Editor);
}

void TVTEditLink::DoSetValue()
{
    if (OnSetValue) {
        OnSetValue(*this, Editor);
        return;
    }
    if (Tree && Tree->model() && Node.isValid())
        Tree->model()->setData(Node, GetText(), Qt::EditRole);
}

bool TVTEditLink::BeginEdit()
{
    if (Stopping || !editorAlive_)
        return false;
    Editor->show();
    if (auto* line = qobject_cast<QLineEdit*>(Editor))
        line->selectAll();
    else if (auto* combo = qobject_cast<QComboBox*>(Editor); combo && combo->lineEdit())
        combo->lineEdit()->selectAll();
    else if (auto* spin = qobject_cast<QAbstractSpinBox*>(Editor))
        spin->selectAll();
    Editor->setFocus(Qt::OtherFocusReason);
    return true;
}

void TVTEditLink::HideEditor()
{
    if (!editorAlive_)
        return;
    // The tree takes the focus back, as it had it before the edit.
    const QWidget* focus = QApplication::focusWidget();
    if (Tree && focus && (focus == Editor || Editor->isAncestorOf(focus)))
        Tree->setFocus(Qt::OtherFocusReason);
    Editor->hide();
}

bool TVTEditLink::CancelEdit()
{
    if (Stopping)
        return false;
    Stopping = true;
    HideEditor();
    if (TVTEditDelegate* d = Delegate())
        d->LinkCancelled(*this);
    return true;
}

bool TVTEditLink::EndEdit()
{
    if (Stopping)
        return false;
    Stopping = true;
    try {
        DoSetValue();
    } catch (...) {
        Stopping = false;
        throw;
    }
    HideEditor();
    return true;
}

bool TVTEditLink::PrepareEdit(QAbstractItemView* tree, const QModelIndex& node, int column)
{
    if (!tree || !tree->model() || !node.isValid() || node.model() != tree->model() || !editorAlive_)
        return false;
    Stopping = true;
    Tree = tree;
    Node = column >= 0 && column != node.column() ? node.siblingAtColumn(column) : node;
    Column = column;
    Editor->setParent(tree->viewport());
    QPalette palette = Editor->palette();
    palette.setColor(QPalette::Text, Qt::black);
    Editor->setPalette(palette);
    DoPrepare();
    if (LoadText) {
        TextBounds = CellTextRect(tree, Node, GetFont());
        SetText(Node.data(Qt::DisplayRole).toString());
    }
    Alignment = CellAlignment(tree, Node);
    Stopping = false;
    return true;
}

QRect TVTEditLink::GetBounds() const { return editorAlive_ ? Editor->geometry() : QRect(); }

bool TVTEditLink::ProcessMessage(QEvent* event)
{
    return editorAlive_ && event && QCoreApplication::sendEvent(Editor, event);
}

void TVTEditLink::SetBounds(QRect r)
{
    if (Stopping || !editorAlive_)
        return;
    int left = std::max(r.left(), 0);
    int right = r.left() + r.width();
    int top = r.top();
    int height = r.height();
    if (right - left < kMinEditorWidth) {
        if (Alignment & Qt::AlignRight)
            left = right - kMinEditorWidth;
        else
            right = left + kMinEditorWidth;
    }
    if (Tree)
        right = std::min(right, Tree->viewport()->width());
    const int preferred = PreferredHeight();
    if (preferred > 0 && preferred > height) {
        top -= (preferred - height) / 2;
        height = preferred;
    }
    Editor->setGeometry(left, top, right - left, height);
}

void TVTEditLink::TreeEndEdit()
{
    if (Stopping)
        return;
    if (TVTEditDelegate* d = Delegate())
        d->EndLinkEdit(*this);
    else
        EndEdit();
}

void TVTEditLink::TreeCancelEdit() { CancelEdit(); }

void TVTEditLink::FocusLost()
{
    // A focus lost because the editor or its window is being hidden (closed, destroyed) is no
    // user's leaving: nothing is written then.
    if (Stopping || !editorAlive_ || !Editor->isVisible() || Editor->window()->isHidden())
        return;
    TreeEndEdit();
}

TVTEditDelegate* TVTEditLink::Delegate() const { return delegate_.data(); }

// ---- the edit controls ----

TVTEdit::TVTEdit(TVTEditLink& link) : link_(link)
{
    connect(this, &QLineEdit::textChanged, this, &TVTEdit::AutoAdjustSize);
}

void TVTEdit::AutoAdjustSize()
{
    if (link_.Stopping || !link_.Tree)
        return;
    // The width a line edit needs to show its text whole (as QLineEdit::sizeHint counts it).
    constexpr int kLineEditHMargin = 2;
    constexpr int kCursorWidth = 1;
    const QMargins tm = textMargins();
    const QMargins cm = contentsMargins();
    const int content = fontMetrics().horizontalAdvance(text()) + 2 * kLineEditHMargin + kCursorWidth + tm.left()
                        + tm.right() + cm.left() + cm.right();
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    int width = style()->sizeFromContents(QStyle::CT_LineEdit, &opt, QSize(content, height()), this).width();
    // Never narrower than the cell's text area it was opened over.
    width = std::max(width, link_.TextBounds.width());
    const QRect r = geometry();
    if (link_.Alignment & Qt::AlignRight)
        link_.SetBounds(QRect(r.x() + r.width() - width, r.y(), width, r.height()));
    else
        link_.SetBounds(QRect(r.x(), r.y(), width, r.height()));
}

void TVTEdit::keyPressEvent(QKeyEvent* event)
{
    if (EndOrCancelKey(link_, event))
        return;
    if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        // Up and Down move the caret instead of leaving the cell.
        QKeyEvent moved(event->type(), event->key() == Qt::Key_Up ? Qt::Key_Left : Qt::Key_Right, event->modifiers(),
                        event->nativeScanCode(), event->nativeVirtualKey(), event->nativeModifiers(), QString(),
                        event->isAutoRepeat(), event->count());
        QLineEdit::keyPressEvent(&moved);
        event->setAccepted(moved.isAccepted());
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TVTEdit::focusOutEvent(QFocusEvent* event)
{
    if (LeavesEditor(this, event))
        link_.FocusLost();
    QLineEdit::focusOutEvent(event);
}

TVTComboEdit::TVTComboEdit(TVTEditLink& link, bool editable) : link_(link)
{
    setEditable(editable);
    setInsertPolicy(QComboBox::NoInsert);
}

void TVTComboEdit::keyPressEvent(QKeyEvent* event)
{
    if (!EndOrCancelKey(link_, event))
        QComboBox::keyPressEvent(event);
}

void TVTComboEdit::focusOutEvent(QFocusEvent* event)
{
    if (LeavesEditor(this, event))
        link_.FocusLost();
    QComboBox::focusOutEvent(event);
}

TVTNumericEdit::TVTNumericEdit(TVTEditLink& link) : link_(link) { setRange(INT_MIN, INT_MAX); }

void TVTNumericEdit::SetEditText(const QString& text) { lineEdit()->setText(text); }

void TVTNumericEdit::keyPressEvent(QKeyEvent* event)
{
    if (!EndOrCancelKey(link_, event))
        QSpinBox::keyPressEvent(event);
}

void TVTNumericEdit::focusOutEvent(QFocusEvent* event)
{
    if (LeavesEditor(this, event))
        link_.FocusLost();
    QSpinBox::focusOutEvent(event);
}

TVTDateEdit::TVTDateEdit(TVTEditLink& link) : link_(link)
{
    setCalendarPopup(true);
    // Shown with the full year so that the century can be edited; read as the short date.
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    setDisplayFormat(format);
}

QString TVTDateEdit::ShortDateText() const { return QLocale().toString(date(), QLocale::ShortFormat); }

void TVTDateEdit::SetShortDateText(const QString& text)
{
    const QDate parsed = ParseShortDate(QLocale(), text);
    if (parsed.isValid())
        setDate(parsed);
}

void TVTDateEdit::keyPressEvent(QKeyEvent* event)
{
    if (!EndOrCancelKey(link_, event))
        QDateEdit::keyPressEvent(event);
}

void TVTDateEdit::focusOutEvent(QFocusEvent* event)
{
    if (LeavesEditor(this, event))
        link_.FocusLost();
    QDateEdit::focusOutEvent(event);
}

TVTNumEdit::TVTNumEdit(TVTEditLink& link) : link_(link)
{
    setRange(std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max());
    setDecimals(15);
}

void TVTNumEdit::SetEditText(const QString& text) { lineEdit()->setText(text); }

QValidator::State TVTNumEdit::validate(QString& text, int&) const
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return QValidator::Intermediate;
    bool ok = false;
    locale().toDouble(t, &ok);
    if (!ok)
        QLocale::c().toDouble(t, &ok);
    if (ok)
        return QValidator::Acceptable;
    const QLocale loc = locale();
    for (const QChar c : t) {
        const bool numberChar = c.isDigit() || c == u'+' || c == u'-' || c == u'e' || c == u'E' || c == u'.' || c == u','
                                || QString(c) == loc.decimalPoint() || QString(c) == loc.groupSeparator();
        if (!numberChar)
            return QValidator::Invalid;
    }
    return QValidator::Intermediate;
}

double TVTNumEdit::valueFromText(const QString& text) const
{
    bool ok = false;
    double v = locale().toDouble(text.trimmed(), &ok);
    if (!ok)
        v = QLocale::c().toDouble(text.trimmed(), &ok);
    return ok ? v : value();
}

QString TVTNumEdit::textFromValue(double value) const
{
    return locale().toString(value, 'g', QLocale::FloatingPointShortest);
}

void TVTNumEdit::keyPressEvent(QKeyEvent* event)
{
    if (!EndOrCancelKey(link_, event))
        QDoubleSpinBox::keyPressEvent(event);
}

void TVTNumEdit::focusOutEvent(QFocusEvent* event)
{
    if (LeavesEditor(this, event))
        link_.FocusLost();
    QDoubleSpinBox::focusOutEvent(event);
}

// ---- the delegate ----

TVTEditDelegate::TVTEditDelegate(QAbstractItemView* view, TLinkFactory factory)
    : QStyledItemDelegate(view), view_(view), factory_(std::move(factory))
{
}

TVTEditDelegate::~TVTEditDelegate()
{
    // Edits still open end without a write; their editors go with their links.
    auto records = std::move(records_);
    records_.clear();
    for (auto& [editor, record] : records) {
        record.Link->Stopping = true;
        record.Link->delegate_ = nullptr;
    }
}

std::shared_ptr<TVTEditLink> TVTEditDelegate::LinkOf(const QWidget* editor) const
{
    const auto it = records_.find(editor);
    return it == records_.end() ? nullptr : it->second.Link;
}

std::shared_ptr<TVTEditLink> TVTEditDelegate::ActiveLink() const
{
    for (const auto& [editor, record] : records_)
        if (!record.Link->Stopping)
            return record.Link;
    return nullptr;
}

QWidget* TVTEditDelegate::createEditor(QWidget*, const QStyleOptionViewItem&, const QModelIndex& index) const
{
    if (!factory_ || !view_)
        return nullptr;
    std::shared_ptr<TVTEditLink> link;
    try {
        link = factory_(index);
        if (!link || !link->PrepareEdit(view_, index, index.column()))
            return nullptr;
    } catch (...) {
        HandOn(std::current_exception());
        return nullptr;
    }
    QWidget* editor = link->Editor;
    link->delegate_ = const_cast<TVTEditDelegate*>(this);
    records_[editor] = TRecord{std::move(link), false};
    return editor;
}

void TVTEditDelegate::destroyEditor(QWidget* editor, const QModelIndex& index) const
{
    const auto it = records_.find(editor);
    if (it == records_.end()) {
        QStyledItemDelegate::destroyEditor(editor, index);
        return;
    }
    std::shared_ptr<TVTEditLink> link = std::move(it->second.Link);
    records_.erase(it);
    link->delegate_ = nullptr;
    // Closed without a commit (the row went, another cell was clicked after a failed write).
    link->CancelEdit();
    editor->hide();
    // The link, and with it the editor, goes after the current event: the editor's own key
    // press may be what closed it.
    QMetaObject::invokeMethod(
        const_cast<TVTEditDelegate*>(this), [link = std::move(link)]() mutable { link.reset(); }, Qt::QueuedConnection);
}

void TVTEditDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const
{
    if (!records_.count(editor))
        QStyledItemDelegate::setEditorData(editor, index);
}

void TVTEditDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const
{
    const auto link = LinkOf(editor);
    if (!link) {
        QStyledItemDelegate::setModelData(editor, model, index);
        return;
    }
    RunEndEdit(*link);
}

void TVTEditDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const
{
    const auto link = LinkOf(editor);
    if (!link) {
        QStyledItemDelegate::updateEditorGeometry(editor, option, index);
        return;
    }
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    link->TextBounds = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    link->SetBounds(link->TextBounds);
    if (auto* edit = qobject_cast<TVTEdit*>(editor))
        edit->AutoAdjustSize();
}

bool TVTEditDelegate::eventFilter(QObject* object, QEvent* event)
{
    const auto it = records_.find(qobject_cast<QWidget*>(object));
    if (it == records_.end())
        return QStyledItemDelegate::eventFilter(object, event);
    // Keys, the focus loss and the end of the edit are the editor's own; the tree only starts it.
    switch (event->type()) {
    case QEvent::Show:
        if (!it->second.Begun) {
            it->second.Begun = true;
            const auto link = it->second.Link;
            link->BeginEdit();
        }
        return false;
    case QEvent::KeyPress: {
        // The editor keeps Tab: it neither moves the focus nor ends the edit.
        const int key = static_cast<QKeyEvent*>(event)->key();
        return key == Qt::Key_Tab || key == Qt::Key_Backtab;
    }
    case QEvent::ShortcutOverride: {
        // Enter and Esc reach the editor as keys, not as some window's shortcut.
        auto* key = static_cast<QKeyEvent*>(event);
        if (IsEnter(key) || key->key() == Qt::Key_Escape) {
            event->accept();
            return true;
        }
        return false;
    }
    default: return false;
    }
}

void TVTEditDelegate::EndLinkEdit(TVTEditLink& link)
{
    QWidget* editor = link.Editor;
    if (RunEndEdit(link))
        emit closeEditor(editor, QAbstractItemDelegate::SubmitModelCache);
}

void TVTEditDelegate::LinkCancelled(TVTEditLink& link) { emit closeEditor(link.Editor, QAbstractItemDelegate::RevertModelCache); }

bool TVTEditDelegate::RunEndEdit(TVTEditLink& link) const
{
    try {
        return link.EndEdit();
    } catch (...) {
        HandOn(std::current_exception());
        return false;
    }
}

void TVTEditDelegate::HandOn(std::exception_ptr error) const
{
    if (errorHandler_) {
        errorHandler_(error);
        return;
    }
    QMetaObject::invokeMethod(
        const_cast<TVTEditDelegate*>(this), [error] { std::rethrow_exception(error); }, Qt::QueuedConnection);
}

}  // namespace vos
