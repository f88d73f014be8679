// The socket server: one thread, non-blocking sockets and poll(). Every
// connection carries one request; reading it, waiting for a scripted delay,
// writing the reply and draining the rest are all bounded in bytes and time,
// so a silent, slow or hostile client costs at most its own time-out.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "cddbd.h"

namespace sl::cddbd {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 16 * 1024;
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr auto kMaxPollWait = std::chrono::milliseconds(1000);

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string PeerName(const sockaddr_storage& addr, socklen_t len) {
  char host[NI_MAXHOST];
  char serv[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  if (addr.ss_family == AF_INET6) return std::string("[") + host + "]:" + serv;
  return std::string(host) + ":" + serv;
}

}  // namespace

struct Server::Conn {
  enum class State { Reading, Delaying, Writing, Draining, Done };
  int fd = -1;
  std::string peer;
  State state = State::Reading;
  std::string in;
  std::size_t scanFrom = 0;
  std::size_t headLength = 0;
  std::optional<RequestHead> head;
  std::size_t bodyLength = 0;
  std::string out;
  std::size_t sent = 0;
  Clock::time_point deadline;
  Clock::time_point sendAt;
};

Server::Server(ServerOptions options) : options_(std::move(options)), service_(options_.service) {}

Server::~Server() {
  for (auto& c : conns_) {
    if (c->fd >= 0) ::close(c->fd);
  }
  for (int fd : {listenFd_, stopPipe_[0], stopPipe_[1], logFd_}) {
    if (fd >= 0) ::close(fd);
  }
}

bool Server::Open(std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(options_.service.root, ec)) {
    error = "not a folder: " + options_.service.root.string();
    return false;
  }
  if (::pipe2(stopPipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options_.port);
  const int gai = ::getaddrinfo(options_.bindAddress.c_str(), port.c_str(), &hints, &found);
  if (gai != 0 || !found) {
    error = "bad bind address " + options_.bindAddress + ": " + ::gai_strerror(gai);
    return false;
  }
  listenFd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  const bool ok = listenFd_ >= 0 && ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                  ::bind(listenFd_, found->ai_addr, found->ai_addrlen) == 0 && ::listen(listenFd_, 64) == 0;
  const int err = errno;
  ::freeaddrinfo(found);
  if (!ok) {
    error = "cannot listen on " + options_.bindAddress + " port " + port + ": " + std::strerror(err);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  service_.Config().port = port_;
  if (!options_.logFile.empty()) {
    logFd_ = ::open(options_.logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (logFd_ < 0) {
      error = "cannot open log " + options_.logFile.string() + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

void Server::Stop() {
  if (stopPipe_[1] >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(stopPipe_[1], "x", 1);
  }
}

int Server::Run() {
  const Clock::duration idleLimit = Seconds(options_.idleExitSeconds);
  Clock::time_point lastActivity = Clock::now();
  std::vector<pollfd> fds;
  while (true) {
    const bool limitReached = options_.maxRequests > 0 && answered_.load() >= options_.maxRequests;
    const Clock::time_point now = Clock::now();
    if (limitReached && conns_.empty()) break;
    if (options_.idleExitSeconds > 0 && conns_.empty() && now - lastActivity >= idleLimit) break;

    fds.clear();
    fds.push_back({stopPipe_[0], POLLIN, 0});
    const bool accepting = !limitReached && static_cast<int>(conns_.size()) < options_.maxConnections;
    fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
    Clock::time_point wake = now + kMaxPollWait;
    if (options_.idleExitSeconds > 0 && conns_.empty()) wake = std::min(wake, lastActivity + idleLimit);
    for (const auto& c : conns_) {
      short events = 0;
      if (c->state == Conn::State::Reading || c->state == Conn::State::Draining) events = POLLIN;
      if (c->state == Conn::State::Writing) events = POLLOUT;
      fds.push_back({c->fd, events, 0});
      wake = std::min(wake, c->state == Conn::State::Delaying ? c->sendAt : c->deadline);
    }
    const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, waitMs)));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (fds[0].revents & POLLIN)) break;  // Stop() or a signal
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      Accept();
      lastActivity = Clock::now();
    }
    // Connections accepted just now have no poll entry yet; they wait for
    // the next round.
    const std::size_t polled = fds.size() - 2;
    for (std::size_t i = 0; i < polled && i < conns_.size(); ++i) {
      Conn& c = *conns_[i];
      const short re = fds[i + 2].revents;
      if (re == 0) continue;
      lastActivity = Clock::now();
      if (c.state == Conn::State::Writing && (re & (POLLOUT | POLLERR | POLLHUP))) {
        OnWritable(c);
      } else if (c.state == Conn::State::Reading || c.state == Conn::State::Draining) {
        OnReadable(c);
      }
    }
    const Clock::time_point later = Clock::now();
    for (auto& cp : conns_) {
      Conn& c = *cp;
      if (c.state == Conn::State::Delaying && later >= c.sendAt) {
        c.state = Conn::State::Writing;
        c.deadline = later + Seconds(options_.clientTimeoutSeconds);
        OnWritable(c);
      } else if (c.state == Conn::State::Reading && later >= c.deadline) {
        if (c.in.empty()) {
          c.state = Conn::State::Done;
        } else {
          if (!c.head) LogHead(c, c.in.substr(0, std::min(c.in.size(), options_.maxHead)), false);
          Answer(c, HtmlError(408, "The request did not arrive in time."), false);
        }
      } else if ((c.state == Conn::State::Writing || c.state == Conn::State::Draining) &&
                 later >= c.deadline) {
        c.state = Conn::State::Done;
      }
    }
    std::erase_if(conns_, [](const std::unique_ptr<Conn>& c) {
      if (c->state != Conn::State::Done) return false;
      ::close(c->fd);
      return true;
    });
  }
  for (auto& c : conns_) ::close(c->fd);
  conns_.clear();
  return 0;
}

void Server::Accept() {
  while (static_cast<int>(conns_.size()) < options_.maxConnections) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd =
        ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a connection that went away
    auto c = std::make_unique<Conn>();
    c->fd = fd;
    c->peer = PeerName(addr, len);
    c->deadline = Clock::now() + Seconds(options_.clientTimeoutSeconds);
    conns_.push_back(std::move(c));
  }
}

void Server::OnReadable(Conn& c) {
  char buf[kReadChunk];
  const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    c.state = Conn::State::Done;
    return;
  }
  if (c.state == Conn::State::Draining) {
    if (n == 0) c.state = Conn::State::Done;
    return;
  }
  if (n == 0) {
    // The client finished sending (or left) before a whole request came.
    if (c.in.empty()) {
      c.state = Conn::State::Done;
    } else if (!c.head) {
      LogHead(c, c.in, false);
      Answer(c, HtmlError(400, "The request ended before its header was complete."), false);
    } else {
      Answer(c, HtmlError(400, "The request body is shorter than its Content-Length."), false);
    }
    return;
  }
  c.in.append(buf, static_cast<std::size_t>(n));
  TryDispatch(c);
}

void Server::TryDispatch(Conn& c) {
  if (!c.head) {
    const HeadScan scan = ScanHead(c.in, options_.maxHead, c.scanFrom, c.headLength);
    if (scan == HeadScan::Incomplete) return;
    if (scan == HeadScan::TooLarge) {
      const std::string_view first = std::string_view(c.in).substr(0, options_.maxHead);
      LogHead(c, first, false);
      // No line end at all: the request line alone is too long.
      const int status = first.find('\n') == std::string_view::npos ? 414 : 431;
      Answer(c, HtmlError(status), false);
      return;
    }
    const std::string_view raw = std::string_view(c.in).substr(0, c.headLength);
    LogHead(c, raw, true);
    int status = 400;
    c.head = ParseHead(raw, status);
    if (!c.head) {
      Answer(c, HtmlError(status), false);
      return;
    }
    if (c.head->Header("Transfer-Encoding")) {
      Answer(c, HtmlError(501, "Transfer-Encoding is not supported; send Content-Length."), false);
      return;
    }
    std::optional<long> length;
    for (const auto& [name, value] : c.head->headers) {
      if (!EqualsIgnoreCase(name, "Content-Length")) continue;
      const std::optional<long> v = ParseDecimal(value, 1L << 50);
      if (!v || (length && *v != *length)) {
        Answer(c, HtmlError(400, "Bad Content-Length."), false);
        return;
      }
      length = v;
    }
    if (length && static_cast<std::size_t>(*length) > options_.maxBody) {
      Answer(c, HtmlError(413), false);
      return;
    }
    c.bodyLength = length ? static_cast<std::size_t>(*length) : 0;
    const std::string* expect = c.head->Header("Expect");
    if (expect && EqualsIgnoreCase(*expect, "100-continue") && c.head->version == "HTTP/1.1" &&
        c.in.size() < c.headLength + c.bodyLength) {
      // Tell an HTTP/1.1 client to go on with its body rather than make it
      // wait for its own time-out. Best effort: a tiny write on a fresh
      // socket.
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      [[maybe_unused]] const ssize_t n = ::send(c.fd, kContinue.data(), kContinue.size(), MSG_NOSIGNAL);
    }
  }
  if (c.in.size() < c.headLength + c.bodyLength) return;
  const std::string_view body = std::string_view(c.in).substr(c.headLength, c.bodyLength);
  Reply reply = Route(c, body);
  Answer(c, std::move(reply), c.head->method == "HEAD");
}

Reply Server::Route(Conn& c, std::string_view body) {
  const RequestHead& head = *c.head;
  const bool get = head.method == "GET" || head.method == "HEAD";
  const bool post = head.method == "POST";
  if (!get && !post) {
    Reply r = HtmlError(501, "Method " + head.method + " is not supported.");
    r.extraHeaders.emplace_back("Allow", "GET, HEAD, POST");
    return r;
  }
  if (head.path == "/~cddb/cddb.cgi") {
    // A form POST carries the same query in its body.
    return service_.HandleCgi(post ? body : std::string_view(head.query));
  }
  if (head.path == "/~cddb/submit.cgi") {
    if (!post) {
      Reply r = HtmlError(405, "Submissions are sent with POST.");
      r.extraHeaders.emplace_back("Allow", "POST");
      return r;
    }
    return service_.HandleSubmit(head, std::string_view(c.in).substr(0, c.headLength), body);
  }
  return HtmlError(404, "The requested URL " + head.path + " was not found on this server.");
}

void Server::Answer(Conn& c, Reply reply, bool headOnly) {
  ++answered_;
  if (reply.closeSilently) {
    c.state = Conn::State::Done;
    return;
  }
  c.out = BuildResponse(reply, headOnly);
  c.sent = 0;
  const Clock::time_point now = Clock::now();
  if (reply.delayMs > 0) {
    c.state = Conn::State::Delaying;
    c.sendAt = now + std::chrono::milliseconds(reply.delayMs);
    return;
  }
  c.state = Conn::State::Writing;
  c.deadline = now + Seconds(options_.clientTimeoutSeconds);
  OnWritable(c);
}

void Server::OnWritable(Conn& c) {
  while (c.sent < c.out.size()) {
    const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      c.state = Conn::State::Done;
      return;
    }
    c.sent += static_cast<std::size_t>(n);
  }
  // All sent: end our side, then read what the client may still send until
  // it closes, so unread input does not turn the close into a reset that
  // could destroy the reply in flight.
  ::shutdown(c.fd, SHUT_WR);
  c.state = Conn::State::Draining;
  c.deadline = Clock::now() + std::min<Clock::duration>(kDrainTime, Seconds(options_.clientTimeoutSeconds));
}

void Server::LogHead(const Conn& c, std::string_view head, bool complete) {
  if (logFd_ < 0) return;
  ++logged_;
  const std::string line = std::to_string(logged_) + "\t" + c.peer + "\t" +
                           (complete ? "complete" : "partial") + "\t" + EscapeBytes(head) + "\n";
  WriteAll(logFd_, line);
}

}  // namespace sl::cddbd
