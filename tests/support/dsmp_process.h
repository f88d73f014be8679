// Runs dsmp-sim, the reference player, as its own process for a test: with a
// state file written from JSON, commands fed to its standard input and its
// event log captured. PrivateRuntime gives a test its own IPC folder so
// tests never see each other's players.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/bounded_json.h"
#include "support/recorder.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"

namespace sl::test {

// A private runtime folder for the IPC, for the life of the object: this
// process's IPC uses it, and XDG_RUNTIME_DIR names it for the players the
// test starts.
class PrivateRuntime {
 public:
  PrivateRuntime();
  ~PrivateRuntime();
  const std::string& Path() const { return dir_.Path(); }

 private:
  TempDir dir_;
  ScopedEnv env_;
  ScopedLinkSettings link_;
};

std::string DsmpSimPath();

class DsmpProcess {
 public:
  // `stateJson` is written to a state file in a temporary folder; the
  // player is started and waited for (its window shows).
  explicit DsmpProcess(const std::string& stateJson, const std::string& extraArg = {});
  ~DsmpProcess();
  DsmpProcess(const DsmpProcess&) = delete;
  DsmpProcess& operator=(const DsmpProcess&) = delete;

  pid_t Pid() const { return pid_; }
  unsigned MainWindow() const { return main_; }
  const std::string& StatePath() const { return statePath_; }
  // The state file as the player last wrote it.
  platform::Json State() const;
  // One command line on its standard input; Sync() waits until it has run.
  void Command(const std::string& line);
  bool Sync(int timeoutMs = 5000);
  std::string Log() const;
  // Ends the player (SIGTERM) and waits for it; true when it had exited
  // already or exits now.
  void Stop();
  bool Exited();

 private:
  TempDir dir_;
  std::string statePath_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  unsigned main_ = 0;
  int syncCount_ = 0;
};

}  // namespace sl::test
