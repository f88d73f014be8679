// The grid and another program on the same X display exchange text through
// the real clipboard, as the grid and a spreadsheet do. The test runs this
// program twice under Xvfb with the xcb platform: one copy shows the window
// (the "grid" role), the other stands in for the spreadsheet (the "peer"
// role). Skipped where xvfb-run is not installed.
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <cstdlib>
#include <string>

#include "app/mainwindow.h"
#include "app_fixture.h"
#include "x11_roles.h"

namespace sl::test {
namespace {

const X11Roles kRoles("SONOLABEL_CLIPBOARD_ROLE", "SONOLABEL_CLIPBOARD_DIR");

TEST(ClipboardX11, GridExchangesTextWithAnotherProgram) {
  if (kRoles.InsideARun()) GTEST_SKIP() << "inside the clipboard run";
  if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "xvfb-run is not installed";
  TempDir dir;
  EXPECT_TRUE(kRoles.RunGridUnderXvfb(dir.Path(), "ClipboardX11Child.Grid"));
}

class ClipboardX11Child : public AppTest {};

TEST_F(ClipboardX11Child, Grid) {
  if (!kRoles.IsRole("grid")) GTEST_SKIP() << "run by ClipboardX11.GridExchangesTextWithAnotherProgram";
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  auto program = MakeProgram();
  app::MainWindow& w = program->Window();
  ShowWithTitles(w);
  auto& t = w.Model().Table();
  app::TrackGridView* g = w.trackGrid;
  auto select = [g](int left, int top, int right, int bottom) {
    const QModelIndex a = g->model()->index(top - 1, left), b = g->model()->index(bottom - 1, right);
    g->setCurrentIndex(a);
    g->selectionModel()->select(QItemSelection(a, b), QItemSelectionModel::ClearAndSelect);
  };
  select(1, 1, 2, 2);
  g->gridCopyAction->trigger();

  // The other program reads what the grid copied, then puts its own
  // spreadsheet text on the clipboard and keeps serving it.
  QProcess peer;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(kRoles.RoleVar(), "peer");
  peer.setProcessEnvironment(env);
  peer.setProcessChannelMode(QProcess::ForwardedChannels);
  peer.start(QString::fromStdString(SelfPath()), {"--gtest_filter=ClipboardX11Peer.Peer"});
  ASSERT_TRUE(peer.waitForStarted(10000));
  ASSERT_TRUE(WaitForFile(kRoles.Shared("peer-ready"), 20000)) << "the other program did not answer";
  QFile read(kRoles.Shared("peer-read.txt"));
  ASSERT_TRUE(read.open(QIODevice::ReadOnly));
  EXPECT_EQ(read.readAll(), QByteArray("t1\ta1\r\nt2\ta2\r\n"));

  // The X server tells this program that it lost the clipboard by an event
  // that may still be on its way (slowly, under a sanitizer): wait until
  // the clipboard gives the other program's text before pasting.
  QElapsedTimer owned;
  owned.start();
  while (!QGuiApplication::clipboard()->text().startsWith(QStringLiteral("春の歌")) &&
         owned.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    ::usleep(5000);
  }

  // Its three rows go into a two-row selection starting at row 2.
  select(1, 2, 2, 3);
  g->gridPasteAction->trigger();
  EXPECT_EQ(t.Cell(1, 1), "t1");
  EXPECT_EQ(t.Cell(1, 2), "春の歌");
  EXPECT_EQ(t.Cell(2, 2), "ｱｰﾃｨｽﾄ");
  EXPECT_EQ(t.Cell(1, 3), "Two");
  EXPECT_EQ(t.Cell(2, 3), "a3");  // "Two\t" leaves the artist cell as it was
  EXPECT_EQ(t.RowCount(), 4);

  Touch(kRoles.Shared("done"));
  EXPECT_TRUE(peer.waitForFinished(20000));
  EXPECT_EQ(peer.exitCode(), 0);
}

TEST(ClipboardX11Peer, Peer) {
  if (!kRoles.IsRole("peer")) GTEST_SKIP() << "run by ClipboardX11Child.Grid";
  EnsureQtApp();
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  QClipboard* clip = QGuiApplication::clipboard();
  QString text;
  for (int i = 0; i < 100 && text.isEmpty(); ++i) {
    text = clip->text();
    if (text.isEmpty()) QApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  Touch(kRoles.Shared("peer-read.txt"), text.toUtf8());
  clip->setText(QStringLiteral("春の歌\tｱｰﾃｨｽﾄ\nTwo\t\nThree\tC\n"));
  QApplication::processEvents();
  Touch(kRoles.Shared("peer-ready"));
  EXPECT_TRUE(WaitForFile(kRoles.Shared("done"), 20000));
}

}  // namespace
}  // namespace sl::test
