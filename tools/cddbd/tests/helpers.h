// Shared by the cddbd tests: temporary folders with a copy of the demo
// entries, a raw HTTP exchange over loopback, and a server run in a thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "cddbd.h"

namespace sl::cddbd::test {

namespace fs = std::filesystem;

class TempTree {
 public:
  TempTree() {
    std::string tmpl = (fs::temp_directory_path() / "cddbd-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempTree() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  const fs::path& Path() const { return path_; }

  // A copy of the demo entries at Path()/db.
  fs::path CopyDemo() const {
    const fs::path db = path_ / "db";
    fs::copy(CDDBD_DEMO_DIR, db, fs::copy_options::recursive);
    return db;
  }

 private:
  fs::path path_;
};

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Replaces every LF with CR LF.
inline std::string ToCrLf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

inline int ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline void SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads until the peer closes, for at most `limit`.
inline std::string ReadToClose(int fd, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + limit;
  char buf[8192];
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// One request, the whole response. With halfClose the client ends its
// sending side after the request, as a client that has nothing more to say.
inline std::string Exchange(std::uint16_t port, std::string_view request, bool halfClose = false) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return "";
  SendAll(fd, request);
  if (halfClose) ::shutdown(fd, SHUT_WR);
  std::string out = ReadToClose(fd);
  ::close(fd);
  return out;
}

struct Response {
  int status = 0;
  std::string head;
  std::string body;
};

inline Response ParseResponse(const std::string& raw) {
  Response r;
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/", 0) != 0 || end == std::string::npos) return r;
  r.head = raw.substr(0, end + 4);
  r.body = raw.substr(end + 4);
  r.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
  return r;
}

inline std::string GetRequest(std::string_view target) {
  return "GET " + std::string(target) + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
}

inline std::string CgiTarget(std::string_view cmd) {
  return "/~cddb/cddb.cgi?cmd=" + std::string(cmd) + "&hello=tester+example.org+SLB+1.311&proto=5";
}

// A server on an ephemeral loopback port, run on its own thread.
class RunningServer {
 public:
  explicit RunningServer(ServerOptions options) : server_(Prepare(std::move(options))) {
    std::string error;
    if (!server_.Open(error)) throw std::runtime_error(error);
    thread_ = std::thread([this] { server_.Run(); });
  }
  ~RunningServer() {
    server_.Stop();
    thread_.join();
  }
  std::uint16_t Port() const { return server_.Port(); }
  Server& Get() { return server_; }

 private:
  static ServerOptions Prepare(ServerOptions o) {
    o.port = 0;
    o.bindAddress = "127.0.0.1";
    return o;
  }
  Server server_;
  std::thread thread_;
};

}  // namespace sl::cddbd::test
