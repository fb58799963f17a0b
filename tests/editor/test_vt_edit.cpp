// The in-place value editors over a tree view: when a value is written (once, never after a
// cancel), the keys, and where the editor is placed.
#include "editor/vt_edit.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using vos::TVTEditDelegate;
using vos::TVTEditLink;
using vos::TVTEditorType;

// Counts every write, also those that change nothing (the standard model reports no change then).
class TCountingModel : public QStandardItemModel {
public:
    using QStandardItemModel::QStandardItemModel;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override
    {
        if (role == Qt::EditRole)
            writes.push_back(value.toString());
        return QStandardItemModel::setData(index, value, role);
    }
    std::vector<QString> writes;
};

class TTreeView : public QTreeView {
public:
    using QTreeView::QTreeView;
    bool Editing() const { return state() == EditingState; }
};

class VtEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.setColumnCount(2);
        for (const char* text : {"alpha", "beta", "gamma"})
            model.appendRow({new QStandardItem(QString::fromLatin1(text)), new QStandardItem(QStringLiteral("12"))});
        auto* layout = new QVBoxLayout(&window);
        view = new TTreeView(&window);
        other = new QLineEdit(&window);
        layout->addWidget(view);
        layout->addWidget(other);
        view->setModel(&model);
        view->header()->setStretchLastSection(false);
        delegate = new TVTEditDelegate(view, [this](const QModelIndex&) {
            auto link = std::make_shared<TVTEditLink>(kind);
            link->OnPrepare = onPrepare;
            link->OnSetValue = onSetValue;
            lastLink = link;
            return link;
        });
        delegate->SetErrorHandler([this](std::exception_ptr e) { errors.push_back(e); });
        view->setItemDelegate(delegate);
        window.resize(400, 300);
        window.show();
        QApplication::setActiveWindow(&window);
        view->setFocus();
    }
    void TearDown() override
    {
        // The released links go with the queued calls.
        QCoreApplication::sendPostedEvents();
    }

    // Opens an edit of the cell and returns its editor.
    QWidget* Open(int row, int column = 0)
    {
        const QModelIndex index = model.index(row, column);
        view->setCurrentIndex(index);
        view->edit(index);
        auto link = delegate->ActiveLink();
        return link ? link->Editor : nullptr;
    }
    bool Editing() const { return view->Editing(); }

    TCountingModel model;
    QWidget window;
    TTreeView* view = nullptr;
    QLineEdit* other = nullptr;
    TVTEditDelegate* delegate = nullptr;
    TVTEditorType kind = vos::etEdit;
    std::function<void(TVTEditLink&, QWidget*)> onPrepare;
    std::function<void(TVTEditLink&, QWidget*)> onSetValue;
    std::shared_ptr<TVTEditLink> lastLink;
    std::vector<std::exception_ptr> errors;
};

TEST_F(VtEditTest, EnterWritesTheUnchangedTextOnceForEveryKind)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    struct Case {
        TVTEditorType kind;
        QString cell;
        QString written;
    };
    const std::vector<Case> cases = {
        {vos::etEdit, "alpha", "alpha"},     {vos::etComboEdit, "beta", "beta"}, {vos::etComboList, "TRUE", "TRUE"},
        {vos::etNumeric, "42", "42"},        {vos::etDate, "3/14/24", "3/14/24"}, {vos::etNumEdit, "1.5", "1.5"},
    };
    onPrepare = [](TVTEditLink& link, QWidget* editor) {
        if (link.EditorType == vos::etComboList)
            static_cast<QComboBox*>(editor)->addItems({"FALSE", "TRUE"});
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.kind));
        kind = c.kind;
        model.writes.clear();
        model.item(0)->setText(c.cell);
        QWidget* editor = Open(0);
        ASSERT_NE(editor, nullptr);
        EXPECT_TRUE(editor->isVisible());
        EXPECT_TRUE(editor->hasFocus());
        EXPECT_EQ(lastLink->GetText(), c.written);
        if (auto* combo = qobject_cast<QComboBox*>(editor); combo && combo->isEditable()) {
            EXPECT_EQ(combo->lineEdit()->selectedText(), c.written);
        } else if (auto* line = qobject_cast<QLineEdit*>(editor)) {
            EXPECT_EQ(line->selectedText(), c.written);
        }
        QTest::keyClick(editor, Qt::Key_Return);
        // Qt reports the end again as a focus loss; the link has written already.
        other->setFocus();
        lastLink->FocusLost();
        EXPECT_EQ(model.writes, std::vector<QString>{c.written});
        EXPECT_FALSE(Editing());
        EXPECT_FALSE(editor->isVisible());
        EXPECT_TRUE(lastLink->Stopping);
        QCoreApplication::sendPostedEvents();
    }
    QLocale::setDefault(QLocale::c());
}

TEST_F(VtEditTest, OnSetValueReplacesTheWriteAndRunsOnceOnEndEditTwice)
{
    int calls = 0;
    onSetValue = [&](TVTEditLink& link, QWidget* editor) {
        ++calls;
        EXPECT_EQ(editor, link.Editor);
        EXPECT_EQ(link.GetText(), "alpha");
    };
    ASSERT_NE(Open(0), nullptr);
    auto link = lastLink;
    EXPECT_TRUE(link->EndEdit());
    EXPECT_FALSE(link->EndEdit());
    EXPECT_FALSE(link->CancelEdit());
    EXPECT_FALSE(link->BeginEdit());
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(model.writes.empty());
}

TEST_F(VtEditTest, EscWritesNothingNotEvenOnTheFocusLossAfterIt)
{
    for (TVTEditorType k : {vos::etEdit, vos::etComboEdit, vos::etNumeric}) {
        SCOPED_TRACE(int(k));
        kind = k;
        QWidget* editor = Open(1);
        ASSERT_NE(editor, nullptr);
        lastLink->SetText("changed");
        QTest::keyClick(editor, Qt::Key_Escape);
        EXPECT_FALSE(Editing());
        EXPECT_FALSE(editor->isVisible());
        EXPECT_TRUE(view->hasFocus());
        other->setFocus();
        lastLink->FocusLost();
        EXPECT_FALSE(lastLink->EndEdit());
        EXPECT_TRUE(model.writes.empty());
        EXPECT_EQ(model.item(1)->text(), "beta");
        QCoreApplication::sendPostedEvents();
    }
}

TEST_F(VtEditTest, LeavingTheEditorWritesOnceAndClosesIt)
{
    QWidget* editor = Open(2);
    ASSERT_NE(editor, nullptr);
    QTest::keyClicks(editor, "new");
    other->setFocus();
    EXPECT_EQ(model.writes, std::vector<QString>{"new"});
    EXPECT_EQ(model.item(2)->text(), "new");
    EXPECT_FALSE(Editing());
    EXPECT_EQ(delegate->ActiveLink(), nullptr);
}

TEST_F(VtEditTest, ARowRemovedDuringTheEditCancelsIt)
{
    // (With single selection, Qt moves the current index off the row first, which commits.)
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QWidget* editor = Open(1);
    ASSERT_NE(editor, nullptr);
    auto link = lastLink;
    QTest::keyClicks(editor, "lost");
    model.removeRow(1);
    EXPECT_TRUE(link->Stopping);
    EXPECT_FALSE(link->EndEdit());
    EXPECT_TRUE(model.writes.empty());
    EXPECT_EQ(delegate->LinkOf(editor), nullptr);
    // The delegate lets go of the link after the event; the editor lives as long as the link.
    QCoreApplication::sendPostedEvents();
    EXPECT_NE(link->Editor, nullptr);
    QPointer<QWidget> alive = editor;
    link.reset();
    lastLink.reset();
    EXPECT_TRUE(alive.isNull());
}

TEST_F(VtEditTest, AThrowingWriteLeavesTheEditOpenAndWritesNothing)
{
    bool fail = true;
    int calls = 0;
    onSetValue = [&](TVTEditLink& link, QWidget*) {
        ++calls;
        if (fail)
            throw std::runtime_error("no write");
        link.Tree->model()->setData(link.Node, link.GetText() + "!", Qt::EditRole);
    };
    QWidget* editor = Open(0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THROW(std::rethrow_exception(errors[0]), std::runtime_error);
    EXPECT_FALSE(lastLink->Stopping);
    EXPECT_TRUE(Editing());
    EXPECT_TRUE(editor->isVisible());
    EXPECT_TRUE(model.writes.empty());

    // The link itself lets the exception go on, with Stopping cleared again.
    EXPECT_THROW(lastLink->EndEdit(), std::runtime_error);
    EXPECT_FALSE(lastLink->Stopping);

    fail = false;
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(model.writes, std::vector<QString>{"alpha!"});
    EXPECT_FALSE(Editing());
}

TEST_F(VtEditTest, WithoutAHandlerTheErrorLeavesThroughTheEventDelivery)
{
    delegate->SetErrorHandler(nullptr);
    onSetValue = [](TVTEditLink&, QWidget*) { throw std::runtime_error("no write"); };
    QWidget* editor = Open(0);
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(Editing());
    EXPECT_THROW(QCoreApplication::sendPostedEvents(delegate, QEvent::MetaCall), std::runtime_error);
    QTest::keyClick(editor, Qt::Key_Escape);
    EXPECT_FALSE(Editing());
}

TEST_F(VtEditTest, UpAndDownMoveTheCaretInAPlainEdit)
{
    auto* editor = qobject_cast<QLineEdit*>(Open(1));
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_Home);
    QTest::keyClick(editor, Qt::Key_Down);
    QTest::keyClick(editor, Qt::Key_Down);
    EXPECT_EQ(editor->cursorPosition(), 2);
    QTest::keyClick(editor, Qt::Key_Up);
    EXPECT_EQ(editor->cursorPosition(), 1);
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    EXPECT_TRUE(delegate->LinkOf(editor)->ProcessMessage(&down));
    EXPECT_EQ(editor->cursorPosition(), 2);
    // Tab neither moves the focus nor ends the edit.
    QTest::keyClick(editor, Qt::Key_Tab);
    EXPECT_TRUE(Editing());
    EXPECT_EQ(view->currentIndex(), model.index(1, 0));
    EXPECT_TRUE(editor->hasFocus());
    EXPECT_EQ(editor->text(), "beta");
    EXPECT_TRUE(model.writes.empty());
}

TEST_F(VtEditTest, SetBoundsKeepsTheMinimumWidthTheViewAndThePreferredHeight)
{
    view->header()->resizeSection(0, 100);
    const int client = view->viewport()->width();
    struct Case {
        TVTEditorType kind;
        Qt::Alignment align;
        QRect given;
        QRect placed;
    };
    const std::vector<Case> cases = {
        {vos::etEdit, Qt::AlignLeft, QRect(10, 20, 20, 16), QRect(10, 20, 30, 16)},
        {vos::etEdit, Qt::AlignRight, QRect(50, 20, 20, 16), QRect(40, 20, 30, 16)},
        {vos::etEdit, Qt::AlignLeft, QRect(-5, 20, 60, 16), QRect(0, 20, 55, 16)},
        {vos::etEdit, Qt::AlignLeft, QRect(client - 40, 0, 100, 16), QRect(client - 40, 0, 40, 16)},
        {vos::etNumeric, Qt::AlignLeft, QRect(10, 20, 60, 16), QRect(10, 19, 60, 19)},
        {vos::etNumEdit, Qt::AlignLeft, QRect(10, 20, 60, 14), QRect(10, 18, 60, 19)},
        {vos::etDate, Qt::AlignLeft, QRect(10, 20, 60, 16), QRect(10, 17, 60, 22)},
        {vos::etNumeric, Qt::AlignLeft, QRect(10, 20, 60, 24), QRect(10, 20, 60, 24)},
        {vos::etComboList, Qt::AlignLeft, QRect(10, 20, 60, 16), QRect(10, 20, 60, 16)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.kind) << " " << c.given.x() << "," << c.given.y());
        TVTEditLink link(c.kind);
        ASSERT_TRUE(link.PrepareEdit(view, model.index(0, 0), 0));
        link.Alignment = c.align;
        link.SetBounds(c.given);
        EXPECT_EQ(link.GetBounds(), c.placed);
        link.Stopping = true;
        link.SetBounds(QRect(0, 0, 200, 40));
        EXPECT_EQ(link.GetBounds(), c.placed);
    }
}

TEST_F(VtEditTest, TheEditorOpensOverTheCellText)
{
    for (auto& item : {model.item(0, 0), model.item(0, 1)})
        item->setData(QSize(20, 16), Qt::SizeHintRole);
    model.item(0, 1)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    view->header()->resizeSection(0, 20);
    view->header()->resizeSection(1, 20);

    kind = vos::etNumeric;  // a spin box in a 16-pixel row: 19 high, one pixel higher
    QWidget* editor = Open(0, 0);
    ASSERT_NE(editor, nullptr);
    const QRect text = lastLink->TextBounds;
    EXPECT_EQ(text.height(), 16);
    EXPECT_EQ(editor->geometry(), QRect(text.x(), text.y() - 1, 30, 19));
    QTest::keyClick(editor, Qt::Key_Escape);

    kind = vos::etComboEdit;  // right-aligned text: the 30 pixels grow to the left
    editor = Open(0, 1);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(lastLink->Alignment, Qt::AlignRight);
    const QRect right = lastLink->TextBounds;
    EXPECT_LT(right.width(), 30);
    EXPECT_EQ(editor->geometry(), QRect(right.x() + right.width() - 30, right.y(), 30, 16));
    QTest::keyClick(editor, Qt::Key_Escape);

    kind = vos::etDate;
    editor = Open(0, 0);
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->geometry(), QRect(text.x(), text.y() - 3, 30, 22));
}

TEST_F(VtEditTest, APlainEditGrowsWithItsTextWithinTheView)
{
    model.item(1, 1)->setTextAlignment(Qt::AlignRight);
    const int client = view->viewport()->width();
    // Left-aligned text grows to the right, right-aligned text to the left (room left of it).
    for (int column : {0, 1}) {
        SCOPED_TRACE(column);
        view->header()->resizeSection(0, column == 0 ? 60 : 200);
        view->header()->resizeSection(1, 60);
        QWidget* editor = Open(1, column);
        ASSERT_NE(editor, nullptr);
        const QRect before = editor->geometry();
        EXPECT_GE(before.width(), lastLink->TextBounds.width());
        QTest::keyClicks(editor, "a text longer than its cell");
        const QRect grown = editor->geometry();
        EXPECT_GT(grown.width(), before.width());
        EXPECT_GE(grown.width(), editor->fontMetrics().horizontalAdvance(lastLink->GetText()));
        if (column == 0)
            EXPECT_EQ(grown.left(), before.left());
        else
            EXPECT_EQ(grown.right(), before.right());
        // Deleting the text never makes it narrower than the cell.
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(editor, Qt::Key_Delete);
        EXPECT_GE(editor->width(), lastLink->TextBounds.width());
        QTest::keyClick(editor, Qt::Key_Escape);
        QCoreApplication::sendPostedEvents();
    }
    // Very long text stops at the view's edges.
    for (int column : {0, 1}) {
        SCOPED_TRACE(column);
        QWidget* editor = Open(1, column);
        ASSERT_NE(editor, nullptr);
        lastLink->SetText(QString(400, QLatin1Char('m')));
        if (column == 0)
            EXPECT_EQ(editor->x() + editor->width(), client);
        else
            EXPECT_EQ(editor->x(), 0);
        QTest::keyClick(editor, Qt::Key_Escape);
        QCoreApplication::sendPostedEvents();
    }
}

TEST_F(VtEditTest, AlignmentIsTakenFromTheCellAndMirroredRightToLeft)
{
    struct Case {
        Qt::LayoutDirection direction;
        Qt::Alignment cell;
        Qt::Alignment taken;
    };
    const std::vector<Case> cases = {
        {Qt::LeftToRight, Qt::AlignLeft, Qt::AlignLeft},   {Qt::LeftToRight, Qt::AlignRight, Qt::AlignRight},
        {Qt::LeftToRight, Qt::AlignHCenter, Qt::AlignHCenter}, {Qt::RightToLeft, Qt::AlignLeft, Qt::AlignRight},
        {Qt::RightToLeft, Qt::AlignRight, Qt::AlignLeft},  {Qt::RightToLeft, Qt::AlignLeft | Qt::AlignAbsolute, Qt::AlignLeft},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.direction) << " " << int(c.cell));
        view->setLayoutDirection(c.direction);
        model.item(2, 1)->setTextAlignment(c.cell | Qt::AlignVCenter);
        TVTEditLink link(vos::etEdit);
        ASSERT_TRUE(link.PrepareEdit(view, model.index(2, 1), 1));
        EXPECT_EQ(link.Alignment, c.taken);
        EXPECT_EQ(link.GetText(), "12");
        EXPECT_FALSE(link.Stopping);
    }
}

TEST_F(VtEditTest, AViewGoingAwayDuringAnEditWritesNothing)
{
    int calls = 0;
    std::shared_ptr<TVTEditLink> kept;
    {
        QTreeView tree;
        tree.setModel(&model);
        tree.setItemDelegate(new TVTEditDelegate(&tree, [&](const QModelIndex&) {
            kept = std::make_shared<TVTEditLink>(vos::etEdit);
            kept->OnSetValue = [&](TVTEditLink&, QWidget*) { ++calls; };
            return kept;
        }));
        tree.show();
        QApplication::setActiveWindow(&tree);
        tree.setCurrentIndex(model.index(0, 0));
        tree.edit(model.index(0, 0));
        ASSERT_NE(kept, nullptr);
        ASSERT_TRUE(kept->Editor->hasFocus());
        QTest::keyClicks(kept->Editor, "x");
    }
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(kept->Editor, nullptr);
    EXPECT_EQ(kept->GetText(), QString());
    EXPECT_FALSE(kept->EndEdit());
    EXPECT_EQ(calls, 0);
    kept->SetBounds(QRect(0, 0, 10, 10));
    EXPECT_EQ(kept->GetBounds(), QRect());
}

TEST_F(VtEditTest, PrepareEditNeedsAViewOverTheNodesModel)
{
    QStandardItemModel elsewhere(1, 1);
    TVTEditLink link(vos::etEdit);
    EXPECT_FALSE(link.PrepareEdit(nullptr, model.index(0, 0), 0));
    EXPECT_FALSE(link.PrepareEdit(view, elsewhere.index(0, 0), 0));
    EXPECT_FALSE(link.PrepareEdit(view, QModelIndex(), 0));
    EXPECT_EQ(link.Editor->parentWidget(), nullptr);
    EXPECT_FALSE(link.Editor->isVisible());

    // The factory's "no link" opens no editor.
    auto* refusing = new TVTEditDelegate(view, [](const QModelIndex&) { return nullptr; });
    view->setItemDelegate(refusing);
    view->edit(model.index(0, 0));
    EXPECT_FALSE(Editing());
}

TEST_F(VtEditTest, PrepareCallsOnPrepareBeforeTheTextIsLoaded)
{
    kind = vos::etComboList;
    model.item(0)->setText("second");
    onPrepare = [](TVTEditLink& link, QWidget* editor) {
        EXPECT_TRUE(link.Stopping);
        EXPECT_EQ(editor->parentWidget(), link.Tree->viewport());
        static_cast<QComboBox*>(editor)->addItems({"first", "second"});
    };
    auto* combo = qobject_cast<QComboBox*>(Open(0));
    ASSERT_NE(combo, nullptr);
    EXPECT_FALSE(combo->isEditable());
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_EQ(combo->palette().color(QPalette::Text), QColor(Qt::black));
}

TEST_F(VtEditTest, TheDatePickerReadsAndWritesTheShortDate)
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    TVTEditLink link(vos::etDate);
    auto* picker = qobject_cast<QDateEdit*>(link.Editor);
    ASSERT_NE(picker, nullptr);
    struct Case {
        QString text;
        QDate date;
        QString read;
    };
    const std::vector<Case> cases = {
        {"3/14/24", QDate(2024, 3, 14), "3/14/24"},   {"12/31/1999", QDate(1999, 12, 31), "12/31/99"},
        {"7/4/30", QDate(1930, 7, 4), "7/4/30"},       {"no date", QDate(1930, 7, 4), "7/4/30"},
        {"13/45/24", QDate(1930, 7, 4), "7/4/30"},     {"", QDate(1930, 7, 4), "7/4/30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        link.SetText(c.text);
        EXPECT_EQ(picker->date(), c.date);
        EXPECT_EQ(link.GetText(), c.read);
    }
    EXPECT_EQ(link.PreferredHeight(), 22);
    QLocale::setDefault(QLocale::c());
}

TEST_F(VtEditTest, NumberEditorsKeepTheTextAsTyped)
{
    TVTEditLink numeric(vos::etNumeric);
    numeric.SetText("-2147483648");
    EXPECT_EQ(numeric.GetText(), "-2147483648");
    EXPECT_EQ(static_cast<QSpinBox*>(numeric.Editor)->value(), INT_MIN);

    TVTEditLink number(vos::etNumEdit);
    auto* spin = static_cast<QDoubleSpinBox*>(number.Editor);
    for (const char* text : {"1.5e300", "-0.000001", "3.14159265358979", "abc"}) {
        number.SetText(text);
        EXPECT_EQ(number.GetText(), text);
    }
    int pos = 0;
    QString typed = "1e3";
    EXPECT_EQ(spin->validate(typed, pos), QValidator::Acceptable);
    typed = "-";
    EXPECT_EQ(spin->validate(typed, pos), QValidator::Intermediate);
    typed = "1x";
    EXPECT_EQ(spin->validate(typed, pos), QValidator::Invalid);
}

}  // namespace
