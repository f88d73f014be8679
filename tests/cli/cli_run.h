// Runs sonolabel-cli as a user would, for the command-line tests: the
// simulated drives file, settings file and cdplayer.ini folder of a test's
// own folder, stdin empty, stderr into a file of that folder.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/recorder.h"

namespace sl::test {

struct Result {
  int status = -1;
  std::string out;
};

// `env` holds further assignments (or `-u NAME`) for env(1), placed before
// the test folder's own.
inline Result RunCli(const TempDir& dir, const std::string& args, const std::string& env = "",
                     const std::string& aspi = "sim") {
  const std::string cmd = "env " + env + " SONOLABEL_ASPI='" + aspi + "' SONOLABEL_SIM_DRIVES='" +
                          dir.File("drives.ini") + "' SONOLABEL_INI='" + dir.File("s.INI") +
                          "' SONOLABEL_WINDIR='" + dir.Path() + "' '" + SONOLABEL_BIN_DIR +
                          "/sonolabel-cli' " + args + " 2>'" + dir.File("stderr") + "' </dev/null";
  Result r;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace sl::test
