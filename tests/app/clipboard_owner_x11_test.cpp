// The grid against another program that holds the clipboard: a large text
// and an owner that has stopped answering. Under Xvfb with the xcb platform,
// this program runs twice: one copy shows the window, the other owns the
// clipboard and is stopped (SIGSTOP) half-way. Skipped where xvfb-run is not
// installed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QTest>
#include <cstdlib>
#include <string>

#include "app/clipboardreader.h"
#include "app/mainwindow.h"
#include "app_fixture.h"
#include "x11_roles.h"

namespace sl::test {
namespace {

const X11Roles kRoles("SONOLABEL_CLIPOWNER_ROLE", "SONOLABEL_CLIPOWNER_DIR");
constexpr int kLines = 700000;  // about 10 MB of spreadsheet text

QString BigText() {
  QString text;
  text.reserve(kLines * 16);
  for (int i = 0; i < kLines; ++i) text += QStringLiteral("L%1c1\tL%1c2\n").arg(i);
  return text;
}

TEST(ClipboardOwnerX11, LargeTextAndAStoppedOwner) {
  if (kRoles.InsideARun()) GTEST_SKIP() << "inside the clipboard run";
  if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "xvfb-run is not installed";
  TempDir dir;
  EXPECT_TRUE(kRoles.RunGridUnderXvfb(dir.Path(), "ClipboardOwnerX11Child.Grid"));
}

class ClipboardOwnerX11Child : public AppTest {};

TEST_F(ClipboardOwnerX11Child, Grid) {
  if (!kRoles.IsRole("grid")) GTEST_SKIP() << "run by ClipboardOwnerX11.LargeTextAndAStoppedOwner";
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  auto program = MakeProgram();
  app::MainWindow& w = program->Window();
  ShowWithTitles(w);
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  app::TrackGridView* g = w.trackGrid;
  auto& t = w.Model().Table();
  auto center = [g](int col, int row) { return g->visualRect(g->model()->index(row - 1, col)).center(); };
  // A right-click through the window; returns how long the menu took.
  auto rightClick = [&](int col, int row) {
    QElapsedTimer shown;
    shown.start();
    QTest::mouseClick(w.windowHandle(), Qt::RightButton, {}, g->viewport()->mapTo(&w, center(col, row)));
    EXPECT_TRUE(QTest::qWaitFor([g] { return g->gridPopupMenu->isVisible(); }, 20000));
    return shown.elapsed();
  };
  auto pick = [g](QAction* item) {
    QTest::mouseClick(g->gridPopupMenu, Qt::LeftButton, {}, g->gridPopupMenu->actionGeometry(item).center());
  };

  QProcess owner;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(kRoles.RoleVar(), "owner");
  owner.setProcessEnvironment(env);
  owner.setProcessChannelMode(QProcess::ForwardedChannels);
  owner.start(QString::fromStdString(SelfPath()), {"--gtest_filter=ClipboardOwnerX11Owner.Owner"});
  ASSERT_TRUE(owner.waitForStarted(10000));
  ASSERT_TRUE(WaitForFile(kRoles.Shared("owner-ready"), 30000)) << "the other program did not start";
  QElapsedTimer lost;
  lost.start();
  while (QGuiApplication::clipboard()->ownsClipboard() && lost.elapsed() < 10000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);

  // The whole 10 MB arrives (in pieces), and a paste takes what the
  // selection holds. The right-click itself reads nothing.
  const app::ClipboardRead whole = app::ReadClipboardText(QClipboard::Clipboard);
  EXPECT_EQ(whole.result, app::ClipboardRead::Result::Text);
  EXPECT_TRUE(whole.text == BigText()) << whole.text.size();
  g->setCurrentIndex(g->model()->index(0, 1));
  g->selectionModel()->select(QItemSelection(g->model()->index(0, 1), g->model()->index(1, 2)),
                              QItemSelectionModel::ClearAndSelect);
  EXPECT_LT(rightClick(1, 1), 300);
  pick(g->gridPasteAction);
  EXPECT_EQ(t.Cell(1, 1), "L0c1");
  EXPECT_EQ(t.Cell(2, 2), "L1c2");
  EXPECT_EQ(t.Cell(1, 3), "t3");

  // The owner stops answering: the menu still opens at once, and a paste
  // gives up after its bound with a message, changing nothing.
  ::kill(static_cast<pid_t>(owner.processId()), SIGSTOP);
  QStringList messages;
  auto answer = [&](QWidget* box) {
    auto* mb = qobject_cast<QMessageBox*>(box);
    ASSERT_NE(mb, nullptr);
    messages << mb->text();
    mb->accept();
  };
  modal->Then(answer);
  EXPECT_LT(rightClick(1, 3), 300);
  QElapsedTimer paste;
  paste.start();
  pick(g->gridPasteAction);
  EXPECT_TRUE(QTest::qWaitFor([&] { return modal->AllAnswered(); }, 10000));
  EXPECT_LT(paste.elapsed(), 4000);
  EXPECT_EQ(t.Cell(1, 1), "L0c1");

  // Ctrl+V in the editor alike.
  modal->Then(answer);
  QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, center(1, 3));
  QTest::mouseDClick(g->viewport(), Qt::LeftButton, {}, center(1, 3));
  ASSERT_TRUE(g->EditorOpen());
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_V, Qt::ControlModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return modal->AllAnswered(); }, 10000));
  ASSERT_EQ(messages.size(), 2);
  for (const QString& m : messages)
    EXPECT_EQ(m,
              "クリップボードを読み取れませんでした。クリップボードの内容を持つプログラムが応答しません。");
  if (g->Editor()) {
    EXPECT_EQ(g->Editor()->text(), "t3");
  }

  ::kill(static_cast<pid_t>(owner.processId()), SIGCONT);
  Touch(kRoles.Shared("done"));
  EXPECT_TRUE(owner.waitForFinished(30000));
  EXPECT_EQ(owner.exitCode(), 0);
}

TEST(ClipboardOwnerX11Owner, Owner) {
  if (!kRoles.IsRole("owner")) GTEST_SKIP() << "run by ClipboardOwnerX11Child.Grid";
  EnsureQtApp();
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  QGuiApplication::clipboard()->setText(BigText());
  QApplication::processEvents();
  Touch(kRoles.Shared("owner-ready"));
  EXPECT_TRUE(WaitForFile(kRoles.Shared("done"), 60000));
}

}  // namespace
}  // namespace sl::test
