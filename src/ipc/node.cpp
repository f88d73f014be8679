// This process's node: opening it under the runtime folder (socket, wake-up
// descriptors, marker files), handing queued requests to windows and
// objects, and shutting it down.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ipc/ipc.h"
#include "ipc/node.h"
#include "platform/pump.h"

namespace sl::ipc {
namespace detail {

std::uint64_t NextSerial() {
  static std::uint64_t next = 16;
  return next++;
}
std::uint32_t NextSeq() {
  static std::uint32_t next = 1;
  if (next == 0) next = 1;
  return next++;
}
Node& RawNode() {
  // Never destroyed: object references may be released during exit.
  static Node* node = new Node;
  return *node;
}

namespace {
void Open(Node& n);

// The settings in effect (Configure), guarded: any thread may ask for the
// time-out.
std::mutex& SettingsLock() {
  static std::mutex lock;
  return lock;
}
LinkSettings& SettingsInEffect() {
  static LinkSettings settings;
  return settings;
}

// The runtime folder the node lives under, as configured ("" when unset).
std::string RuntimeFolder() {
  const std::lock_guard<std::mutex> hold(SettingsLock());
  return SettingsInEffect().runtimeDir;
}

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

}  // namespace

Node& N() {
  Node& n = RawNode();
  const std::string runtime = RuntimeFolder();
  if (!n.opened || (!n.ok && runtime != n.runtime)) Open(n);
  return n;
}

std::string NodePath(const Node& n, pid_t pid) { return n.dir + "/n" + std::to_string(pid); }
std::string HandlePath(const Node& n, Handle h) { return n.dir + "/h" + Hex8(h); }
std::string TopPath(const Node& n, Handle h, const std::string& cls) {
  return n.dir + "/t" + Hex8(h) + "." + cls;
}
std::string GuidKey(const Guid& g) {
  std::string s;
  for (auto b : g.bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}
std::string ClassPath(const Node& n, const Guid& g, pid_t pid) {
  return n.dir + "/k" + GuidKey(g) + "." + std::to_string(pid);
}

pid_t HandlePid(Handle h) { return static_cast<pid_t>(h >> 10); }

bool ProcessAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

void TouchFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) ::close(fd);
}

// Directory entries, bounded.
std::vector<std::string> ListDir(const std::string& dir, char prefix) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == prefix) names.emplace_back(e->d_name);
    if (names.size() >= 100000) break;
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// Removes the marker files a process left behind.
void RemoveFilesOf(const Node& n, pid_t pid) {
  for (const char prefix : {'h', 't'}) {
    for (const auto& name : ListDir(n.dir, prefix)) {
      const std::uint32_t h =
          static_cast<std::uint32_t>(std::strtoul(name.substr(1, 8).c_str(), nullptr, 16));
      if (HandlePid(h) == pid) ::unlink((n.dir + "/" + name).c_str());
    }
  }
  const std::string suffix = "." + std::to_string(pid);
  for (const auto& name : ListDir(n.dir, 'k')) {
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      ::unlink((n.dir + "/" + name).c_str());
  }
  if (pid != n.pid) ::unlink(NodePath(n, pid).c_str());
}

void SetSignal(Node& n, bool on) {
  if (n.eventFd < 0 || on == n.signalled) return;
  if (on) {
    const std::uint64_t one = 1;
    if (::write(n.eventFd, &one, sizeof one) < 0) return;
  } else {
    std::uint64_t v;
    if (::read(n.eventFd, &v, sizeof v) < 0) return;
  }
  n.signalled = on;
}

namespace {

void Fail(Node& n, std::string why) {
  n.ok = false;
  n.reason = std::move(why);
}

void CloseAll(Node& n) {
  for (auto& [serial, c] : n.conns) ::close(c->fd);
  n.conns.clear();
  n.outgoing.clear();
  if (n.listenFd >= 0) ::close(n.listenFd);
  if (n.epollFd >= 0) ::close(n.epollFd);
  if (n.eventFd >= 0) ::close(n.eventFd);
  if (n.timerFd >= 0) ::close(n.timerFd);
  n.listenFd = n.epollFd = n.eventFd = n.timerFd = -1;
  n.signalled = false;
}

void CleanupAtExit() {
  Node& n = RawNode();
  if (n.ok) {
    RemoveFilesOf(n, n.pid);
    ::unlink(NodePath(n, n.pid).c_str());
  }
}

// Makes sure the socket folder is this user's alone; "" when it is, else
// why it cannot be used. A folder of another user is refused (it could
// serve fake players); our own open to others (a loose umask, a chmod) is
// closed again and cleared of entries other users put there.
std::string SecureFolder(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return dir + " is not a folder of this user";
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
    ::close(fd);
    return dir + " is not a folder of this user";
  }
  if ((st.st_mode & 077) == 0) {
    ::close(fd);
    return {};
  }
  if (::fchmod(fd, 0700) != 0) {
    const std::string err = std::strerror(errno);
    ::close(fd);
    return dir + " is open to other users and cannot be closed: " + err;
  }
  const int listFd = ::dup(fd);
  DIR* d = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (!d) {
    if (listFd >= 0) ::close(listFd);
    ::close(fd);
    return dir + " cannot be read";
  }
  std::vector<std::string> foreign;
  int seen = 0;
  while (dirent* e = ::readdir(d)) {
    if (++seen > 100000) break;
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat es {};
    if (::fstatat(fd, name.c_str(), &es, AT_SYMLINK_NOFOLLOW) == 0 && es.st_uid != ::getuid())
      foreign.push_back(name);
  }
  ::closedir(d);
  for (const auto& name : foreign) ::unlinkat(fd, name.c_str(), 0);
  ::close(fd);
  return {};
}

void Open(Node& n) {
  if (n.hook) platform::RemovePumpHook(n.hook);
  CloseAll(n);
  std::vector<pid_t> children = std::move(n.children);
  n = Node{};
  n.children = std::move(children);
  n.opened = true;
  n.pid = ::getpid();
  n.runtime = RuntimeFolder();
  if (n.runtime.empty() || n.runtime[0] != '/') return Fail(n, "XDG_RUNTIME_DIR is not set");
  if (n.pid >= (1 << 22)) return Fail(n, "process id out of range");
  n.dir = n.runtime + "/sonolabel-ipc";
  if (::mkdir(n.dir.c_str(), 0700) != 0 && errno != EEXIST)
    return Fail(n, "cannot create " + n.dir + ": " + std::strerror(errno));
  if (std::string why = SecureFolder(n.dir); !why.empty()) return Fail(n, std::move(why));
  const std::string path = NodePath(n, n.pid);
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return Fail(n, "runtime folder path too long");
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  RemoveFilesOf(n, n.pid);
  ::unlink(path.c_str());
  n.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (n.listenFd < 0 || ::bind(n.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(n.listenFd, 64) != 0) {
    const std::string err = std::strerror(errno);
    CloseAll(n);
    return Fail(n, "cannot listen on " + path + ": " + err);
  }
  n.epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  n.eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  n.timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (n.epollFd < 0 || n.eventFd < 0 || n.timerFd < 0) {
    CloseAll(n);
    ::unlink(path.c_str());
    return Fail(n, "cannot create the wake-up descriptors");
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenId;
  ::epoll_ctl(n.epollFd, EPOLL_CTL_ADD, n.listenFd, &ev);
  ev.data.u64 = kWakeId;
  ::epoll_ctl(n.epollFd, EPOLL_CTL_ADD, n.eventFd, &ev);
  ev.data.u64 = kTimerId;
  ::epoll_ctl(n.epollFd, EPOLL_CTL_ADD, n.timerFd, &ev);
  n.ok = true;
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit(CleanupAtExit);
  }
  n.hook = platform::AddPumpHook([] { Dispatch(); });
}

void Serve(Node& n, Inbound& item) {
  switch (item.kind) {
    case wire::kPost:
    case wire::kSend: ServeWindowMessage(n, item); break;
    case wire::kCreate:
    case wire::kQuery:
    case wire::kRelease:
    case wire::kCall: ServeObjectRequest(n, item); break;
    default: break;
  }
}

}  // namespace
}  // namespace detail

using namespace detail;

// ---- Results and ids ----

bool IsLinkFailure(HResult hr) { return hr == kDisconnected || hr == kTimeout || hr == kInvalidPacket; }

std::string ResultText(HResult hr) {
  switch (hr) {
    case kOk: return "The operation completed successfully.";
    case kNotImplemented: return "Not implemented.";
    case kNoInterface: return "No such interface supported.";
    case kFail: return "Unspecified error.";
    case kInvalidArg: return "The parameter is incorrect.";
    case kClassNotRegistered: return "Class not registered.";
    case kCallRejected: return "The call was rejected by the callee.";
    case kDisconnected: return "The object invoked has disconnected from its clients.";
    case kTimeout: return "The player did not answer in time.";
    case kInvalidPacket: return "The data packet with the marshalled parameter data is incorrect.";
    case kBadData: return "The stub received bad data.";
    default: return {};
  }
}

void Configure(const LinkSettings& settings) {
  const std::lock_guard<std::mutex> hold(SettingsLock());
  SettingsInEffect() = settings;
}

LinkSettings CurrentSettings() {
  const std::lock_guard<std::mutex> hold(SettingsLock());
  return SettingsInEffect();
}

int TimeoutMs() {
  const std::lock_guard<std::mutex> hold(SettingsLock());
  const int ms = SettingsInEffect().timeoutMs;
  // Bounded as the configuration bounds it, whoever set it.
  return ms >= 1 && ms <= 600000 ? ms : kDefaultTimeoutMs;
}

bool Available() { return N().ok; }
std::string UnavailableReason() {
  Node& n = N();
  return n.ok ? std::string() : n.reason;
}

// ---- Delivery ----

NodeStats Stats() {
  NodeStats st;
  Node& n = RawNode();
  for (const auto& [serial, c] : n.conns) {
    if (c->outgoing) {
      ++st.outgoing;
    } else {
      ++st.incoming;
      if (!c->helloSeen) ++st.awaitingHello;
    }
    st.queuedBytes += c->outBytes;
  }
  st.bufferedBytes = n.buffered;
  st.dropped = n.dropped;
  st.acceptPauses = n.acceptPauses;
  return st;
}

int WakeFd() {
  Node& n = N();
  return n.ok ? n.epollFd : -1;
}

int Dispatch(int maxMessages) {
  Node& n = N();
  if (!n.ok) return 0;
  ReadAll(n);
  ReapChildren(n);
  int handled = 0;
  while (handled < maxMessages && !n.queue.empty()) {
    Inbound item = std::move(n.queue.front());
    n.queue.pop_front();
    ++handled;
    Serve(n, item);
    if (!n.ok) break;  // a handler shut the node down
  }
  SetSignal(n, !n.queue.empty());
  // Drain the epoll readiness of connections already read.
  return handled;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Dispatch();
    if (done()) return true;
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return done();
    const int fd = WakeFd();
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 10)));
    } else {
      ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, 10)));
    }
  }
}

void Shutdown() {
  Node& n = RawNode();
  if (!n.opened) return;
  if (n.ok) {
    // What is still queued (a last notification, a release) gets a short,
    // bounded chance to go out.
    const auto deadline = Clock::now() + std::chrono::milliseconds(200);
    for (;;) {
      std::vector<pollfd> fds;
      std::vector<std::uint64_t> serials;
      for (const auto& [serial, c] : n.conns) {
        if (c->outBytes == 0) continue;
        fds.push_back({c->fd, POLLOUT, 0});
        serials.push_back(serial);
      }
      const long long left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (fds.empty() || left <= 0) break;
      ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 20)));
      for (auto serial : serials) FlushConn(n, serial);
    }
    RemoveFilesOf(n, n.pid);
    ::unlink(NodePath(n, n.pid).c_str());
  }
  if (n.hook) platform::RemovePumpHook(n.hook);
  CloseAll(n);
  std::vector<pid_t> children = std::move(n.children);
  n = Node{};
  n.children = std::move(children);
}

}  // namespace sl::ipc
