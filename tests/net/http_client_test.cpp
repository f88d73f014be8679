#include <string>
#include <vector>

#include "net/http_client.h"
#include "net_fixture.h"
#include "support/loopback_server.h"
#include "support/recorder.h"

namespace sl::net {
namespace {

using sl::test::HttpReply;
using sl::test::LoopbackServer;
using sl::test::RefusedPort;
using sl::test::ServerScript;
using testing::ExpectThrowText;
using testing::Stopwatch;

const char* const kAccept1 = "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff\r\n";
const char* const kAccept2 = "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript\r\n";
const char* const kContentType = "Content-type: application/x-www-form-urlencoded\r\n";

std::string DirectRequest(const std::string& path, const std::string& host) {
  return "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n" + kAccept1 + kAccept2 + kContentType + "\r\n";
}

std::string ProxyRequest(const std::string& url, const std::string& host) {
  return "GET " + url + " HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nHost: " + host + "\r\n" + kAccept1 +
         kAccept2 + kContentType + "\r\n";
}

// A CDDB query of a 99-track disc: its path is far longer than 256 characters.
std::string LongQueryPath() {
  std::string q = "/~cddb/cddb.cgi?cmd=cddb+query+A1B2C399+99";
  for (int t = 0; t < 99; ++t) q += "+" + std::to_string(150 + t * 13456);
  q += "+4211&hello=anonymous+example.com+SLB+1.311&proto=5";
  return q;
}

// Records the events of one component.
struct Events {
  std::vector<std::string> log;
  std::string bodyAtEvent;
  void Attach(HttpClient& h) {
    h.OnSuccess = [this, &h](int cmd) {
      log.push_back("success " + std::to_string(cmd));
      bodyAtEvent = h.Body;
    };
    h.OnFailure = [this, &h](int cmd) {
      log.push_back("failure " + std::to_string(cmd));
      bodyAtEvent = h.Body;
    };
    h.OnRedirect = [this](bool&) { log.push_back("redirect"); };
    h.OnAuthenticationNeeded = [this] { log.push_back("authentication"); };
    h.OnAboutToSend = [this] { log.push_back("about to send"); };
  }
};

class HttpTest : public testing::NetTest {};

TEST_F(HttpTest, DirectRequestIsSentExactlyWithTheWholePathAndOneHostLine) {
  LoopbackServer server(ServerScript().Send(HttpReply(200, "210 found\r\n")));
  HttpClient h;
  const std::string path = LongQueryPath();
  ASSERT_GT(path.size(), 700u);
  h.Get("http://localhost:" + std::to_string(server.Port()) + path);
  ASSERT_EQ(server.Requests().size(), 1u);
  // The whole path goes out (a cut one would be a broken query), and the
  // Host line names the host without its port.
  EXPECT_EQ(server.Requests()[0], DirectRequest(path, "localhost"));
  EXPECT_EQ(h.LastRequest(), server.Requests()[0]);
  EXPECT_EQ(h.Path(), path);
  EXPECT_EQ(h.Host, "localhost");
  EXPECT_EQ(h.Port, server.Port());
  EXPECT_EQ(h.Body, "210 found\r\n");
  EXPECT_FALSE(h.Connected());
}

TEST_F(HttpTest, ProxiedRequestCarriesTheWholeUrlAndGoesToTheProxyOnly) {
  LoopbackServer proxy(ServerScript().Send(HttpReply(200, "proxied")));
  HttpClient h;
  h.Proxy = "127.0.0.1";
  h.ProxyPort = proxy.Port();
  // The origin host is never contacted nor even looked up.
  const std::string url = "http://cddb.example.invalid:8880" + LongQueryPath();
  h.Get(url);
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0], ProxyRequest(url, "cddb.example.invalid"));
  EXPECT_EQ(h.Port, 8880);
  EXPECT_EQ(h.Body, "proxied");

  // Scheme ports, URLs without a path or a scheme, relative URLs keeping the
  // previous host and port: seen through the proxy, which takes them all.
  struct Case {
    std::string url, requestTarget, host;
    int port;
  };
  const std::vector<Case> cases = {
      {"gopher://g.example/x", "gopher://g.example/x", "g.example", 70},
      {"ftp://f.example/pub", "ftp://f.example/pub", "f.example", 21},
      {"HTTP://w.example", "HTTP://w.example/", "w.example", 80},
      {"plain.example:8080/a:b", "plain.example:8080/a:b", "plain.example", 8080},
      {"/relative?x=a:b", "/relative?x=a:b", "plain.example", 8080},
      {"/a//b", "/a//b", "plain.example", 8080},
  };
  for (const auto& c : cases) {
    h.Get(c.url);
    EXPECT_EQ(proxy.Requests().back(), ProxyRequest(c.requestTarget, c.host)) << c.url;
    EXPECT_EQ(h.Url(), c.requestTarget) << c.url;
    EXPECT_EQ(h.Host, c.host) << c.url;
    EXPECT_EQ(h.Port, c.port) << c.url;
  }
  EXPECT_EQ(h.Path(), "/a//b");
}

TEST_F(HttpTest, UnusableUrlsFailBeforeAnyConnection) {
  LoopbackServer server(ServerScript().Send(HttpReply(200, "")));
  HttpClient h;
  Events ev;
  ev.Attach(h);
  const std::string port = std::to_string(server.Port());
  ExpectThrowText<std::runtime_error>([&] { h.Get(""); }, "Empty URL");
  ExpectThrowText<std::runtime_error>([&] { h.Get("https://127.0.0.1:" + port + "/"); },
                                      "HTTP Secure Socket is not supported");
  ExpectThrowText<std::runtime_error>([&] { h.Get("HTTPS://127.0.0.1/"); },
                                      "HTTP Secure Socket is not supported");
  ExpectThrowText<std::runtime_error>([&] { h.Get("http://127.0.0.1:8o/"); },
                                      "'8o' is not a valid integer value");
  ExpectThrowText<std::runtime_error>([&] { h.Get("http://127.0.0.1:/"); },
                                      "'' is not a valid integer value");
  ExpectThrowText<std::runtime_error>([&] { h.Get("http://127.0.0.1:70000/"); },
                                      "'70000' is not a valid port number");
  // A line break in the URL would forge request headers.
  ExpectThrowText<std::runtime_error>([&] { h.Get("http://127.0.0.1:" + port + "/x\r\nEvil: 1"); },
                                      "URL contains a control character");
  h.HeaderInfo.Cookie = "a\r\nEvil: 1";
  ExpectThrowText<std::runtime_error>([&] { h.Get("http://127.0.0.1:" + port + "/"); },
                                      "Request header contains a control character: Cookie: a");
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_TRUE(ev.log.empty() || ev.log == std::vector<std::string>{"about to send"});
}

TEST_F(HttpTest, ReplyHeaderIsParsedAndTheStatusChoosesTheEvent) {
  const std::string longCookie(300, 'c');
  LoopbackServer server(std::vector<ServerScript>{
      ServerScript().Send(
          HttpReply(200, "line 1\nline 2\n",
                    {"Server: test", "content-length:   14 bytes", "Set-Cookie: " + longCookie})),
      ServerScript().Send(HttpReply(404, "<h1>Not Found</h1>")),
      ServerScript().Send(HttpReply(401, "who?")),
      ServerScript().Send("HTTP/1.0 abc Odd\r\n\r\nodd body"),
      ServerScript().Close(),
      ServerScript().Send("HTTP/1.0 500 Busy\r\nX: y\r\n\r\n").Close(),
  });
  HttpClient h;
  Events ev;
  ev.Attach(h);
  std::vector<std::string> statuses;
  h.ReportLevel = 2;
  h.OnStatus = [&](const std::string& text) { statuses.push_back(text); };
  const std::string url = server.Url("/q");

  h.Get(url);
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "success 0"}));
  EXPECT_EQ(statuses, std::vector<std::string>{"Transaction Completed"});
  EXPECT_EQ(ev.bodyAtEvent, "line 1\nline 2\n") << "the whole body is there when the event runs";
  EXPECT_EQ(h.ReplyNumber(), 200);
  EXPECT_EQ(h.ContentLength(), 14);
  EXPECT_EQ(h.SetCookie(), longCookie);
  EXPECT_EQ(h.Header, "HTTP/1.0 200 Status\r\nServer: test\r\ncontent-length:   14 bytes\r\nSet-Cookie: " +
                          longCookie + "\r\n\r\n");

  ev.log.clear();
  h.Get(url);
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "failure 0"}));
  EXPECT_EQ(ev.bodyAtEvent, "<h1>Not Found</h1>");
  EXPECT_EQ(statuses.size(), 1u) << "no completion status for a failure";
  EXPECT_EQ(h.ContentLength(), 0);
  EXPECT_EQ(h.SetCookie(), "");

  ev.log.clear();
  h.Get(url);
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "failure 0", "authentication"}));

  // A status that is no number counts as 0, and so as success.
  ev.log.clear();
  h.Get(url);
  EXPECT_EQ(h.ReplyNumber(), 0);
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "success 0"}));
  EXPECT_EQ(h.Body, "odd body");

  // No reply at all: status 0 as well, empty body and header.
  ev.log.clear();
  h.Get(url);
  EXPECT_EQ(h.ReplyNumber(), 0);
  EXPECT_EQ(h.Body, "");
  EXPECT_EQ(h.Header, "");
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "success 0"}));

  // Closed right after the header: empty body, the status decides.
  ev.log.clear();
  h.Get(url);
  EXPECT_EQ(h.Body, "");
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "failure 0"}));
}

TEST_F(HttpTest, ReplyInSingleByteSegmentsIsCapturedWhole) {
  std::string body;
  for (int i = 0; i < 200; ++i) body += static_cast<char>('A' + i % 26);
  const std::string reply = HttpReply(200, body, {"Content-Length: 200"});
  LoopbackServer server(ServerScript().SendBytewise(reply, 0));
  HttpClient h;
  h.TimeOut = 5000;
  h.Get(server.Url("/bytes"));
  EXPECT_EQ(h.Header + h.Body, reply);
  EXPECT_EQ(h.Body, body);
}

// A peer that keeps the connection open after a reply with Content-Length
// (a proxy honouring "Proxy-Connection: Keep-Alive") has still sent the
// whole reply: the body ends at that length. A body cut short of it, or one
// announced beyond the capture bound, is a failed request.
TEST_F(HttpTest, ContentLengthEndsTheBodyOnAConnectionKeptOpen) {
  LoopbackServer server(std::vector<ServerScript>{
      ServerScript()
          .Send(HttpReply(200, "210 ok\r\n.\r\n", {"Content-Length: 11", "Connection: keep-alive"}))
          .Hang(),
      ServerScript().Send(HttpReply(200, "", {"Content-Length: 0"})).Hang(),
      ServerScript().Send(HttpReply(200, "short", {"Content-Length: 100"})).Close(),
      ServerScript().Send(HttpReply(200, "x", {"Content-Length: 99999999999"})).Hang(),
      ServerScript().Send(HttpReply(200, "0123456789extra", {"Content-Length: 10"})).Close(),
      // Far above the bound, beyond what a 64-bit number holds, and one byte above it.
      ServerScript().Send(HttpReply(200, "x", {"Content-Length: 123456789012345678901234567890"})).Hang(),
      ServerScript().Send(HttpReply(200, "x", {"Content-Length: " + std::to_string((64 << 20) + 1)})).Hang(),
  });
  HttpClient h;
  h.TimeOut = 20000;
  Events ev;
  ev.Attach(h);
  const auto start = std::chrono::steady_clock::now();
  h.Get(server.Url("/kept"));
  EXPECT_EQ(h.Body, "210 ok\r\n.\r\n");
  EXPECT_EQ(ev.log.back(), "success 0");
  h.Get(server.Url("/empty"));
  EXPECT_EQ(h.Body, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "waited for a close";

  ev.log.clear();
  ExpectThrowText<SocketFailure>([&] { h.Get(server.Url("/short")); },
                                 "Connection closed with 95 bytes of the reply missing");
  ExpectThrowText<SocketFailure>([&] { h.Get(server.Url("/huge")); }, "Reply larger than 64 MiB");
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "about to send"}));
  h.Get(server.Url("/extra"));
  EXPECT_EQ(h.Body, "0123456789");
  ev.log.clear();
  ExpectThrowText<SocketFailure>([&] { h.Get(server.Url("/absurd")); }, "Reply larger than 64 MiB");
  ExpectThrowText<SocketFailure>([&] { h.Get(server.Url("/above")); }, "Reply larger than 64 MiB");
  EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "about to send"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "read a body it refused";
}

// A reply in HTTP/1.1's chunks (sent by servers and proxies although the
// request was HTTP/1.0) is decoded: the body is the chunks' data, whether
// the peer then closes or keeps the connection. A chunked body that is cut
// short or malformed is a failed request, never a shorter body.
TEST_F(HttpTest, ChunkedRepliesAreDecoded) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  struct Row {
    const char* name;
    std::string body;      // after the header
    bool hang;             // the peer keeps the connection open
    const char* expected;  // the decoded body, or null
    const char* error;     // the failure's text when expected is null
  };
  const Row rows[] = {
      {"plain", "7\r\n210 ok\n\r\n3\r\n.\r\n\r\n0\r\n\r\n", false, "210 ok\n.\r\n", nullptr},
      {"kept open", "A;name=v\r\n0123456789\r\n0\r\n\r\n", true, "0123456789", nullptr},
      {"upper-case size, trailer", "b\r\nhello world\r\n0\r\nX-Trailer: 1\r\n\r\n", true, "hello world",
       nullptr},
      {"LF only", "2\nab\n0\n\n", true, "ab", nullptr},
      {"closed before the last chunk", "2\r\nab\r\n", false, nullptr,
       "Connection closed inside a chunked reply"},
      {"closed inside a chunk", "10\r\nabc", false, nullptr, "Connection closed inside a chunked reply"},
      {"size not a number", "zz\r\nab\r\n0\r\n\r\n", true, nullptr, "Reply chunk without a size: zz"},
      {"chunk longer than its size", "2\r\nabc\r\n0\r\n\r\n", true, nullptr,
       "Reply chunk longer than its size"},
      {"size beyond the bound", "4000001\r\nab", true, nullptr, "Reply larger than 64 MiB"},
      {"size of 16 digits", "1000000000000000\r\nab", true, nullptr,
       "Reply chunk without a size: 1000000000000000"},
  };
  std::vector<ServerScript> scripts;
  for (const auto& r : rows) {
    ServerScript s;
    s.Send(head + r.body);
    if (r.hang) s.Hang();
    scripts.push_back(s);
  }
  LoopbackServer server(scripts);
  HttpClient h;
  h.TimeOut = 20000;
  Events ev;
  ev.Attach(h);
  const auto start = std::chrono::steady_clock::now();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ev.log.clear();
    if (r.expected) {
      h.Get(server.Url("/chunked"));
      EXPECT_EQ(h.Body, r.expected);
      EXPECT_EQ(ev.log.back(), "success 0");
    } else {
      ExpectThrowText<SocketFailure>([&] { h.Get(server.Url("/chunked")); }, r.error);
      EXPECT_EQ(ev.log, std::vector<std::string>{"about to send"});
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "waited for a close";
}

TEST_F(HttpTest, RedirectsAreFollowedBoundedAndEndedOnRequest) {
  const std::string found = HttpReply(200, "arrived");
  HttpClient h;
  Events ev;
  ev.Attach(h);
  {
    // 302 to an absolute URL with a cookie, then 301 to a bare name.
    LoopbackServer server(std::vector<ServerScript>{
        ServerScript().Send(
            HttpReply(302, "", {"Location: http://127.0.0.1:{port}/second", "Set-Cookie: k=v"})),
        ServerScript().Send(HttpReply(301, "", {"Location: third"})),
        ServerScript().Send(found),
    });
    h.Get(server.Url("/first"));
    const auto req = server.Requests();
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(req[0].substr(0, 21), "GET /first HTTP/1.0\r\n");
    EXPECT_EQ(req[1], "GET /second HTTP/1.0\r\nHost: 127.0.0.1\r\n" + std::string(kAccept1) + kAccept2 +
                          "Cookie: k=v\r\n" + kContentType + "\r\n");
    EXPECT_EQ(req[2].substr(0, 21), "GET /third HTTP/1.0\r\n");
    EXPECT_EQ(h.Url(), "http://127.0.0.1:" + std::to_string(server.Port()) + "/third");
    EXPECT_EQ(h.Body, "arrived");
    EXPECT_EQ(std::count(ev.log.begin(), ev.log.end(), "redirect"), 2);
    EXPECT_EQ(ev.log.back(), "success 0");
  }
  h.HeaderInfo.Cookie.clear();
  {
    // A handler that takes the redirect itself ends the run.
    LoopbackServer server(ServerScript().Send(HttpReply(302, "", {"Location: /elsewhere"})));
    h.OnRedirect = [](bool& handled) { handled = true; };
    h.Get(server.Url("/"));
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(h.ReplyNumber(), 302);
    EXPECT_EQ(h.Location(), "/elsewhere");
    h.OnRedirect = nullptr;
  }
  {
    // 299 and 303 to 399 end the run without a repeat, as failures: the
    // caller must not be left waiting for an event that never comes.
    LoopbackServer server(std::vector<ServerScript>{
        ServerScript().Send(HttpReply(303, "", {"Location: /x"})),
        ServerScript().Send(HttpReply(299, "")),
        ServerScript().Send(HttpReply(399, "", {"Location: /y"})),
    });
    for (int i = 0; i < 3; ++i) {
      ev.log.clear();
      h.Get(server.Url("/"));
      EXPECT_EQ(ev.log, (std::vector<std::string>{"about to send", "failure 0"}));
    }
    EXPECT_EQ(server.Connections(), 3);
  }
  {
    // A Location far longer than 256 characters is followed whole.
    const std::string path =
        "/~cddb/cddb.cgi?cmd=cddb+query+" + std::string(2000, '7') + "&hello=a+b+SLB+1.311";
    LoopbackServer server(std::vector<ServerScript>{
        ServerScript().Send(HttpReply(302, "", {"Location: http://127.0.0.1:{port}" + path})),
        ServerScript().Send(found),
    });
    h.Get(server.Url("/"));
    const auto req = server.Requests();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[1].substr(0, req[1].find("\r\n")), "GET " + path + " HTTP/1.0");
    EXPECT_EQ(h.Body, "arrived");
  }
  {
    // A cookie set by one server's redirect goes back to that server only.
    LoopbackServer other(ServerScript().Send(found));
    LoopbackServer setter(std::vector<ServerScript>{
        ServerScript().Send(HttpReply(
            302, "", {"Location: " + other.Url("/there"), "Set-Cookie: session=42; Path=/; HttpOnly"})),
        ServerScript().Send(found),
    });
    h.Get(setter.Url("/"));
    h.Get(setter.Url("/again"));
    const auto toOther = other.Requests();
    const auto toSetter = setter.Requests();
    ASSERT_EQ(toOther.size(), 1u);
    ASSERT_EQ(toSetter.size(), 2u);
    EXPECT_EQ(toOther[0].find("Cookie"), std::string::npos) << toOther[0];
    EXPECT_NE(toSetter[1].find("\r\nCookie: session=42\r\n"), std::string::npos) << toSetter[1];
    h.HeaderInfo.Cookie.clear();
  }
  {
    // A redirect loop stops after ten redirects.
    LoopbackServer server(
        ServerScript().Send(HttpReply(302, "", {"Location: http://127.0.0.1:{port}/again"})));
    ExpectThrowText<std::runtime_error>([&] { h.Get(server.Url("/")); }, "Too many redirects (more than 10)");
    EXPECT_EQ(server.Connections(), 11);
  }
  {
    // A redirect without a Location leaves no URL to go to.
    LoopbackServer server(ServerScript().Send(HttpReply(301, "")));
    ExpectThrowText<std::runtime_error>([&] { h.Get(server.Url("/")); }, "Empty URL");
    EXPECT_EQ(server.Connections(), 1);
  }
}

// Each server keeps its own cookie: one that another server sets later does
// not displace it, and neither goes to the other server.
TEST_F(HttpTest, CookiesAreKeptOnePerServer) {
  const std::string found = HttpReply(200, "arrived");
  auto setting = [&](const std::string& cookie) {
    return ServerScript().Send(
        HttpReply(302, "", {"Location: http://127.0.0.1:{port}/in", "Set-Cookie: " + cookie + "; Path=/"}));
  };
  LoopbackServer a(std::vector<ServerScript>{setting("who=a"), ServerScript().Send(found)});
  LoopbackServer b(std::vector<ServerScript>{setting("who=b"), ServerScript().Send(found)});
  HttpClient h;
  h.Get(a.Url("/"));
  h.Get(b.Url("/"));
  h.Get(a.Url("/again"));
  h.Get(b.Url("/again"));
  // A server that sets a new cookie replaces its own only.
  LoopbackServer c(std::vector<ServerScript>{setting("v=1"), ServerScript().Send(found), setting("v=2"),
                                             ServerScript().Send(found)});
  h.Get(c.Url("/"));
  h.Get(c.Url("/"));
  h.Get(c.Url("/last"));
  const auto toA = a.Requests();
  const auto toB = b.Requests();
  const auto toC = c.Requests();
  ASSERT_EQ(toA.size(), 3u);
  ASSERT_EQ(toB.size(), 3u);
  ASSERT_EQ(toC.size(), 5u);
  EXPECT_EQ(toA[0].find("Cookie"), std::string::npos);
  EXPECT_NE(toA[1].find("\r\nCookie: who=a\r\n"), std::string::npos) << toA[1];
  EXPECT_NE(toA[2].find("\r\nCookie: who=a\r\n"), std::string::npos) << toA[2];
  EXPECT_EQ(toB[0].find("Cookie"), std::string::npos) << toB[0];
  EXPECT_NE(toB[2].find("\r\nCookie: who=b\r\n"), std::string::npos) << toB[2];
  EXPECT_NE(toC[4].find("\r\nCookie: v=2\r\n"), std::string::npos) << toC[4];
  EXPECT_EQ(toC[4].find("who="), std::string::npos) << toC[4];
  // The jar is bounded: the oldest server's cookie goes first.
  RequestHeaders info;
  for (std::size_t i = 0; i <= RequestHeaders::kMaxCookieServers; ++i)
    info.KeepCookie("h" + std::to_string(i) + ":80", "n=" + std::to_string(i));
  EXPECT_EQ(info.ServerCookies.size(), RequestHeaders::kMaxCookieServers);
  EXPECT_EQ(info.CookieFor("h0:80"), nullptr);
  ASSERT_NE(info.CookieFor("h1:80"), nullptr);
  EXPECT_EQ(*info.CookieFor("h1:80"), "n=1");
}

TEST_F(HttpTest, HostileRepliesEndInClearErrorsAndTheClientStaysUsable) {
  const std::string good = HttpReply(200, "good");
  HttpClient h;
  h.TimeOut = 100;
  Events ev;
  ev.Attach(h);
  struct Case {
    const char* name;
    ServerScript script;
    std::string error;
  };
  std::string manyLines = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i < 300; ++i) manyLines += "X-Filler: " + std::to_string(i) + "\r\n";
  std::vector<Case> cases;
  cases.push_back({"over-long header line",
                   ServerScript().Send("HTTP/1.0 200 OK\r\nX: " + std::string(70000, 'h')),
                   "Line longer than 65536 bytes"});
  cases.push_back({"header without end", ServerScript().Send(manyLines),
                   "Reply header too long (more than 256 lines or 65536 bytes)"});
  cases.push_back({"trickling body",
                   ServerScript().Send("HTTP/1.0 200 OK\r\n\r\n").SendBytewise(std::string(200, 't'), 30),
                   "Reply not complete within 1000 ms"});
  cases.push_back({"no answer", ServerScript().Hang(), "Socket readln aborted"});
  cases.push_back(
      {"body stops", ServerScript().Send("HTTP/1.0 200 OK\r\n\r\nstart").Hang(), "Socket capture aborted"});
  for (auto& c : cases) {
    LoopbackServer bad(c.script);
    ev.log.clear();
    Stopwatch w;
    try {
      h.Get(bad.Url("/"));
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.error) << c.name;
    }
    EXPECT_LT(w.Ms(), 3000) << c.name;
    EXPECT_FALSE(h.Connected()) << c.name;
    EXPECT_EQ(ev.log, std::vector<std::string>{"about to send"}) << c.name << ": no reply event";

    LoopbackServer fine(ServerScript().Send(good));
    h.Get(fine.Url("/"));
    EXPECT_EQ(h.Body, "good") << "after " << c.name;
  }

  RefusedPort refused;
  ExpectThrowText<SocketFailure>([&] { h.Get("http://127.0.0.1:" + std::to_string(refused.Port()) + "/"); },
                                 "Connection Failed");
}

TEST_F(HttpTest, CancelFromThePumpEndsTheRequestAndNestedRequestsAreRefused) {
  LoopbackServer server(ServerScript().Delay(2000).Send(HttpReply(200, "late")));
  HttpClient h;
  Events ev;
  ev.Attach(h);
  std::string nested;
  int cycles = 0;
  duringPump = [&] {
    if (++cycles == 3) {
      try {
        h.Get(server.Url("/nested"));
      } catch (const std::exception& e) {
        nested = e.what();
      }
    }
    if (cycles == 5) h.Cancel();
  };
  Stopwatch w;
  ExpectThrowText<RequestAborted>([&] { h.Get(server.Url("/")); }, "Socket readln aborted");
  EXPECT_LT(w.Ms(), 1500);
  EXPECT_EQ(nested, "A request is already in progress");
  EXPECT_EQ(ev.log, std::vector<std::string>{"about to send"});
  duringPump = nullptr;

  // A server slower than the pump but within the time-out is fine.
  LoopbackServer slow(ServerScript().Delay(50).Send(HttpReply(200, "slow")));
  h.TimeOut = 1000;
  h.Get(slow.Url("/"));
  EXPECT_EQ(h.Body, "slow");
}

TEST_F(HttpTest, FileModesWriteHeaderAndBodyToTheirFiles) {
  sl::test::TempDir dir;
  std::string body(300000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  LoopbackServer server(ServerScript().Send(HttpReply(200, body, {"Content-Length: 300000"})));
  HttpClient h;
  h.InputFileMode = true;
  h.OutputFileMode = true;
  h.Body = dir.File("body.bin");
  h.Header = dir.File("head.txt");
  int packets = 0;
  h.OnPacketRecvd = [&] { ++packets; };
  h.Get(server.Url("/file"));
  EXPECT_EQ(sl::test::ReadFileBytes(dir.File("body.bin")), body);
  EXPECT_EQ(sl::test::ReadFileBytes(dir.File("head.txt")),
            "HTTP/1.0 200 Status\r\nContent-Length: 300000\r\n\r\n");
  EXPECT_EQ(h.Body, dir.File("body.bin")) << "in file mode Body keeps the file name";
  EXPECT_GE(packets, 1);
  EXPECT_EQ(h.BytesRecvd(), 300000);
}

}  // namespace
}  // namespace sl::net
