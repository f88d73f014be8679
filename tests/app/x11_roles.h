// Window tests that need a real X display and a second X client run this
// test program twice under Xvfb: the parent test starts the copy that shows
// the window (the "grid" role), and that copy starts the other client. The
// two copies meet through files in a shared folder.
#pragma once

#include <gtest/gtest.h>
#include <QByteArray>
#include <QString>
#include <string>

namespace sl::test {

class X11Roles {
 public:
  // `roleVar` names the environment variable that carries a copy's role,
  // `dirVar` the one that carries the shared folder.
  X11Roles(const char* roleVar, const char* dirVar) : roleVar_(roleVar), dirVar_(dirVar) {}

  const char* RoleVar() const { return roleVar_; }
  const char* DirVar() const { return dirVar_; }
  bool InsideARun() const;
  bool IsRole(const char* role) const;
  // A file in the shared folder.
  QString Shared(const char* name) const;
  // Runs the test `filter` of this program as the "grid" role under
  // xvfb-run with the xcb platform, `dir` as the shared folder; succeeds
  // when that copy ran its one test and passed it.
  ::testing::AssertionResult RunGridUnderXvfb(const std::string& dir, const std::string& filter) const;

 private:
  const char* roleVar_;
  const char* dirVar_;
};

// This test program's own path.
std::string SelfPath();
// Runs the event loop until `file` exists, at most `ms` milliseconds.
bool WaitForFile(const QString& file, int ms);
void Touch(const QString& file, const QByteArray& bytes = {});

}  // namespace sl::test
