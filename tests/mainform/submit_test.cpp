// The submit and options commands of the main window, against the local CDDB
// server (which stores each submission exactly as it arrived) and loopback
// proxies.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "mainform/mainform.h"
#include "platform/pump.h"
#include "sim_environment.h"
#include "support/cddbd_process.h"
#include "support/gnudb_like_server.h"
#include "support/loopback_server.h"
#include "support/recorder.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"
#include "text/codepage.h"

namespace sl::mainform {
namespace {

using Result = MainWindowLogic::SubmitOutcome::Result;

const char* kDrives =
    "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n"
    "[0:1:0]\nvendor = SONOLAB\nproduct = BROKEN\ntoc = 0:02:00 4:08:30 10:12:12\ntoc_fail = 1\n";

class Submit : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("http_proxy", nullptr).Set("HTTP_PROXY", nullptr);
    test::WriteFileBytes(dir.File("drives.ini"), kDrives);
    env_.Set("SONOLABEL_SIM_DRIVES", dir.File("drives.ini").c_str());
    env = SimEnvironment(dir);
  }

  // A settings file whose selected server is `host` with capability `code`.
  void Settings(const std::string& host, int code, const std::string& extra = "") {
    test::WriteFileBytes(env.iniPath,
                         "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\n"
                         "servercount=1\r\nsubmitemail=test-submit@example.com\r\n" +
                             extra + "[svr0]\r\nhost=" + host +
                             "\r\npath=/~cddb/cddb.cgi?\r\ncode=" + std::to_string(code) + "\r\n");
  }
  void Settings(const test::CddbdProcess& server, int code = 2) {
    Settings("127.0.0.1:" + std::to_string(server.Port()), code);
  }

  // Starts the window, reads the 3-track disc and fills in its titles.
  MainWindowLogic& StartWithTitles() {
    form = std::make_unique<MainWindowLogic>(services, env);
    form->OpenSettingsFile();
    form->ApplyStartupSettings();
    form->Model().SetDriveIndex(0);
    form->ChooseDrive();
    auto& t = form->Model().Table();
    // The demo database has this disc under "rock": a new entry goes to
    // another category, a correction of that one needs a higher revision.
    t.SetCategory("blues");
    t.SetArtist("Artist");
    t.SetTitle("Title");
    t.SetYear("1999");
    t.SetGenre("Rock");
    t.SetCell(1, 1, "One");
    t.SetCell(1, 2, "Two");
    t.SetCell(2, 2, "Guest");
    t.SetCell(1, 3, "Three");
    return *form;
  }

  // The submissions the server stored, oldest first.
  static std::vector<std::string> Stored(const test::CddbdProcess& server) {
    std::vector<std::string> names;
    const auto folder = std::filesystem::path(server.Root()) / "submissions";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> out;
    for (const auto& n : names) out.push_back(test::ReadFileBytes(n));
    return out;
  }

  test::ScopedEnv env_;
  test::ScopedCodePage codePage_;  // the default one
  test::TempDir dir;
  test::RecordingServices services;
  Environment env;
  std::unique_ptr<MainWindowLogic> form;
};

const std::string kEntry =
    "# xmcd\r\n# \r\n# Track frame offsets:\r\n#\t150\r\n#\t18630\r\n#\t35212\r\n# \r\n"
    "# Disc length: 612 seconds\r\n# \r\n# Revision: 0\r\n# Submitted via: SLB ver.1.311\r\n# \r\n"
    "DISCID=23026203\r\nDTITLE=Artist / Title\r\nDYEAR=1999\r\nDGENRE=Rock\r\nTTITLE0=One\r\n"
    "TTITLE1=Guest / Two\r\nTTITLE2=Three\r\nEXTD=\r\nEXTT0=\r\nEXTT1=\r\nEXTT2=\r\nPLAYORDER=\r\n";

TEST_F(Submit, AcceptedEntryReachesTheServerExactly) {
  test::CddbdProcess server;
  Settings(server);
  auto& f = StartWithTitles();
  EXPECT_TRUE(f.Model().Menu(shell::MenuId::SubmitEntry).enabled);
  EXPECT_EQ(f.SubmitUrl(), "http://127.0.0.1:" + std::to_string(server.Port()) + "/~cddb/submit.cgi");
  f.SubmitEntry();
  EXPECT_EQ(f.Model().Status(0), "200 OK, submission has been sent.");
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_EQ(services.busyDepth, 0);
  EXPECT_EQ(services.busyCalls, 2);
  EXPECT_FALSE(f.Model().CommandRunning());
  const auto stored = Stored(server);
  ASSERT_EQ(stored.size(), 1u);
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(stored[0], "POST /~cddb/submit.cgi HTTP/1.1\r\nHost: " + host +
                           "\r\nUser-Agent: SLB\r\nAccept: */*\r\nCategory: blues\r\n"
                           "Discid: 23026203\r\nUser-Email: me@example.com\r\n"
                           "Submit-Mode: submit\r\nContent-Length: " +
                           std::to_string(kEntry.size()) + "\r\n\r\n" + kEntry);
}

TEST_F(Submit, DryRunAndTestModeAndShiftJisForACodeTwoServer) {
  test::CddbdProcess server({"--level5-charset", "CP932"});
  Settings(server, 2);
  auto& f = StartWithTitles();
  auto& t = f.Model().Table();
  t.SetArtist("山田");
  t.SetCell(1, 1, "春の歌");
  auto out = f.Submit({.dryRun = true});
  EXPECT_EQ(out.result, Result::Built);
  EXPECT_NE(out.entry.find("DTITLE=\x8E\x52\x93\x63 / Title\r\nDYEAR=1999\r\nDGENRE=Rock\r\n"
                           "TTITLE0=\x8F\x74\x82\xCC\x89\xCC\r\n"),
            std::string::npos);
  EXPECT_TRUE(Stored(server).empty());
  EXPECT_EQ(server.Log(), "");
  EXPECT_EQ(services.busyCalls, 0);

  // A test submission is checked by the server and not stored.
  out = f.Submit({.testMode = true});
  EXPECT_EQ(out.result, Result::Accepted);
  EXPECT_EQ(out.reply, "200 OK, submission is valid (test mode: nothing was stored).\r\n");
  EXPECT_TRUE(Stored(server).empty());
  EXPECT_NE(server.Log().find("\\r\\nSubmit-Mode: test\\r\\nContent-Length: " +
                              std::to_string(out.entry.size()) + "\\r\\n"),
            std::string::npos)
      << server.Log();

  // The real one is stored as it came, Shift-JIS bytes and all.
  out = f.Submit({});
  EXPECT_EQ(out.result, Result::Accepted);
  const auto stored = Stored(server);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_NE(stored[0].find("\r\nSubmit-Mode: submit\r\nContent-Length: " + std::to_string(out.entry.size()) +
                           "\r\n\r\n" + out.entry),
            std::string::npos);
}

TEST_F(Submit, ACorrectionCarriesTheNextRevision) {
  test::CddbdProcess server;
  Settings(server, 2);
  auto& f = StartWithTitles();
  // Look the disc up: the demo entry has revision 0.
  f.LookUpDisc();
  ASSERT_EQ(f.Model().Status(0), "曲名取得完了");
  ASSERT_EQ(f.ReadRevision(), 0);
  f.Model().Table().SetCell(1, 1, "Corrected");
  f.SubmitEntry();
  EXPECT_EQ(f.Model().Status(0), "200 OK, submission has been sent.");
  // A second correction goes above the one just accepted.
  f.Model().Table().SetCell(1, 2, "Corrected too");
  f.SubmitEntry();
  EXPECT_EQ(f.Model().Status(0), "200 OK, submission has been sent.");
  const auto stored = Stored(server);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_NE(stored[0].find("\r\n# Revision: 1\r\n"), std::string::npos);
  EXPECT_NE(stored[1].find("\r\n# Revision: 2\r\n"), std::string::npos);
  // An entry whose revision is not higher is refused, and the window says so.
  EXPECT_EQ(f.Submit({.revision = 2}).result, Result::NotAccepted);
  EXPECT_EQ(f.Model().Status(0), "501 Entry rejected: revision 2 is not higher than the database's 2.");
}

TEST_F(Submit, AUtf8ServerGetsUtf8AndACharsetLine) {
  test::CddbdProcess server;
  Settings("127.0.0.1:" + std::to_string(server.Port()), 2, "");
  // The server entry says its entries are UTF-8.
  test::WriteFileBytes(env.iniPath, test::ReadFileBytes(env.iniPath) + "charset=UTF-8\r\n");
  auto& f = StartWithTitles();
  f.Model().Table().SetArtist("山田");
  f.Model().Table().SetGenre("Ünïcode 😀");  // no code page needed
  const auto out = f.Submit({});
  EXPECT_EQ(out.result, Result::Accepted) << f.Model().Status(0);
  EXPECT_NE(out.entry.find("DTITLE=山田 / Title\r\nDYEAR=1999\r\nDGENRE=Ünïcode 😀\r\n"), std::string::npos);
  const auto stored = Stored(server);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_NE(stored[0].find("\r\nSubmit-Mode: submit\r\nCharset: UTF-8\r\nContent-Length: " +
                           std::to_string(out.entry.size()) + "\r\n\r\n" + out.entry),
            std::string::npos)
      << stored[0];
}

// The window corrects the entry it read last for the disc it shows: the
// next revision and the entry's own EXTD, EXTTn and PLAYORDER go back with
// the corrected titles. Once another disc was in the drive that entry is
// forgotten: the next submission is a new entry (revision 0, empty lines).
TEST_F(Submit, TheWindowsCorrectionKeepsTheServersTextUntilTheDiscChanges) {
  const std::string entry =
      "# Revision: 3\nDISCID=23026203\nDTITLE=Artist / Title\nDYEAR=1999\nTTITLE0=One\n"
      "TTITLE1=Two\nTTITLE2=Three\nEXTD=Label: X\\nRecorded\nEXTD= 1973\nEXTT0=\nEXTT1=Writer\n"
      "EXTT2=Live\nPLAYORDER=2,1\nPLAYORDER=,0\n";
  test::GnudbLikeServer server({{"23026203", {"rock", entry}}});
  Settings("127.0.0.1:" + std::to_string(server.Port()), 2, "");
  test::WriteFileBytes(env.iniPath, test::ReadFileBytes(env.iniPath) + "charset=UTF-8\r\n");
  form = std::make_unique<MainWindowLogic>(services, env);
  form->OpenSettingsFile();
  form->ApplyStartupSettings();
  auto pick = [&](int drive) {
    form->Model().SetDriveIndex(drive);
    form->ChooseDrive();
  };
  pick(0);
  auto& f = *form;
  f.LookUpDisc();
  ASSERT_EQ(f.Model().Status(0), "曲名取得完了");
  ASSERT_EQ(f.ReadRevision(), 3);
  f.Model().Table().SetCell(1, 2, "Two (corrected)");
  auto out = f.Submit({});
  EXPECT_EQ(out.result, Result::Accepted) << f.Model().Status(0);
  EXPECT_NE(out.entry.find("\r\n# Revision: 4\r\n"), std::string::npos) << out.entry;
  EXPECT_NE(out.entry.find("TTITLE1=Two (corrected)\r\nTTITLE2=Three\r\nEXTD=Label: X\\nRecorded 1973\r\n"
                           "EXTT0=\r\nEXTT1=Writer\r\nEXTT2=Live\r\nPLAYORDER=2,1,0\r\n"),
            std::string::npos)
      << out.entry;
  // A further correction goes above the accepted one, with the same text.
  out = f.Submit({.dryRun = true});
  EXPECT_NE(out.entry.find("\r\n# Revision: 5\r\n"), std::string::npos);
  EXPECT_NE(out.entry.find("EXTT1=Writer\r\n"), std::string::npos);

  pick(1);  // another disc (its read fails): the entry is forgotten
  pick(0);
  EXPECT_EQ(f.ReadRevision(), std::nullopt);
  f.Model().Table().SetCategory("rock");
  out = f.Submit({.dryRun = true});
  EXPECT_EQ(out.result, Result::Built) << f.Model().Status(0);
  EXPECT_NE(out.entry.find("\r\n# Revision: 0\r\n"), std::string::npos);
  EXPECT_NE(out.entry.find("EXTD=\r\nEXTT0=\r\nEXTT1=\r\nEXTT2=\r\nPLAYORDER=\r\n"), std::string::npos);
}

// A UTF-8 server stores every character: accents and full-width text pass
// whatever its code says. An entry read with a revision no server can go
// above is not corrected: the box says why, nothing is sent.
TEST_F(Submit, AUtf8ServerTakesEveryCharacterAndAnEndlessRevisionIsRefused) {
  test::GnudbLikeServer server({{"23026203",
                                 {"rock",
                                  "# Revision: 99999999999\nDTITLE=A / T\nTTITLE0=1\n"
                                  "TTITLE1=2\nTTITLE2=3\n"}}});
  for (const int code : {0, 1}) {
    SCOPED_TRACE(code);
    Settings("127.0.0.1:" + std::to_string(server.Port()), code, "");
    test::WriteFileBytes(env.iniPath, test::ReadFileBytes(env.iniPath) + "charset=UTF-8\r\n");
    services.boxes.clear();
    auto& f = StartWithTitles();
    f.Model().Table().SetArtist("Caf\u00e9 Trio");
    f.Model().Table().SetCell(1, 1, "山田");
    const auto out = f.Submit({.dryRun = true});
    EXPECT_EQ(out.result, Result::Built) << f.Model().Status(0);
    EXPECT_NE(out.entry.find("DTITLE=Caf\u00e9 Trio / Title\r\n"), std::string::npos);
  }
  auto& f = *form;
  f.LookUpDisc();
  ASSERT_EQ(f.ReadRevision(), 99999999999);
  services.boxes.clear();
  EXPECT_EQ(f.Submit({}).result, Result::Invalid);
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].text,
            "入力漏れがあるか全角文字があります。\nこの曲情報のリビジョン 99999999999 はサーバが扱える最大値 "
            "2147483647 を超えているため、訂正できません。");
  EXPECT_TRUE(server.Stored().empty());
}

TEST_F(Submit, FailedChecksSendNothing) {
  test::CddbdProcess server;
  Settings(server, 1);
  struct Row {
    const char* name;
    void (*change)(shell::TrackTitleTable&);
    std::string box;
  } rows[] = {
      {"full-width artist on a single-byte server", [](shell::TrackTitleTable& t) { t.SetArtist("山田"); },
       "入力漏れがあるか全角文字があります。\n「山」(U+5C71) はこのサーバに送れない全角文字です。"
       "\n「田」(U+7530) はこのサーバに送れない全角文字です。"},
      {"year that is not a year", [](shell::TrackTitleTable& t) { t.SetYear("1999年"); },
       "入力漏れがあるか全角文字があります。\n年（DYEAR）「1999年」は空欄か4桁までの数字にしてください。"},
      {"empty last track", [](shell::TrackTitleTable& t) { t.SetCell(1, 3, ""); },
       "入力漏れがあるか全角文字があります。"},
      {"line break in a title", [](shell::TrackTitleTable& t) { t.SetCell(1, 2, "Two\r\nX: y"); },
       "入力漏れがあるか全角文字があります。\nU+000D は行を終わらせてしまうため送れない文字です。"
       "\nU+000A は行を終わらせてしまうため送れない文字です。"},
      {"character the code page lacks", [](shell::TrackTitleTable& t) { t.SetGenre("Rock 😀"); },
       "入力漏れがあるか全角文字があります。\n「😀」(U+1F600) は送信先の文字コードで表せない文字です。"},
  };
  for (const auto& r : rows) {
    services.boxes.clear();
    auto& f = StartWithTitles();
    r.change(f.Model().Table());
    const auto before = f.Model().Table().Generation();
    f.SubmitEntry();
    ASSERT_EQ(services.boxes.size(), 1u) << r.name;
    EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Information) << r.name;
    EXPECT_EQ(services.boxes[0].text, r.box) << r.name;
    EXPECT_EQ(form->Model().Status(0), "曲情報が不適切です") << r.name;
    EXPECT_EQ(form->Model().Table().Generation(), before) << r.name;
  }
  EXPECT_TRUE(Stored(server).empty());
  EXPECT_EQ(services.busyDepth, 0);
  // Half-width katakana passes on the same server.
  auto& g = StartWithTitles();
  g.Model().Table().SetArtist("ｱｰﾃｨｽﾄ");
  g.SubmitEntry();
  EXPECT_EQ(g.Model().Status(0), "200 OK, submission has been sent.");
}

TEST_F(Submit, NoTableOfContentsNoSubmission) {
  test::CddbdProcess server;
  Settings(server);
  auto& f = StartWithTitles();
  // A failed read leaves the earlier disc's rows in the grid.
  f.Model().SetDriveIndex(1);
  f.ChooseDrive();
  EXPECT_FALSE(f.TocRead());
  EXPECT_EQ(f.Model().Table().RowCount(), 4);
  f.SubmitEntry();
  EXPECT_EQ(services.BoxTexts(),
            std::vector<std::string>{"CDの目次が読み込まれていないため送信できません。"});
  EXPECT_EQ(f.Model().Status(0), "曲情報が不適切です");
  EXPECT_TRUE(Stored(server).empty());
}

TEST_F(Submit, OutcomeOfEachKindOfAnswer) {
  struct Row {
    const char* name;
    std::vector<std::string> fault;
    Result result;
    std::string status;
    std::vector<std::string> boxes;
  } rows[] = {
      {"CDDB 5xx",
       {"--fault", "submit reply 501 Invalid header information."},
       Result::NotAccepted,
       "501 Invalid header information.",
       {}},
      {"HTTP 404", {"--fault", "submit http 404"}, Result::NotAccepted, "接続できません。", {}},
  };
  for (const auto& r : rows) {
    test::CddbdProcess server(r.fault);
    Settings(server);
    services.boxes.clear();
    auto& f = StartWithTitles();
    const auto out = f.Submit({});
    EXPECT_EQ(out.result, r.result) << r.name;
    EXPECT_EQ(f.Model().Status(0), r.status) << r.name;
    EXPECT_EQ(services.BoxTexts(), r.boxes) << r.name;
    EXPECT_EQ(services.busyDepth, 0) << r.name;
  }
  // Nobody listening.
  test::RefusedPort refused;
  Settings("127.0.0.1:" + std::to_string(refused.Port()), 2);
  services.boxes.clear();
  auto& f = StartWithTitles();
  EXPECT_EQ(f.Submit({}).result, Result::NotAccepted);
  EXPECT_EQ(f.Model().Status(0), "接続できません。");
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"接続に失敗しました。"});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Warning);
  EXPECT_EQ(services.busyDepth, 0);
}

TEST_F(Submit, NothingElseRunsWhileThePostWaits) {
  test::CddbdProcess server({"--fault", "submit delay 300"});
  Settings(server);
  auto& f = StartWithTitles();
  auto& m = f.Model();
  int pumped = 0;
  platform::SetMessagePump([&] {
    if (++pumped != 1) return;
    EXPECT_TRUE(m.CommandRunning());
    EXPECT_EQ(m.Status(0), "送信中");
    f.SubmitEntry();  // a second submission
    f.LookUpDisc();   // a lookup
    f.OpenOptions();  // the options
    m.SetDriveIndex(1);
    f.ChooseDrive();  // another disc
  });
  f.SubmitEntry();
  platform::SetMessagePump({});
  ASSERT_GT(pumped, 1);
  EXPECT_EQ(m.Status(0), "200 OK, submission has been sent.");
  EXPECT_EQ(Stored(server).size(), 1u);
  EXPECT_EQ(services.optionDialogs, 0);
  EXPECT_EQ(f.TrackCount(), 3);
  EXPECT_EQ(server.Log().find("cmd=cddb"), std::string::npos);
}

TEST_F(Submit, OptionsReachTheNextRequests) {
  test::CddbdProcess server;
  Settings(server);
  // A proxy on loopback that answers every request like a CDDB server.
  test::LoopbackServer proxy(std::vector<test::ServerScript>{
      test::ServerScript().Send(test::HttpReply(200, "200 OK, submission has been sent.\r\n")),
      test::ServerScript().Send(test::HttpReply(200, "202 No match found.\r\n"))});
  auto& f = StartWithTitles();
  services.optionDialog = [&](shell::OptionDialog& d) {
    EXPECT_EQ(d.state.proxyHost, "");
    EXPECT_EQ(d.state.email, "me@example.com");
    d.state.proxyHost = "127.0.0.1";
    d.state.proxyPort = std::to_string(proxy.Port());
    d.state.email = "new@example.org";
    return d.AcceptOptions();
  };
  f.OpenOptions();
  EXPECT_EQ(services.optionDialogs, 1);
  EXPECT_TRUE(services.boxes.empty());
  f.SubmitEntry();
  EXPECT_EQ(f.Model().Status(0), "200 OK, submission has been sent.");
  EXPECT_TRUE(Stored(server).empty());  // went to the proxy instead
  // The lookup goes through the same proxy with the new hello.
  f.LookUpDisc();
  const auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string target = "http://127.0.0.1:" + std::to_string(server.Port());
  EXPECT_EQ(requests[0].rfind("POST " + target + "/~cddb/submit.cgi HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("\r\nUser-Email: new@example.org\r\n"), std::string::npos);
  EXPECT_EQ(requests[1].rfind("GET " + target + "/~cddb/cddb.cgi?cmd=cddb+query+23026203", 0), 0u)
      << requests[1];
  EXPECT_NE(requests[1].find("&hello=new+example.org+SLB+1.311&proto=5"), std::string::npos);

  // Back to direct: an empty proxy host, whatever the port says.
  services.optionDialog = [&](shell::OptionDialog& d) {
    EXPECT_EQ(d.state.proxyHost, "127.0.0.1");
    d.state.proxyHost = "";
    return d.AcceptOptions();
  };
  f.OpenOptions();
  f.SubmitEntry();
  EXPECT_EQ(Stored(server).size(), 1u);
}

TEST_F(Submit, OptionsWithABadPortWriteNothing) {
  test::CddbdProcess server;
  Settings(server);
  auto& f = StartWithTitles();
  const std::string before = test::ReadFileBytes(env.iniPath);
  for (const char* port : {"", "abc", "80x", "99999999999"}) {
    services.boxes.clear();
    services.optionDialog = [&](shell::OptionDialog& d) {
      d.state.proxyHost = "proxy.invalid";
      d.state.proxyPort = port;
      d.state.email = "other@example.org";
      return d.AcceptOptions();
    };
    f.OpenOptions();
    ASSERT_EQ(services.boxes.size(), 1u) << port;
    EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Error);
    EXPECT_EQ(services.boxes[0].text, "ポート番号「" + std::string(port) + "」は整数ではありません。");
    EXPECT_EQ(test::ReadFileBytes(env.iniPath), before);
  }
  // Cancel changes nothing either, and neither does the submission: the
  // proxy of the settings file is still empty, so it goes direct.
  services.boxes.clear();
  services.optionDialog = [](shell::OptionDialog& d) {
    d.state.proxyHost = "proxy.invalid";
    return d.CancelOptions();
  };
  f.OpenOptions();
  EXPECT_EQ(test::ReadFileBytes(env.iniPath), before);
  f.SubmitEntry();
  EXPECT_EQ(f.Model().Status(0), "200 OK, submission has been sent.");
}

TEST_F(Submit, ServersAddedInTheOptionsAndTheirCode) {
  test::CddbdProcess server;
  Settings("gnudb.gnudb.org", 0);
  auto& f = StartWithTitles();
  ASSERT_EQ(f.Model().ServerItems().size(), 1u);
  const std::string added = "127.0.0.1:" + std::to_string(server.Port());
  services.optionDialog = [&](shell::OptionDialog& d) {
    EXPECT_EQ(d.state.hosts, std::vector<std::string>{"gnudb.gnudb.org"});
    d.AddServer();
    d.state.hostText = added;
    d.EditServerHost();
    d.state.doubleByteChecked = true;
    d.ApplyServer();
    d.state.proxyPort = "8080";  // the settings hold no port: OK needs one
    return d.AcceptOptions();
  };
  f.OpenOptions();
  // The menu shows the new server at once; the current one is unchanged.
  ASSERT_EQ(f.Model().ServerItems().size(), 2u);
  EXPECT_EQ(f.Model().ServerItems()[1].caption, added);
  EXPECT_EQ(f.SubmitUrl(), "http://gnudb.gnudb.org:80/~cddb/submit.cgi");
  EXPECT_EQ(f.ServerCode(), 0);
  f.Model().ToggleServerItem(1);
  f.ChangeServer(1);
  EXPECT_EQ(f.ServerCode(), 2);
  f.Model().Table().SetArtist("山田");
  f.SubmitEntry();
  EXPECT_EQ(f.Model().Status(0), "200 OK, submission has been sent.");

  // Emptying the address brings up the prompt at once.
  services.optionDialog = [](shell::OptionDialog& d) {
    d.state.email = "";
    d.state.proxyPort = "80";
    return d.AcceptOptions();
  };
  services.inputAnswers = {"asked@example.com"};
  f.OpenOptions();
  ASSERT_EQ(services.inputPrompts.size(), 1u);
  f.SubmitEntry();
  EXPECT_NE(Stored(server).back().find("\r\nUser-Email: asked@example.com\r\n"), std::string::npos);
}

// Against a server written apart from this project's: the entry read at
// revision 3 is corrected at revision 4, in UTF-8 with a Charset line for a
// UTF-8 server and in Shift-JIS without one for a code-page server; a test
// submission is answered and stores nothing.
TEST_F(Submit, CorrectionsAndTestSubmissionsToAnIndependentServer) {
  const std::string entry =
      "# Revision: 3\nDISCID=23026203\nDTITLE=山田 / 旅\nTTITLE0=一\nTTITLE1=二\nTTITLE2=三\n";
  for (const bool utf8 : {true, false}) {
    SCOPED_TRACE(utf8 ? "UTF-8 server" : "code-page server");
    test::GnudbLikeServer server({{"23026203", {"rock", entry}}});
    Settings("127.0.0.1:" + std::to_string(server.Port()), 2);
    if (utf8) test::WriteFileBytes(env.iniPath, test::ReadFileBytes(env.iniPath) + "charset=UTF-8\r\n");
    form = std::make_unique<MainWindowLogic>(services, env);
    form->OpenSettingsFile();
    form->ApplyStartupSettings();
    form->Model().SetDriveIndex(0);
    form->ChooseDrive();
    auto& f = *form;
    f.LookUpDisc();
    if (!utf8) {
      // At level 5 the server sends the Japanese text unchanged (UTF-8
      // bytes); a code-page client would read them wrongly, so the window's
      // titles are typed in again before the correction.
      f.Model().Table().SetArtist("山田");
      f.Model().Table().SetTitle("旅");
      for (int r = 1; r <= 3; ++r)
        f.Model().Table().SetCell(1, r, std::string("一二三").substr((r - 1) * 3, 3));
    }
    ASSERT_EQ(f.ReadRevision(), 3);
    f.Model().Table().SetCell(1, 2, "二（改）");

    const auto tested = f.Submit({.testMode = true});
    EXPECT_EQ(tested.result, Result::Accepted) << f.Model().Status(0);
    EXPECT_TRUE(server.Stored().empty());

    const auto out = f.Submit({});
    EXPECT_EQ(out.result, Result::Accepted) << f.Model().Status(0);
    EXPECT_EQ(f.Model().Status(0), "200 OK, submission has been sent.");
    const auto stored = server.Stored();
    ASSERT_EQ(stored.size(), 1u);
    // The entry's bytes as sent: UTF-8, or Shift-JIS for the code-page server.
    const std::string& body = out.entry;
    EXPECT_NE(body.find("\r\n# Revision: 4\r\n"), std::string::npos) << body;
    const std::string line = "TTITLE1=二（改）\r\n";
    EXPECT_NE(body.find(utf8 ? line : text::ToExternal(line)), std::string::npos);
    const std::string headers = std::string(
                                    "Category: rock\r\nDiscid: 23026203\r\nUser-Email: me@example.com\r\n"
                                    "Submit-Mode: submit\r\n") +
                                (utf8 ? "Charset: UTF-8\r\n" : "") +
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    EXPECT_NE(stored[0].find(headers + body), std::string::npos) << stored[0];
  }
}

}  // namespace
}  // namespace sl::mainform
