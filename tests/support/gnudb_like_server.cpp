#include "support/gnudb_like_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace sl::test {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Decode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// ISO-8859-1 when every character fits, else nothing.
bool ToLatin1(const std::string& utf8, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
      out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      return false;
    }
  }
  return true;
}

std::string Http(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Header(const std::string& head, const std::string& name) {
  const std::string lowerHead = Lower(head);
  const auto at = lowerHead.find("\r\n" + Lower(name) + ":");
  if (at == std::string::npos) return {};
  std::size_t v = at + 3 + name.size();
  while (v < head.size() && head[v] == ' ') ++v;
  return head.substr(v, head.find("\r\n", v) - v);
}

long long RevisionOf(const std::string& text) {
  const auto at = text.find("# Revision:");
  return at == std::string::npos ? 0 : std::strtoll(text.c_str() + at + 11, nullptr, 10);
}

// The values of every line of a key, joined: xmcd continues a long value on
// lines with the same keyword.
std::string Joined(const std::string& text, const std::string& key) {
  std::string value;
  for (std::size_t i = 0; i < text.size();) {
    const auto nl = std::min(text.find('\n', i), text.size());
    const std::string line = text.substr(i, nl - i);
    if (line.rfind(key + "=", 0) == 0) value += line.substr(key.size() + 1);
    i = nl + 1;
  }
  return value;
}

}  // namespace

GnudbLikeServer::GnudbLikeServer(std::map<std::string, Entry> entries) : entries_(std::move(entries)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    throw std::runtime_error("gnudb-like server: cannot listen");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

GnudbLikeServer::~GnudbLikeServer() {
  stop_ = true;
  thread_.join();
  ::close(listenFd_);
}

std::string GnudbLikeServer::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/~cddb/cddb.cgi?";
}

std::vector<std::string> GnudbLikeServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> GnudbLikeServer::Stored() const {
  std::lock_guard lock(mutex_);
  return stored_;
}

void GnudbLikeServer::Run() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // One request per connection: the head, then the body its length says.
    std::string request;
    std::size_t need = std::string::npos;
    char buf[4096];
    for (int rounds = 0; rounds < 1000 && request.size() < (1u << 20); ++rounds) {
      pollfd q{fd, POLLIN, 0};
      if (::poll(&q, 1, 2000) <= 0) break;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<std::size_t>(n));
      const auto end = request.find("\r\n\r\n");
      if (end != std::string::npos && need == std::string::npos)
        need =
            end + 4 +
            static_cast<std::size_t>(std::atoi(Header(request.substr(0, end + 2), "Content-Length").c_str()));
      if (need != std::string::npos && request.size() >= need) break;
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    const std::string reply = Answer(request);
    for (std::size_t done = 0; done < reply.size();) {
      const ssize_t n = ::send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
}

std::string GnudbLikeServer::Answer(const std::string& request) {
  const auto headEnd = request.find("\r\n\r\n");
  const std::string head = request.substr(0, headEnd == std::string::npos ? request.size() : headEnd + 2);
  const std::string body = headEnd == std::string::npos ? std::string() : request.substr(headEnd + 4);
  const std::string target =
      head.substr(head.find(' ') + 1, head.find(' ', head.find(' ') + 1) - head.find(' ') - 1);
  if (head.rfind("POST ", 0) == 0 && target.find("/~cddb/submit.cgi") != std::string::npos)
    return Http(Submit(head, body));
  const auto q = target.find('?');
  return Http(Cgi(q == std::string::npos ? std::string() : target.substr(q + 1)));
}

std::string GnudbLikeServer::Cgi(const std::string& query) {
  std::string cmd, hello;
  int proto = 1;
  std::size_t start = 0;
  while (start <= query.size()) {
    const auto end = std::min(query.find('&', start), query.size());
    const std::string piece = query.substr(start, end - start);
    const auto eq = piece.find('=');
    const std::string name = Lower(piece.substr(0, eq));
    const std::string value = eq == std::string::npos ? std::string() : Decode(piece.substr(eq + 1));
    if (name == "cmd") cmd = value;
    if (name == "hello") hello = value;
    if (name == "proto") proto = std::atoi(value.c_str());
    start = end + 1;
  }
  if (cmd.empty() || hello.empty()) return "500 Command syntax error: incorrect number of arguments.\r\n";
  auto forLevel = [&](const std::string& utf8) {
    std::string latin1;
    return proto < 6 && ToLatin1(utf8, latin1) ? latin1 : utf8;
  };
  std::vector<std::string> w;
  for (std::size_t i = 0; i < cmd.size();) {
    const auto sp = std::min(cmd.find(' ', i), cmd.size());
    if (sp > i) w.push_back(cmd.substr(i, sp - i));
    i = sp + 1;
  }
  if (w.size() >= 3 && Lower(w[0]) == "cddb" && Lower(w[1]) == "query") {
    const auto it = entries_.find(Lower(w[2]));
    if (it == entries_.end()) return "202 No match for disc ID " + Lower(w[2]) + ".\r\n";
    const std::string title = Joined(it->second.text, "DTITLE");
    return "200 " + it->second.category + " " + it->first + " " + forLevel(title) + "\r\n";
  }
  if (w.size() == 4 && Lower(w[0]) == "cddb" && Lower(w[1]) == "read") {
    const auto it = entries_.find(Lower(w[3]));
    if (it == entries_.end() || it->second.category != Lower(w[2]))
      return "401 " + w[2] + " " + w[3] + " No such CD entry in database.\r\n";
    std::string out = "210 " + it->second.category + " " + it->first +
                      " CD database entry follows (until terminating `.')\r\n";
    std::string text = forLevel(it->second.text);
    for (std::size_t i = 0; i < text.size();) {
      const auto nl = std::min(text.find('\n', i), text.size());
      out += text.substr(i, nl - i) + "\r\n";
      i = nl + 1;
    }
    return out + ".\r\n";
  }
  return "500 Unrecognized command.\r\n";
}

std::string GnudbLikeServer::Submit(const std::string& head, const std::string& body) {
  const std::string discid = Lower(Header(head, "Discid"));
  const auto it = entries_.find(discid);
  if (it != entries_.end() && RevisionOf(body) <= RevisionOf(it->second.text))
    return "501 Entry rejected: revision too low.\r\n";
  if (Lower(Header(head, "Submit-Mode")) == "test") return "200 OK, submission is valid.\r\n";
  std::lock_guard lock(mutex_);
  stored_.push_back(head + "\r\n" + body);
  return "200 OK, submission has been sent.\r\n";
}

}  // namespace sl::test
