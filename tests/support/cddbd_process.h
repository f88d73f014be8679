// Runs the local CDDB server program on loopback for a test, on a private
// copy of the demo entries, and stops it again.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/recorder.h"

namespace sl::test {

class CddbdProcess {
 public:
  // `extraArgs` go to the server as they are (e.g. "--fault", "RULE").
  explicit CddbdProcess(std::vector<std::string> extraArgs = {});
  ~CddbdProcess();
  CddbdProcess(const CddbdProcess&) = delete;
  CddbdProcess& operator=(const CddbdProcess&) = delete;

  int Port() const { return port_; }
  std::string Url() const;  // "http://127.0.0.1:PORT/~cddb/cddb.cgi?"
  const std::string& Root() const { return root_; }
  std::string Log() const;  // the raw request log so far

 private:
  TempDir dir_;
  std::string root_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace sl::test
