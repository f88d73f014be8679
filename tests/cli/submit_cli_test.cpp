// sonolabel-cli submit as a user runs it against the local CDDB server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "cli_run.h"
#include "support/cddbd_process.h"
#include "support/loopback_server.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

class CliSubmit : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(dir.File("drives.ini"),
                   "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\n"
                   "toc = 0:02:00 4:08:30 7:49:37 10:12:12\n");
    WriteFileBytes(dir.File("fields.json"),
                   R"({"category":"blues","artist":"山田","title":"Title","year":"1999",)"
                   R"("genre":"Rock","tracks":[{"title":"春の歌"},{"title":"Two","artist":"Guest"},)"
                   R"({"title":"Three"}]})");
  }
  void Settings(const std::string& host, int code) {
    WriteFileBytes(dir.File("s.INI"),
                   "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                   "submitemail=test-submit@example.com\r\n[svr0]\r\nhost=" +
                       host + "\r\npath=/~cddb/cddb.cgi?\r\ncode=" + std::to_string(code) + "\r\n");
  }
  // The servers here take level-5 text as Shift-JIS, as a Japanese server does.
  static std::vector<std::string> Sjis(std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--level5-charset", "CP932"});
    return more;
  }
  void Settings(const CddbdProcess& server, int code = 2) {
    Settings("127.0.0.1:" + std::to_string(server.Port()), code);
  }
  Result Run(const std::string& args) { return RunCli(dir, args, "-u http_proxy -u HTTP_PROXY"); }
  std::string Err() const { return ReadFileBytes(dir.File("stderr")); }
  static std::vector<std::string> Stored(const CddbdProcess& server) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(server.Root() + "/submissions", ec))
      out.push_back(ReadFileBytes(e.path().string()));
    return out;
  }
  std::string Fields() const { return "--fields '" + dir.File("fields.json") + "'"; }
  TempDir dir;
};

const std::string kEntry =
    "# xmcd\r\n# \r\n# Track frame offsets:\r\n#\t150\r\n#\t18630\r\n#\t35212\r\n# \r\n"
    "# Disc length: 612 seconds\r\n# \r\n# Revision: 0\r\n# Submitted via: SLB ver.1.311\r\n# \r\n"
    "DISCID=23026203\r\nDTITLE=\x8E\x52\x93\x63 / Title\r\nDYEAR=1999\r\nDGENRE=Rock\r\n"
    "TTITLE0=\x8F\x74\x82\xCC\x89\xCC\r\nTTITLE1=Guest / Two\r\nTTITLE2=Three\r\nEXTD=\r\n"
    "EXTT0=\r\nEXTT1=\r\nEXTT2=\r\nPLAYORDER=\r\n";

TEST_F(CliSubmit, DryRunPrintsTheEntryBytesAndSendsNothing) {
  CddbdProcess server(Sjis());
  Settings(server);
  const Result r = Run("submit --dry-run " + Fields());
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_EQ(r.out, kEntry);
  EXPECT_TRUE(Stored(server).empty());
}

TEST_F(CliSubmit, SubmitPrintsTheReply) {
  CddbdProcess server(Sjis());
  Settings(server);
  Result r = Run("submit --test --drive 0 " + Fields());
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_EQ(r.out, "200 OK, submission is valid (test mode: nothing was stored).\r\n");
  EXPECT_TRUE(Stored(server).empty());
  EXPECT_NE(server.Log().find("\\r\\nSubmit-Mode: test\\r\\n"), std::string::npos);
  r = Run("submit " + Fields());
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_EQ(r.out, "200 OK, submission has been sent.\r\n");
  EXPECT_NE(Err().find("200 OK, submission has been sent."), std::string::npos);
  const auto stored = Stored(server);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_NE(stored[0].find("\r\nSubmit-Mode: submit\r\n"), std::string::npos);
  EXPECT_NE(stored[0].find("\r\n\r\n" + kEntry), std::string::npos);
}

TEST_F(CliSubmit, RevisionOfTheFieldsFile) {
  CddbdProcess server(Sjis());
  Settings(server);
  // A correction of the demo entry rock/23026203 (revision 0).
  struct Row {
    const char* discid;
    const char* revision;
    const char* sent;  // "" : nothing is built or sent
    int status;
  } rows[] = {
      {"23026203", "", "# Revision: 0", 1},                 // no revision: a new entry, refused
      {"990c360c", ",\"revision\":4", "", 1},               // another disc's fields: refused
      {"23026203", ",\"revision\":0", "# Revision: 1", 0},  // the next revision
      {"23026203", ",\"revision\":0", "# Revision: 1", 1},  // now taken
      {"23026203", ",\"revision\":1000000000", "# Revision: 1000000001", 0},
      {"23026203", ",\"revision\":2147483647", "# Revision: 2147483648", 0},
  };
  for (const auto& row : rows) {
    WriteFileBytes(dir.File("fix.json"), std::string(R"({"category":"rock","artist":"A","title":"T",)") +
                                             R"("tracks":[{"title":"1"},{"title":"2"},{"title":"3"}],)" +
                                             R"("discid":")" + row.discid + "\"" + row.revision + "}");
    const Result dry = Run("submit --dry-run --fields '" + dir.File("fix.json") + "'");
    if (*row.sent)
      EXPECT_NE(dry.out.find(std::string("\r\n") + row.sent + "\r\n"), std::string::npos) << row.discid;
    else EXPECT_EQ(dry.out, "");
    const Result r = Run("submit --fields '" + dir.File("fix.json") + "'");
    EXPECT_EQ(r.status, row.status) << row.discid << row.revision << ": " << r.out;
  }
}

// Titles never travel to another disc: a file naming another disc, or with
// more tracks than the disc, is refused with both named and nothing sent;
// the same for the player export, which then changes nothing.
TEST_F(CliSubmit, FieldsOfAnotherDiscAreRefused) {
  CddbdProcess server(Sjis());
  Settings(server);
  std::string hundred;
  for (int k = 0; k < 100; ++k) hundred += std::string(k ? "," : "") + R"({"title":"t"})";
  struct Row {
    std::string json;
    std::string message;
  } rows[] = {
      {R"({"discid":"990C360C","artist":"A","title":"T","tracks":[{"title":"1"}]})",
       "the fields file is for disc 990C360C, but the disc is 23026203"},
      {R"({"discid":"23026203","artist":"A","title":"T","tracks":[)" + hundred + "]}",
       "the fields file has 100 tracks, but disc 23026203 has 3"},
      {R"({"artist":"A","title":"T","tracks":[{"title":"1"}],"extt":["a","b","c","d"]})",
       "the fields file has 4 tracks, but disc 23026203 has 3"},
  };
  for (const auto& row : rows) {
    WriteFileBytes(dir.File("other.json"), row.json);
    for (const std::string command : {"submit", "submit --dry-run", "player export"}) {
      const Result r = Run(command + " --fields '" + dir.File("other.json") + "'");
      EXPECT_EQ(r.status, 1) << command << ": " << row.json;
      EXPECT_EQ(r.out, "") << command;
      EXPECT_NE(Err().find(row.message), std::string::npos) << command << ": " << Err();
    }
  }
  EXPECT_TRUE(Stored(server).empty());
  // The same disc's ID in lower case is the same disc.
  WriteFileBytes(dir.File("same.json"), R"({"discid":"23026203","category":"rock","artist":"A","title":"T",)"
                                        R"("tracks":[{"title":"1"},{"title":"2"},{"title":"3"}]})");
  EXPECT_EQ(Run("submit --dry-run --fields '" + dir.File("same.json") + "'").status, 0) << Err();
}

// The lookup's JSON carries the entry's revision and its own text; a
// correction submitted from it sends them back, a new entry sends empty
// lines and revision 0. Revisions a server can't keep are refused, never
// taken for 0.
TEST_F(CliSubmit, CorrectionsCarryTheEntrysOwnText) {
  CddbdProcess server(Sjis());
  Settings(server);
  WriteFileBytes(server.Root() + "/rock/23026203",
                 "# xmcd\n# Revision: 99999999999\nDISCID=23026203\nDTITLE=A / T\nTTITLE0=1\n"
                 "TTITLE1=2\nTTITLE2=3\nEXTD=Label\\nX\nEXTT1=Live\nPLAYORDER=2,1,0\n");
  const Result looked = Run("lookup --drive 0");
  ASSERT_EQ(looked.status, 0) << Err();
  EXPECT_NE(looked.out.find(R"("revision":99999999999,"extd":"Label\\nX","extt":["","Live",""],)"
                            R"("playorder":"2,1,0")"),
            std::string::npos)
      << looked.out;
  WriteFileBytes(dir.File("looked.json"), looked.out);
  Result r = Run("submit --dry-run --fields '" + dir.File("looked.json") + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(Err().find("\"revision\" must be a whole number from 0 to 2147483647, the highest a CDDB "
                       "server keeps, not 99999999999"),
            std::string::npos)
      << Err();
  // The same entry at a revision a server keeps.
  std::string fixed = looked.out;
  fixed.replace(fixed.find("99999999999"), 11, "41");
  WriteFileBytes(dir.File("fixed.json"), fixed);
  r = Run("submit --dry-run --fields '" + dir.File("fixed.json") + "'");
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_NE(r.out.find("# Revision: 42\r\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("EXTD=Label\\nX\r\nEXTT0=\r\nEXTT1=Live\r\nEXTT2=\r\nPLAYORDER=2,1,0\r\n"),
            std::string::npos)
      << r.out;
  // Without the revision it is a new entry: revision 0 and empty lines.
  std::string fresh = fixed;
  fresh.replace(fresh.find(",\"revision\":41"), 14, "");
  WriteFileBytes(dir.File("fresh.json"), fresh);
  r = Run("submit --dry-run --fields '" + dir.File("fresh.json") + "'");
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_NE(r.out.find("# Revision: 0\r\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("EXTD=\r\nEXTT0=\r\nEXTT1=\r\nEXTT2=\r\nPLAYORDER=\r\n"), std::string::npos) << r.out;
}

TEST_F(CliSubmit, FailuresExitOne) {
  {
    CddbdProcess server(Sjis({"--fault", "submit reply 501 Invalid header information."}));
    Settings(server);
    const Result r = Run("submit " + Fields());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "501 Invalid header information.\r\n");
  }
  RefusedPort refused;
  Settings("127.0.0.1:" + std::to_string(refused.Port()), 2);
  Result r = Run("submit " + Fields());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(Err().find("接続に失敗しました。\n"), std::string::npos) << Err();

  // A single-byte server refuses the full-width artist: the box text on
  // stderr, nothing on stdout, nothing sent.
  CddbdProcess server;
  Settings(server, 1);
  r = Run("submit " + Fields());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(
      Err().find("入力漏れがあるか全角文字があります。\n「山」(U+5C71) はこのサーバに送れない全角文字です。"
                 "\n「田」(U+7530) はこのサーバに送れない全角文字です。"
                 "\n「春」(U+6625) はこのサーバに送れない全角文字です。"
                 "\n「の」(U+306E) はこのサーバに送れない全角文字です。"
                 "\n「歌」(U+6B4C) はこのサーバに送れない全角文字です。\n曲情報が不適切です\n"),
      std::string::npos)
      << Err();
  EXPECT_TRUE(Stored(server).empty());
}

TEST_F(CliSubmit, UsageErrors) {
  Settings("127.0.0.1:1", 2);
  struct Row {
    std::string args;
    std::string message;
  } rows[] = {
      {"submit", "submit needs --fields FILE"},
      {"submit --fields", "--fields needs a value"},
      {"submit --fields '" + dir.File("none.json") + "'", "cannot open"},
      {"submit --fields '" + dir.File("bad.json") + "'", "bad.json: ',' or '}' expected at byte 10"},
      {"submit --fields '" + dir.File("shape.json") + "'", "\"tracks\" must be an array"},
      {"submit --fields '" + dir.File("rev.json") + "'", "\"revision\" must be a whole number from 0"},
      {"submit --fields '" + dir.File("big.json") + "'",
       "from 0 to 2147483647, the highest a CDDB server keeps, not 2147483648"},
      {"submit --fields '" + dir.File("text.json") + "'", "\"revision\" must be a whole number from 0"},
      {"submit --fields '" + dir.File("lone.json") + "'", "\"revision\" needs the \"discid\""},
      {"submit --fields '" + dir.File("extt.json") + "'", "\"extt\" must be an array of strings"},
      {"lookup --dry-run", "'lookup' takes no option --dry-run"},
      {"disc --fields x", "'disc' takes no option --fields"},
  };
  WriteFileBytes(dir.File("bad.json"), R"({"a": "b" "c"})");
  WriteFileBytes(dir.File("shape.json"), R"({"tracks": "x"})");
  WriteFileBytes(dir.File("rev.json"), R"({"revision": -1})");
  WriteFileBytes(dir.File("big.json"), R"({"discid":"23026203","revision": 2147483648})");
  WriteFileBytes(dir.File("text.json"), R"({"discid":"23026203","revision": "abc"})");
  WriteFileBytes(dir.File("lone.json"), R"({"revision": 3})");
  WriteFileBytes(dir.File("extt.json"), R"({"extt": [1]})");
  for (const auto& row : rows) {
    const Result r = Run(row.args);
    EXPECT_EQ(r.status, 2) << row.args;
    EXPECT_EQ(r.out, "") << row.args;
    EXPECT_NE(Err().find(row.message), std::string::npos) << row.args << ": " << Err();
  }
}

}  // namespace
}  // namespace sl::test
