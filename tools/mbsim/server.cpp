// The server: one connection at a time, each answered and closed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "mbsim.h"

namespace sl::mbsim {

namespace {

constexpr const char* kNotFoundBody =
    R"({"error":"Not Found","help":"For usage, please see: https://musicbrainz.org/development/mmd"})";
constexpr std::size_t kMaxRoutes = 4096;
constexpr std::size_t kMaxHugeBytes = std::size_t{1} << 31;

// Sends everything, waiting for the peer up to the client time-out. False
// when the peer went away or stopped reading.
bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, Server::kClientTimeoutMs) <= 0) return false;
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendText(int fd, const std::string& text) { return SendAll(fd, text.data(), text.size()); }

std::string Head(int code, const std::vector<std::string>& extra) {
  const char* reason = code == 200   ? "OK"
                       : code == 400 ? "Bad Request"
                       : code == 404 ? "Not Found"
                       : code == 503 ? "Service Unavailable"
                                     : "Status";
  std::string head = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
  head += "Content-Type: application/json; charset=utf-8\r\nConnection: close\r\n";
  for (const std::string& line : extra) head += line + "\r\n";
  return head;
}

bool SendReply(int fd, int code, const std::string& body, std::vector<std::string> extra = {}) {
  extra.push_back("Content-Length: " + std::to_string(body.size()));
  return SendText(fd, Head(code, extra) + "\r\n" + body);
}

// Filler that starts like a JSON answer and never ends one.
void SendHuge(int fd, std::size_t total, bool chunked) {
  std::vector<std::string> extra;
  if (chunked) extra.emplace_back("Transfer-Encoding: chunked");
  else extra.push_back("Content-Length: " + std::to_string(total));
  if (!SendText(fd, Head(200, extra) + "\r\n")) return;
  const std::string piece = R"({"releases":[)" + std::string(65536 - 13, ' ');
  std::size_t sent = 0;
  while (sent < total) {
    const std::size_t n = std::min(piece.size(), total - sent);
    if (chunked) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", n);
      if (!SendText(fd, size)) return;
    }
    if (!SendAll(fd, piece.data(), n)) return;
    if (chunked && !SendText(fd, "\r\n")) return;
    sent += n;
  }
  if (chunked) SendText(fd, "0\r\n\r\n");
}

std::string HeaderValue(const std::string& head, const std::string& name) {
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() <= name.size() || line[name.size()] != ':') continue;
    if (!std::equal(name.begin(), name.end(), line.begin(),
                    [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
      continue;
    const std::size_t start = line.find_first_not_of(' ', name.size() + 1);
    return start == std::string::npos ? "" : line.substr(start);
  }
  return "";
}

}  // namespace

bool ReadRoutes(const std::string& text, std::map<std::string, Route>& routes, std::string& why) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line) && routes.size() < kMaxRoutes) {
    ++number;
    if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string id;
    Route route;
    if (!(words >> id)) continue;
    if (!(words >> route.action)) {
      why = "line " + std::to_string(number) + ": no action";
      return false;
    }
    for (std::string w; words >> w;) route.args.push_back(w);
    const std::size_t need =
        route.action == "json" || route.action == "cut" || route.action == "status" || route.action == "huge"
            ? 1
        : route.action == "busy" ? 3
                                 : 99;
    if (need == 99 || route.args.size() < need) {
      why = "line " + std::to_string(number) + ": bad route \"" + line + "\"";
      return false;
    }
    routes[id] = std::move(route);
  }
  return true;
}

Server::Server(std::string dataDir) : dataDir_(std::move(dataDir)) {
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) wakeFds_[0] = wakeFds_[1] = -1;
}

Server::~Server() {
  for (int fd : {listenFd_, wakeFds_[0], wakeFds_[1]})
    if (fd >= 0) ::close(fd);
}

bool Server::Listen(int port, std::string& why) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    why = std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t len = sizeof addr;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    why = std::strerror(errno);
    return false;
  }
  port_ = ntohs(addr.sin_port);
  return true;
}

void Server::Stop() {
  stop_ = true;
  if (wakeFds_[1] >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(wakeFds_[1], "x", 1);
  }
}

std::vector<RequestRecord> Server::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string Server::Load(const std::string& name) const {
  // Names come from the routes file; nothing outside the data folder.
  if (name.find('/') != std::string::npos) return "";
  std::ifstream in(dataDir_ + "/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void Server::Run(std::chrono::seconds idleExit) {
  auto idleUntil = std::chrono::steady_clock::now() + idleExit;
  while (!stop_ && std::chrono::steady_clock::now() < idleUntil) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (::poll(fds, 2, 200) <= 0) continue;
    if (fds[1].revents != 0) break;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Serve(fd);
    ::close(fd);
    idleUntil = std::chrono::steady_clock::now() + idleExit;
  }
}

void Server::Serve(int fd) {
  std::string request;
  char buf[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClientTimeoutMs);
  while (request.find("\r\n\r\n") == std::string::npos) {
    if (request.size() >= kMaxRequestBytes || std::chrono::steady_clock::now() >= deadline) return;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    request.append(buf, static_cast<std::size_t>(n));
  }
  const std::string head = request.substr(0, request.find("\r\n\r\n"));
  std::istringstream first(head.substr(0, head.find("\r\n")));
  std::string method, target;
  first >> method >> target;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.size() < kMaxRecorded)
      requests_.push_back({std::chrono::steady_clock::now(), target, HeaderValue(head, "User-Agent")});
  }
  const std::string prefix = "/ws/2/discid/";
  if (method != "GET" || target.compare(0, prefix.size(), prefix) != 0) {
    SendReply(fd, 400, R"({"error":"Invalid resource."})");
    return;
  }
  const std::string id = target.substr(prefix.size(), target.find('?') - prefix.size());

  // The routes are read for every request, so a test or a demo may change
  // them while the server runs.
  std::map<std::string, Route> routes;
  std::string why;
  if (!ReadRoutes(Load("routes.txt"), routes, why)) {
    SendReply(fd, 500, R"({"error":"routes.txt: )" + why + "\"}");
    return;
  }
  const auto found = routes.find(id);
  if (found == routes.end()) {
    SendReply(fd, 404, kNotFoundBody);
    return;
  }
  const Route& r = found->second;
  if (r.action == "json") {
    SendReply(fd, 200, Load(r.args[0]));
  } else if (r.action == "status") {
    SendReply(fd, std::atoi(r.args[0].c_str()),
              r.args.size() > 1 ? Load(r.args[1]) : R"({"error":"status"})");
  } else if (r.action == "busy") {
    const int limit = std::atoi(r.args[0].c_str());
    int count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      count = busyCounts_[id]++;
    }
    if (limit == 0 || count < limit)
      SendReply(
          fd, 503,
          R"({"error":"Your requests are exceeding the allowable rate limit. Please see https://wiki.musicbrainz.org/XMLWebService for more information."})",
          {"Retry-After: " + r.args[1]});
    else SendReply(fd, 200, Load(r.args[2]));
  } else if (r.action == "cut") {
    const std::string body = Load(r.args[0]);
    SendText(fd, Head(200, {"Content-Length: " + std::to_string(body.size())}) + "\r\n" +
                     body.substr(0, body.size() / 2));
  } else if (r.action == "huge") {
    const auto bytes = std::min<std::size_t>(std::strtoull(r.args[0].c_str(), nullptr, 10), kMaxHugeBytes);
    SendHuge(fd, bytes, r.args.size() > 1 && r.args[1] == "chunked");
  }
}

}  // namespace sl::mbsim
