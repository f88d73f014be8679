#include "support/dsmp_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ipc/ipc.h"

namespace sl::test {

PrivateRuntime::PrivateRuntime() {
  env_.Set("XDG_RUNTIME_DIR", dir_.Path().c_str());
  link_.RuntimeDir(dir_.Path());
  ipc::Shutdown();
}

PrivateRuntime::~PrivateRuntime() { ipc::Shutdown(); }

std::string DsmpSimPath() { return std::string(SONOLABEL_BIN_DIR) + "/dsmp-sim"; }

DsmpProcess::DsmpProcess(const std::string& stateJson, const std::string& extraArg) {
  statePath_ = dir_.File("state.json");
  WriteFileBytes(statePath_, stateJson);
  const std::string program = DsmpSimPath();
  const std::string log = dir_.File("log");
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args{program, "--state", statePath_};
  if (!extraArg.empty()) {
    args.push_back("--class");
    args.push_back(extraArg);
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(pipeFds[0], 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out >= 0) ::dup2(out, 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[0]);
  stdin_ = pipeFds[1];
  const bool up = ipc::PumpUntil(
      [this] {
        main_ = ipc::FindWindowOfProcess(pid_);
        return main_ != 0 || Exited();
      },
      5000);
  if (!up || main_ == 0) throw std::runtime_error("dsmp-sim did not start: " + Log());
}

DsmpProcess::~DsmpProcess() {
  Stop();
  if (stdin_ >= 0) ::close(stdin_);
}

platform::Json DsmpProcess::State() const {
  auto r = platform::ReadJson(ReadFileBytes(statePath_));
  return r.value ? std::move(*r.value) : platform::Json();
}

void DsmpProcess::Command(const std::string& line) {
  if (stdin_ < 0) return;
  const std::string text = line + "\n";
  if (::write(stdin_, text.data(), text.size()) < 0) {
    // The player is gone; the test sees that elsewhere.
  }
}

bool DsmpProcess::Sync(int timeoutMs) {
  const std::string token = "sync-" + std::to_string(++syncCount_);
  Command("echo " + token);
  return ipc::PumpUntil([&] { return Log().find(token + "\n") != std::string::npos; }, timeoutMs);
}

std::string DsmpProcess::Log() const { return ReadFileBytes(dir_.File("log")); }

bool DsmpProcess::Exited() {
  if (pid_ <= 0) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return true;
  }
  return false;
}

void DsmpProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 300 && !Exited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

}  // namespace sl::test
