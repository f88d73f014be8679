// The CDDB commands, scripted faults and submission storage, driven
// directly on a copy of the demo entries.
#include <gtest/gtest.h>

#include "helpers.h"

namespace sl::cddbd::test {
namespace {

constexpr const char* kHello = "&hello=tester+example.org+SLB+1.311&proto=5";

class CddbdService : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = tree_.CopyDemo();
    ServiceConfig config;
    config.root = db_;
    config.port = 8880;
    service_ = std::make_unique<CddbService>(config);
  }
  std::string Cmd(const std::string& cmd) { return service_->Command(cmd, 5); }
  Reply Cgi(const std::string& query) { return service_->HandleCgi(query); }

  TempTree tree_;
  fs::path db_;
  std::unique_ptr<CddbService> service_;
};

TEST_F(CddbdService, QueryFindsOneSeveralOrNoEntries) {
  EXPECT_EQ(Cmd("cddb query 23026203 3 150 18630 35212 612"),
            "200 rock 23026203 The Loopback Trio / Local Host Sessions\r\n");
  // Two categories: a 211 list in the usual category order; the title that
  // continues over two DTITLE lines is joined.
  EXPECT_EQ(Cmd("cddb query 30058B05 5 150 23440 43885 64555 85683 1421"),
            "211 Found inexact matches, list follows (until terminating `.')\r\n"
            "jazz 30058b05 Harbor Lane Quintet / Late Set at the Loft, Recorded Live\r\n"
            "rock 30058b05 Northern Lights / Aurora Engine\r\n"
            ".\r\n");
  EXPECT_EQ(Cmd("cddb query 0badf00d 1 150 100"), "202 No match for disc ID 0badf00d.\r\n");

  // The Japanese title, stored in UTF-8, has no place in Latin-1: it goes
  // out as stored at every level.
  const std::string file = ReadFile(db_ / "misc" / "990c360c");
  const std::size_t at = file.find("DTITLE=") + 7;
  const std::string title = file.substr(at, file.find('\n', at) - at);
  EXPECT_EQ(title, "月島ソラ / 表参道ラプソディ");
  const std::string jpop =
      "cddb query 990C360C 12 150 20337 40390 58655 79908 96001 116995 135847 "
      "156015 174960 194261 214019 3128";
  EXPECT_EQ(Cmd(jpop), "200 misc 990c360c " + title + "\r\n");

  for (const char* bad : {"cddb query", "cddb query 23026203 3 150 18630 612",
                          "cddb query 23026203 3 150 18630 35212 35213 612", "cddb query xyz 1 150 612",
                          "cddb query 23026203 0 612", "cddb query 23026203 3 150 -5 35212 612",
                          "cddb query 23026203 3 150 18630 35212 6x2", "cddb query 23026203 100 150 612"}) {
    EXPECT_EQ(Cmd(bad), "500 Command syntax error.\r\n") << bad;
  }
}

TEST_F(CddbdService, ReadSendsTheEntryWithTheReplysLineEnds) {
  const std::string file = ReadFile(db_ / "misc" / "990c360c");
  const std::string head = "210 misc 990c360c CD database entry follows (until terminating `.')";
  EXPECT_EQ(Cmd("cddb read misc 990C360C"), head + "\r\n" + ToCrLf(file) + ".\r\n");
  service_->Config().eol = Eol::Lf;
  EXPECT_EQ(Cmd("cddb read misc 990c360c"), head + "\n" + file + ".\n");

  // An entry kept with CR LF and no final line end, under an upper-case
  // name: found, and sent with LF only.
  WriteFile(db_ / "rock" / "ABCDEF01", "# xmcd\r\nDISCID=abcdef01\r\nDTITLE=A / B");
  EXPECT_EQ(Cmd("cddb read ROCK abcdef01"),
            "210 rock abcdef01 CD database entry follows (until terminating `.')\n"
            "# xmcd\nDISCID=abcdef01\nDTITLE=A / B\n.\n");
  service_->Config().eol = Eol::CrLf;

  EXPECT_EQ(Cmd("cddb read rock 12345678"), "401 rock 12345678 No such CD entry in database.\r\n");
  EXPECT_EQ(Cmd("cddb read pop 23026203"), "501 Invalid category: pop\r\n");
  EXPECT_EQ(Cmd("cddb read ../rock 23026203"), "501 Invalid category: ../rock\r\n");
  EXPECT_EQ(Cmd("cddb read submissions 23026203"), "501 Invalid category: submissions\r\n");
  EXPECT_EQ(Cmd("cddb read rock zz"), "500 Command syntax error.\r\n");
  EXPECT_EQ(Cmd("cddb read rock"), "500 Command syntax error.\r\n");

  // A line "." would end the reply early: the entry reads as corrupt, in
  // a query as well as in a read.
  WriteFile(db_ / "jazz" / "0000aaaa", "DTITLE=x\n.\nTTITLE0=y\n");
  EXPECT_EQ(Cmd("cddb read jazz 0000aaaa"), "403 jazz 0000aaaa CD database entry corrupt.\r\n");
  EXPECT_EQ(Cmd("cddb query 0000aaaa 1 150 100"), "403 Database entry is corrupt.\r\n");
  // Too large to be an entry.
  WriteFile(db_ / "jazz" / "0000bbbb", std::string(kMaxEntryBytes + 1, 'x'));
  EXPECT_EQ(Cmd("cddb read jazz 0000bbbb"), "403 jazz 0000bbbb CD database entry corrupt.\r\n");
}

TEST_F(CddbdService, SitesAndCategories) {
  EXPECT_EQ(Cmd("sites"),
            "210 OK, site information follows (until terminating `.')\r\n"
            "127.0.0.1 http 8880 /~cddb/cddb.cgi N035.41 E139.41 Sonolabel demo server, Tokyo\r\n"
            "localhost http 8880 /~cddb/cddb.cgi N034.41 E135.30 Sonolabel demo mirror, Osaka\r\n"
            "127.0.0.2 http 8880 /~cddb/cddb.cgi N043.03 E141.21 Sonolabel demo mirror, Sapporo\r\n"
            ".\r\n");
  fs::remove(db_ / "sites.txt");
  service_->Config().port = 40123;
  EXPECT_EQ(Cmd("SITES"),
            "210 OK, site information follows (until terminating `.')\r\n"
            "127.0.0.1 http 40123 /~cddb/cddb.cgi N000.00 W000.00 Sonolabel local CDDB server\r\n"
            ".\r\n");
  WriteFile(db_ / "sites.txt", "# nothing here\n\n");
  EXPECT_EQ(Cmd("sites"), "401 No site information available.\r\n");
  WriteFile(db_ / "sites.txt", "127.0.0.1 http 80 /~cddb/cddb.cgi N0 E0 x\n");
  service_->Config().sitesDisabled = true;
  EXPECT_EQ(Cmd("sites"), "401 No site information available.\r\n");
  EXPECT_EQ(Cmd("sites extra"), "500 Command syntax error.\r\n");

  fs::create_directories(db_ / "zydeco");
  fs::create_directories(db_ / ".hidden");
  fs::create_directories(db_ / "submissions");
  EXPECT_EQ(service_->Categories(), (std::vector<std::string>{"jazz", "misc", "rock", "zydeco"}));
  EXPECT_EQ(
      Cmd("cddb lscat"),
      "210 OK, category list follows (until terminating `.')\r\njazz\r\nmisc\r\nrock\r\nzydeco\r\n.\r\n");
}

TEST_F(CddbdService, CgiArgumentsAreCheckedLikeARealServer) {
  const std::string q = "cmd=cddb+query+23026203+3+150+18630+35212+612";
  EXPECT_EQ(Cgi(q + kHello).body, "200 rock 23026203 The Loopback Trio / Local Host Sessions\r\n");
  // Percent-encoded blanks and an encoded "+" in the hello.
  EXPECT_EQ(
      Cgi("cmd=cddb%20query%2023026203%203%20150%2018630%2035212%20612&hello=a%2Bb+h+SLB+1&proto=5").body,
      "200 rock 23026203 The Loopback Trio / Local Host Sessions\r\n");
  // An empty user part (an address without "@") is accepted.
  EXPECT_EQ(Cgi(q + "&hello=+example.org+SLB+1.311&proto=5").body.substr(0, 4), "200 ");
  // No proto: level 1, same answer.
  EXPECT_EQ(Cgi(q + "&hello=a+b+SLB+1.311").body.substr(0, 4), "200 ");

  const std::string argCount = "500 Command syntax error: incorrect number of arguments.\r\n";
  EXPECT_EQ(Cgi(q + "&proto=5").body, argCount);
  EXPECT_EQ(Cgi(q + "&hello=&proto=5").body, argCount);
  EXPECT_EQ(Cgi(q + "&hello=a+b+c&proto=5").body, argCount);
  EXPECT_EQ(Cgi(q + "&hello=a+b++1.311&proto=5").body, argCount);
  EXPECT_EQ(Cgi(std::string("cmd=") + kHello).body, argCount);
  EXPECT_EQ(Cgi(kHello + 1).body, argCount);
  EXPECT_EQ(Cgi(q + "&hello=a+b+SLB+1&proto=9").body, "501 Illegal CDDB protocol level.\r\n");
  EXPECT_EQ(Cgi(q + "&hello=a+b+SLB+1&proto=x").body, "501 Illegal CDDB protocol level.\r\n");
  EXPECT_EQ(Cgi(std::string("cmd=motd") + kHello).body, "500 Unrecognized command.\r\n");
  EXPECT_EQ(Cgi(std::string("cmd=cddb+bogus") + kHello).body, "500 Unrecognized command.\r\n");
  EXPECT_EQ(Cgi(q + kHello).httpStatus, 200);
  EXPECT_EQ(Cgi(q + kHello).contentType, "text/plain");
}

TEST_F(CddbdService, ScriptedFaultsReplaceTheAnswer) {
  WriteFile(db_ / "faults.txt",
            "# client tests\n"
            "  0000dead reply 403 Database entry is corrupt.\n"
            "990c360c\thttp 404 gone fishing\n"
            "deadbeef close\n"
            "0000beef delay 250\n"
            "0000cafe delay 100 reply 402 Server error.\n"
            "0000f00d reply hello world\\nsecond\\x83\\x5C\n"
            "0000babe raw HTTP/1.0 200 OK\\r\\n\\r\\nno status code\n"
            "0000face empty\n");
  EXPECT_EQ(Cgi(std::string("cmd=cddb+query+0000DEAD+1+150+100") + kHello).body,
            "403 Database entry is corrupt.\r\n");
  Reply r = Cgi(std::string("cmd=cddb+read+misc+990c360c") + kHello);
  EXPECT_EQ(r.httpStatus, 404);
  EXPECT_NE(r.body.find("<p>gone fishing</p>"), std::string::npos);
  EXPECT_TRUE(Cgi(std::string("cmd=cddb+query+deadbeef+1+150+100") + kHello).closeSilently);
  // A bare delay answers normally, later.
  r = Cgi(std::string("cmd=cddb+query+0000beef+1+150+100") + kHello);
  EXPECT_EQ(r.delayMs, 250);
  EXPECT_EQ(r.body, "202 No match for disc ID 0000beef.\r\n");
  r = Cgi(std::string("cmd=cddb+query+0000cafe+1+150+100") + kHello);
  EXPECT_EQ(r.delayMs, 100);
  EXPECT_EQ(r.body, "402 Server error.\r\n");
  EXPECT_EQ(Cgi(std::string("cmd=cddb+query+0000f00d+1+150+100") + kHello).body,
            "hello world\r\nsecond\x83\x5C\r\n");
  r = Cgi(std::string("cmd=cddb+query+0000babe+1+150+100") + kHello);
  EXPECT_TRUE(r.rawResponse);
  EXPECT_EQ(BuildResponse(r, false), "HTTP/1.0 200 OK\r\n\r\nno status code");
  EXPECT_EQ(Cgi(std::string("cmd=cddb+query+0000face+1+150+100") + kHello).body, "");
  // Faults apply before the arguments are checked: a client test can fault
  // any request.
  EXPECT_EQ(Cgi("cmd=cddb+query+0000dead").body, "403 Database entry is corrupt.\r\n");
  // Rules given on the command line come after the file's.
  service_->Config().faultRules = {"* reply 500 Everything fails.", "0000dead reply never"};
  EXPECT_EQ(Cgi(std::string("cmd=sites") + kHello).body, "500 Everything fails.\r\n");
  EXPECT_EQ(Cgi(std::string("cmd=cddb+query+0000DEAD+1+150+100") + kHello).body,
            "403 Database entry is corrupt.\r\n");

  // A broken rule is reported, naming its line, whatever the request.
  WriteFile(db_ / "faults.txt", "x reply ok\n0000dead frobnicate\n");
  r = Cgi(std::string("cmd=cddb+query+0000dead+1+150+100") + kHello);
  EXPECT_EQ(r.httpStatus, 500);
  EXPECT_NE(r.body.find("faults.txt line 2"), std::string::npos);
  for (const char* bad : {"a delay", "a delay 60001", "a http 99", "a http", "a reply \\q"}) {
    WriteFile(db_ / "faults.txt", std::string(bad) + "\n");
    EXPECT_EQ(Cgi(std::string("cmd=a") + kHello).httpStatus, 500) << bad;
  }
}

TEST_F(CddbdService, SubmissionsAreStoredAsReceived) {
  const std::string body = "# xmcd\r\n# Revision: 1\r\nDISCID=23026203\r\nDTITLE=A / B\r\n";
  const std::string rawHead =
      "POST /~cddb/submit.cgi HTTP/1.0\r\nCategory: rock\r\nDiscid: 23026203\r\n"
      "User-Email: \r\nSubmit-Mode: submit\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n";
  int status = 0;
  const auto head = ParseHead(rawHead, status);
  ASSERT_TRUE(head.has_value());
  const fs::path dir = tree_.Path() / "subs";
  service_->Config().submitDir = dir;
  EXPECT_EQ(service_->HandleSubmit(*head, rawHead, body).body, "200 OK, submission has been sent.\r\n");
  EXPECT_EQ(ReadFile(dir / "0001-rock-23026203"), rawHead + body);
  // The entry is the database's now, so the same revision again is refused.
  EXPECT_EQ(Cmd("cddb query 23026203 3 150 18630 35212 612"), "200 rock 23026203 A / B\r\n");
  EXPECT_EQ(service_->HandleSubmit(*head, rawHead, body).body,
            "501 Entry rejected: revision 1 is not higher than the database's 1.\r\n");
  EXPECT_FALSE(fs::exists(dir / "0002-rock-23026203"));

  // A new server on the same folder goes on counting, never overwriting.
  CddbService again(service_->Config());
  const std::string next = "# Revision: 2\nDISCID=23026203\nDTITLE=C / D\n";
  EXPECT_EQ(again.HandleSubmit(*head, rawHead, next).body.substr(0, 4), "200 ");
  EXPECT_EQ(ReadFile(dir / "0002-rock-23026203"), rawHead + next);
  EXPECT_EQ(ReadFile(dir / "0001-rock-23026203"), rawHead + body);
  int files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++files;
  EXPECT_EQ(files, 2);  // no temporary left behind

  auto submit = [&](const std::string& headers,
                    const std::string& text = "DISCID=23026203\n# Revision: 9\n") {
    int st = 0;
    const std::string raw = "POST /~cddb/submit.cgi HTTP/1.0\r\n" + headers + "\r\n";
    const auto h = ParseHead(raw, st);
    return h ? service_->HandleSubmit(*h, raw, text).body : std::string("unparsed");
  };
  // A test submission is checked and answered; nothing is stored.
  const std::string all =
      "Category: rock\r\nDiscid: 23026203\r\nUser-Email: a@b\r\nSubmit-Mode: test\r\nContent-Length: 0\r\n";
  EXPECT_EQ(submit(all), "200 OK, submission is valid (test mode: nothing was stored).\r\n");
  EXPECT_EQ(submit(all, "DISCID=23026203\n# Revision: 2\n").substr(0, 4), "501 ");
  EXPECT_EQ(submit(all, "DISCID=0badf00d\n# Revision: 9\n"),
            "501 Entry rejected: no DISCID line names disc 23026203.\r\n");
  files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++files;
  EXPECT_EQ(files, 2);
  EXPECT_EQ(Cmd("cddb query 23026203 3 150 18630 35212 612"), "200 rock 23026203 C / D\r\n");
  for (const char* missing : {"Category", "Discid", "User-Email", "Submit-Mode", "Content-Length"}) {
    std::string h = all;
    const std::size_t at = h.find(missing);
    h.erase(at, h.find("\r\n", at) + 2 - at);
    EXPECT_EQ(submit(h), "500 Missing required header information.\r\n") << missing;
  }
  EXPECT_EQ(submit("Category: ../x\r\nDiscid: 23026203\r\nUser-Email: a\r\nSubmit-Mode: "
                   "submit\r\nContent-Length: 0\r\n"),
            "501 Invalid header information.\r\n");
  EXPECT_EQ(submit("Category: rock\r\nDiscid: 2302620\r\nUser-Email: a\r\nSubmit-Mode: "
                   "submit\r\nContent-Length: 0\r\n"),
            "501 Invalid header information.\r\n");
  EXPECT_EQ(submit("Category: rock\r\nDiscid: 23026203\r\nUser-Email: a\r\nSubmit-Mode: "
                   "later\r\nContent-Length: 0\r\n"),
            "501 Invalid header information.\r\n");

  // A fault keyed on the submission's category and disc ID.
  service_->Config().faultRules = {"submit+rock+2302 reply 500 Submission rejected."};
  EXPECT_EQ(submit(all), "500 Submission rejected.\r\n");

  // A submission folder that cannot be made: a clear server error.
  WriteFile(tree_.Path() / "plainfile", "x");
  service_->Config().faultRules.clear();
  service_->Config().submitDir = tree_.Path() / "plainfile" / "sub";
  std::string real = all;
  real.replace(real.find("test"), 4, "submit");
  EXPECT_EQ(submit(real).substr(0, 4), "402 ");
}

// Entries stored in UTF-8 go out in UTF-8 at level 6 and, below it, in the
// level-5 character set when every character fits; entries in another
// encoding go out as stored. Submissions come in as their Charset says.
TEST_F(CddbdService, CharacterSetsFollowTheProtocolLevel) {
  WriteFile(db_ / "jazz" / "0a0b0c0d",
            "# Revision: 3\nDISCID=0a0b0c0d\nDTITLE=Caf\u00e9 Trio / Cr\u00e8me\nTTITLE0=Na\u00efve\n");
  WriteFile(db_ / "jazz" / "0e0e0e0e", "DISCID=0e0e0e0e\nDTITLE=\xC9t\xE9 / stored in Latin-1\n");
  EXPECT_NE(service_->Command("cddb read jazz 0a0b0c0d", 6).find("DTITLE=Caf\u00e9 Trio / Cr\u00e8me\r\n"),
            std::string::npos);
  EXPECT_NE(service_->Command("cddb read jazz 0a0b0c0d", 5).find("DTITLE=Caf\xE9 Trio / Cr\xE8me\r\n"),
            std::string::npos);
  EXPECT_NE(service_->Command("cddb read jazz 0e0e0e0e", 6).find("DTITLE=\xC9t\xE9 / stored"),
            std::string::npos);
  const std::string jpop =
      "cddb query 990C360C 12 150 20337 40390 58655 79908 96001 116995 135847 "
      "156015 174960 194261 214019 3128";
  EXPECT_EQ(service_->Command(jpop, 6), "200 misc 990c360c 月島ソラ / 表参道ラプソディ\r\n");
  // An old Japanese server: Shift-JIS below level 6.
  service_->Config().level5Charset = "CP932";
  EXPECT_EQ(service_->Command(jpop, 5),
            "200 misc 990c360c " + *Utf8To("月島ソラ / 表参道ラプソディ", "CP932") + "\r\n");
  EXPECT_EQ(service_->Command(jpop, 6), "200 misc 990c360c 月島ソラ / 表参道ラプソディ\r\n");

  // A Shift-JIS submission to that server is stored in UTF-8; a UTF-8 one
  // says so in its Charset header.
  auto post = [&](const std::string& extra, const std::string& text) {
    const std::string raw =
        "POST /~cddb/submit.cgi HTTP/1.0\r\nCategory: misc\r\nDiscid: 0f0f0f0f\r\n"
        "User-Email: a@b\r\nSubmit-Mode: submit\r\n" +
        extra + "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n";
    int st = 0;
    return service_->HandleSubmit(*ParseHead(raw, st), raw, text).body;
  };
  EXPECT_EQ(post("", *Utf8To("DISCID=0f0f0f0f\nDTITLE=歌手 / 盤\n", "CP932")).substr(0, 4), "200 ");
  EXPECT_EQ(ReadFile(db_ / "misc" / "0f0f0f0f"), "DISCID=0f0f0f0f\nDTITLE=歌手 / 盤\n");
  EXPECT_EQ(post("Charset: UTF-8\r\n", "# Revision: 1\nDISCID=0f0f0f0f\nDTITLE=歌手 / 新盤\n").substr(0, 4),
            "200 ");
  EXPECT_EQ(ReadFile(db_ / "misc" / "0f0f0f0f"), "# Revision: 1\nDISCID=0f0f0f0f\nDTITLE=歌手 / 新盤\n");
  EXPECT_EQ(post("Charset: UTF-8\r\n", "# Revision: 2\nDISCID=0f0f0f0f\nDTITLE=\xFF\n"),
            "501 Entry rejected: the text is not in its character set.\r\n");
}

}  // namespace
}  // namespace sl::cddbd::test
