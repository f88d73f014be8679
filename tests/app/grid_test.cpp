// The track grid on screen: its modes by mouse and keyboard, the pop-up menu
// of each mode, and copy and paste through the clipboard.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

#include "app/mainwindow.h"
#include "app/trackgridmodel.h"
#include "app_fixture.h"
#include "platform/pump.h"

namespace sl::test {
namespace {

using app::MainWindow;
using app::TrackGridView;

class Grid : public AppTest {
 protected:
  // The window with the 3-track disc read and titles filled in.
  MainWindow& Window() {
    program = MakeProgram();
    MainWindow& w = program->Window();
    ShowWithTitles(w);
    QApplication::processEvents();
    return w;
  }
  static QModelIndex Cell(TrackGridView* g, int col, int tableRow) {
    return g->model()->index(tableRow - 1, col);
  }
  static void Click(TrackGridView* g, int col, int tableRow, bool dbl = false) {
    const QPoint at = g->visualRect(Cell(g, col, tableRow)).center();
    QWidget* vp = g->viewport();
    const QPointF global = vp->mapToGlobal(QPointF(at));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(vp, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(vp, &release);
    if (dbl) {
      QMouseEvent twice(QEvent::MouseButtonDblClick, QPointF(at), global, Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
      QApplication::sendEvent(vp, &twice);
    }
    QApplication::processEvents();
  }
  static void Key(QWidget* target, int key, const QString& text = QString()) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &release);
    QApplication::processEvents();
  }
  // The pop-up items shown now: "1" visible, "0" hidden, in the order
  // gridCopyAction, gridPasteAction, editorCopyAction, editorCutAction, editorPasteAction.
  static std::string Popup(TrackGridView* g) {
    std::string s;
    for (QAction* a : {g->gridCopyAction, g->gridPasteAction, g->editorCopyAction, g->editorCutAction,
                       g->editorPasteAction})
      s += a->isVisible() ? '1' : '0';
    return s;
  }
  static void Select(TrackGridView* g, int left, int top, int right, int bottom) {
    g->setCurrentIndex(Cell(g, left, top));
    g->selectionModel()->select(QItemSelection(Cell(g, left, top), Cell(g, right, bottom)),
                                QItemSelectionModel::ClearAndSelect);
  }

  std::unique_ptr<app::Program> program;
};

TEST_F(Grid, PopupItemsCaptionsShortcutsAndHints) {
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  struct Row {
    QAction* action;
    const char* name;
    const char* caption;
    QKeySequence shortcut;
    const char* hint;
  } rows[] = {
      {g->gridCopyAction, "gridCopyAction", "コピー(&C)", {}, ""},
      {g->gridPasteAction, "gridPasteAction", "貼り付け(&P)", {}, ""},
      {g->editorCopyAction, "editorCopyAction", "コピー(&C)", QKeySequence(Qt::CTRL | Qt::Key_C),
       "コピー|選択部分をコピーし、クリップボードに送る"},
      {g->editorCutAction, "editorCutAction", "切り取り(&T)", QKeySequence(Qt::CTRL | Qt::Key_X),
       "切り取り|選択部分を切り取り、クリップボードに送る"},
      {g->editorPasteAction, "editorPasteAction", "貼り付け(&P)", QKeySequence(Qt::CTRL | Qt::Key_V),
       "貼り付け|クリップボードの内容を貼り付ける"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.action->objectName(), r.name);
    EXPECT_EQ(r.action->text(), QString::fromUtf8(r.caption)) << r.name;
    EXPECT_EQ(r.action->shortcut(), r.shortcut) << r.name;
    EXPECT_EQ(r.action->statusTip(), QString::fromUtf8(r.hint)) << r.name;
    EXPECT_EQ(r.action->property("category").toString(), "編集") << r.name;
  }
  EXPECT_EQ(Popup(g), "11000");
}

TEST_F(Grid, ModesByMouseAndKeyboard) {
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  g->setFocus();
  EXPECT_EQ(g->currentIndex(), Cell(g, 1, 1));
  EXPECT_EQ(g->editTriggers(), QAbstractItemView::NoEditTriggers);

  // A double-click edits the clicked cell; what is typed stays in the cell
  // when Enter leaves editing mode.
  Click(g, 1, 2, true);
  ASSERT_TRUE(g->Modes().Editing());
  ASSERT_NE(g->Editor(), nullptr);
  EXPECT_EQ(g->Editor()->text(), "t2");
  EXPECT_EQ(Popup(g), "00111");
  g->Editor()->setText("typed");
  Key(g->Editor(), Qt::Key_Return);
  EXPECT_FALSE(g->Modes().Editing());
  EXPECT_FALSE(g->EditorOpen());
  EXPECT_EQ(w.Model().Table().Cell(1, 2), "typed");
  EXPECT_EQ(Popup(g), "11000");

  // Enter in the grid enters editing mode on the current cell, Enter again
  // leaves it.
  Key(g, Qt::Key_Return);
  ASSERT_TRUE(g->Modes().Editing());
  ASSERT_NE(g->Editor(), nullptr);
  EXPECT_EQ(g->currentIndex(), Cell(g, 1, 2));

  // TAB in the editor moves on and edits the next cell.
  g->Editor()->setText("tabbed");
  Key(g->Editor(), Qt::Key_Tab);
  EXPECT_EQ(w.Model().Table().Cell(1, 2), "tabbed");
  EXPECT_EQ(g->currentIndex(), Cell(g, 2, 2));
  EXPECT_TRUE(g->Modes().Editing());
  ASSERT_NE(g->Editor(), nullptr);
  EXPECT_EQ(g->Editor()->text(), "a2");

  // Selecting another cell leaves editing mode, keeping the text typed.
  g->Editor()->setText("kept");
  Click(g, 1, 3);
  EXPECT_FALSE(g->Modes().Editing());
  EXPECT_EQ(w.Model().Table().Cell(2, 2), "kept");
  EXPECT_FALSE(g->EditorOpen());

  // In selection mode TAB moves, then edits the cell it reached.
  Key(g, Qt::Key_Tab);
  EXPECT_EQ(g->currentIndex(), Cell(g, 2, 3));
  EXPECT_TRUE(g->Modes().Editing());
  EXPECT_TRUE(g->EditorOpen());
  Key(g->Editor(), Qt::Key_Escape);
  Key(g, Qt::Key_Return);
  EXPECT_FALSE(g->Modes().Editing());

  // A letter in selection mode does not start editing.
  Key(g, Qt::Key_X, "x");
  EXPECT_FALSE(g->EditorOpen());
  EXPECT_EQ(w.Model().Table().Cell(2, 3), "a3");
}

TEST_F(Grid, CopyAndPasteTabSeparatedTextThroughTheClipboard) {
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  QClipboard* clip = QGuiApplication::clipboard();

  Select(g, 1, 1, 2, 2);
  g->gridCopyAction->trigger();
  EXPECT_EQ(clip->text(), "t1\ta1\r\nt2\ta2\r\n");

  // A spreadsheet's column: LF line ends, wider and longer than the
  // selection. Only the selected 2 x 2 cells change, the grid does not grow.
  clip->setText(QStringLiteral("春\tｱ\tdropped\n夏\t\nsecond\tx\nthird\ty\n"));
  Select(g, 1, 2, 2, 3);
  g->gridPasteAction->trigger();
  auto& t = w.Model().Table();
  EXPECT_EQ(t.RowCount(), 4);
  EXPECT_EQ(t.Cell(1, 1), "t1");
  EXPECT_EQ(t.Cell(1, 2), "春");
  EXPECT_EQ(t.Cell(2, 2), "ｱ");
  EXPECT_EQ(t.Cell(1, 3), "夏");
  EXPECT_EQ(t.Cell(2, 3), "a3");
  EXPECT_EQ(g->model()->data(Cell(g, 1, 2)).toString(), "春");

  // One cell's text into a 3-row selection writes the top-left cell only.
  clip->setText(QStringLiteral("solo"));
  Select(g, 2, 1, 2, 3);
  g->gridPasteAction->trigger();
  EXPECT_EQ(t.Cell(2, 1), "solo");
  EXPECT_EQ(t.Cell(2, 2), "ｱ");

  // An empty clipboard changes nothing.
  clip->clear();
  g->gridPasteAction->trigger();
  EXPECT_EQ(t.Cell(2, 1), "solo");

  // While a command waits, paste is refused.
  clip->setText(QStringLiteral("late"));
  {
    shell::CommandScope scope(w.Model());
    g->gridPasteAction->trigger();
  }
  EXPECT_EQ(t.Cell(2, 1), "solo");
}

TEST_F(Grid, TheEditorsOwnCutCopyAndPaste) {
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  QClipboard* clip = QGuiApplication::clipboard();
  Click(g, 1, 1, true);
  ASSERT_NE(g->Editor(), nullptr);
  QLineEdit* e = g->Editor();
  e->setText("hello world");
  clip->clear();
  emit g->gridPopupMenu->aboutToShow();
  EXPECT_FALSE(g->editorCopyAction->isEnabled());  // nothing selected
  // The clipboard is read only by a paste, never to open the menu: paste
  // is offered in any editor that takes text.
  EXPECT_TRUE(g->editorPasteAction->isEnabled());
  e->setSelection(0, 5);
  emit g->gridPopupMenu->aboutToShow();
  EXPECT_TRUE(g->editorCopyAction->isEnabled());
  g->editorCopyAction->trigger();
  EXPECT_EQ(clip->text(), "hello");
  e->setSelection(5, 6);
  g->editorCutAction->trigger();
  EXPECT_EQ(clip->text(), " world");
  EXPECT_EQ(e->text(), "hello");
  e->setCursorPosition(0);
  emit g->gridPopupMenu->aboutToShow();  // the pop-up opened again
  EXPECT_TRUE(g->editorPasteAction->isEnabled());
  g->editorPasteAction->trigger();
  EXPECT_EQ(e->text(), " worldhello");
  Key(e, Qt::Key_Return);
  EXPECT_EQ(w.Model().Table().Cell(1, 1), " worldhello");
}

}  // namespace
}  // namespace sl::test
