// URL decoding, byte escaping and HTTP request head parsing.
#include <gtest/gtest.h>

#include "cddbd.h"

namespace sl::cddbd {
namespace {

TEST(CddbdText, DecodesQueriesAsCgiServersDo) {
  EXPECT_EQ(PercentDecode("cddb+query%2023026203+3", true), "cddb query 23026203 3");
  EXPECT_EQ(PercentDecode("a+b%2Bc", true), "a b+c");  // encoded plus stays a plus
  EXPECT_EQ(PercentDecode("a+b", false), "a+b");       // paths keep "+"
  EXPECT_EQ(PercentDecode("%7ecddb%7E", false), "~cddb~");
  EXPECT_EQ(PercentDecode("50%zz%4", true), "50%zz%4");  // broken escapes stay as they are
  EXPECT_EQ(PercentDecode("%", true), "%");
  EXPECT_EQ(PercentDecode("%00x", true), std::string("\0x", 2));
  EXPECT_EQ(PercentDecode("%83%5C", true), "\x83\x5C");  // Shift-JIS bytes pass unchanged

  const auto q = ParseQueryString("cmd=cddb+read+rock+23026203&hello=a%40b+c+SLB+1.311&&proto=5&flag&x=1=2");
  ASSERT_EQ(q.size(), 5u);
  EXPECT_EQ(q[0], (std::pair<std::string, std::string>{"cmd", "cddb read rock 23026203"}));
  EXPECT_EQ(q[1].second, "a@b c SLB 1.311");
  EXPECT_EQ(q[2], (std::pair<std::string, std::string>{"proto", "5"}));
  EXPECT_EQ(q[3], (std::pair<std::string, std::string>{"flag", ""}));
  EXPECT_EQ(q[4], (std::pair<std::string, std::string>{"x", "1=2"}));
  EXPECT_TRUE(ParseQueryString("").empty());
}

TEST(CddbdText, EscapingRoundTripsEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  const std::string escaped = EscapeBytes(all);
  EXPECT_EQ(escaped.find('\n'), std::string::npos);  // one log line per request
  EXPECT_EQ(escaped.find('\t'), std::string::npos);  // tabs separate the log's fields
  EXPECT_EQ(UnescapeBytes(escaped), all);
  EXPECT_EQ(EscapeBytes("GET / HTTP/1.0\r\n\\"), "GET / HTTP/1.0\\r\\n\\\\");
  EXPECT_EQ(UnescapeBytes("a\\x83\\x5cb"),
            "a\x83\x5c"
            "b");
  for (const char* bad : {"\\", "\\q", "\\x4", "\\xg0"}) {
    EXPECT_FALSE(UnescapeBytes(bad).has_value()) << bad;
  }
}

TEST(CddbdHttp, FindsTheEndOfAHeadFedByteByByte) {
  const std::string req = "GET / HTTP/1.0\r\nHost: x\r\n\r\nBODY";
  std::string buffer;
  std::size_t scanFrom = 0, headLength = 0;
  HeadScan last = HeadScan::Incomplete;
  std::size_t fedAtCompletion = 0;
  for (const char c : req) {
    buffer.push_back(c);
    last = ScanHead(buffer, 16384, scanFrom, headLength);
    if (last == HeadScan::Complete) {
      fedAtCompletion = buffer.size();
      break;
    }
  }
  EXPECT_EQ(last, HeadScan::Complete);
  EXPECT_EQ(headLength, req.size() - 4);
  EXPECT_EQ(fedAtCompletion, headLength);

  scanFrom = 0;
  EXPECT_EQ(ScanHead("GET / HTTP/1.0\nHost: x\n\n", 16384, scanFrom, headLength), HeadScan::Complete);
  EXPECT_EQ(headLength, 24u);  // bare LF line ends are accepted
  scanFrom = 0;
  EXPECT_EQ(ScanHead(std::string(100, 'a'), 64, scanFrom, headLength), HeadScan::TooLarge);
  scanFrom = 0;
  // The end lies beyond the limit: still too large.
  EXPECT_EQ(ScanHead("GET /" + std::string(80, 'a') + " HTTP/1.0\r\n\r\n", 64, scanFrom, headLength),
            HeadScan::TooLarge);
}

TEST(CddbdHttp, ParsesRequestHeads) {
  int status = 0;
  auto h = ParseHead(
      "GET /%7Ecddb/cddb.cgi?cmd=sites&hello=a+b+c+d HTTP/1.1\r\n"
      "Host: 127.0.0.1\r\ncontent-TYPE:  text/plain \r\nX-Empty:\r\n\r\n",
      status);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->method, "GET");
  EXPECT_EQ(h->version, "HTTP/1.1");
  EXPECT_EQ(h->path, "/~cddb/cddb.cgi");
  EXPECT_EQ(h->query, "cmd=sites&hello=a+b+c+d");
  ASSERT_NE(h->Header("Content-Type"), nullptr);
  EXPECT_EQ(*h->Header("Content-Type"), "text/plain");
  EXPECT_EQ(*h->Header("x-empty"), "");
  EXPECT_EQ(h->Header("Missing"), nullptr);

  // Absolute-form target (a proxy request) and raw blanks in the target.
  h = ParseHead("GET http://cddb.example:8880/~cddb/cddb.cgi?cmd=a b HTTP/1.0\r\n\r\n", status);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->path, "/~cddb/cddb.cgi");
  EXPECT_EQ(h->query, "cmd=a b");
  h = ParseHead("GET http://host HTTP/1.0\r\n\r\n", status);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->path, "/");
  // One blank line before the request line is tolerated.
  EXPECT_TRUE(ParseHead("\r\nGET / HTTP/1.0\r\n\r\n", status).has_value());

  struct Bad {
    std::string head;
    int status;
  };
  std::string many = "GET / HTTP/1.0\r\n";
  for (int i = 0; i < 101; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
  many += "\r\n";
  const Bad bad[] = {
      {"GET /\r\n\r\n", 400},  // HTTP/0.9
      {"GET / HTTP/2.0\r\n\r\n", 505},
      {"GET / FTP/1.0\r\n\r\n", 400},
      {"get / HTTP/1.0\r\n\r\n", 400},
      {"GET  HTTP/1.0\r\n\r\n", 400},  // empty target
      {"GET relative HTTP/1.0\r\n\r\n", 400},
      {"GET / HTTP/1.0\r\nNo colon here\r\n\r\n", 400},
      {"GET / HTTP/1.0\r\nA: b\r\n  folded\r\n\r\n", 400},
      {"GET / HTTP/1.0\r\nBad Name: b\r\n\r\n", 400},
      {std::string("GET /\x01 HTTP/1.0\r\n\r\n"), 400},
      {"\r\n\r\n", 400},
      {many, 431},
  };
  for (const Bad& b : bad) {
    status = 0;
    EXPECT_FALSE(ParseHead(b.head, status).has_value()) << b.head;
    EXPECT_EQ(status, b.status) << b.head;
  }
}

}  // namespace
}  // namespace sl::cddbd
