// Processes and the registry: starting the player and waiting until it
// shows a window, ending it, collecting the exit status of started
// processes, and the registry values that name the player's program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "ipc/ipc.h"
#include "ipc/node.h"
#include "platform/pump.h"

namespace sl::ipc {

using namespace detail;

namespace detail {

void ReapChildren(Node& n) {
  for (auto it = n.children.begin(); it != n.children.end();) {
    int status = 0;
    const pid_t r = ::waitpid(*it, &status, WNOHANG);
    if (r == *it || (r < 0 && errno == ECHILD)) it = n.children.erase(it);
    else ++it;
  }
}

}  // namespace detail

namespace {

// The player's program as the configuration names it ("" when unset).
std::string ConfiguredPlayerProgram() { return CurrentSettings().playerProgram; }

}  // namespace

pid_t StartProcess(const std::string& program, const std::string& params, const std::string& workDir) {
  if (program.empty()) return -1;
  std::vector<std::string> args{program};
  std::string cur;
  bool quoted = false, have = false;
  for (char c : params) {
    if (c == '"') {
      quoted = !quoted;
      have = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (have) args.push_back(cur);
      cur.clear();
      have = false;
    } else {
      cur.push_back(c);
      have = true;
    }
    if (args.size() > 256) return -1;
  }
  if (have) args.push_back(cur);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t pid = ::fork();
  if (pid < 0) {
    if (devnull >= 0) ::close(devnull);
    return -1;
  }
  if (pid == 0) {
    // The player gets no standard handles of ours.
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(127);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (devnull >= 0) ::close(devnull);
  RawNode().children.push_back(pid);
  return pid;
}

bool WaitForInputIdle(pid_t pid, int timeoutMs) {
  if (pid <= 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (FindWindowOfProcess(pid) != 0) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD && !ProcessAlive(pid))) {
      auto& ch = RawNode().children;
      ch.erase(std::remove(ch.begin(), ch.end(), pid), ch.end());
      return false;
    }
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    platform::ProcessMessages();
    ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, 5)));
  }
}

bool EndProcess(pid_t pid, int graceMs) {
  auto& ch = RawNode().children;
  if (pid <= 0 || std::find(ch.begin(), ch.end(), pid) == ch.end()) return false;
  auto reaped = [&] {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
  };
  bool gone = false;
  if (::kill(pid, SIGTERM) != 0 && errno == ESRCH) {
    reaped();
    gone = true;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, graceMs));
  while (!gone && Clock::now() < deadline) {
    if (reaped()) gone = true;
    else ::poll(nullptr, 0, 5);
  }
  if (!gone) {
    ::kill(pid, SIGKILL);
    // SIGKILL cannot be caught; the process ends as soon as the kernel lets it.
    const auto hard = Clock::now() + std::chrono::seconds(2);
    while (!gone && Clock::now() < hard) {
      if (reaped()) gone = true;
      else ::poll(nullptr, 0, 5);
    }
  }
  // One not reaped yet stays listed, for ReapChildren.
  if (gone) ch.erase(std::remove(ch.begin(), ch.end(), pid), ch.end());
  return gone;
}

std::optional<std::string> ReadRegistryDefault(RegistryRoot root, std::string_view subkey) {
  auto ieq = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      char x = a[i], y = b[i];
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
      if (x != y) return false;
    }
    return true;
  };
  const bool known = (root == RegistryRoot::LocalMachine &&
                      ieq(subkey, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\DSMP.EXE")) ||
                     (root == RegistryRoot::CurrentUser && ieq(subkey, "Software\\DELTA\\DSMP"));
  if (!known) return std::nullopt;
  std::string program = ConfiguredPlayerProgram();
  if (program.empty()) return std::nullopt;
  return program;
}

}  // namespace sl::ipc
