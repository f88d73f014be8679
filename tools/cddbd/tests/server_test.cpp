// The server over real loopback sockets: in a thread for the HTTP
// behaviour, and as the built program for its command line, port file,
// signals and exit conditions.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "helpers.h"

extern char** environ;

namespace sl::cddbd::test {
namespace {

using namespace std::chrono_literals;

const std::string kQuery = CgiTarget("cddb+query+23026203+3+150+18630+35212+612");
const std::string kRockMatch = "200 rock 23026203 The Loopback Trio / Local Host Sessions\r\n";

ServerOptions OptionsFor(const fs::path& db) {
  ServerOptions o;
  o.service.root = db;
  return o;
}

std::vector<std::string> LogLines(const fs::path& log) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(log));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CddbdServer, AnswersHttpRequestsAndLogsTheirHeads) {
  TempTree tree;
  ServerOptions o = OptionsFor(tree.CopyDemo());
  o.logFile = tree.Path() / "requests.log";
  RunningServer server(o);

  Response r = ParseResponse(Exchange(server.Port(), GetRequest(kQuery)));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, kRockMatch);
  EXPECT_NE(r.head.find("\r\nContent-Type: text/plain\r\n"), std::string::npos);
  EXPECT_NE(r.head.find("\r\nConnection: close\r\n"), std::string::npos);

  // HTTP/1.1 is answered in HTTP/1.0 with the connection closed after one
  // reply; the encoded tilde and blanks of a URL are decoded.
  const std::string req11 =
      "GET /%7Ecddb/cddb.cgi?cmd=cddb%20read%20rock%2023026203"
      "&hello=a+b+SLB+1.311&proto=5 HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string raw11 = Exchange(server.Port(), req11);
  EXPECT_EQ(raw11.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  r = ParseResponse(raw11);
  EXPECT_EQ(r.body.rfind("210 rock 23026203 CD database entry follows", 0), 0u);
  EXPECT_EQ(r.body.substr(r.body.size() - 6), "=\r\n.\r\n");  // PLAYORDER=, then the end mark

  // HEAD: the head alone.
  r = ParseResponse(Exchange(server.Port(), "HEAD " + kQuery + " HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  EXPECT_NE(r.head.find("Content-Length: " + std::to_string(kRockMatch.size())), std::string::npos);

  // A proxy-style request with the whole URL works too.
  r = ParseResponse(Exchange(server.Port(), GetRequest("http://127.0.0.1:8880" + kQuery)));
  EXPECT_EQ(r.body, kRockMatch);

  // A form POST carries the query in its body.
  const std::string form = "cmd=cddb+query+23026203+3+150+18630+35212+612&hello=a+b+SLB+1&proto=5";
  r = ParseResponse(Exchange(server.Port(), "POST /~cddb/cddb.cgi HTTP/1.0\r\nContent-Length: " +
                                                std::to_string(form.size()) + "\r\n\r\n" + form));
  EXPECT_EQ(r.body, kRockMatch);

  // The log holds each head exactly, escaped on one line.
  const auto lines = LogLines(o.logFile);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(0, 12), "1\t127.0.0.1:");
  const std::string escaped = "\tcomplete\tGET " + kQuery + " HTTP/1.0\\r\\nHost: 127.0.0.1\\r\\n\\r\\n";
  EXPECT_EQ(lines[0].substr(lines[0].size() - escaped.size()), escaped);
  EXPECT_EQ(UnescapeBytes(lines[1].substr(lines[1].rfind('\t') + 1)), req11);
  EXPECT_EQ(server.Get().RequestsAnswered(), 5);
}

TEST(CddbdServer, BadRequestsGetClearAnswersAndTheServerGoesOn) {
  TempTree tree;
  ServerOptions o = OptionsFor(tree.CopyDemo());
  o.logFile = tree.Path() / "requests.log";
  RunningServer server(o);
  const auto status = [&](const std::string& request, bool halfClose = false) {
    return ParseResponse(Exchange(server.Port(), request, halfClose)).status;
  };

  std::string garbage;
  for (int i = 0; i < 3000; ++i) garbage.push_back(static_cast<char>((i * 7919) % 256));
  EXPECT_EQ(status(garbage, true), 400);                                   // no head end, then EOF
  EXPECT_EQ(status(std::string("\x16\x03\x01\x02\x00\r\n\r\n", 9)), 400);  // binary head
  EXPECT_EQ(status("GET /" + std::string(20000, 'a')), 414);               // endless request line
  std::string bigHeaders = "GET / HTTP/1.0\r\n";
  while (bigHeaders.size() < 20000) bigHeaders += "X-Filler: " + std::string(100, 'f') + "\r\n";
  EXPECT_EQ(status(bigHeaders), 431);
  EXPECT_EQ(status(GetRequest("/index.html")), 404);
  EXPECT_EQ(status("PUT /~cddb/cddb.cgi HTTP/1.0\r\n\r\n"), 501);
  EXPECT_EQ(status(GetRequest("/~cddb/submit.cgi")), 405);
  EXPECT_EQ(status("GET / HTTP/3.0\r\n\r\n"), 505);
  EXPECT_EQ(status("POST /~cddb/submit.cgi HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n"), 501);
  EXPECT_EQ(status("POST /~cddb/submit.cgi HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"), 400);
  EXPECT_EQ(status("POST /~cddb/submit.cgi HTTP/1.0\r\nContent-Length: 99999999\r\n\r\n"), 413);
  EXPECT_EQ(status("POST /~cddb/submit.cgi HTTP/1.0\r\nContent-Length: 10\r\n\r\nshort", true), 400);

  // A connection that says nothing and leaves is simply closed.
  const int fd = ConnectLoopback(server.Port());
  ::close(fd);

  // The CDDB layer answers inside HTTP 200, as real servers do.
  Response r = ParseResponse(Exchange(
      server.Port(), GetRequest("/~cddb/cddb.cgi?cmd=cddb+query+23026203+3+150+18630+35212+612&proto=5")));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "500 Command syntax error: incorrect number of arguments.\r\n");
  r = ParseResponse(Exchange(server.Port(), GetRequest(CgiTarget("frobnicate"))));
  EXPECT_EQ(r.body, "500 Unrecognized command.\r\n");

  // Still serving.
  EXPECT_EQ(ParseResponse(Exchange(server.Port(), GetRequest(kQuery))).body, kRockMatch);
  // Oversized and garbage heads are logged too, cut at the head limit.
  for (const std::string& line : LogLines(o.logFile)) {
    EXPECT_LT(line.size(), 4 * o.maxHead + 100);
  }
  EXPECT_NE(ReadFile(o.logFile).find("\tpartial\tGET /aaaa"), std::string::npos);
}

TEST(CddbdServer, SubmissionsOverHttp) {
  TempTree tree;
  ServerOptions o = OptionsFor(tree.CopyDemo());
  o.service.submitDir = tree.Path() / "posted";
  o.maxBody = 4096;
  RunningServer server(o);

  // A correction of the stored entry: one revision up.
  std::string body = ToCrLf(ReadFile(o.service.root / "rock" / "23026203"));
  body.replace(body.find("# Revision: 0"), 13, "# Revision: 1");
  const std::string head =
      "POST /~cddb/submit.cgi HTTP/1.0\r\nCategory: rock\r\nDiscid: 23026203\r\n"
      "User-Email: someone@example.org\r\nSubmit-Mode: submit\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n";
  // Sent in two pieces, the body after a pause.
  const int fd = ConnectLoopback(server.Port());
  SendAll(fd, head);
  std::this_thread::sleep_for(50ms);
  SendAll(fd, body + "trailing bytes past Content-Length are ignored");
  Response r = ParseResponse(ReadToClose(fd));
  ::close(fd);
  EXPECT_EQ(r.body, "200 OK, submission has been sent.\r\n");
  EXPECT_EQ(ReadFile(o.service.submitDir / "0001-rock-23026203"), head + body);

  // HTTP/1.1 with Expect: 100-continue gets the interim reply first.
  const std::string head11 =
      "POST /~cddb/submit.cgi HTTP/1.1\r\nHost: x\r\nCategory: jazz\r\n"
      "Discid: 30058B05\r\nUser-Email: \r\nSubmit-Mode: submit\r\n"
      "Expect: 100-continue\r\nContent-Length: 39\r\n\r\n";
  const std::string body11 = "# Revision: 7\nDISCID=30058b05\nDTITLE=x\n";
  ASSERT_EQ(body11.size(), 39u);
  const int fd2 = ConnectLoopback(server.Port());
  SendAll(fd2, head11);
  char buf[64] = {};
  pollfd p{fd2, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  const ssize_t n = ::recv(fd2, buf, sizeof buf - 1, 0);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "HTTP/1.1 100 Continue\r\n\r\n");
  SendAll(fd2, body11);
  r = ParseResponse(ReadToClose(fd2));
  ::close(fd2);
  EXPECT_EQ(r.body, "200 OK, submission has been sent.\r\n");
  EXPECT_EQ(ReadFile(o.service.submitDir / "0002-jazz-30058b05"), head11 + body11);

  const std::string missing =
      "POST /~cddb/submit.cgi HTTP/1.0\r\nCategory: rock\r\nContent-Length: 2\r\n\r\nxy";
  EXPECT_EQ(ParseResponse(Exchange(server.Port(), missing)).body,
            "500 Missing required header information.\r\n");
  const std::string tooBig = "POST /~cddb/submit.cgi HTTP/1.0\r\nContent-Length: 4097\r\n\r\n";
  EXPECT_EQ(ParseResponse(Exchange(server.Port(), tooBig)).status, 413);
  EXPECT_FALSE(fs::exists(o.service.submitDir / "0003-rock-23026203"));
}

TEST(CddbdServer, SlowClientsTimeOutWithoutHoldingUpOthers) {
  TempTree tree;
  ServerOptions o = OptionsFor(tree.CopyDemo());
  o.clientTimeoutSeconds = 1.0;
  RunningServer server(o);

  const auto start = std::chrono::steady_clock::now();
  const int slow = ConnectLoopback(server.Port());
  SendAll(slow, "GET " + kQuery + " HTTP/1.0\r\nHost:");  // and then nothing

  // Meanwhile another client is served at once.
  EXPECT_EQ(ParseResponse(Exchange(server.Port(), GetRequest(kQuery))).body, kRockMatch);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);

  const Response r = ParseResponse(ReadToClose(slow));
  ::close(slow);
  EXPECT_EQ(r.status, 408);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 950ms);
  EXPECT_LT(waited, 4s);
}

TEST(CddbdServer, ScriptedFaultsAsTheClientSeesThem) {
  TempTree tree;
  ServerOptions o = OptionsFor(tree.CopyDemo());
  WriteFile(o.service.root / "faults.txt",
            "0000dead http 404\n"
            "deadbeef close\n"
            "0000beef delay 300\n"
            "0000babe raw 200 not http at all\\n\n");
  RunningServer server(o);
  const auto query = [&](const std::string& id) {
    return Exchange(server.Port(), GetRequest(CgiTarget("cddb+query+" + id + "+1+150+100")));
  };
  Response r = ParseResponse(query("0000dead"));
  EXPECT_EQ(r.status, 404);
  EXPECT_NE(r.head.find("Content-Type: text/html"), std::string::npos);
  EXPECT_NE(r.body.find("<title>404 Not Found</title>"), std::string::npos);

  EXPECT_EQ(query("deadbeef"), "");

  const auto start = std::chrono::steady_clock::now();
  r = ParseResponse(query("0000beef"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 280ms);
  EXPECT_EQ(r.body, "202 No match for disc ID 0000beef.\r\n");

  EXPECT_EQ(query("0000babe"), "200 not http at all\n");

  // Editing the file takes effect with the next request.
  WriteFile(o.service.root / "faults.txt", "23026203 reply 402 Server error.\n");
  EXPECT_EQ(ParseResponse(Exchange(server.Port(), GetRequest(kQuery))).body, "402 Server error.\r\n");
}

// --- the built program ------------------------------------------------------

struct Child {
  pid_t pid = -1;
  int status = 0;
  bool exited = false;

  // Waits for the child to end, at most `limit`; kills it if it does not.
  bool Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return exited = true;
      std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    exited = true;
    return false;
  }
  ~Child() {
    if (pid > 0 && !exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  }
};

std::unique_ptr<Child> Spawn(const std::vector<std::string>& args, const fs::path& out) {
  std::vector<char*> argv;
  std::string exe = CDDBD_EXE;
  argv.push_back(exe.data());
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (out.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  auto child = std::make_unique<Child>();
  const int rc = posix_spawn(&child->pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) child->pid = -1;
  return child;
}

// The port from the port file, once the server has written it.
std::uint16_t WaitForPort(const fs::path& portFile) {
  for (int i = 0; i < 500; ++i) {
    const std::string text = ReadFile(portFile);
    if (!text.empty() && text.back() == '\n') return static_cast<std::uint16_t>(std::stoi(text));
    std::this_thread::sleep_for(10ms);
  }
  return 0;
}

TEST(CddbdProgram, PortFileSignalsAndExitConditions) {
  TempTree tree;
  const fs::path db = tree.CopyDemo();
  const fs::path portFile = tree.Path() / "port";
  const fs::path out = tree.Path() / "stdout";

  // Stops on SIGTERM with status 0; the port is in the file and on stdout.
  auto child = Spawn({"--root", db.string(), "--port", "0", "--port-file", portFile.string()}, out);
  ASSERT_GT(child->pid, 0);
  const std::uint16_t port = WaitForPort(portFile);
  ASSERT_NE(port, 0);
  EXPECT_EQ(ParseResponse(Exchange(port, GetRequest(kQuery))).body, kRockMatch);
  EXPECT_EQ(ReadFile(out), std::to_string(port) + "\n");
  ::kill(child->pid, SIGTERM);
  ASSERT_TRUE(child->Wait(5s));
  EXPECT_TRUE(WIFEXITED(child->status));
  EXPECT_EQ(WEXITSTATUS(child->status), 0);

  // --max-requests: exits by itself once that many requests are answered.
  fs::remove(portFile);
  child = Spawn({"--root=" + db.string(), "--port=0", "--port-file", portFile.string(), "--max-requests", "2",
                 "--eol", "lf"},
                out);
  const std::uint16_t port2 = WaitForPort(portFile);
  ASSERT_NE(port2, 0);
  EXPECT_EQ(ParseResponse(Exchange(port2, GetRequest(kQuery))).body,
            "200 rock 23026203 The Loopback Trio / Local Host Sessions\n");
  EXPECT_EQ(ParseResponse(Exchange(port2, GetRequest("/nothing"))).status, 404);
  ASSERT_TRUE(child->Wait(5s));
  EXPECT_EQ(WEXITSTATUS(child->status), 0);

  // --idle-exit: a forgotten server goes away.
  const auto start = std::chrono::steady_clock::now();
  child = Spawn({"--root", db.string(), "--port", "0", "--idle-exit", "0.3"}, out);
  ASSERT_TRUE(child->Wait(5s));
  EXPECT_EQ(WEXITSTATUS(child->status), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);

  // Usage errors give 2, a server that cannot start gives 1, with a message.
  for (const std::vector<std::string>& bad : {std::vector<std::string>{},
                                              {"--root"},
                                              {"--root", db.string(), "--port", "70000"},
                                              {"--root", db.string(), "--eol", "cr"},
                                              {"--root", db.string(), "--bogus"},
                                              {"--root", db.string(), "--idle-exit", "-1"}}) {
    child = Spawn(bad, out);
    ASSERT_TRUE(child->Wait(5s));
    EXPECT_EQ(WEXITSTATUS(child->status), 2) << (bad.empty() ? "" : bad.back());
  }
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"--root", (tree.Path() / "missing").string()},
        {"--root", db.string(), "--port", "0", "--bind", "not-an-address"},
        {"--root", db.string(), "--port", "0", "--log", (tree.Path() / "no" / "log").string()}}) {
    child = Spawn(bad, out);
    ASSERT_TRUE(child->Wait(5s));
    EXPECT_EQ(WEXITSTATUS(child->status), 1) << bad.back();
    EXPECT_NE(ReadFile(out.string() + ".err"), "");
  }
}

}  // namespace
}  // namespace sl::cddbd::test
