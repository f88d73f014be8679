// The reply header as the client reads it, line by line, with no socket:
// the status code, the fields it keeps, where the header ends and its bounds.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "net/errors.h"
#include "net/http_client.h"

namespace sl::net {
namespace {

// Feeds lines until the parser says the header is over (or they run out).
ReplyHeaders Parse(const std::vector<std::string>& lines, bool* ended = nullptr) {
  ReplyHeaders h;
  bool done = false;
  for (const auto& line : lines) {
    done = h.AddLine(line);
    if (done) break;
  }
  if (ended) *ended = done;
  return h;
}

TEST(ReplyHeader, StatusLineGivesTheCode) {
  struct Row {
    std::string status;
    int code;
  };
  const Row rows[] = {
      {"HTTP/1.0 200 OK\r\n", 200},
      {"HTTP/1.1 404 Not Found\r\n", 404},
      {"HTTP/1.0 302\n", 302},
      {"HTTP/1.0 65535 Top\r\n", 65535},
      {"HTTP/1.0 65536 Above\r\n", 0},
      {"HTTP/1.0 99999 Above\r\n", 0},
      {"HTTP/1.0 123456 Six digits\r\n", 0},
      {"HTTP/1.0 2OO OK\r\n", 0},
      {"HTTP/1.0 -200 Negative\r\n", 0},
      {"HTTP/1.0  200 Two blanks\r\n", 0},
      {"SSH-2.0-OpenSSH_9.2\r\n", 0},
      {"\r\n", 0},
  };
  for (const auto& r : rows) EXPECT_EQ(Parse({r.status, "\r\n"}).ReplyNumber, r.code) << r.status;
}

TEST(ReplyHeader, FieldsAreKeptWithoutTheirLineEnds) {
  const std::string cookie(5000, 'c');
  bool ended = false;
  const ReplyHeaders h = Parse({"HTTP/1.0 302 Found\r\n", "location: http://a.example/x?y=1\r\n",
                                "Set-Cookie: " + cookie + "\r\n", "CONTENT-LENGTH:   42 bytes\r\n",
                                "Transfer-Encoding: gzip, Chunked\r\n", "\r\n", "after: the header\r\n"},
                               &ended);
  EXPECT_TRUE(ended);
  EXPECT_EQ(h.ReplyNumber, 302);
  EXPECT_EQ(h.Location, "http://a.example/x?y=1");
  EXPECT_EQ(h.SetCookie, std::string(ReplyHeaders::kMaxCookieLength, 'c'));  // cut to the bound
  EXPECT_TRUE(h.HasContentLength);
  EXPECT_EQ(h.ContentLength, 42);
  EXPECT_TRUE(h.Chunked);
  EXPECT_EQ(h.Lines, 6);

  struct Row {
    std::string line;
    long long length;
  };
  const Row lengths[] = {{"Content-Length: 0\r\n", 0},
                         {"Content-Length:\r\n", 0},
                         {"Content-Length: abc\r\n", 0},
                         {"Content-Length: 123456789012345678901234567890\r\n", LLONG_MAX},
                         {"Content-Length: \t 7\n", 7}};
  for (const auto& r : lengths) {
    const ReplyHeaders c = Parse({"HTTP/1.0 200 OK\r\n", r.line, "\r\n"});
    EXPECT_TRUE(c.HasContentLength) << r.line;
    EXPECT_EQ(c.ContentLength, r.length) << r.line;
  }
  const ReplyHeaders none = Parse({"HTTP/1.0 200 OK\r\n", "X-Content-Length: 5\r\n", "\r\n"});
  EXPECT_FALSE(none.HasContentLength);
  EXPECT_FALSE(none.Chunked);
  EXPECT_FALSE(Parse({"HTTP/1.0 200 OK\r\n", "Transfer-Encoding: identity\r\n", "\r\n"}).Chunked);
}

TEST(ReplyHeader, HeaderEndsAtABlankLineOrTheClose) {
  struct Row {
    const char* name;
    std::vector<std::string> lines;
    bool ended;
    int lines_;
  };
  const Row rows[] = {
      {"CR LF", {"HTTP/1.0 200 OK\r\n", "A: 1\r\n", "\r\n"}, true, 3},
      {"LF", {"HTTP/1.0 200 OK\n", "A: 1\n", "\n"}, true, 3},
      {"closed after the status", {"HTTP/1.0 200 OK\r\n", ""}, true, 2},
      {"closed at once", {"", ""}, true, 2},
      {"blank status line is not the end", {"\r\n", "A: 1\r\n", "\r\n"}, true, 3},
      {"a blank inside a line is not the end", {"HTTP/1.0 200 OK\r\n", " \r\n", "\r\n"}, true, 3},
  };
  for (const auto& r : rows) {
    bool ended = false;
    const ReplyHeaders h = Parse(r.lines, &ended);
    EXPECT_EQ(ended, r.ended) << r.name;
    EXPECT_EQ(h.Lines, r.lines_) << r.name;
  }
}

TEST(ReplyHeader, BoundsOnLinesAndBytes) {
  // 256 lines, the status line among them, pass; the 257th raises.
  ReplyHeaders h;
  h.AddLine("HTTP/1.0 200 OK\r\n");
  for (int i = 2; i <= ReplyHeaders::kMaxLines; ++i) EXPECT_FALSE(h.AddLine("X: y\r\n"));
  EXPECT_THROW(h.AddLine("X: y\r\n"), SocketFailure);

  // 65,536 bytes pass; one more raises.
  ReplyHeaders b;
  const std::string status = "HTTP/1.0 200 OK\r\n";
  b.AddLine(status);
  const std::string fill(ReplyHeaders::kMaxBytes - status.size() - 2, 'x');
  EXPECT_FALSE(b.AddLine(fill + "\r\n"));
  EXPECT_EQ(b.Bytes, ReplyHeaders::kMaxBytes);
  EXPECT_THROW(b.AddLine("\n"), SocketFailure);
}

}  // namespace
}  // namespace sl::net
