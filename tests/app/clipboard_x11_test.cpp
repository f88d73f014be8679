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

#include "app/formmain.h"
#include "app_fixture.h"

namespace sl::test {
namespace {

const char* kRoleVar = "SONOLABEL_CLIPBOARD_ROLE";
const char* kDirVar = "SONOLABEL_CLIPBOARD_DIR";

bool IsRole(const char* role) {
  const char* v = std::getenv(kRoleVar);
  return v != nullptr && std::string(v) == role;
}

QString Shared(const char* name) { return QString::fromLocal8Bit(std::getenv(kDirVar)) + "/" + name; }

// Runs the event loop until `file` exists, at most `ms` milliseconds.
bool WaitForFile(const QString& file, int ms) {
  QElapsedTimer t;
  t.start();
  while (!QFile::exists(file)) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    ::usleep(5000);
  }
  return true;
}

void Touch(const QString& file, const QByteArray& bytes = {}) {
  QFile f(file);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

TEST(ClipboardX11, GridExchangesTextWithAnotherProgram) {
  if (std::getenv(kRoleVar)) GTEST_SKIP() << "inside the clipboard run";
  if (::access("/usr/bin/xvfb-run", X_OK) != 0) GTEST_SKIP() << "xvfb-run is not installed";
  TempDir dir;
  // On a real display Qt loads the desktop's D-Bus library, which keeps an
  // allocation to the end of the process; a sanitizer build must not count
  // that as this program's leak.
  WriteFileBytes(dir.File("lsan.supp"), "leak:libdbus-1.so\n");
  const std::string cmd = "env " + std::string(kRoleVar) + "=grid " + kDirVar + "='" + dir.Path() +
                          "' LSAN_OPTIONS='suppressions=" + dir.File("lsan.supp") +
                          ":print_suppressions=0' SONOLABEL_TEST_QPA=xcb xvfb-run -a -s "
                          "'-screen 0 1024x768x24' '" +
                          SelfPath() + "' --gtest_filter=ClipboardX11Child.Grid 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
  EXPECT_EQ(out.find("SKIPPED"), std::string::npos) << out;
}

class ClipboardX11Child : public AppTest {};

TEST_F(ClipboardX11Child, Grid) {
  if (!IsRole("grid")) GTEST_SKIP() << "run by ClipboardX11.GridExchangesTextWithAnotherProgram";
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  auto program = MakeProgram();
  app::TFormMain& w = program->FormMain();
  ShowWithTitles(w);
  auto& t = w.Model().Table();
  app::TrackGridView* g = w.StringGrid1;
  auto select = [g](int left, int top, int right, int bottom) {
    const QModelIndex a = g->model()->index(top - 1, left), b = g->model()->index(bottom - 1, right);
    g->setCurrentIndex(a);
    g->selectionModel()->select(QItemSelection(a, b), QItemSelectionModel::ClearAndSelect);
  };
  select(1, 1, 2, 2);
  g->ActionCopy->trigger();

  // The other program reads what the grid copied, then puts its own
  // spreadsheet text on the clipboard and keeps serving it.
  QProcess peer;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(kRoleVar, "peer");
  peer.setProcessEnvironment(env);
  peer.setProcessChannelMode(QProcess::ForwardedChannels);
  peer.start(QString::fromStdString(SelfPath()), {"--gtest_filter=ClipboardX11Peer.Peer"});
  ASSERT_TRUE(peer.waitForStarted(10000));
  ASSERT_TRUE(WaitForFile(Shared("peer-ready"), 20000)) << "the other program did not answer";
  QFile read(Shared("peer-read.txt"));
  ASSERT_TRUE(read.open(QIODevice::ReadOnly));
  EXPECT_EQ(read.readAll(), QByteArray("t1\ta1\r\nt2\ta2\r\n"));

  // The X server tells this program that it lost the clipboard by an event
  // that may still be on its way (slowly, under a sanitizer): wait until
  // the clipboard gives the other program's text before pasting.
  QElapsedTimer owned;
  owned.start();
  while (!QGuiApplication::clipboard()->text().startsWith(QStringLiteral("春の歌")) && owned.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    ::usleep(5000);
  }

  // Its three rows go into a two-row selection starting at row 2.
  select(1, 2, 2, 3);
  g->ActionPaste->trigger();
  EXPECT_EQ(t.Cell(1, 1), "t1");
  EXPECT_EQ(t.Cell(1, 2), "春の歌");
  EXPECT_EQ(t.Cell(2, 2), "ｱｰﾃｨｽﾄ");
  EXPECT_EQ(t.Cell(1, 3), "Two");
  EXPECT_EQ(t.Cell(2, 3), "a3");  // "Two\t" leaves the artist cell as it was
  EXPECT_EQ(t.RowCount(), 4);

  Touch(Shared("done"));
  EXPECT_TRUE(peer.waitForFinished(20000));
  EXPECT_EQ(peer.exitCode(), 0);
}

TEST(ClipboardX11Peer, Peer) {
  if (!IsRole("peer")) GTEST_SKIP() << "run by ClipboardX11Child.Grid";
  EnsureQtApp();
  ASSERT_EQ(QGuiApplication::platformName(), "xcb");
  QClipboard* clip = QGuiApplication::clipboard();
  QString text;
  for (int i = 0; i < 100 && text.isEmpty(); ++i) {
    text = clip->text();
    if (text.isEmpty()) QApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  Touch(Shared("peer-read.txt"), text.toUtf8());
  clip->setText(QStringLiteral("春の歌\tｱｰﾃｨｽﾄ\nTwo\t\nThree\tC\n"));
  QApplication::processEvents();
  Touch(Shared("peer-ready"));
  EXPECT_TRUE(WaitForFile(Shared("done"), 20000));
}

}  // namespace
}  // namespace sl::test
