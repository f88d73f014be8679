// The submission POST as a server (or a proxy) receives it, and what each
// kind of answer means for the user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mainform/outcome_texts.h"
#include "platform/pump.h"
#include "submit/submit.h"
#include "support/loopback_server.h"
#include "support/recorder.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"

namespace sl::submit {
namespace {

// The status the main window shows for `verdict`, through its table of texts.
std::string Shown(const SubmitVerdict& verdict) {
  shell::ShellModel model;
  test::RecordingServices services;
  mainform::Show(mainform::TextOf(verdict.reply), verdict.line, {}, model, services);
  return model.Status(0);
}

using test::HttpReply;
using test::LoopbackServer;
using test::ServerScript;

const std::string kBody = "# xmcd\r\nDISCID=23026203\r\nDTITLE=A / \x8F\x74\r\nPLAYORDER=\r\n";

PostRequest Request(const std::string& url, const std::string& proxy = "") {
  PostRequest r;
  r.url = url;
  r.proxy = proxy;
  r.headers = SubmissionHeaders("rock", "23026203", "me@example.com", kModeSubmit, kBody.size());
  r.body = kBody;
  return r;
}

ServerScript Answer(int http, const std::string& body) { return ServerScript().Send(HttpReply(http, body)); }

class Post : public ::testing::Test {
 protected:
  void SetUp() override {
    // Proxies named by the environment must not be used: a direct request
    // goes direct, a proxied one to the proxy given.
    env.Set("http_proxy", ("http://127.0.0.1:" + std::to_string(refused.Port())).c_str())
        .Set("HTTP_PROXY", ("http://127.0.0.1:" + std::to_string(refused.Port())).c_str())
        .Set("ALL_PROXY", ("http://127.0.0.1:" + std::to_string(refused.Port())).c_str())
        .Set("no_proxy", "*");
  }
  test::RefusedPort refused;
  test::ScopedEnv env;
  test::ScopedCodePage codePage;  // the default one
};

TEST_F(Post, DirectRequestAsTheServerReceivesIt) {
  LoopbackServer server(Answer(200, "200 OK, submission has been sent.\r\n"));
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/~cddb/submit.cgi";
  const PostResult r = PostSubmission(Request(url));
  ASSERT_TRUE(r.replied) << r.error;
  EXPECT_EQ(r.httpStatus, 200);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(requests[0],
            "POST /~cddb/submit.cgi HTTP/1.1\r\n"
            "Host: " +
                host +
                "\r\n"
                "User-Agent: SLB\r\n"
                "Accept: */*\r\n"
                "Category: rock\r\n"
                "Discid: 23026203\r\n"
                "User-Email: me@example.com\r\n"
                "Submit-Mode: submit\r\n"
                "Content-Length: " +
                std::to_string(kBody.size()) +
                "\r\n"
                "\r\n" +
                kBody);
  EXPECT_EQ(Shown(JudgeReply(r)), "200 OK, submission has been sent.");
  EXPECT_TRUE(JudgeReply(r).accepted);
}

TEST_F(Post, EmptyValuesStillSendTheirHeaderLines) {
  LoopbackServer server(Answer(200, "501 Invalid header information.\r\n"));
  PostRequest r = Request(server.Url("/~cddb/submit.cgi"));
  r.headers = SubmissionHeaders("", "23026203", "", kModeSubmit, kBody.size());
  ASSERT_TRUE(PostSubmission(r).replied);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  // An empty value goes as the bare name and colon, which HTTP reads the
  // same as "Name: ".
  EXPECT_NE(requests[0].find("\r\nCategory:\r\nDiscid: 23026203\r\nUser-Email:\r\n"
                             "Submit-Mode: submit\r\n"),
            std::string::npos)
      << requests[0];
}

TEST_F(Post, ThroughAProxyOnLoopback) {
  LoopbackServer proxy(Answer(200, "200 OK, submission has been sent.\r\n"));
  const PostResult r = PostSubmission(Request("http://cddb.example:8880/~cddb/submit.cgi",
                                              ProxyText("127.0.0.1", std::to_string(proxy.Port()))));
  ASSERT_TRUE(r.replied) << r.error;
  const auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& req = requests[0];
  EXPECT_EQ(req.substr(0, req.find("\r\n")), "POST http://cddb.example:8880/~cddb/submit.cgi HTTP/1.1");
  const std::string own =
      "Category: rock\r\nDiscid: 23026203\r\nUser-Email: me@example.com\r\nSubmit-Mode: submit\r\n"
      "Content-Length: " +
      std::to_string(kBody.size()) + "\r\n";
  EXPECT_NE(req.find("\r\nHost: cddb.example:8880\r\n"), std::string::npos);
  EXPECT_NE(req.find("\r\nUser-Agent: SLB\r\n"), std::string::npos);
  const std::size_t at = req.find(own);
  ASSERT_NE(at, std::string::npos) << req;
  // Nothing after our five lines but the blank line and the entry.
  EXPECT_EQ(req.substr(at + own.size()), "\r\n" + kBody);
  EXPECT_EQ(req.find("Expect:"), std::string::npos);
  EXPECT_EQ(req.find("Content-Type:"), std::string::npos);
}

TEST_F(Post, ProxyWithAnEmptyPortIsTriedAndFailsPlainly) {
  // "host:" names no port libcurl can use: the request fails and says so;
  // it is not sent somewhere else instead.
  const PostResult r = PostSubmission(Request("http://cddb.example/~cddb/submit.cgi", "127.0.0.1:"));
  EXPECT_FALSE(r.replied);
  EXPECT_NE(r.error.find("proxy"), std::string::npos) << r.error;
  EXPECT_EQ(Shown(JudgeReply(r)), "接続できません。");
}

TEST_F(Post, OutcomesShownForEachKindOfAnswer) {
  struct Row {
    const char* name;
    ServerScript script;
    bool accepted;
    std::string status;
  } rows[] = {
      {"accepted", Answer(200, "200 OK, submission has been sent.\r\n"), true,
       "200 OK, submission has been sent."},
      {"CDDB 5xx", Answer(200, "501 Invalid header information.\r\n"), false,
       "501 Invalid header information."},
      {"server error", Answer(200, "402 Server error: the submission could not be stored.\r\n"), false,
       "402 Server error: the submission could not be stored."},
      {"HTTP 404", Answer(404, "<html>Not Found</html>"), false, "接続できません。"},
      {"HTTP 500", Answer(500, "500 oops"), false, "接続できません。"},
      {"no code", Answer(200, "<html>hello</html>"), false, "応答コードなし"},
      {"empty body", Answer(200, ""), false, "応答コードなし"},
      {"LF line ends, Shift-JIS text", Answer(200, "200 \x8F\x74 ok\nsecond line\n"), true, "200 春 ok"},
      {"control characters dropped",
       Answer(200,
              "200 a\tb\x01"
              "c\r\n"),
       true, "200 abc"},
      {"closed without answer", ServerScript().Close(), false, "接続できません。"},
  };
  for (auto& r : rows) {
    LoopbackServer server(r.script);
    const PostResult result = PostSubmission(Request(server.Url("/~cddb/submit.cgi")));
    const SubmitVerdict v = JudgeReply(result);
    EXPECT_EQ(v.accepted, r.accepted) << r.name;
    EXPECT_EQ(Shown(v), r.status) << r.name;
  }
}

TEST_F(Post, RefusedPortAndTimeOut) {
  test::RefusedPort nobody;
  PostResult r =
      PostSubmission(Request("http://127.0.0.1:" + std::to_string(nobody.Port()) + "/~cddb/submit.cgi"));
  EXPECT_FALSE(r.replied);
  EXPECT_FALSE(r.error.empty());
  SubmitVerdict v = JudgeReply(r);
  EXPECT_EQ(v.reply, SubmitReply::NoAnswer);
  EXPECT_EQ(Shown(v), "接続できません。");

  LoopbackServer silent(ServerScript().Hang());
  PostRequest slow = Request(silent.Url("/~cddb/submit.cgi"));
  slow.timeout = std::chrono::milliseconds(300);
  const auto start = std::chrono::steady_clock::now();
  r = PostSubmission(slow);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(r.replied);
  EXPECT_EQ(JudgeReply(r).reply, SubmitReply::NoAnswer);
}

TEST_F(Post, TheWindowStaysLiveAndAHugeReplyIsCut) {
  int pumped = 0;
  platform::SetMessagePump([&pumped] { ++pumped; });
  LoopbackServer server(ServerScript()
                            .Send("HTTP/1.0 200 OK\r\n\r\n200 OK\r\n")
                            .Delay(200)
                            .SendRepeated(std::string(1024, 'x'), 4u << 20));
  const PostResult r = PostSubmission(Request(server.Url("/~cddb/submit.cgi")));
  platform::SetMessagePump({});
  EXPECT_GT(pumped, 3);
  ASSERT_TRUE(r.replied) << r.error;
  EXPECT_EQ(r.body.size(), PostResult::kMaxReplyBytes);
  EXPECT_TRUE(JudgeReply(r).accepted);
}

TEST_F(Post, OnlyHttpIsFetched) {
  for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "gopher://127.0.0.1/"}) {
    const PostResult r = PostSubmission(Request(url));
    EXPECT_FALSE(r.replied) << url;
  }
}

}  // namespace
}  // namespace sl::submit
