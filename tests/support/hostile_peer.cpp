#include "support/hostile_peer.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ipc/ipc.h"

namespace sl::test {

namespace {

void PutU32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

std::string Hello() {
  std::string s;
  PutU32(s, 11);
  s.push_back(1);         // hello
  PutU32(s, 0x50494C53);  // "SLIP"
  s.push_back(1);         // wire version 1, little-endian
  s.push_back(0);
  PutU32(s, static_cast<std::uint32_t>(::getpid()));
  return s;
}

std::string SendRequest(std::uint32_t seq, std::uint32_t window) {
  std::string s;
  PutU32(s, 21);
  s.push_back(3);  // send
  PutU32(s, seq);
  PutU32(s, window);
  PutU32(s, 0x7777);  // a message no window procedure knows: answered 0
  PutU32(s, 0);
  PutU32(s, 0);
  return s;
}

bool SendAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

// The child: never returns.
[[noreturn]] void RunChild(const std::string& path, const HostileScript& script, int report) {
  // Keep none of the parent's descriptors: its connections must end when
  // the parent closes them.
  if (::dup2(report, 3) != 3) ::_exit(6);
  report = 3;
  ::close_range(4, ~0U, 0);
  ::signal(SIGPIPE, SIG_IGN);
  if (script.asNobody) {
    uid_t uid;
    gid_t gid;
    if (!NobodyIds(uid, gid) || ::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
      ::_exit(4);
  }
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  const int count = script.kind == HostileScript::kNeverReads ? 1 : std::clamp(script.connections, 1, 8000);
  std::vector<int> fds;
  int firstError = 0;
  const std::string hello = Hello();
  const std::string half = [] {
    std::string s;
    PutU32(s, static_cast<std::uint32_t>(ipc::kMaxFrameBytes));
    s.push_back(2);  // a post, never completed
    s.append(ipc::kMaxFrameBytes - 2, 'x');
    return s;
  }();
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      if (!firstError) firstError = errno;
      break;
    }
    timeval tv{0, 300000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (!firstError) firstError = errno;
      ::close(fd);
      continue;
    }
    fds.push_back(fd);
    if (script.kind != HostileScript::kIdle) SendAll(fd, hello.data(), hello.size());
    if (script.kind == HostileScript::kHalfFrames) SendAll(fd, half.data(), half.size());
  }
  const int counts[2] = {static_cast<int>(fds.size()), firstError};
  if (::write(report, counts, sizeof counts) != static_cast<ssize_t>(sizeof counts)) ::_exit(5);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(script.holdMs);
  if (script.kind == HostileScript::kNeverReads && !fds.empty()) {
    std::uint32_t seq = 1;
    while (std::chrono::steady_clock::now() < until) {
      const std::string req = SendRequest(seq++, script.window);
      if (!SendAll(fds[0], req.data(), req.size()) && errno != EAGAIN && errno != EWOULDBLOCK) break;
    }
  }
  // Hold the connections until stopped or the time is up.
  while (std::chrono::steady_clock::now() < until) ::poll(nullptr, 0, 50);
  ::_exit(0);
}

}  // namespace

bool NobodyIds(uid_t& uid, gid_t& gid) {
  const passwd* pw = ::getpwnam("nobody");
  if (!pw) return false;
  uid = pw->pw_uid;
  gid = pw->pw_gid;
  return true;
}

HostilePeer::HostilePeer(const std::string& runtimeDir, pid_t target, const HostileScript& script) {
  const std::string path = runtimeDir + "/sonolabel-ipc/n" + std::to_string(target);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::close(fds[0]);
    RunChild(path, script, fds[1]);
  }
  ::close(fds[1]);
  // The child talks to this process's node: keep serving it while it
  // connects, or it would wait on a full backlog.
  int counts[2] = {0, 0};
  std::size_t got = 0;
  ipc::PumpUntil(
      [&] {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        const ssize_t k = ::read(fds[0], reinterpret_cast<char*>(counts) + got, sizeof counts - got);
        if (k <= 0) return true;  // the child ended early
        got += static_cast<std::size_t>(k);
        return got == sizeof counts;
      },
      60000);
  ::close(fds[0]);
  connected_ = counts[0];
  firstError_ = counts[1];
}

HostilePeer::~HostilePeer() { Stop(); }

void HostilePeer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++count;
    ::closedir(d);
  }
  return count - 2;  // "." and ".."
}

long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

}  // namespace sl::test
