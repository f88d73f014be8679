// The track grid and the window worked as a user works them: key presses
// and mouse clicks on the real widgets (QTest), with real focus changes.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/application.h"
#include "app/mainwindow.h"
#include "app_fixture.h"
#include "settings/settings.h"
#include "support/cddbd_process.h"

namespace sl::test {
namespace {

using app::MainWindow;
using app::TrackGridView;
using shell::MenuId;

class GridUser : public AppTest {
 protected:
  // The window with the 3-track disc read and titles "t1".."t3" and
  // "a1".."a3", active, with the grid focused on its first title.
  MainWindow& Window() {
    program = MakeProgram();
    MainWindow& w = program->Window();
    ShowWithTitles(w);
    w.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::mouseClick(w.trackGrid->viewport(), Qt::LeftButton, {}, Center(w.trackGrid, 1, 1));
    EXPECT_TRUE(w.trackGrid->hasFocus());
    return w;
  }
  static QModelIndex Cell(TrackGridView* g, int col, int tableRow) {
    return g->model()->index(tableRow - 1, col);
  }
  static QPoint Center(TrackGridView* g, int col, int tableRow) {
    return g->visualRect(Cell(g, col, tableRow)).center();
  }
  static void Click(TrackGridView* g, int col, int tableRow) {
    QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, Center(g, col, tableRow));
  }
  static void DoubleClick(TrackGridView* g, int col, int tableRow) {
    Click(g, col, tableRow);
    QTest::mouseDClick(g->viewport(), Qt::LeftButton, {}, Center(g, col, tableRow));
  }
  // The cell that is current, as "column,row" of the table.
  static std::string Current(TrackGridView* g) {
    const QModelIndex i = g->currentIndex();
    return std::to_string(i.column()) + "," + std::to_string(i.row() + 1);
  }
  // Keys go where the keyboard focus is, as they do for a user.
  static void Press(int key, Qt::KeyboardModifiers mods = {}) {
    QWidget* target = QApplication::focusWidget();
    ASSERT_NE(target, nullptr);
    QTest::keyClick(target, static_cast<Qt::Key>(key), mods);
    // What the key set off (an editor commits on the next turn) happens.
    QApplication::processEvents();
  }
  static void Type(const QString& text) {
    QTest::keyClicks(QApplication::focusWidget(), text);
    QApplication::processEvents();
  }
  // Right-clicks the grid through the window, as the mouse does, which
  // opens the pop-up menu; returns it once it shows.
  static QMenu* RightClick(MainWindow& w, int col, int tableRow) {
    TrackGridView* g = w.trackGrid;
    const QPoint inWindow = g->viewport()->mapTo(&w, Center(g, col, tableRow));
    QTest::mouseClick(w.windowHandle(), Qt::RightButton, {}, inWindow);
    EXPECT_TRUE(QTest::qWaitFor([g] { return g->gridPopupMenu->isVisible(); }, 2000));
    return g->gridPopupMenu;
  }

  std::unique_ptr<app::Program> program;
};

// The fixed track-number column never becomes current: Left and Home stop
// at the title, a click on a number leaves the current cell, TAB at a row's
// end goes on to the next row's title and Shift+TAB at a row's start back
// to the previous row's artist, and typed text reaches a cell.
TEST_F(GridUser, TheFixedColumnIsNeverCurrent) {
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  ASSERT_EQ(Current(g), "1,1");
  Press(Qt::Key_Left);
  EXPECT_EQ(Current(g), "1,1");
  Press(Qt::Key_Home);
  EXPECT_EQ(Current(g), "1,1");
  Click(g, 0, 2);
  EXPECT_EQ(Current(g), "1,1");
  EXPECT_FALSE(g->Modes().Editing());

  // TAB at the end of row 1 edits the title of row 2; what is typed there
  // lands in that cell.
  Click(g, 2, 1);
  Press(Qt::Key_Tab);
  EXPECT_EQ(Current(g), "1,2");
  ASSERT_TRUE(g->EditorOpen());
  Press(Qt::Key_A, Qt::ControlModifier);
  Type("typed");
  Press(Qt::Key_Return);
  EXPECT_EQ(w.Model().Table().Cell(1, 2), "typed");

  // Shift+TAB at the start of row 2 goes back to the artist of row 1; at
  // the first title it does not land on a number either.
  Press(Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(Current(g), "2,1");
  Press(Qt::Key_Escape);
  Click(g, 1, 1);
  Press(Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_NE(g->currentIndex().column(), 0);
  Press(Qt::Key_Escape);

  // TAB inside an open editor at a row's end moves on the same way.
  Click(g, 1, 2);
  DoubleClick(g, 2, 2);
  ASSERT_TRUE(g->EditorOpen());
  Press(Qt::Key_Tab);
  EXPECT_EQ(Current(g), "1,3");
  EXPECT_TRUE(g->EditorOpen());
  Press(Qt::Key_Escape);

  // The grid copy of the current cell copies that cell.
  Click(g, 2, 3);
  Click(g, 0, 3);
  QMenu* menu = RightClick(w, 0, 3);
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(g->gridCopyAction).center());
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "a3\r\n");
}

// A pop-up item's hint reaches status panel 1 while the item is under the
// pointer, as a main-menu item's does.
TEST_F(GridUser, PopupItemHintsReachStatusPanelOne) {
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  DoubleClick(g, 1, 2);
  ASSERT_TRUE(g->EditorOpen());
  QMenu* menu = RightClick(w, 1, 2);
  struct Row {
    QAction* item;
    const char* hint;
  } rows[] = {
      {g->editorPasteAction, "クリップボードの内容を貼り付ける"},
      {g->editorCutAction, "選択部分を切り取り、クリップボードに送る"},
      {g->editorCopyAction, "選択部分をコピーし、クリップボードに送る"},
  };
  for (const auto& r : rows) {
    QTest::mouseMove(menu, menu->actionGeometry(r.item).center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.hintPanel->text() == QString::fromUtf8(r.hint); }, 1000))
        << r.item->objectName().toStdString() << ": " << w.hintPanel->text().toStdString();
  }
  QTest::keyClick(menu, Qt::Key_Escape);
}

// The in-place editor is one line of one cell: a paste keeps the first
// field of the first line, up to a NUL; it holds a cell's 65,535 bytes.
TEST_F(GridUser, TheEditorKeepsOneLineOfPastedText) {
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  QClipboard* clip = QGuiApplication::clipboard();
  auto& t = w.Model().Table();

  clip->setText(QStringLiteral("first\r\nsecond\r\n"));
  DoubleClick(g, 1, 1);
  ASSERT_TRUE(g->EditorOpen());
  Press(Qt::Key_A, Qt::ControlModifier);
  Press(Qt::Key_V, Qt::ControlModifier);
  Press(Qt::Key_Return);
  EXPECT_EQ(t.Cell(1, 1), "first");

  // Through the pop-up's 貼り付け: a spreadsheet row gives its first cell,
  // and the text ends at a NUL.
  clip->setText(QString::fromUtf8("春\tｱｰﾃｨｽﾄ\n", -1));
  DoubleClick(g, 1, 2);
  Press(Qt::Key_A, Qt::ControlModifier);
  QMenu* menu = RightClick(w, 1, 2);
  ASSERT_TRUE(g->editorPasteAction->isVisible());
  ASSERT_TRUE(g->editorPasteAction->isEnabled());
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(g->editorPasteAction).center());
  Press(Qt::Key_Return);
  EXPECT_EQ(t.Cell(1, 2), "春");

  clip->setText(QString::fromUtf8("ab\0cd", 5));
  DoubleClick(g, 1, 3);
  Press(Qt::Key_A, Qt::ControlModifier);
  Press(Qt::Key_V, Qt::ControlModifier);
  Press(Qt::Key_Return);
  EXPECT_EQ(t.Cell(1, 3), "ab");

  // 40,000 characters survive Enter whole.
  const QString longText(40000, QLatin1Char('x'));
  clip->setText(longText);
  DoubleClick(g, 2, 1);
  Press(Qt::Key_A, Qt::ControlModifier);
  Press(Qt::Key_V, Qt::ControlModifier);
  Press(Qt::Key_Return);
  EXPECT_EQ(t.Cell(2, 1).size(), 40000u);
  // 30,000 kana (90,000 bytes) after an "x" are cut where a cell ends,
  // never inside a character: 1 + 21,844 x 3 bytes.
  clip->setText(QString(30000, QChar(0x3042)));
  DoubleClick(g, 2, 2);
  Press(Qt::Key_A, Qt::ControlModifier);
  Type(QStringLiteral("x"));
  Press(Qt::Key_V, Qt::ControlModifier);
  Press(Qt::Key_Return);
  EXPECT_EQ(t.Cell(2, 2).size(), 65533u);

  // A grid copy of those cells stays one row per track.
  Click(g, 1, 1);
  g->selectionModel()->select(QItemSelection(Cell(g, 1, 1), Cell(g, 1, 3)),
                              QItemSelectionModel::ClearAndSelect);
  menu = RightClick(w, 1, 1);
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(g->gridCopyAction).center());
  EXPECT_EQ(clip->text(), "first\r\n春\r\nab\r\n");
}

// While a command waits for the server: an editor opened before it is
// closed with its text in the cell, and オプション, 受信, 送信 and the server
// menu show disabled (they would do nothing); they come back afterwards.
// The status text the command sets is painted before its box opens.
TEST_F(GridUser, ACommandClosesTheEditorAndDisablesWhatItRefuses) {
  test::CddbdProcess server({"--fault", "query delay 400"});
  {
    settings::SettingsFile ini(dir.File("sonolabel.INI"));
    ini.WriteString("svr0", "host", "127.0.0.1:" + std::to_string(server.Port()));
  }
  MainWindow& w = Window();
  TrackGridView* g = w.trackGrid;
  ASSERT_EQ(w.Core().ServerUrl(), server.Url());

  DoubleClick(g, 1, 2);
  ASSERT_TRUE(g->EditorOpen());
  Press(Qt::Key_A, Qt::ControlModifier);
  Type("typed before");

  // What status panel 0 showed at each of its paints.
  QString painted;
  struct PaintSpy : QObject {
    QString* last;
    QLabel* label;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) *last = label->text();
      return false;
    }
  } spy;
  spy.last = &painted;
  spy.label = w.statusPanel;
  w.statusPanel->installEventFilter(&spy);

  bool checked = false;
  QTimer::singleShot(200, &w, [&] {
    checked = true;
    EXPECT_TRUE(w.Model().CommandRunning());
    EXPECT_FALSE(g->EditorOpen());
    EXPECT_FALSE(g->Modes().Editing());
    EXPECT_EQ(w.Model().Table().Cell(1, 2), "typed before");
    for (MenuId id : {MenuId::Options, MenuId::LookUpDisc, MenuId::SubmitEntry, MenuId::ServerMenu})
      EXPECT_FALSE(w.MenuAction(id)->isEnabled()) << static_cast<int>(id);
    EXPECT_TRUE(w.MenuAction(MenuId::About)->isEnabled());
  });
  QString paintedAtBox;
  modal->Then([&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    EXPECT_EQ(mb->text(), "曲名取得完了しました。");
    paintedAtBox = painted;
    mb->accept();
  });
  // データベース(D) → データベースから受信(R), by the mouse.
  QMenuBar* bar = w.menuBar();
  QAction* e1 = w.MenuAction(MenuId::DatabaseMenu);
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(e1).center());
  QMenu* menu = e1->menu();
  ASSERT_TRUE(QTest::qWaitFor([menu] { return menu->isVisible(); }, 2000));
  QTest::mouseClick(menu, Qt::LeftButton, {},
                    menu->actionGeometry(w.MenuAction(MenuId::LookUpDisc)).center());
  EXPECT_TRUE(QTest::qWaitFor([&] { return modal->AllAnswered() && !w.Model().CommandRunning(); }, 10000));
  EXPECT_TRUE(checked);
  EXPECT_EQ(paintedAtBox, "曲名取得完了");
  for (MenuId id : {MenuId::Options, MenuId::LookUpDisc, MenuId::SubmitEntry, MenuId::ServerMenu})
    EXPECT_TRUE(w.MenuAction(id)->isEnabled()) << static_cast<int>(id);
  w.statusPanel->removeEventFilter(&spy);
}

// Qt's own buttons read in Japanese, like the rest of the window.
TEST_F(GridUser, StandardButtonsReadInJapanese) {
  auto* app = qobject_cast<app::SonolabelApplication*>(QCoreApplication::instance());
  ASSERT_NE(app, nullptr);
  EXPECT_TRUE(app->QtTranslationLoaded());
  QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Yes |
                           QDialogButtonBox::No);
  EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text(), "キャンセル");
  EXPECT_EQ(buttons.button(QDialogButtonBox::Yes)->text(), "はい(&Y)");
  EXPECT_EQ(buttons.button(QDialogButtonBox::No)->text(), "いいえ(&N)");

  auto program2 = MakeProgram();
  MainWindow& w = program2->Window();
  w.show();
  QString yes;
  modal->Then([&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    yes = mb->button(QMessageBox::Yes)->text();
    mb->button(QMessageBox::No)->click();
  });
  EXPECT_EQ(w.Services().QuestionBox("", "?", shell::MsgButtons::YesNo), shell::MsgAnswer::No);
  EXPECT_EQ(yes, "はい(&Y)");
}

}  // namespace
}  // namespace sl::test
