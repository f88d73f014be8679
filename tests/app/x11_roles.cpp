#include "x11_roles.h"

#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <cstdlib>

#include "support/recorder.h"

namespace sl::test {

bool X11Roles::InsideARun() const { return std::getenv(roleVar_) != nullptr; }

bool X11Roles::IsRole(const char* role) const {
  const char* v = std::getenv(roleVar_);
  return v != nullptr && std::string(v) == role;
}

QString X11Roles::Shared(const char* name) const {
  return QString::fromLocal8Bit(std::getenv(dirVar_)) + "/" + name;
}

::testing::AssertionResult X11Roles::RunGridUnderXvfb(const std::string& dir,
                                                      const std::string& filter) const {
  // On a real display Qt loads the desktop's D-Bus library, which keeps an
  // allocation to the end of the process; a sanitizer build must not count
  // that as this program's leak.
  const std::string supp = dir + "/lsan.supp";
  WriteFileBytes(supp, "leak:libdbus-1.so\n");
  const std::string cmd = "env " + std::string(roleVar_) + "=grid " + dirVar_ + "='" + dir +
                          "' LSAN_OPTIONS='suppressions=" + supp +
                          ":print_suppressions=0' SONOLABEL_TEST_QPA=xcb xvfb-run -a -s "
                          "'-screen 0 1024x768x24' '" +
                          SelfPath() + "' --gtest_filter=" + filter + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return ::testing::AssertionFailure() << "cannot start xvfb-run";
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) return ::testing::AssertionFailure() << out;
  if (out.find("[  PASSED  ] 1 test") == std::string::npos) return ::testing::AssertionFailure() << out;
  if (out.find("SKIPPED") != std::string::npos) return ::testing::AssertionFailure() << out;
  return ::testing::AssertionSuccess();
}

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

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

void Touch(const QString& file, const QByteArray& bytes) {
  QFile f(file);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

}  // namespace sl::test
