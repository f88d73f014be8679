// The match dialog and the Qt shell services (message box, input box, busy
// cursor), driven as a user would while they run modally.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QToolTip>

#include "app/mainwindow.h"
#include "app/matchdialog.h"
#include "app/program.h"
#include "app/qtservices.h"
#include "app_fixture.h"

namespace sl::test {
namespace {

using app::MatchDialog;

class Dialogs : public AppTest {};

shell::MatchDialogModel Matches(std::initializer_list<std::array<std::string, 3>> lines) {
  shell::MatchDialogModel m;
  m.rows.assign(1, {});
  for (const auto& line : lines) m.rows.push_back(line);
  return m;
}

void Key(QWidget* target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
}

// Presses, releases and double-clicks grid row `row` (from 0) as a mouse does.
void DoubleClickRow(QTableWidget* grid, int row) {
  const QPoint at = grid->visualRect(grid->model()->index(row, 1)).center();
  QWidget* vp = grid->viewport();
  const QPointF global = vp->mapToGlobal(QPointF(at));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(vp, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(vp, &release);
  QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(at), global, Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
  QApplication::sendEvent(vp, &dbl);
}

TEST_F(Dialogs, MatchDialogLayoutAndChoices) {
  auto program = MakeProgram();
  app::MainWindow& w = program->Window();
  w.show();
  w.move(40, 30);
  shell::ShellServices& services = w.Services();
  auto list = Matches(
      {{"rock", "Artist A", "Title A"}, {"jazz", "Artist B", "Title B"}, {"misc", "Artist C", "Title C"}});

  // First use: check the form while it is up, choose row 2 with OK.
  modal->Then([&](QWidget* widget) {
    auto* d = qobject_cast<MatchDialog*>(widget);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->windowTitle(), "検索結果");
    EXPECT_EQ(d->size(), QSize(490, 345));
    EXPECT_TRUE(d->isModal());
    const Qt::WindowFlags flags = d->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(d->pos(), w.pos());  // takes the main window's top-left corner
    EXPECT_EQ(d->matchPromptLabel->pos(), QPoint(16, 24));
    EXPECT_TRUE(d->matchPromptLabel->font().bold());
    EXPECT_EQ(d->matchPromptLabel->text(),
              "下のリストに該当するタイトルがないとき場合はキャンセルを押してください。");
    QTableWidget* g = d->matchGrid;
    EXPECT_EQ(g->geometry(), QRect(16, 56, 457, 249));
    EXPECT_EQ(g->columnCount(), 3);
    EXPECT_EQ(g->columnWidth(0), 50);
    EXPECT_EQ(g->columnWidth(1), 128);
    EXPECT_EQ(g->columnWidth(2), 256);
    EXPECT_EQ(g->horizontalHeader()->height(), 18);
    EXPECT_TRUE(g->horizontalHeaderItem(0)->text().isEmpty());
    EXPECT_EQ(g->rowHeight(0), 18);
    EXPECT_EQ(g->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(g->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(g->rowCount(), 3);
    EXPECT_EQ(g->item(1, 0)->text(), "jazz");
    EXPECT_EQ(g->item(1, 1)->text(), "Artist B");
    EXPECT_EQ(g->item(2, 2)->text(), "Title C");
    // Resting the pointer on a cell shows its whole text, which the column
    // may cut off.
    {
      const QPoint cell = g->visualItemRect(g->item(1, 1)).center();
      QHelpEvent rest(QEvent::ToolTip, cell, g->viewport()->mapToGlobal(cell));
      QApplication::sendEvent(g->viewport(), &rest);
      EXPECT_EQ(QToolTip::text(), "Artist B");
      QToolTip::hideText();
    }
    EXPECT_EQ(g->currentRow(), 0);  // row 1 preselected the first time
    EXPECT_EQ(d->takeMatchButton->text(), "OK");
    EXPECT_EQ(d->takeMatchButton->geometry(), QRect(320, 312, 75, 25));
    EXPECT_EQ(d->cancelMatchButton->text(), "Cancel");
    EXPECT_EQ(d->cancelMatchButton->geometry(), QRect(400, 312, 75, 25));
    for (QPushButton* b : {d->cancelMatchButton, d->takeMatchButton}) {
      EXPECT_FALSE(b->isDefault());
      EXPECT_FALSE(b->autoDefault());
    }
    // Tab order: Cancel, OK, grid.
    d->activateWindow();
    QApplication::processEvents();
    d->cancelMatchButton->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(QApplication::focusWidget(), d->cancelMatchButton);
    Key(d->cancelMatchButton, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), d->takeMatchButton);
    Key(d->takeMatchButton, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), g);
    g->setCurrentCell(1, 0);
    d->takeMatchButton->click();
  });
  EXPECT_EQ(services.ShowMatchDialog(list), 2);
  EXPECT_EQ(list.currentRow, 2);

  // Second use: row 2 is still current; Escape, Enter and the window's close
  // request do nothing; a double-click on row 3 takes it at once.
  modal->Then([&](QWidget* widget) {
    auto* d = qobject_cast<MatchDialog*>(widget);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->matchGrid->currentRow(), 1);
    Key(d, Qt::Key_Escape);
    Key(d, Qt::Key_Return);
    Key(d->takeMatchButton, Qt::Key_Return);
    d->close();
  });
  modal->Then([&](QWidget* widget) {
    auto* d = qobject_cast<MatchDialog*>(widget);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isVisible()) << "Escape, Enter or close ended the dialog";
    DoubleClickRow(d->matchGrid, 2);
  });
  EXPECT_EQ(services.ShowMatchDialog(list), 3);
  EXPECT_EQ(list.currentRow, 3);

  // Cancel: -1, never a row number; the current row is remembered.
  modal->Then([](QWidget* widget) {
    auto* d = qobject_cast<MatchDialog*>(widget);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->matchGrid->currentRow(), 2);
    d->cancelMatchButton->click();
  });
  EXPECT_EQ(services.ShowMatchDialog(list), -1);
  EXPECT_EQ(list.currentRow, 3);

  // A shorter list: only its rows remain, the current row moves into range.
  auto shorter = Matches({{"folk", "Solo", "Only"}});
  shorter.currentRow = list.currentRow;
  modal->Then([](QWidget* widget) {
    auto* d = qobject_cast<MatchDialog*>(widget);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->matchGrid->rowCount(), 1);
    EXPECT_EQ(d->matchGrid->item(0, 1)->text(), "Solo");
    EXPECT_EQ(d->matchGrid->currentRow(), 0);
    d->takeMatchButton->click();
  });
  EXPECT_EQ(services.ShowMatchDialog(shorter), 1);
  EXPECT_EQ(shorter.currentRow, 1);

  // No lines at all: OK chooses nothing.
  auto none = Matches({});
  modal->Then([](QWidget* widget) {
    auto* d = qobject_cast<MatchDialog*>(widget);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->matchGrid->rowCount(), 0);
    d->takeMatchButton->click();
  });
  EXPECT_EQ(services.ShowMatchDialog(none), -1);
  EXPECT_TRUE(modal->AllAnswered());
}

TEST_F(Dialogs, MatchDialogCutsAnOverlongList) {
  auto program = MakeProgram();
  shell::MatchDialogModel big;
  big.rows.assign(MatchDialog::kMaxMatchRows + 50, {"misc", "a", "t"});
  big.currentRow = MatchDialog::kMaxMatchRows + 20;
  modal->Then([](QWidget* widget) {
    auto* d = qobject_cast<MatchDialog*>(widget);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->matchGrid->rowCount(), MatchDialog::kMaxMatchRows);
    EXPECT_EQ(d->matchGrid->currentRow(), MatchDialog::kMaxMatchRows - 1);
    d->takeMatchButton->click();
  });
  EXPECT_EQ(program->Window().Services().ShowMatchDialog(big), MatchDialog::kMaxMatchRows);
}

TEST_F(Dialogs, MessageInputAndBusyCursor) {
  auto program = MakeProgram();
  app::QtShellServices& services = program->Window().Services();

  const std::pair<shell::MsgIcon, QMessageBox::Icon> icons[] = {
      {shell::MsgIcon::Information, QMessageBox::Information},
      {shell::MsgIcon::Warning, QMessageBox::Warning},
      {shell::MsgIcon::Error, QMessageBox::Critical}};
  for (const auto& [icon, qicon] : icons) {
    modal->Then([qicon = qicon](QWidget* widget) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->icon(), qicon);
      EXPECT_EQ(box->windowTitle(), "Sonolabel");
      EXPECT_EQ(box->text(), "接続できません。");
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      box->accept();
    });
    services.MessageBox(icon, "接続できません。");
  }

  // Input box: OK returns the edited text, Cancel the placeholder.
  modal->Then([](QWidget* widget) {
    auto* box = qobject_cast<QInputDialog*>(widget);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), "E-Mail");
    EXPECT_EQ(box->labelText(), "メールアドレスを入力してください");
    EXPECT_EQ(box->textValue(), "user@host");
    box->setTextValue("me@example.jp");
    box->accept();
  });
  EXPECT_EQ(services.InputBox("E-Mail", "メールアドレスを入力してください", "user@host"), "me@example.jp");
  modal->Then([](QWidget* widget) {
    auto* box = qobject_cast<QInputDialog*>(widget);
    ASSERT_NE(box, nullptr);
    box->setTextValue("typed but cancelled");
    box->reject();
  });
  EXPECT_EQ(services.InputBox("E-Mail", "?", "user@host"), "user@host");
  // The answer is one bounded line.
  modal->Then([](QWidget* widget) {
    auto* edit = widget->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->maxLength(), 1024);
    edit->setText(QString(5000, QLatin1Char('x')));
    qobject_cast<QDialog*>(widget)->accept();
  });
  EXPECT_EQ(services.InputBox("c", "p", "").size(), 1024u);

  // Busy cursor: pushed once per request, popped only as often as pushed.
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  services.SetBusyCursor(true);
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
  services.SetBusyCursor(true);
  services.SetBusyCursor(false);
  EXPECT_NE(QGuiApplication::overrideCursor(), nullptr);
  services.SetBusyCursor(false);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  services.SetBusyCursor(false);  // unmatched: nothing to pop
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(services.BusyDepth(), 0);
}

}  // namespace
}  // namespace sl::test
