#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace sl::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string WithPort(std::string text, int port) {
  const std::string key = "{port}";
  const std::string value = std::to_string(port);
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
    text.replace(at, key.size(), value);
  }
  return text;
}

// The Content-Length of a request head (0 when it has none), so that a
// request's body is read and recorded too.
std::size_t BodyLength(const std::string& request) {
  const std::size_t headEnd = request.find("\r\n\r\n");
  std::string head = request.substr(0, headEnd);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::size_t at = head.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return static_cast<std::size_t>(std::strtoull(head.c_str() + at + 17, nullptr, 10));
}

int BoundLoopbackSocket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("loopback server: socket() failed");
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("loopback server: bind() failed");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

ServerScript& ServerScript::NoRead() {
  readRequest = false;
  return *this;
}
ServerScript& ServerScript::Send(std::string bytes) {
  const bool hasPort = bytes.find("{port}") != std::string::npos;
  steps.push_back({Step::kSend, std::move(bytes), 0, 0, hasPort});
  return *this;
}
ServerScript& ServerScript::SendBytewise(std::string bytes, int gapMs) {
  const bool hasPort = bytes.find("{port}") != std::string::npos;
  steps.push_back({Step::kSendBytewise, std::move(bytes), gapMs, 0, hasPort});
  return *this;
}
ServerScript& ServerScript::Delay(int ms) {
  steps.push_back({Step::kDelay, {}, ms});
  return *this;
}
ServerScript& ServerScript::SendRepeated(std::string chunk, std::size_t total) {
  steps.push_back({Step::kSendRepeated, std::move(chunk), 0, total});
  return *this;
}
ServerScript& ServerScript::Hang() {
  steps.push_back({Step::kHang, {}});
  return *this;
}
ServerScript& ServerScript::Close() {
  steps.push_back({Step::kClose, {}});
  return *this;
}
ServerScript& ServerScript::Reset() {
  steps.push_back({Step::kReset, {}});
  return *this;
}

std::string HttpReply(int code, const std::string& body, const std::vector<std::string>& headers) {
  std::string reply = "HTTP/1.0 " + std::to_string(code) + " Status\r\n";
  for (const auto& h : headers) reply += h + "\r\n";
  reply += "\r\n";
  reply += body;
  return reply;
}

LoopbackServer::LoopbackServer(ServerScript script, int lifetimeMs)
    : LoopbackServer(std::vector<ServerScript>{std::move(script)}, lifetimeMs) {}

LoopbackServer::LoopbackServer(std::vector<ServerScript> scripts, int lifetimeMs)
    : scripts_(std::move(scripts)) {
  if (scripts_.empty()) scripts_.emplace_back();
  listenFd_ = BoundLoopbackSocket(port_);
  if (::listen(listenFd_, 16) != 0 || ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("loopback server: listen() failed");
  }
  ::fcntl(listenFd_, F_SETFL, O_NONBLOCK);
  end_ = Clock::now() + std::chrono::milliseconds(lifetimeMs);
  thread_ = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
  Stop();
  ::close(listenFd_);
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
}

void LoopbackServer::Stop() {
  if (!stop_.exchange(true)) {
    char c = 1;
    [[maybe_unused]] auto n = ::write(wakeFds_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> LoopbackServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool LoopbackServer::Stopping() const { return stop_.load() || Clock::now() >= end_; }

bool LoopbackServer::Pause(int ms) {
  const auto until = std::min(end_, Clock::now() + std::chrono::milliseconds(std::max(ms, 0)));
  while (!Stopping()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return true;
    pollfd p{wakeFds_[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) > 0) return false;
  }
  return false;
}

void LoopbackServer::Run() {
  while (!Stopping()) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(p, 2, 100) <= 0 || !(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int index = connections_.fetch_add(1);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    Serve(fd, scripts_[std::min<std::size_t>(static_cast<std::size_t>(index), scripts_.size() - 1)]);
    ::close(fd);
  }
}

bool LoopbackServer::ReadRequest(int fd, std::string& request) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  char buf[16384];
  // The head, then as much body as it announces.
  auto complete = [&request] {
    const std::size_t headEnd = request.find("\r\n\r\n");
    return headEnd != std::string::npos && request.size() >= headEnd + 4 + BodyLength(request);
  };
  while (!complete() && request.size() < kMaxRequestBytes) {
    if (Stopping() || Clock::now() >= end) return false;
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(p, 2, 100) <= 0) continue;
    if (p[1].revents) return false;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      request.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return !request.empty();
    }
  }
  return true;
}

bool LoopbackServer::SendAll(int fd, const char* data, std::size_t len) {
  std::size_t sent = 0;
  while (sent < len) {
    if (Stopping()) return false;
    ssize_t n = ::send(fd, data + sent, len - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;  // the client went away
    pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFds_[0], POLLIN, 0}};
    ::poll(p, 2, 100);
  }
  return true;
}

void LoopbackServer::Serve(int fd, const ServerScript& script) {
  if (script.readRequest) {
    std::string request;
    bool ok = ReadRequest(fd, request);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (requests_.size() < kMaxRecorded) requests_.push_back(request);
    }
    if (!ok) return;
  }
  for (const auto& step : script.steps) {
    if (Stopping()) return;
    switch (step.kind) {
      case ServerScript::Step::kSend: {
        // Large replies (benchmarks) go out without a copy.
        if (!step.hasPort) {
          if (!SendAll(fd, step.bytes.data(), step.bytes.size())) return;
          break;
        }
        const std::string bytes = WithPort(step.bytes, port_);
        if (!SendAll(fd, bytes.data(), bytes.size())) return;
        break;
      }
      case ServerScript::Step::kSendBytewise: {
        const std::string bytes = WithPort(step.bytes, port_);
        for (char c : bytes) {
          if (!SendAll(fd, &c, 1) || !Pause(step.ms)) return;
        }
        break;
      }
      case ServerScript::Step::kDelay:
        if (!Pause(step.ms)) return;
        break;
      case ServerScript::Step::kSendRepeated: {
        if (step.bytes.empty()) break;
        // Repeat the chunk into a block of about 64 KiB so that a long
        // stream costs a few thousand writes, not millions.
        std::string block;
        while (block.size() < 65536) block += step.bytes;
        std::size_t left = step.total;
        while (left > 0) {
          const std::size_t n = std::min(left, block.size());
          if (!SendAll(fd, block.data(), n)) return;
          left -= n;
        }
        break;
      }
      case ServerScript::Step::kHang: {
        char buf[4096];
        for (;;) {
          pollfd p[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
          if (::poll(p, 2, 100) < 0 && errno != EINTR) return;
          if (Stopping() || p[1].revents) return;
          if (p[0].revents) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;  // client closed
          }
        }
      }
      case ServerScript::Step::kClose: return;
      case ServerScript::Step::kReset: {
        // A zero linger time makes close() send RST; the caller closes fd.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        return;
      }
    }
  }
}

RefusedPort::RefusedPort() { fd_ = BoundLoopbackSocket(port_); }

RefusedPort::~RefusedPort() { ::close(fd_); }

SilentPort::SilentPort() {
  listenFd_ = BoundLoopbackSocket(port_);
  // A backlog of 0 holds one connection; the filler takes that place.
  if (::listen(listenFd_, 0) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("silent port: listen() failed");
  }
  fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  if (fillerFd_ < 0 || ::connect(fillerFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fillerFd_ >= 0) ::close(fillerFd_);
    ::close(listenFd_);
    throw std::runtime_error("silent port: cannot fill the accept queue");
  }
}

SilentPort::~SilentPort() {
  ::close(fillerFd_);
  ::close(listenFd_);
}

}  // namespace sl::test
