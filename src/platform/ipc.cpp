#include "platform/ipc.h"

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
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/ipcwire.h"
#include "platform/pump.h"

namespace sl::platform::ipc {

namespace {

using Clock = std::chrono::steady_clock;

using wire::kCall;
using wire::kCallReply;
using wire::kCreate;
using wire::kCreateReply;
using wire::kPost;
using wire::kQuery;
using wire::kQueryReply;
using wire::kRelease;
using wire::kSend;
using wire::kSendReply;
// How often a waiting caller runs the message pump.
constexpr int kPumpSliceMs = 5;
// Bytes read from one connection in one pass, so one busy peer cannot starve
// the others.
constexpr std::size_t kReadBudget = std::size_t{4} << 20;
// A connection's first frame must be a hello, which is this long.
constexpr std::size_t kHelloFrameBytes = 15;
// While this much waits to be written to a peer, its requests are not read.
constexpr std::size_t kBackPressureBytes = std::size_t{256} << 10;
// How long accepting pauses after accept ran out of descriptors or memory.
constexpr int kAcceptPauseMs = 100;
// epoll ids of the node's own descriptors; connections use their serials.
constexpr std::uint64_t kListenId = 0, kWakeId = 1, kTimerId = 2;

// ---- The node: this process's end of the IPC ----

struct Conn {
  std::uint64_t serial = 0;
  int fd = -1;
  pid_t peer = 0;
  bool outgoing = false;
  bool helloSeen = false;
  std::string in;
  std::size_t inPos = 0;
  std::size_t counted = 0;     // bytes of `in` counted in Node::buffered
  Clock::time_point opened;    // the hello is due within the time-out
  bool partial = false;        // `in` holds the start of a frame...
  Clock::time_point frameSince;  // ...since then
  std::deque<std::string> out;   // frames waiting to be written
  std::size_t outHead = 0;       // bytes of out.front() already written
  std::size_t outBytes = 0;
  Clock::time_point lastProgress;  // last write while frames waited
  std::uint32_t events = 0;        // what epoll watches for it
};

// A reply frame as it arrived, read by the caller that waits for it.
struct Reply {
  std::string frame;
};

// A request from a peer (or posted locally), queued for Dispatch.
struct Inbound : wire::Request {
  std::uint64_t conn = 0;  // where a reply goes (0: posted locally)
};

struct Window {
  std::string cls;  // empty for message-only windows
  WndProc proc;
};

struct Served {
  std::uint64_t conn = 0;
  std::shared_ptr<ServedObject> object;
};

struct Node {
  bool opened = false;
  bool ok = false;
  std::string reason;
  std::string runtime;  // the XDG_RUNTIME_DIR it was opened under
  std::string dir;
  pid_t pid = 0;
  int listenFd = -1, epollFd = -1, eventFd = -1, timerFd = -1;
  int hook = 0;
  int incoming = 0;
  std::size_t buffered = 0;  // incomplete frame bytes of incoming connections
  bool acceptPaused = false;
  Clock::time_point acceptResume;
  std::uint64_t dropped = 0, acceptPauses = 0;
  long long timerArmedMs = -1;
  std::map<std::uint64_t, std::unique_ptr<Conn>> conns;
  std::map<pid_t, std::uint64_t> outgoing;
  std::map<std::uint64_t, HResult> lost;  // why recently closed connections ended
  std::set<std::uint32_t> waiting;
  std::map<std::uint32_t, Reply> replies;
  std::deque<Inbound> queue;
  std::map<Handle, Window> windows;
  int nextIndex = 1;
  std::map<std::string, ClassFactory> classes;
  std::map<std::uint32_t, Served> objects;
  std::uint32_t nextObject = 1;
  std::vector<pid_t> children;
  bool signalled = false;
};

// Connection serials and request numbers never repeat within a process, even
// across Shutdown, so a stale reference can never match a new connection.
std::uint64_t NextSerial() {
  static std::uint64_t next = 16;
  return next++;
}
std::uint32_t NextSeq() {
  static std::uint32_t next = 1;
  if (next == 0) next = 1;
  return next++;
}

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
std::string ConfiguredRuntimeDir() {
  const std::lock_guard<std::mutex> hold(SettingsLock());
  return SettingsInEffect().runtimeDir;
}

Node& RawNode() {
  // Never destroyed: object references may be released during exit.
  static Node* node = new Node;
  return *node;
}

void Open(Node& n);

Node& N() {
  Node& n = RawNode();
  const std::string runtime = ConfiguredRuntimeDir();
  if (!n.opened || (!n.ok && runtime != n.runtime)) Open(n);
  return n;
}

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
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
      const std::uint32_t h = static_cast<std::uint32_t>(std::strtoul(name.substr(1, 8).c_str(), nullptr, 16));
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
  struct stat st{};
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
    struct stat es{};
    if (::fstatat(fd, name.c_str(), &es, AT_SYMLINK_NOFOLLOW) == 0 && es.st_uid != ::getuid())
      foreign.push_back(name);
  }
  ::closedir(d);
  for (const auto& name : foreign) ::unlinkat(fd, name.c_str(), 0);
  ::close(fd);
  return {};
}

void Open(Node& n) {
  if (n.hook) RemovePumpHook(n.hook);
  CloseAll(n);
  std::vector<pid_t> children = std::move(n.children);
  n = Node{};
  n.children = std::move(children);
  n.opened = true;
  n.pid = ::getpid();
  n.runtime = ConfiguredRuntimeDir();
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
  n.hook = AddPumpHook([] { Dispatch(); });
}

Conn* FindConn(Node& n, std::uint64_t serial) {
  auto it = n.conns.find(serial);
  return it == n.conns.end() ? nullptr : it->second.get();
}

void CloseConn(Node& n, std::uint64_t serial, HResult why) {
  auto it = n.conns.find(serial);
  if (it == n.conns.end()) return;
  Conn& c = *it->second;
  ::epoll_ctl(n.epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
  ::close(c.fd);
  n.buffered -= c.counted;
  if (!c.outgoing) --n.incoming;
  if (c.outgoing) {
    auto o = n.outgoing.find(c.peer);
    if (o != n.outgoing.end() && o->second == serial) n.outgoing.erase(o);
  } else {
    for (auto obj = n.objects.begin(); obj != n.objects.end();) {
      if (obj->second.conn == serial) obj = n.objects.erase(obj);
      else ++obj;
    }
  }
  n.conns.erase(it);
  n.lost[serial] = why;
  while (n.lost.size() > 256) n.lost.erase(n.lost.begin());
}

HResult LostReason(const Node& n, std::uint64_t serial) {
  auto it = n.lost.find(serial);
  return it == n.lost.end() ? kDisconnected : it->second;
}

// What epoll should watch for `c`: its replies and requests unless replies
// to it pile up (back-pressure on a peer that does not read), and room to
// write while frames wait.
void UpdateInterest(Node& n, Conn& c) {
  std::uint32_t want = 0;
  if (c.outgoing || c.outBytes < kBackPressureBytes) want |= EPOLLIN;
  if (c.outBytes > 0) want |= EPOLLOUT;
  if (want == c.events) return;
  epoll_event ev{};
  ev.events = want;
  ev.data.u64 = c.serial;
  ::epoll_ctl(n.epollFd, EPOLL_CTL_MOD, c.fd, &ev);
  c.events = want;
}

Conn& AddConn(Node& n, int fd, bool outgoing, pid_t peer) {
  auto c = std::make_unique<Conn>();
  c->serial = NextSerial();
  c->fd = fd;
  c->outgoing = outgoing;
  // Our own connections expect no hello: only the side that connects says it.
  c->helloSeen = outgoing;
  c->peer = peer;
  c->opened = Clock::now();
  c->events = EPOLLIN;
  epoll_event ev{};
  ev.events = c->events;
  ev.data.u64 = c->serial;
  ::epoll_ctl(n.epollFd, EPOLL_CTL_ADD, fd, &ev);
  if (!outgoing) ++n.incoming;
  Conn& ref = *c;
  n.conns[ref.serial] = std::move(c);
  return ref;
}

// Drops a peer that broke one of the node's bounds.
void DropConn(Node& n, std::uint64_t serial, HResult why) {
  ++n.dropped;
  CloseConn(n, serial, why);
}

// Writes what connection `serial` has queued, as far as the socket takes it
// without blocking. False when the connection was closed (write error).
bool FlushConn(Node& n, std::uint64_t serial) {
  Conn* c = FindConn(n, serial);
  if (!c) return false;
  for (int rounds = 0; c->outBytes > 0 && rounds < 1024; ++rounds) {
    const std::string& front = c->out.front();
    const ssize_t k = ::send(c->fd, front.data() + c->outHead, front.size() - c->outHead, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k > 0) {
      c->outHead += static_cast<std::size_t>(k);
      c->outBytes -= static_cast<std::size_t>(k);
      c->lastProgress = Clock::now();
      if (c->outHead == front.size()) {
        c->out.pop_front();
        c->outHead = 0;
      }
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    CloseConn(n, serial, kDisconnected);
    return false;
  }
  UpdateInterest(n, *c);
  return true;
}

// Queues a whole frame for connection `serial` and writes what the socket
// takes now; the rest goes out as the peer reads. Never blocks. False when
// the connection is gone, or when the peer has let more than its bound pile
// up (it is dropped: a partial frame would break the stream anyway).
bool WriteFrame(Node& n, std::uint64_t serial, const std::string& frame) {
  Conn* c = FindConn(n, serial);
  if (!c || frame.empty()) return false;
  if (c->outBytes + frame.size() > kMaxPeerQueueBytes) {
    DropConn(n, serial, kTimeout);
    return false;
  }
  if (c->outBytes == 0) c->lastProgress = Clock::now();
  c->out.push_back(frame);
  c->outBytes += frame.size();
  return FlushConn(n, serial);
}

// The outgoing connection to process `pid`, opened when needed.
Conn* Connect(Node& n, pid_t pid) {
  if (!n.ok || pid <= 0) return nullptr;
  auto it = n.outgoing.find(pid);
  if (it != n.outgoing.end()) {
    if (Conn* c = FindConn(n, it->second)) return c;
    n.outgoing.erase(it);
  }
  const std::string path = NodePath(n, pid);
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return nullptr;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(fd);
    // A process that is gone leaves its files: tidy them for everyone.
    if ((err == ECONNREFUSED || err == ENOENT) && pid != n.pid && !ProcessAlive(pid)) RemoveFilesOf(n, pid);
    return nullptr;
  }
  // Whoever listens there must be this user, as for incoming connections: a
  // socket another user slipped into the folder is never talked to.
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
    ::close(fd);
    return nullptr;
  }
  Conn& c = AddConn(n, fd, true, pid);
  n.outgoing[pid] = c.serial;
  const std::uint64_t serial = c.serial;
  if (!WriteFrame(n, serial, wire::EncodeHello(static_cast<std::uint32_t>(n.pid)))) return nullptr;
  return FindConn(n, serial);
}

bool Enqueue(Node& n, Inbound item) {
  if (n.queue.size() >= kMaxQueuedMessages) return false;
  n.queue.push_back(std::move(item));
  SetSignal(n, true);
  return true;
}

void ReplyRejected(Node& n, const Inbound& item) {
  if (item.kind == kPost || item.kind == kRelease) return;
  wire::Reply reply;
  reply.kind = item.kind == kSend ? kSendReply
               : item.kind == kCreate ? kCreateReply
               : item.kind == kQuery  ? kQueryReply
                                      : kCallReply;
  reply.seq = item.seq;
  // A send answers "no window" with 0; the others say the call was refused.
  reply.result = item.kind == kSend ? 0 : kCallRejected;
  if (item.kind == kCall) {
    reply.object = item.object;
    reply.slot = item.slot;
  }
  WriteFrame(n, item.conn, wire::EncodeReply(reply));
}

// One frame from connection `c`. False: the frame breaks the rules.
bool HandleFrame(Node& n, Conn& c, const char* data, std::size_t size) {
  const std::string_view frame(data, size);
  if (!c.helloSeen) {
    if (c.outgoing) return false;
    const auto pid = wire::DecodeHello(frame);
    if (!pid) return false;
    c.helloSeen = true;
    c.peer = static_cast<pid_t>(*pid);
    return true;
  }
  if (c.outgoing) {
    // Replies to our own requests.
    const auto seq = wire::ReplySeq(frame);
    if (!seq) return false;
    if (n.waiting.count(*seq) == 0) return true;  // nobody waits for it any more
    n.replies[*seq] = Reply{std::string(frame)};
    return true;
  }
  auto request = wire::DecodeRequest(frame);
  if (!request) return false;
  Inbound item;
  static_cast<wire::Request&>(item) = std::move(*request);
  item.conn = c.serial;
  // A well-formed request with a string over the bound, or one that finds
  // the queue full, is refused; the connection stays.
  if (item.overBound || n.queue.size() >= kMaxQueuedMessages) {
    ReplyRejected(n, item);
    return true;
  }
  Enqueue(n, std::move(item));
  return true;
}

// Counts what connection `c` holds of incomplete frames, and notes when
// such a frame began.
void Account(Node& n, Conn& c) {
  if (c.inPos > 0) {
    c.in.erase(0, c.inPos);
    c.inPos = 0;
  }
  // A buffer that held a large frame gives its memory back once empty.
  if (c.in.empty() && c.in.capacity() > (std::size_t{64} << 10)) std::string().swap(c.in);
  const bool partial = !c.in.empty();
  if (partial && !c.partial) c.frameSince = Clock::now();
  c.partial = partial;
  if (!c.outgoing) {
    n.buffered = n.buffered - c.counted + c.in.size();
    c.counted = c.in.size();
  }
}

// Reads what connection `serial` has (without blocking) and handles its
// frames. The connection may be closed on return.
void ReadConn(Node& n, std::uint64_t serial) {
  Conn* c = FindConn(n, serial);
  if (!c) return;
  char buf[65536];
  std::size_t total = 0;
  for (;;) {
    const ssize_t k = ::recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (k > 0) {
      c->in.append(buf, static_cast<std::size_t>(k));
      total += static_cast<std::size_t>(k);
      // Handle frames as they complete so the buffer stays bounded.
      for (;;) {
        std::string_view frame;
        std::size_t used = 0;
        const std::string_view rest = std::string_view(c->in).substr(c->inPos);
        // A peer's first frame must be its hello: nothing larger is held
        // for a peer that has not said who it is.
        if (!c->helloSeen && rest.size() >= 4) {
          const std::uint32_t length = static_cast<std::uint8_t>(rest[0]) | static_cast<std::uint8_t>(rest[1]) << 8 |
                                       static_cast<std::uint8_t>(rest[2]) << 16 |
                                       static_cast<std::uint32_t>(static_cast<std::uint8_t>(rest[3])) << 24;
          if (length != kHelloFrameBytes - 4) {
            DropConn(n, serial, kInvalidPacket);
            return;
          }
        }
        const wire::Cut cut = wire::CutFrame(rest, frame, used);
        if (cut == wire::Cut::kNeedMore) break;
        if (cut == wire::Cut::kBroken) {
          CloseConn(n, serial, kInvalidPacket);
          return;
        }
        c->inPos += used;
        if (!HandleFrame(n, *c, frame.data(), frame.size())) {
          CloseConn(n, serial, kInvalidPacket);
          return;
        }
        c = FindConn(n, serial);
        if (!c) return;
      }
      Account(n, *c);
      // Incomplete frames of all peers together stay under the bound: the
      // peer that goes over it is dropped.
      if (!c->outgoing && n.buffered > kMaxBufferedBytes) {
        DropConn(n, serial, kBadData);
        return;
      }
      if (total >= kReadBudget) return;
      // A peer whose replies pile up is not read further until it reads.
      if (!c->outgoing && c->outBytes >= kBackPressureBytes) return;
      continue;
    }
    if (k == 0) {
      CloseConn(n, serial, kDisconnected);
      return;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) CloseConn(n, serial, kDisconnected);
    return;
  }
}

void PauseAccept(Node& n) {
  if (n.acceptPaused) return;
  n.acceptPaused = true;
  ++n.acceptPauses;
  n.acceptResume = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
  ::epoll_ctl(n.epollFd, EPOLL_CTL_DEL, n.listenFd, nullptr);
}

void ResumeAccept(Node& n) {
  if (!n.acceptPaused) return;
  n.acceptPaused = false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenId;
  ::epoll_ctl(n.epollFd, EPOLL_CTL_ADD, n.listenFd, &ev);
}

// Room for one more incoming connection: at the bound, the oldest one that
// has not said hello yet goes. False when every held peer has said hello.
bool MakeRoom(Node& n) {
  if (n.incoming < kMaxIncomingConnections) return true;
  for (const auto& [serial, c] : n.conns) {
    if (!c->outgoing && !c->helloSeen) {
      DropConn(n, serial, kTimeout);
      return true;
    }
  }
  return false;
}

void AcceptAll(Node& n) {
  if (n.acceptPaused) return;
  for (int i = 0; i < 64; ++i) {
    const int fd = ::accept4(n.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      // Out of descriptors or memory: the connection stays queued and the
      // socket stays readable. Stop watching it for a moment rather than
      // waking up for it again and again.
      PauseAccept(n);
      return;
    }
    // Only processes of this user reach the folder; check anyway.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid() || !MakeRoom(n)) {
      ::close(fd);
      ++n.dropped;
      continue;
    }
    // Read at once: a peer says hello as it connects, so a well-behaved one
    // is past the hello before the next connection can crowd it out.
    ReadConn(n, AddConn(n, fd, false, cred.pid).serial);
  }
}

// Drops the peers past a deadline (no hello, a frame that does not
// complete, queued frames nobody takes), resumes accepting after a pause,
// and sets the timer for the next deadline.
void Tidy(Node& n) {
  const auto now = Clock::now();
  const auto bound = std::chrono::milliseconds(TimeoutMs());
  if (n.acceptPaused && now >= n.acceptResume) ResumeAccept(n);
  std::optional<Clock::time_point> next;
  auto consider = [&](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  std::vector<std::uint64_t> late;
  for (const auto& [serial, c] : n.conns) {
    std::optional<Clock::time_point> due;
    auto earliest = [&](Clock::time_point t) {
      if (!due || t < *due) due = t;
    };
    if (!c->helloSeen) earliest(c->opened + bound);
    if (c->partial && !c->outgoing) earliest(c->frameSince + bound);
    if (c->outBytes > 0) earliest(c->lastProgress + bound);
    if (!due) continue;
    if (*due <= now) late.push_back(serial);
    else consider(*due);
  }
  for (auto serial : late) DropConn(n, serial, kTimeout);
  if (n.acceptPaused) consider(n.acceptResume);
  // Deadlines are kept to a 20 ms grain, so that many peers due at about
  // the same time are dropped in one wake-up.
  long long ms = 0;
  if (next) {
    const long long due = std::chrono::duration_cast<std::chrono::milliseconds>(*next - now).count() + 1;
    ms = (std::max<long long>(due, 1) + 19) / 20 * 20;
  }
  if (ms == n.timerArmedMs) return;
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(ms / 1000);
  when.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  ::timerfd_settime(n.timerFd, 0, &when, nullptr);
  n.timerArmedMs = ms;
}

// Handles what epoll reports ready: new connections, readable and writable
// connections, the deadline timer.
void ReadAll(Node& n) {
  epoll_event events[128];
  const int k = ::epoll_wait(n.epollFd, events, 128, 0);
  for (int i = 0; i < k; ++i) {
    const std::uint64_t id = events[i].data.u64;
    if (id == kListenId) {
      AcceptAll(n);
    } else if (id == kTimerId) {
      std::uint64_t expirations;
      if (::read(n.timerFd, &expirations, sizeof expirations) < 0) {
        // Not expired after all: nothing to clear.
      }
      n.timerArmedMs = -1;
    } else if (id != kWakeId) {
      if (events[i].events & EPOLLOUT) FlushConn(n, id);
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ReadConn(n, id);
    }
  }
  Tidy(n);
}

void ReapChildren(Node& n) {
  for (auto it = n.children.begin(); it != n.children.end();) {
    int status = 0;
    const pid_t r = ::waitpid(*it, &status, WNOHANG);
    if (r == *it || (r < 0 && errno == ECHILD)) it = n.children.erase(it);
    else ++it;
  }
}

// Waits for the reply to request `seq` sent on connection `serial`.
HResult WaitReply(Node& n, std::uint64_t serial, std::uint32_t seq, int timeoutMs, Reply& out) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto lastPump = Clock::now();
  struct Cleanup {
    Node& n;
    std::uint32_t seq;
    ~Cleanup() {
      n.waiting.erase(seq);
      n.replies.erase(seq);
    }
  } cleanup{n, seq};
  for (;;) {
    auto it = n.replies.find(seq);
    if (it != n.replies.end()) {
      out = std::move(it->second);
      return kOk;
    }
    Conn* c = FindConn(n, serial);
    if (!c) return LostReason(n, serial);
    const auto now = Clock::now();
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    if (left <= 0) {
      // A hung peer: give it up so later calls fail at once.
      CloseConn(n, serial, kTimeout);
      return kTimeout;
    }
    const bool self = c->peer == n.pid;
    if (self) {
      // Our own objects: serve them here.
      Dispatch();
      c = FindConn(n, serial);
      if (!c) continue;
    }
    // The request itself may still wait in the queue: write as the peer reads.
    pollfd p{c->fd, static_cast<short>(POLLIN | (c->outBytes > 0 ? POLLOUT : 0)), 0};
    ::poll(&p, 1, static_cast<int>(std::min<long long>(left, self ? 1 : kPumpSliceMs)));
    if ((p.revents & POLLOUT) && !FlushConn(n, serial)) continue;
    ReadConn(n, serial);
    if (n.replies.count(seq)) continue;
    if (Clock::now() - lastPump >= std::chrono::milliseconds(kPumpSliceMs)) {
      lastPump = Clock::now();
      ProcessMessages();
    }
  }
}

// Sends a request and waits for its reply.
HResult Request(Node& n, pid_t pid, const wire::Request& request, int timeoutMs, Reply& out,
                std::uint64_t* serialOut = nullptr, std::uint64_t requiredSerial = 0) {
  const std::uint32_t seq = request.seq;
  Conn* c = requiredSerial ? FindConn(n, requiredSerial) : Connect(n, pid);
  if (!c) return requiredSerial ? LostReason(n, requiredSerial) : kDisconnected;
  const std::uint64_t serial = c->serial;
  if (serialOut) *serialOut = serial;
  n.waiting.insert(seq);
  const std::string frame = wire::EncodeRequest(request);
  if (frame.empty()) {
    n.waiting.erase(seq);
    return kBadData;
  }
  if (!WriteFrame(n, serial, frame)) {
    n.waiting.erase(seq);
    return LostReason(n, serial);
  }
  return WaitReply(n, serial, seq, timeoutMs, out);
}

void Serve(Node& n, Inbound& item) {
  switch (item.kind) {
    case kPost:
    case kSend: {
      std::int32_t result = 0;
      bool found = false;
      auto it = n.windows.find(item.window);
      if (it != n.windows.end()) {
        found = true;
        WndProc proc = it->second.proc;  // the procedure may destroy its window
        if (proc) result = proc(item.msg, item.wParam, item.lParam);
      }
      if (item.kind == kSend) {
        wire::Reply reply;
        reply.kind = kSendReply;
        reply.seq = item.seq;
        reply.found = found ? 1 : 0;
        reply.result = result;
        WriteFrame(n, item.conn, wire::EncodeReply(reply));
      }
      break;
    }
    case kCreate: {
      const Guid& iid = item.iid;
      HResult hr = kClassNotRegistered;
      std::uint32_t id = 0;
      auto it = n.classes.find(GuidKey(item.guid));
      if (it != n.classes.end() && it->second) {
        ClassFactory factory = it->second;
        std::shared_ptr<ServedObject> obj = factory();
        if (!obj) {
          hr = kFail;
        } else if (!(iid == kIUnknown) && !obj->Supports(iid)) {
          hr = kNoInterface;
        } else if (FindConn(n, item.conn)) {
          id = n.nextObject++;
          if (n.nextObject == 0) n.nextObject = 1;
          n.objects[id] = Served{item.conn, std::move(obj)};
          hr = kOk;
        }
      }
      wire::Reply reply;
      reply.kind = kCreateReply;
      reply.seq = item.seq;
      reply.result = hr;
      reply.object = id;
      WriteFrame(n, item.conn, wire::EncodeReply(reply));
      break;
    }
    case kQuery: {
      HResult hr = kDisconnected;
      auto it = n.objects.find(item.object);
      if (it != n.objects.end() && it->second.conn == item.conn) {
        auto obj = it->second.object;
        hr = (item.guid == kIUnknown || obj->Supports(item.guid)) ? kOk : kNoInterface;
      }
      wire::Reply reply;
      reply.kind = kQueryReply;
      reply.seq = item.seq;
      reply.result = hr;
      WriteFrame(n, item.conn, wire::EncodeReply(reply));
      break;
    }
    case kRelease: {
      auto it = n.objects.find(item.object);
      if (it != n.objects.end() && it->second.conn == item.conn) n.objects.erase(it);
      break;
    }
    case kCall: {
      HResult hr = kDisconnected;
      std::vector<Value> out;
      auto it = n.objects.find(item.object);
      if (it != n.objects.end() && it->second.conn == item.conn) {
        auto obj = it->second.object;  // kept alive through the call
        if (!obj->Supports(item.guid)) {
          hr = kNoInterface;
        } else {
          hr = obj->Invoke(item.guid, item.slot, item.in, out);
        }
      }
      if (out.size() > kMaxValues) {
        out.clear();
        hr = kFail;
      }
      wire::Reply reply;
      reply.kind = kCallReply;
      reply.seq = item.seq;
      reply.object = item.object;
      reply.slot = item.slot;
      reply.result = hr;
      reply.values = std::move(out);
      std::string frame = wire::EncodeReply(reply);
      if (frame.empty()) {
        // Out-values over the frame bound: the call fails with none.
        reply.result = kFail;
        reply.values.clear();
        frame = wire::EncodeReply(reply);
      }
      WriteFrame(n, item.conn, frame);
      break;
    }
    default:
      break;
  }
}

}  // namespace

// ---- Results and ids ----

bool IsLinkFailure(HResult hr) {
  return hr == kDisconnected || hr == kTimeout || hr == kInvalidPacket;
}

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

std::optional<Guid> Guid::Parse(std::string_view text) {
  // {8-4-4-4-12}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  Guid g;
  std::size_t bi = 0;
  for (std::size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int hi = hex(text[i]), lo = hex(text[i + 1]);
    if (hi < 0 || lo < 0 || bi >= 16) return std::nullopt;
    g.bytes[bi++] = static_cast<std::uint8_t>(hi * 16 + lo);
    i += 2;
  }
  if (bi != 16) return std::nullopt;
  return g;
}

std::string Guid::ToString() const {
  char buf[40];
  const auto& b = bytes;
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return buf;
}

bool Available() { return N().ok; }
std::string UnavailableReason() {
  Node& n = N();
  return n.ok ? std::string() : n.reason;
}

// ---- Windows ----

std::uint32_t RegisterWindowMessage(std::string_view name) {
  // FNV-1a over the lower-cased name: every process computes the same number.
  std::uint32_t h = 2166136261u;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    h = (h ^ u) * 16777619u;
  }
  return 0xC000u + h % 0x3FFFu;
}

namespace {
bool ValidClass(std::string_view cls) {
  if (cls.empty() || cls.size() > 64) return false;
  for (char c : cls) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

bool SameClass(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

Handle NewWindow(const std::string& cls, WndProc proc) {
  Node& n = N();
  if (!n.ok || n.windows.size() >= static_cast<std::size_t>(kMaxWindows)) return 0;
  for (int tries = 0; tries < kMaxWindows; ++tries) {
    const int index = n.nextIndex;
    n.nextIndex = n.nextIndex % kMaxWindows + 1;  // 1..1022, never 1023 (0xFFFF)
    const Handle h = (static_cast<Handle>(n.pid) << 10) | static_cast<Handle>(index);
    if (h == kBroadcast || n.windows.count(h)) continue;
    n.windows[h] = Window{cls, std::move(proc)};
    TouchFile(HandlePath(n, h));
    if (!cls.empty()) TouchFile(TopPath(n, h, cls));
    return h;
  }
  return 0;
}

struct TopEntry {
  Handle handle;
  std::string cls;
};

std::vector<TopEntry> TopWindows(Node& n) {
  std::vector<TopEntry> out;
  for (const auto& name : ListDir(n.dir, 't')) {
    if (name.size() < 11 || name[9] != '.') continue;
    out.push_back({static_cast<Handle>(std::strtoul(name.substr(1, 8).c_str(), nullptr, 16)), name.substr(10)});
  }
  return out;
}

// Whether a window of another process is reachable (its process listens).
bool Reachable(Node& n, Handle h) {
  const pid_t pid = HandlePid(h);
  if (pid == n.pid) return n.windows.count(h) > 0;
  struct stat st{};
  if (::stat(HandlePath(n, h).c_str(), &st) != 0) return false;
  return Connect(n, pid) != nullptr;
}
}  // namespace

Handle CreateWindow(std::string_view className, WndProc proc) {
  if (!ValidClass(className)) return 0;
  return NewWindow(std::string(className), std::move(proc));
}

Handle CreateMessageWindow(WndProc proc) { return NewWindow(std::string(), std::move(proc)); }

void DestroyWindow(Handle window) {
  Node& n = N();
  auto it = n.windows.find(window);
  if (it == n.windows.end()) return;
  if (!it->second.cls.empty()) ::unlink(TopPath(n, window, it->second.cls).c_str());
  ::unlink(HandlePath(n, window).c_str());
  n.windows.erase(it);
}

Handle FindWindow(std::string_view className) {
  Node& n = N();
  if (!n.ok) return 0;
  for (const auto& e : TopWindows(n)) {
    if (SameClass(e.cls, className) && Reachable(n, e.handle)) return e.handle;
  }
  return 0;
}

Handle FindWindowOfProcess(pid_t pid) {
  Node& n = N();
  if (!n.ok) return 0;
  for (const auto& e : TopWindows(n)) {
    if (HandlePid(e.handle) == pid && Reachable(n, e.handle)) return e.handle;
  }
  return 0;
}

pid_t WindowProcess(Handle window) { return HandlePid(window); }

bool IsWindow(Handle window) {
  Node& n = N();
  if (!n.ok || window == 0 || window == kBroadcast) return false;
  if (HandlePid(window) == n.pid) return n.windows.count(window) > 0;
  struct stat st{};
  return ::stat(HandlePath(n, window).c_str(), &st) == 0 && ProcessAlive(HandlePid(window));
}

bool PostMessage(Handle window, std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
  Node& n = N();
  if (!n.ok || window == 0) return false;
  if (window == kBroadcast) {
    bool any = false;
    for (const auto& e : TopWindows(n)) {
      if (e.handle != kBroadcast && PostMessage(e.handle, msg, wParam, lParam)) any = true;
    }
    return any;
  }
  const pid_t pid = HandlePid(window);
  if (pid == n.pid) {
    if (!n.windows.count(window)) return false;
    Inbound item;
    item.kind = kPost;
    item.window = window;
    item.msg = msg;
    item.wParam = wParam;
    item.lParam = lParam;
    return Enqueue(n, std::move(item));
  }
  if (!IsWindow(window)) return false;
  Conn* c = Connect(n, pid);
  if (!c) return false;
  wire::Request post;
  post.kind = kPost;
  post.window = window;
  post.msg = msg;
  post.wParam = wParam;
  post.lParam = lParam;
  return WriteFrame(n, c->serial, wire::EncodeRequest(post));
}

std::optional<std::int32_t> SendMessageTimeout(Handle window, std::uint32_t msg, std::uint32_t wParam,
                                               std::int32_t lParam, int timeoutMs) {
  Node& n = N();
  if (!n.ok || window == 0 || window == kBroadcast) return std::nullopt;
  const pid_t pid = HandlePid(window);
  if (pid == n.pid) {
    auto it = n.windows.find(window);
    if (it == n.windows.end() || !it->second.proc) return std::nullopt;
    WndProc proc = it->second.proc;
    return proc(msg, wParam, lParam);
  }
  if (!IsWindow(window)) return std::nullopt;
  wire::Request send;
  send.kind = kSend;
  send.seq = NextSeq();
  send.window = window;
  send.msg = msg;
  send.wParam = wParam;
  send.lParam = lParam;
  Reply reply;
  if (Request(n, pid, send, std::max(1, timeoutMs), reply) != kOk) return std::nullopt;
  const auto answer = wire::DecodeReply(reply.frame);
  if (!answer || answer->kind != kSendReply || answer->found != 1) return std::nullopt;
  return answer->result;
}

// ---- Objects ----

struct Interface::Proxy {
  pid_t pid = 0;
  std::uint64_t serial = 0;
  std::uint32_t object = 0;
  ~Proxy() {
    Node& n = RawNode();
    if (!n.ok || !FindConn(n, serial)) return;
    wire::Request release;
    release.kind = kRelease;
    release.object = object;
    WriteFrame(n, serial, wire::EncodeRequest(release));
  }
};

HResult CreateInstance(const Guid& clsid, std::uint32_t, const Guid& iid, Interface& out) {
  out = Interface();
  Node& n = N();
  if (!n.ok) return kClassNotRegistered;
  const std::string prefix = "k" + GuidKey(clsid) + ".";
  HResult last = kClassNotRegistered;
  for (const auto& name : ListDir(n.dir, 'k')) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(name.substr(prefix.size()).c_str(), nullptr, 10));
    if (pid <= 0) continue;
    if (!Connect(n, pid)) {
      last = kClassNotRegistered;
      continue;
    }
    wire::Request create;
    create.kind = kCreate;
    create.seq = NextSeq();
    create.guid = clsid;
    create.iid = iid;
    Reply reply;
    std::uint64_t serial = 0;
    const HResult hr = Request(n, pid, create, TimeoutMs(), reply, &serial);
    if (hr != kOk) return hr;
    const auto answer = wire::DecodeReply(reply.frame);
    if (!answer || answer->kind != kCreateReply) {
      CloseConn(n, serial, kInvalidPacket);
      return kInvalidPacket;
    }
    const HResult result = answer->result;
    const std::uint32_t object = answer->object;
    if (Failed(result)) return result;
    auto proxy = std::make_shared<Interface::Proxy>();
    proxy->pid = pid;
    proxy->serial = serial;
    proxy->object = object;
    out.proxy_ = std::move(proxy);
    out.iid_ = iid;
    return result;
  }
  return last;
}

HResult Interface::Query(const Guid& iid, Interface& out) const {
  if (!proxy_) return kFail;
  Node& n = N();
  wire::Request query;
  query.kind = kQuery;
  query.seq = NextSeq();
  query.object = proxy_->object;
  query.guid = iid;
  Reply reply;
  const HResult hr = Request(n, proxy_->pid, query, TimeoutMs(), reply, nullptr, proxy_->serial);
  if (hr != kOk) return hr;
  const auto answer = wire::DecodeReply(reply.frame);
  if (!answer || answer->kind != kQueryReply) {
    CloseConn(n, proxy_->serial, kInvalidPacket);
    return kInvalidPacket;
  }
  const HResult result = answer->result;
  if (Failed(result)) return result;
  out.proxy_ = proxy_;
  out.iid_ = iid;
  return result;
}

HResult Interface::Call(int slot, const std::vector<Value>& in, std::span<const ValueType> outTypes,
                        std::vector<Value>& out) const {
  out.clear();
  if (!proxy_) return kFail;
  if (slot < 0 || slot > 0xFFFF || in.size() > kMaxValues) return kInvalidArg;
  for (const auto& v : in) {
    if (v.type == ValueType::String && v.text.size() > kMaxStringUnits) return kInvalidArg;
  }
  // Keep the reference alive through the wait: a handler run by the pump
  // may release the caller's copy.
  const std::shared_ptr<Proxy> proxy = proxy_;
  Node& n = N();
  wire::Request call;
  call.kind = kCall;
  call.seq = NextSeq();
  call.object = proxy->object;
  call.guid = iid_;
  call.slot = slot;
  call.in = in;
  Reply reply;
  const HResult hr = Request(n, proxy->pid, call, TimeoutMs(), reply, nullptr, proxy->serial);
  if (hr != kOk) return hr;
  auto answer = wire::DecodeReply(reply.frame);
  if (!answer || answer->kind != kCallReply || answer->object != proxy->object || answer->slot != slot) {
    // Not the answer to this call: the stream cannot be trusted any more.
    CloseConn(n, proxy->serial, kInvalidPacket);
    return kInvalidPacket;
  }
  if (answer->overBound || !wire::FitsOutTypes(answer->values, outTypes)) return kBadData;
  const HResult result = answer->result;
  out = std::move(answer->values);
  return result;
}

bool RegisterClassObject(const Guid& clsid, ClassFactory factory) {
  Node& n = N();
  if (!n.ok || !factory) return false;
  n.classes[GuidKey(clsid)] = std::move(factory);
  TouchFile(ClassPath(n, clsid, n.pid));
  return true;
}

void RevokeClassObject(const Guid& clsid) {
  Node& n = N();
  if (!n.ok) return;
  n.classes.erase(GuidKey(clsid));
  ::unlink(ClassPath(n, clsid, n.pid).c_str());
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
  if (n.hook) RemovePumpHook(n.hook);
  CloseAll(n);
  std::vector<pid_t> children = std::move(n.children);
  n = Node{};
  n.children = std::move(children);
}

// ---- Processes and the registry ----

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
    ProcessMessages();
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
  const bool known =
      (root == RegistryRoot::LocalMachine &&
       ieq(subkey, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\DSMP.EXE")) ||
      (root == RegistryRoot::CurrentUser && ieq(subkey, "Software\\DELTA\\DSMP"));
  if (!known) return std::nullopt;
  std::string program = CurrentSettings().playerProgram;
  if (program.empty()) return std::nullopt;
  return program;
}

}  // namespace sl::platform::ipc
