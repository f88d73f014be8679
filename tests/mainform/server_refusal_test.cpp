// A server that refuses with a CDDB error code: the window keeps the status
// text of the code, shows the server's own line in one box per command (with
// a hint when the server does not know this program), and stores or merges
// nothing. Also the save of an entry holding bytes the server's character
// set cannot read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "cddb/cddb.h"
#include "mainform/mainform.h"
#include "mainform/outcome_texts.h"
#include "sim_environment.h"
#include "support/cddbd_process.h"
#include "support/loopback_server.h"
#include "support/recorder.h"
#include "support/refusing_server.h"

namespace sl::mainform {
namespace {

const char* kDrives = "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n";

class Refusal : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFileBytes(dir.File("drives.ini"), kDrives);
    setenv("SONOLABEL_SIM_DRIVES", dir.File("drives.ini").c_str(), 1);
    env = SimEnvironment(dir);
    std::filesystem::create_directories(env.windowsDir);
    test::WriteFileBytes(CdPlayerIni(), "[OTHER]\r\nartist=kept\r\n");
  }
  void TearDown() override { unsetenv("SONOLABEL_SIM_DRIVES"); }

  // The window started against the server on `port`, drive 0 read.
  MainWindowLogic& StartWith(int port) {
    test::WriteFileBytes(env.iniPath,
                         "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                         "[svr0]\r\nhost=127.0.0.1:" +
                             std::to_string(port) + "\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n");
    form = std::make_unique<MainWindowLogic>(services, env);
    form->OpenSettingsFile();
    form->ApplyStartupSettings();
    form->Model().SetDriveIndex(0);
    form->ChooseDrive();
    services.boxes.clear();
    return *form;
  }
  std::string CdPlayerIni() const { return env.windowsDir + "/cdplayer.ini"; }

  test::TempDir dir;
  test::RecordingServices services;
  Environment env;
  std::unique_ptr<MainWindowLogic> form;
};

const std::string kRefusalBox =
    std::string("サーバからの応答：500 Unknown developer email\n") + mainform::kUnknownClientHint;

// gnudb's refusal of an unregistered client, to each kind of request: the
// query, the read after a match, the server list.
TEST_F(Refusal, UnknownDeveloperRefusalOfEachRequestKind) {
  using Outcome = cddb::CddbLookup::ReplyOutcome;
  const std::string cdplayer = test::ReadFileBytes(CdPlayerIni());
  {
    SCOPED_TRACE("query");
    test::RefusingCddbServer server;
    auto& f = StartWith(server.Port());
    const std::string settings = test::ReadFileBytes(env.iniPath);
    f.LookUpDisc();
    EXPECT_EQ(f.Model().Status(0), "コマンドエラー");
    EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{kRefusalBox});
    EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Information);
    EXPECT_EQ(f.LastReplyOutcome(), Outcome::Refused);
    EXPECT_EQ(server.Connections(), 1);  // no read follows
    EXPECT_EQ(test::ReadFileBytes(env.iniPath), settings);
    EXPECT_FALSE(f.Model().Menu(shell::MenuId::ExportToPlayer).enabled);
    // The next command shows the line again: once per command, not per run.
    f.LookUpDisc();
    EXPECT_EQ(services.boxes.size(), 2u);
  }
  {
    SCOPED_TRACE("read");
    // A match, then the refusal for the entry.
    test::LoopbackServer server(std::vector<test::ServerScript>{
        test::ServerScript().Send(test::HttpReply(200, "200 rock 23026203 Artist / Title\r\n")),
        test::UnknownDeveloperScript()});
    auto& f = StartWith(server.Port());
    f.LookUpDisc();
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(f.Model().Status(0), "コマンドエラー");
    EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{kRefusalBox});
    EXPECT_EQ(f.Model().Table().Cell(1, 1), "");
    EXPECT_FALSE(f.Model().Menu(shell::MenuId::ExportToPlayer).enabled);
  }
  {
    SCOPED_TRACE("sites");
    test::RefusingCddbServer server;
    auto& f = StartWith(server.Port());
    const std::string settings = test::ReadFileBytes(env.iniPath);
    f.FetchServerList();
    EXPECT_EQ(f.Model().Status(0), "コマンドエラー");
    EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{kRefusalBox});
    EXPECT_EQ(f.LastReplyOutcome(), Outcome::Refused);
    EXPECT_EQ(test::ReadFileBytes(env.iniPath), settings);
    EXPECT_EQ(f.StoredServerHosts().size(), 1u);
  }
  // Nothing of any refused request reached the local database.
  EXPECT_EQ(test::ReadFileBytes(CdPlayerIni()), cdplayer);
}

// Every code the table maps to an error keeps its status; the box carries
// the server's line, with the hint only when the line names the client or
// its developer. A 5xx list-shaped reply merges and stores nothing.
TEST_F(Refusal, ErrorCodesShowTheServersLineAndStoreNothing) {
  struct Row {
    const char* line;
    bool sites;
    const char* status;
    bool hint;
  } rows[] = {
      {"402 Server error.", false, "サーバ側でエラー発生", false},
      {"403 Database entry is corrupt.", false, "データベース異常", false},
      {"409 No handshake.", true, "接続失敗", false},
      {"431 Handshake not successful, closing connection.", false, "コマンドエラー", false},
      {"530 Client SLB is not registered", true, "コマンドエラー", true},
      {"500 Unknown developer email", true, "コマンドエラー", true},
  };
  const std::string cdplayer = test::ReadFileBytes(CdPlayerIni());
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    // The refusal comes with what a list reply would carry: none of it counts.
    test::LoopbackServer server(test::ServerScript().Send(test::HttpReply(
        200, std::string(r.line) + "\r\nrock 23026203 A / B\r\nx.example.org http 80 /\r\n.\r\n")));
    auto& f = StartWith(server.Port());
    const std::string settings = test::ReadFileBytes(env.iniPath);
    if (r.sites) f.FetchServerList();
    else f.LookUpDisc();
    EXPECT_EQ(f.Model().Status(0), r.status);
    std::string box = std::string("サーバからの応答：") + r.line;
    if (r.hint) box += std::string("\n") + mainform::kUnknownClientHint;
    EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{box});
    EXPECT_TRUE(services.matchDialogs.empty());
    EXPECT_EQ(test::ReadFileBytes(env.iniPath), settings);
  }
  EXPECT_EQ(test::ReadFileBytes(CdPlayerIni()), cdplayer);
}

// A byte of a level-5 entry that the code page cannot read: the titles show
// with a mark for it, and the save is refused naming the byte and the code
// page, not the mark.
TEST_F(Refusal, SaveOfAnEntryWithUnreadableBytesNamesTheBytes) {
  test::CddbdProcess server({"--fault",
                             "read reply 210 rock 23026203\\nDTITLE=A / B\\nTTITLE0=ok\\n"
                             "TTITLE1=bad \\x81\\x20 bytes\\nTTITLE2=three\\n."});
  auto& f = StartWith(server.Port());
  const std::string cdplayer = test::ReadFileBytes(CdPlayerIni());
  f.LookUpDisc();
  EXPECT_EQ(f.Model().Status(0), "曲名取得完了");
  EXPECT_EQ(f.Model().Table().Cell(1, 3), "three");
  EXPECT_TRUE(f.SaveFailed());
  EXPECT_EQ(services.BoxTexts(),
            (std::vector<std::string>{"曲名取得完了しました。",
                                      "ローカルデータベースに保存できませんでした。\n"
                                      "サーバの応答のバイト 0x81 はコードページ CP932 で読めません。"}));
  EXPECT_EQ(test::ReadFileBytes(CdPlayerIni()), cdplayer);
}

}  // namespace
}  // namespace sl::mainform
