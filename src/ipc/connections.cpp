// The connection layer: connections to and from peers over the node's
// Unix-domain sockets, frames queued and written as the peer reads, frames
// cut from what arrives and handed on, the bounds every peer is held to, and
// a request's wait for its reply.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "ipc/ipc.h"
#include "ipc/node.h"
#include "platform/pump.h"

namespace sl::ipc::detail {

namespace {

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

}  // namespace

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

namespace {

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
}  // namespace

bool FlushConn(Node& n, std::uint64_t serial) {
  Conn* c = FindConn(n, serial);
  if (!c) return false;
  for (int rounds = 0; c->outBytes > 0 && rounds < 1024; ++rounds) {
    const std::string& front = c->out.front();
    const ssize_t k =
        ::send(c->fd, front.data() + c->outHead, front.size() - c->outHead, MSG_NOSIGNAL | MSG_DONTWAIT);
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

namespace {

void ReplyRejected(Node& n, const Inbound& item) {
  if (item.kind == kPost || item.kind == kRelease) return;
  wire::Reply reply;
  reply.kind = item.kind == kSend     ? kSendReply
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
        const std::optional<std::size_t> announced = wire::AnnouncedLength(rest);
        if (!c->helloSeen && announced && *announced != kHelloFrameBytes - 4) {
          DropConn(n, serial, kInvalidPacket);
          return;
        }
        const wire::Cut cut = wire::CutFrame(rest, frame, used);
        if (cut == wire::Cut::kNeedMore) {
          // A frame that cannot be held whole beside the incomplete frames
          // of the other peers would take the node over the bound before it
          // completes: its peer goes now, before the rest is read.
          if (!c->outgoing && announced && n.buffered - c->counted + 4 + *announced > kMaxBufferedBytes) {
            DropConn(n, serial, kBadData);
            return;
          }
          break;
        }
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
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid() ||
        !MakeRoom(n)) {
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

}  // namespace

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

namespace {

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
      platform::ProcessMessages();
    }
  }
}

}  // namespace

// Sends a request and waits for its reply.
HResult Request(Node& n, pid_t pid, const wire::Request& request, int timeoutMs, Reply& out,
                std::uint64_t* serialOut, std::uint64_t requiredSerial) {
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

}  // namespace sl::ipc::detail
