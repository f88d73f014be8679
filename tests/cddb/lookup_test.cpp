// The lookup against a real (local) CDDB server process: start-up readers,
// the query-then-read sequence, the exact request lines, server choice.
#include <gtest/gtest.h>

#include "cddb/cddb.h"
#include "mainform/outcome_texts.h"
#include "platform/pump.h"
#include "support/cddbd_process.h"
#include "support/recorder.h"

namespace sl::cddb {
namespace {

class Lookup : public ::testing::Test {
 protected:
  Lookup() : settings(dir.File("sonolabel.INI")), lookup(model, mainform::LookupHooksFor(model, services)) {
    lookup.SetSettings(&settings);
    model.Table().SetRowCount(13);
  }
  // Points the lookup at `server` with a stored address.
  void UseServer(const test::CddbdProcess& server) {
    settings.WriteString("tunedex", "email", "me@example.com");
    lookup.ReadMailAddress();
    lookup.ServerUrl = server.Url();
  }
  test::TempDir dir;
  shell::ShellModel model;
  test::RecordingServices services;
  settings::SettingsFile settings;
  CddbLookup lookup;
};

const char* kRockQuery = "cmd=cddb+query+23026203+3+150+18630+35212+612";

TEST_F(Lookup, FirstStartSeedsAndBuildsHello) {
  services.inputAnswers = {"john doe@example.com"};
  lookup.ReadMailAddress();
  lookup.ReadServerUrl();
  lookup.ReadProxyServer();
  ASSERT_EQ(services.inputPrompts.size(), 1u);
  EXPECT_EQ(services.inputPrompts[0], "メールアドレスの登録|メールアドレスを入力してください。");
  EXPECT_EQ(settings.ReadString("tunedex", "email", ""), "john doe@example.com");
  // A blank in the address can't stand in a request line: it is encoded.
  // The seeded default server speaks UTF-8 at level 6.
  EXPECT_EQ(lookup.HelloSuffix, "&hello=john%20doe+example.com+SLB+1.311&proto=6");
  EXPECT_TRUE(lookup.ServerUtf8);
  EXPECT_EQ(lookup.ServerUrl, "http://gnudb.gnudb.org/~cddb/cddb.cgi?");
  EXPECT_EQ(lookup.SubmitUrl, "http://gnudb.gnudb.org:80/~cddb/submit.cgi");
  EXPECT_EQ(settings.ReadInteger("tunedex", "selectserver", -1), 0);
  EXPECT_EQ(settings.ReadInteger("tunedex", "servercount", -1), 1);
  EXPECT_FALSE(settings.ReadString("tunedex", "submitemail", "").empty());
  EXPECT_EQ(lookup.http.Proxy, "");
  EXPECT_EQ(lookup.http.ProxyPort, 80);
  EXPECT_TRUE(model.ServerItems().empty());  // not built on a first start

  // Next start: no prompt, the menu follows the stored list.
  lookup.ReadMailAddress();
  lookup.ReadServerUrl();
  EXPECT_EQ(services.inputPrompts.size(), 1u);
  ASSERT_EQ(model.ServerItems().size(), 1u);
  EXPECT_TRUE(model.ServerItems()[0].checked);
}

TEST_F(Lookup, CancelledPromptStoresPlaceholderAndOddAddressesSplitAtFirstAt) {
  lookup.ReadMailAddress();
  EXPECT_EQ(settings.ReadString("tunedex", "email", ""), kPlaceholderEmail);
  settings.WriteString("tunedex", "email", "a@b@c");
  lookup.ReadMailAddress();
  EXPECT_EQ(lookup.HelloSuffix, "&hello=a+b@c+SLB+1.311&proto=5");
  settings.WriteString("tunedex", "email", "noat");
  lookup.ReadMailAddress();
  EXPECT_EQ(lookup.HelloSuffix, "&hello=+noat+SLB+1.311&proto=5");
  settings.WriteString("tunedex", "proxyport", "abc");
  settings.WriteString("tunedex", "proxyIP", "proxy.example");
  lookup.ReadProxyServer();
  EXPECT_EQ(lookup.http.ProxyPort, 80);
  EXPECT_EQ(lookup.http.Proxy, "proxy.example");
}

TEST_F(Lookup, SingleMatchThenReadFillsAndSaves) {
  test::CddbdProcess server;
  int saved = 0;
  lookup.onEntryApplied = [&] { ++saved; };
  UseServer(server);
  std::vector<std::string> statuses;
  model.onStatus = [&](int panel, const std::string& s) {
    if (panel == 0) statuses.push_back(s);
  };
  lookup.LookUpDisc(kRockQuery);
  EXPECT_EQ(statuses,
            (std::vector<std::string>{"タイトル取得中", "タイトル取得完了", "曲名取得中", "曲名取得完了"}));
  EXPECT_EQ(model.Table().Category(), "rock");
  EXPECT_EQ(model.Table().Year(), "1999");
  EXPECT_FALSE(model.Table().Cell(1, 1).empty());
  EXPECT_EQ(saved, 1);
  EXPECT_EQ(services.busyDepth, 0);
  EXPECT_EQ(lookup.RequestKind, Read);

  // The exact request lines the server got.
  const std::string log = server.Log();
  EXPECT_NE(log.find("GET /~cddb/cddb.cgi?cmd=cddb+query+23026203+3+150+18630+35212+612"
                     "&hello=me+example.com+SLB+1.311&proto=5 HTTP/1.0\\r\\nHost: 127.0.0.1\\r\\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("GET /~cddb/cddb.cgi?cmd=cddb+read+rock+23026203&hello=me+example.com+SLB+1.311"
                     "&proto=5 HTTP/1.0\\r\\n"),
            std::string::npos);
}

TEST_F(Lookup, JapaneseEntryFromShiftJisServer) {
  test::CddbdProcess server({"--level5-charset", "CP932"});
  UseServer(server);
  lookup.LookUpDisc(
      "cmd=cddb+query+990C360C+12+150+20337+40390+58655+79908+96001+116995+135847+"
      "156015+174960+194261+214019+3128");
  EXPECT_EQ(model.Status(0), "曲名取得完了");
  EXPECT_EQ(model.Table().Artist(), "月島ソラ");
  EXPECT_EQ(model.Table().Title(), "表参道ラプソディ");
  EXPECT_EQ(model.Table().Cell(1, 1), "ソーダ水の午後");
  EXPECT_EQ(model.Table().Cell(2, 10), "月島ソラ feat. 北野ハル");
}

TEST_F(Lookup, MatchDialogChoiceIsRead) {
  test::CddbdProcess server;
  UseServer(server);
  services.matchAnswers = {2};
  lookup.LookUpDisc("cmd=cddb+query+30058B05+5+150+23440+43885+64555+85683+1421");
  ASSERT_EQ(services.matchDialogs.size(), 1u);
  ASSERT_EQ(services.matchDialogs[0].size(), 2u);
  const std::string chosen = services.matchDialogs[0][1][0];
  EXPECT_EQ(model.Table().Category(), chosen);
  EXPECT_EQ(model.Status(0), "曲名取得完了");
  EXPECT_NE(server.Log().find("cmd=cddb+read+" + chosen + "+30058b05"), std::string::npos);

  // Cancel sends no read and leaves "タイトル取得中".
  services.matchAnswers = {-1};
  lookup.LookUpDisc("cmd=cddb+query+30058B05+5+150+23440+43885+64555+85683+1421");
  EXPECT_EQ(model.Status(0), "タイトル取得中");
}

TEST_F(Lookup, FailuresGiveWarningAndStatus) {
  // Nothing listens on this port once the server is gone.
  int port = 0;
  {
    test::CddbdProcess server;
    port = server.Port();
  }
  lookup.ServerUrl = "http://127.0.0.1:" + std::to_string(port) + "/~cddb/cddb.cgi?";
  lookup.LookUpDisc(kRockQuery);
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"接続に失敗しました。"});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Warning);
  EXPECT_EQ(model.Status(0), "接続できません。");
  EXPECT_EQ(services.busyDepth, 0);

  // An HTTP error status goes through the failure event.
  test::CddbdProcess server({"--fault", "* http 404"});
  lookup.ServerUrl = server.Url();
  lookup.LookUpDisc(kRockQuery);
  EXPECT_EQ(model.Status(0), "接続できません。");
  EXPECT_EQ(services.boxes.size(), 1u);
}

TEST_F(Lookup, CommandsChosenDuringARequestAreNotStarted) {
  test::CddbdProcess server({"--fault", "query delay 300"});
  UseServer(server);
  int pumped = 0;
  platform::SetMessagePump([&] {
    // The user picks the lookup and the server list again while waiting.
    if (++pumped == 1) {
      lookup.LookUpDisc(kRockQuery);
      lookup.FetchServerList();
    }
  });
  lookup.LookUpDisc(kRockQuery);
  platform::SetMessagePump({});
  EXPECT_GT(pumped, 1);
  EXPECT_EQ(model.Status(0), "曲名取得完了");
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"曲名取得完了しました。"});
  EXPECT_FALSE(lookup.Busy());
  const std::string log = server.Log();
  EXPECT_EQ(log.find("cmd=sites"), std::string::npos);
  EXPECT_EQ(log.find("cmd=cddb+query", log.find("cmd=cddb+query") + 1), std::string::npos);
}

TEST_F(Lookup, SitesAndServerChoice) {
  test::CddbdProcess server;
  settings.SeedFirstStart();
  lookup.ReadServerUrl();
  UseServer(server);
  lookup.FetchServerList();
  EXPECT_EQ(model.Status(0), "サーバリスト取得完了");
  EXPECT_NE(server.Log().find("GET /~cddb/cddb.cgi?cmd=sites&hello="), std::string::npos);
  const int count = settings.ReadInteger("tunedex", "servercount", 0);
  ASSERT_GT(count, 1);
  ASSERT_EQ(static_cast<int>(model.ServerItems().size()), count);

  // Picking the second item: ":80" form, written at once.
  model.ToggleServerItem(1);
  lookup.ChangeServer();
  const auto entry = settings.ReadServer(1);
  EXPECT_EQ(lookup.ServerUrl, "http://" + entry.host + ":80" + entry.path);
  EXPECT_EQ(settings.ReadInteger("tunedex", "selectserver", -1), 1);
  // The next start uses it, without ":80".
  lookup.ReadServerUrl();
  EXPECT_EQ(lookup.ServerUrl, "http://" + entry.host + entry.path);
  EXPECT_TRUE(model.ServerItems()[1].checked);

  // Clicking the marked item again clears its mark and changes nothing.
  model.ToggleServerItem(1);
  lookup.ServerUrl = "unchanged";
  lookup.ChangeServer();
  EXPECT_EQ(lookup.ServerUrl, "unchanged");
}

// ":80" goes only after a host that names no port of its own, or the
// server picked from the menu would be "host:port:80" and never answer.
TEST_F(Lookup, PickedServerKeepsItsOwnPort) {
  const struct {
    const char* host;
    const char* withPort;
  } rows[] = {
      {"gnudb.gnudb.org", "gnudb.gnudb.org:80"},
      {"127.0.0.1:8880", "127.0.0.1:8880"},
      {"[::1]", "[::1]:80"},
      {"[::1]:8880", "[::1]:8880"},
      {"odd:name", "odd:name:80"},
      {"", ":80"},
  };
  for (const auto& row : rows) EXPECT_EQ(HostWithPort(row.host), row.withPort) << row.host;

  test::CddbdProcess server;
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  settings.SeedFirstStart();
  settings.WriteServer(0, {host, "/~cddb/cddb.cgi?", 2, ""});
  settings.WriteServer(1, {"cddb.invalid", "/~cddb/cddb.cgi?", 0, ""});
  settings.WriteInteger("tunedex", "servercount", 2);
  settings.WriteString("tunedex", "email", "me@example.com");
  lookup.ReadMailAddress();
  lookup.ReadServerUrl();
  EXPECT_EQ(lookup.SubmitUrl, "http://" + host + "/~cddb/submit.cgi");
  model.ToggleServerItem(1);
  lookup.ChangeServer();
  EXPECT_EQ(lookup.SubmitUrl, "http://cddb.invalid:80/~cddb/submit.cgi");
  model.ToggleServerItem(0);
  lookup.ChangeServer();
  EXPECT_EQ(lookup.ServerUrl, server.Url());
  EXPECT_EQ(lookup.SubmitUrl, "http://" + host + "/~cddb/submit.cgi");
  lookup.LookUpDisc(kRockQuery);
  EXPECT_EQ(model.Status(0), "曲名取得完了");
}

// An address the settings file's code page can't hold: the user hears why it
// was not stored, the address is used for this run, and the prompt does not
// come back until the next start.
TEST_F(Lookup, AddressThatCannotBeStoredIsSaidAndAskedOncePerStart) {
  services.inputAnswers = {"fan\xF0\x9F\x8E\xB5@example.com"};
  lookup.ReadMailAddress();
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Warning);
  EXPECT_EQ(services.boxes[0].text.rfind("メールアドレスを保存できませんでした。\n", 0), 0u)
      << services.boxes[0].text;
  EXPECT_NE(services.boxes[0].text.find("U+1F3B5"), std::string::npos);
  EXPECT_EQ(settings.ReadString("tunedex", "email", "none"), "none");
  EXPECT_EQ(lookup.HelloSuffix, "&hello=fan%F0%9F%8E%B5+example.com+SLB+1.311&proto=5");
  lookup.ReadMailAddress();  // after the options dialog, say
  EXPECT_EQ(services.inputPrompts.size(), 1u);
  EXPECT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(lookup.HelloSuffix, "&hello=fan%F0%9F%8E%B5+example.com+SLB+1.311&proto=5");

  // The next start asks again.
  CddbLookup next(model, mainform::LookupHooksFor(model, services));
  next.SetSettings(&settings);
  services.inputAnswers = {"plain@example.com"};
  next.ReadMailAddress();
  EXPECT_EQ(services.inputPrompts.size(), 2u);
  EXPECT_EQ(settings.ReadString("tunedex", "email", ""), "plain@example.com");
}

// A match line's category and disc ID go into the read request encoded, so
// a hostile reply cannot add parameters or split the command.
TEST_F(Lookup, MatchFieldsAreEncodedInTheReadRequest) {
  test::CddbdProcess server({"--fault", "query reply 200 rock&proto=1+x 2302#6203 A / B"});
  UseServer(server);
  lookup.LookUpDisc(kRockQuery);
  const std::string log = server.Log();
  EXPECT_NE(log.find("cmd=cddb+read+rock%26proto%3D1%2Bx+2302%236203&hello=me+example.com+SLB+1.311"
                     "&proto=5 "),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace sl::cddb
