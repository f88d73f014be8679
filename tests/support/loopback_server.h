// A scripted HTTP-ish server on 127.0.0.1 for tests and benchmarks. It
// listens on an ephemeral port, serves connections one after another on its
// own thread, records the raw bytes of every request it reads, and plays a
// script on each connection: sends, delays, one byte per segment, closing
// early, never answering. Everything is bounded: request size, bytes sent,
// the server's lifetime (it stops itself), and the destructor stops it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sl::test {

// What the server does on one connection. Texts may contain "{port}", which
// is replaced by the server's port when sent (for redirects to itself).
class ServerScript {
 public:
  struct Step {
    enum Kind { kSend, kSendBytewise, kDelay, kSendRepeated, kHang, kClose, kReset } kind;
    std::string bytes;
    int ms = 0;
    std::size_t total = 0;
    bool hasPort = false;  // bytes contain "{port}"
  };

  // By default the request is read (up to its blank line, then the body its
  // Content-Length announces) before the first step; NoRead() starts the
  // script at once.
  ServerScript& NoRead();
  // One send() of the bytes.
  ServerScript& Send(std::string bytes);
  // One byte per TCP segment, gapMs between them.
  ServerScript& SendBytewise(std::string bytes, int gapMs = 1);
  ServerScript& Delay(int ms);
  // total bytes made of chunk repeated (a large or "endless" body); stops
  // early when the client goes away.
  ServerScript& SendRepeated(std::string chunk, std::size_t total);
  // Sends nothing more and keeps the connection open until the client
  // closes it or the server stops.
  ServerScript& Hang();
  // Closes the connection now (the end of a script closes it anyway).
  ServerScript& Close();
  // Aborts the connection now: the client's next read fails with a reset
  // (ECONNRESET) instead of seeing an orderly end.
  ServerScript& Reset();

  bool readRequest = true;
  std::vector<Step> steps;
};

// A complete HTTP/1.0 reply: status line, the given header lines, a blank
// line, the body. No Content-Length unless given in headers.
std::string HttpReply(int code, const std::string& body, const std::vector<std::string>& headers = {});

class LoopbackServer {
 public:
  // Connection i plays scripts[i]; the last script plays for every further
  // connection. The server stops itself after lifetimeMs.
  explicit LoopbackServer(std::vector<ServerScript> scripts, int lifetimeMs = 30000);
  explicit LoopbackServer(ServerScript script, int lifetimeMs = 30000);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path = "/") const;
  // Raw bytes of each request read, in order (the first kMaxRecorded).
  std::vector<std::string> Requests() const;
  // Connections accepted so far.
  int Connections() const { return connections_.load(); }
  void Stop();

  static constexpr std::size_t kMaxRequestBytes = 1 << 20;
  static constexpr std::size_t kMaxRecorded = 64;

 private:
  void Run();
  void Serve(int fd, const ServerScript& script);
  bool ReadRequest(int fd, std::string& request);
  bool SendAll(int fd, const char* data, std::size_t len);
  // Sleeps up to ms; false when the server is stopping.
  bool Pause(int ms);
  // Stop() was called or the lifetime is over.
  bool Stopping() const;

  std::vector<ServerScript> scripts_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};  // a pipe: writing to it wakes the thread to stop
  int port_ = 0;
  std::chrono::steady_clock::time_point end_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A loopback port on which nothing listens (the socket is bound, so no one
// else takes the port while this lives): connecting to it is refused.
class RefusedPort {
 public:
  RefusedPort();
  ~RefusedPort();
  RefusedPort(const RefusedPort&) = delete;
  RefusedPort& operator=(const RefusedPort&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback port whose accept queue is kept full and never drained: a
// connect to it stays pending (its SYN is dropped) until the caller gives up.
class SilentPort {
 public:
  SilentPort();
  ~SilentPort();
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  int Port() const { return port_; }

 private:
  int listenFd_ = -1;
  int fillerFd_ = -1;
  int port_ = 0;
};

}  // namespace sl::test
