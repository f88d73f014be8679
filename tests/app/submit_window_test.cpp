// The submit command from the window's menu: the window stays live but
// read-only while the post waits, the busy cursor comes back, and the status
// panel shows what the server said.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "app/mainwindow.h"
#include "app_fixture.h"
#include "support/cddbd_process.h"

namespace sl::test {
namespace {

class SubmitWindow : public AppTest {};

TEST_F(SubmitWindow, ReadOnlyWhileThePostWaitsThenTheServersAnswer) {
  CddbdProcess server({"--fault", "submit delay 400"});
  WriteFileBytes(dir.File("sonolabel.INI"),
                 "[tunedex]\r\nemail=tester@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                 "submitemail=submit@example.com\r\n[svr0]\r\nhost=127.0.0.1:" +
                     std::to_string(server.Port()) + "\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n");
  auto program = MakeProgram();
  app::MainWindow& w = program->Window();
  w.show();
  w.PickDrive(0);
  auto& t = w.Model().Table();
  t.SetCategory("blues");  // a new entry: the demo database has this disc in rock
  t.SetArtist("Artist");
  t.SetTitle("Title");
  for (int row = 1; row <= 3; ++row) t.SetCell(1, row, "Song " + std::to_string(row));
  w.SyncFromModel();
  ASSERT_TRUE(w.MenuAction(shell::MenuId::SubmitEntry)->isEnabled());

  bool checked = false;
  QTimer::singleShot(150, &w, [&] {
    checked = true;
    EXPECT_TRUE(w.Model().CommandRunning());
    EXPECT_EQ(w.statusPanel->text(), "送信中");
    EXPECT_EQ(w.Services().BusyDepth(), 1);
    EXPECT_TRUE(w.artistEdit->isReadOnly());
    QGuiApplication::clipboard()->setText(QStringLiteral("late"));
    w.trackGrid->setCurrentIndex(w.trackGrid->model()->index(0, 1));
    w.trackGrid->gridPasteAction->trigger();
    EXPECT_EQ(t.Cell(1, 1), "Song 1");
  });
  w.MenuAction(shell::MenuId::SubmitEntry)->trigger();
  EXPECT_TRUE(checked);
  EXPECT_EQ(w.statusPanel->text(), "200 OK, submission has been sent.");
  EXPECT_EQ(w.Services().BusyDepth(), 0);
  EXPECT_FALSE(w.artistEdit->isReadOnly());
}

TEST_F(SubmitWindow, AFailedCheckShowsItsBox) {
  auto program = MakeProgram();
  app::MainWindow& w = program->Window();
  w.show();
  w.PickDrive(0);
  QString text;
  modal->Then([&](QWidget* box) {
    text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text();
    static_cast<QDialog*>(box)->accept();
  });
  w.MenuAction(shell::MenuId::SubmitEntry)->trigger();
  EXPECT_TRUE(modal->AllAnswered());
  // Nothing filled in: the titles are missing and no category is chosen.
  EXPECT_EQ(text,
            "入力漏れがあるか全角文字があります。\nカテゴリ「」はCDDBのカテゴリ（blues, classical, country, "
            "data, folk, jazz, misc, newage, reggae, rock, soundtrack）ではありません。");
  EXPECT_EQ(w.statusPanel->text(), "曲情報が不適切です");
}

}  // namespace
}  // namespace sl::test
