// The main window's handlers on the simulated drive layer: start-up, the
// drive box change with every outcome, the local database round trip, and
// the whole lookup against the local CDDB server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "mainform/mainform.h"
#include "platform/pump.h"
#include "sim_environment.h"
#include "support/cddbd_process.h"
#include "support/gnudb_like_server.h"
#include "support/loopback_server.h"
#include "support/recorder.h"
#include "text/codepage.h"

namespace sl::mainform {
namespace {

using shell::MenuId;

const char* kDrives =
    "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n"
    "[0:1:0]\nvendor = SONOLAB\nproduct = EMPTY\n"
    "[0:2:0]\nvendor = SONOLAB\nproduct = BROKEN\ntoc = 0:02:00 4:08:30 10:12:12\ntoc_fail = 1\n"
    "[0:3:0]\nvendor = SONOLAB\nproduct = FIVE\n"
    "toc = 0:02:00 5:12:40 9:45:10 14:20:55 19:02:33 23:41:12\n"
    "[0:4:0]\nvendor = SONOLAB\nproduct = JPOP\n"
    "toc = 0:02:00 4:31:12 8:58:40 13:02:05 17:45:33 21:20:01 25:59:70 30:11:22 34:40:15 38:52:60 "
    "43:10:11 47:33:44 52:08:30\n"
    "[0:5:0]\nvendor = SONOLAB\nproduct = EJECTED\ntoc = 0:02:00 1:00:00 2:00:00\ntur_ready = 3\n";

class Form : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFileBytes(dir.File("drives.ini"), kDrives);
    setenv("SONOLABEL_SIM_DRIVES", dir.File("drives.ini").c_str(), 1);
    env = SimEnvironment(dir);
  }
  void TearDown() override { unsetenv("SONOLABEL_SIM_DRIVES"); }

  MainWindowLogic& Start() {
    form = StartWindow(services, env);
    return *form;
  }
  void Pick(int index) { PickDrive(*form, index); }
  std::string CdPlayerIni() const { return env.windowsDir + "/cdplayer.ini"; }

  test::TempDir dir;
  test::RecordingServices services;
  Environment env;
  std::unique_ptr<MainWindowLogic> form;
};

TEST_F(Form, StartUpStateBeforeAnyDisc) {
  auto& f = Start();
  auto& m = f.Model();
  EXPECT_EQ(m.Status(0), "チェック完了");
  ASSERT_EQ(m.DriveItems().size(), 6u);
  EXPECT_EQ(m.DriveIndex(), -1);
  EXPECT_EQ(m.Table().Cell(0, 0), "ﾄﾗｯｸ");
  EXPECT_EQ(m.Table().Cell(1, 0), "曲名");
  EXPECT_EQ(m.Table().Cell(2, 0), "ｱｰﾃｨｽﾄ");
  EXPECT_EQ(m.Table().RowCount(), 2);
  EXPECT_FALSE(m.Menu(MenuId::LookUpDisc).enabled);
  EXPECT_FALSE(m.Menu(MenuId::SubmitEntry).enabled);
  EXPECT_FALSE(m.Menu(MenuId::ExportToPlayer).enabled);
  EXPECT_TRUE(m.Menu(MenuId::ImportFromPlayer).enabled);
  EXPECT_TRUE(services.boxes.empty());

  // Typed text with no item chosen reads nothing.
  m.SetDriveText("typed");
  f.ChooseDrive();
  EXPECT_EQ(m.Status(0), "チェック完了");
  EXPECT_TRUE(services.boxes.empty());

  // A missing layer: one error box, no drives, the window still opens.
  env.aspiLayer = dir.File("missing.so");
  MainWindowLogic other(services, env);
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"WNASPI32.DLLがロードできません"});
  EXPECT_TRUE(other.Model().DriveItems().empty());
  EXPECT_EQ(other.Model().Status(0), "チェック完了");
}

TEST_F(Form, ReadingDiscsAndTheirFailures) {
  auto& f = Start();
  auto& t = f.Model().Table();
  Pick(0);
  EXPECT_EQ(f.Model().Status(0), "DISCID : 23026203");
  EXPECT_EQ(f.QueryCommand(), "cmd=cddb+query+23026203+3+150+18630+35212+612");
  EXPECT_EQ(f.DiscLine(), "23026203 3 150 18630 35212 612");
  EXPECT_TRUE(f.TocRead());
  EXPECT_EQ(t.RowCount(), 4);
  EXPECT_EQ(t.Cell(0, 3), "3");
  EXPECT_TRUE(f.Model().Menu(MenuId::LookUpDisc).enabled);
  EXPECT_FALSE(f.Model().Menu(MenuId::SubmitEntry).enabled);  // no submission address yet

  // No disc: the box and "CDなし"; nothing else changes.
  t.SetCell(1, 1, "keep");
  Pick(1);
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"CDがセットされていません。"});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Error);
  EXPECT_EQ(f.Model().Status(0), "CDなし");
  EXPECT_EQ(t.Cell(1, 1), "keep");
  EXPECT_EQ(f.QueryCommand(), "cmd=cddb+query+23026203+3+150+18630+35212+612");

  // The disc goes away between the first test and the read (the drive passes
  // three TEST UNIT READYs, then says not ready): the earlier table of
  // contents is gone and no query text of it is left to look up.
  Pick(5);
  EXPECT_FALSE(f.TocRead());
  EXPECT_EQ(f.TrackCount(), 0);
  EXPECT_EQ(f.DiscLine(), "00000000 0");
  EXPECT_EQ(f.QueryCommand(), "cmd=cddb+query+00000000+0");
  EXPECT_EQ(services.boxes.size(), 1u);  // silently, as before
  Pick(0);
  EXPECT_TRUE(f.TocRead());
  t.SetCell(1, 1, "keep");

  // A failed READ TOC: ID 00000000, no offsets, the grid kept.
  f.Model().Table().SetArtist("artist stays");
  Pick(2);
  EXPECT_EQ(f.Model().Status(0), "DISCID : 00000000");
  EXPECT_EQ(f.QueryCommand(), "cmd=cddb+query+00000000+0");
  EXPECT_EQ(t.RowCount(), 4);
  EXPECT_EQ(t.Cell(1, 1), "keep");

  // With a submission address stored, a read enables the submit command;
  // a second disc clears titles only.
  f.ApplyStartupSettings();  // seeds submitemail (the prompt is cancelled: placeholder)
  t.SetCell(2, 2, "track artist");
  Pick(3);
  EXPECT_TRUE(f.Model().Menu(MenuId::SubmitEntry).enabled);
  EXPECT_EQ(t.RowCount(), 6);
  EXPECT_EQ(t.Cell(1, 1), "");
  EXPECT_EQ(t.Cell(2, 2), "track artist");
  EXPECT_EQ(t.Artist(), "artist stays");
}

TEST_F(Form, LocalDatabaseRoundTripAndHandMadeFile) {
  auto& f = Start();
  auto& t = f.Model().Table();
  Pick(0);
  t.SetArtist("歌手");
  t.SetTitle(" padded \"quoted\" ");
  t.SetCell(1, 1, "一曲目");
  t.SetCell(1, 2, "a=b; c");
  f.SaveTitles();
  EXPECT_TRUE(services.boxes.empty());
  t.SetCell(1, 1, "edited");
  t.SetArtist("");
  f.LoadTitles();
  EXPECT_EQ(t.Cell(1, 1), "一曲目");
  EXPECT_EQ(t.Cell(1, 2), "a=b; c");
  EXPECT_EQ(t.Artist(), "歌手");
  EXPECT_EQ(t.Title(), " padded \"quoted\" ");
  EXPECT_TRUE(f.Model().Menu(MenuId::ExportToPlayer).enabled);

  // A restart finds the saved titles at the next read.
  form.reset();
  auto& g = Start();
  Pick(0);
  EXPECT_EQ(g.Model().Table().Cell(1, 1), "一曲目");

  // A file made by hand in Shift-JIS with CR LF, for the five-track disc,
  // with a section for more tracks than the disc has.
  form.reset();
  const std::string text =
      "; made by hand\r\n[OTHER]\r\nx=1\r\n\r\n[2F518A]\r\nnumtracks=9\r\nartist=手書き\r\n"
      "title=盤\r\n0=ソ\r\n1=表\r\n4=五\r\n8=beyond\r\n";
  test::WriteFileBytes(CdPlayerIni(), text::ToExternal(text));
  auto& h = Start();
  Pick(3);
  EXPECT_EQ(h.Model().Table().Artist(), "手書き");
  EXPECT_EQ(h.Model().Table().Cell(1, 1), "ソ");
  EXPECT_EQ(h.Model().Table().Cell(1, 2), "表");
  EXPECT_EQ(h.Model().Table().Cell(1, 5), "五");
  EXPECT_EQ(h.Model().Table().RowCount(), 6);
}

TEST_F(Form, FailedSaveSaysSoAndKeepsTheOldFile) {
  auto& f = Start();
  Pick(0);
  f.SaveTitles();
  const std::string before = test::ReadFileBytes(CdPlayerIni());
  // A title the file's code page can't hold is refused as a whole.
  f.Model().Table().SetCell(1, 1, "emoji \xF0\x9F\x98\x80");
  f.SaveTitles();
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Error);
  // The reason under the box's own text is in the interface's language.
  EXPECT_EQ(services.boxes[0].text,
            "ローカルデータベースに保存できませんでした。\n文字「\xF0\x9F\x98\x80」（U+1F600）は"
            "コードページ CP932 で表せません。");
  EXPECT_EQ(test::ReadFileBytes(CdPlayerIni()), before);

  if (::geteuid() != 0) {  // root ignores file permissions
    f.Model().Table().SetCell(1, 1, "new");
    ::chmod(env.windowsDir.c_str(), 0555);
    f.SaveTitles();
    ::chmod(env.windowsDir.c_str(), 0755);
    EXPECT_EQ(services.boxes.size(), 2u);
    EXPECT_EQ(test::ReadFileBytes(CdPlayerIni()), before);
  }
}

TEST_F(Form, LookupFillsWindowAndSavesAtOnce) {
  test::CddbdProcess server({"--level5-charset", "CP932"});
  test::WriteFileBytes(env.iniPath,
                       "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\n"
                       "servercount=1\r\n[svr0]\r\nhost=127.0.0.1:" +
                           std::to_string(server.Port()) + "\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n");
  auto& f = Start();
  f.ApplyStartupSettings();
  EXPECT_TRUE(services.inputPrompts.empty());
  EXPECT_EQ(f.ServerUrl(), server.Url());
  Pick(0);
  f.LookUpDisc();
  EXPECT_EQ(f.Model().Status(0), "曲名取得完了");
  EXPECT_EQ(f.Model().Table().Category(), "rock");
  EXPECT_TRUE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
  // Saved before any edit.
  const std::string ini = text::FromExternal(test::ReadFileBytes(CdPlayerIni()));
  EXPECT_NE(ini.find("0=" + f.Model().Table().Cell(1, 1)), std::string::npos) << ini;

  // Japanese titles served in Shift-JIS: shown right, stored in Shift-JIS,
  // and loaded back right after the window was cleared.
  Pick(4);
  f.LookUpDisc();
  auto& t = f.Model().Table();
  EXPECT_EQ(t.Artist(), "月島ソラ");
  EXPECT_EQ(t.Cell(1, 3), "可能性の扉");
  const std::string bytes = test::ReadFileBytes(CdPlayerIni());
  EXPECT_NE(bytes.find(text::ToExternal("title=表参道ラプソディ\r\n")), std::string::npos);
  t.SetArtist("");
  t.SetCell(1, 3, "");
  f.LoadTitles();
  EXPECT_EQ(t.Artist(), "月島ソラ");
  EXPECT_EQ(t.Cell(1, 3), "可能性の扉");
}

}  // namespace
}  // namespace sl::mainform

namespace sl::mainform {
namespace {

// While a lookup waits for its reply the window stays live. Whatever the user
// picks meanwhile (another drive, another server, the local database) must
// not change the disc the reply belongs to.
TEST_F(Form, NothingChangesTheDiscWhileALookupWaits) {
  test::CddbdProcess server({"--fault", "query delay 300"});
  test::WriteFileBytes(env.iniPath,
                       "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\n"
                       "servercount=2\r\n[svr0]\r\nhost=127.0.0.1:" +
                           std::to_string(server.Port()) +
                           "\r\npath=/~cddb/cddb.cgi?\r\n[svr1]\r\nhost=other.invalid\r\n"
                           "path=/~cddb/cddb.cgi?\r\n");
  auto& f = Start();
  f.ApplyStartupSettings();
  Pick(0);
  auto& m = f.Model();
  const std::string query = f.QueryCommand();
  int pumped = 0;
  platform::SetMessagePump([&] {
    if (++pumped != 1) return;
    EXPECT_TRUE(m.CommandRunning());
    Pick(3);                // another disc
    m.ToggleServerItem(1);  // another server
    f.ChangeServer(1);
    f.LoadTitles();  // would overwrite the grid
  });
  f.LookUpDisc();
  platform::SetMessagePump({});
  ASSERT_GT(pumped, 1);
  EXPECT_FALSE(m.CommandRunning());
  EXPECT_EQ(m.Status(0), "曲名取得完了");
  // The drive box shows the disc the window holds, and that disc got the titles.
  EXPECT_EQ(m.DriveIndex(), 0);
  EXPECT_EQ(f.QueryCommand(), query);
  EXPECT_EQ(f.TrackCount(), 3);
  EXPECT_EQ(m.Table().RowCount(), 4);
  EXPECT_EQ(m.Table().Category(), "rock");
  EXPECT_EQ(f.ServerUrl(), server.Url());
  ASSERT_EQ(m.ServerItems().size(), 2u);
  EXPECT_TRUE(m.ServerItems()[0].checked);
  EXPECT_FALSE(m.ServerItems()[1].checked);
  // Saved under the 3-track disc's key only; the 5-track disc has no section.
  const std::string ini = test::ReadFileBytes(CdPlayerIni());
  EXPECT_NE(ini.find("numtracks=3"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("[2F518A]"), std::string::npos) << ini;

  // Once the lookup is over, the drive box works again.
  Pick(3);
  EXPECT_EQ(f.TrackCount(), 5);
  EXPECT_EQ(m.DriveIndex(), 3);
}

// The same Japanese disc from a server that stores UTF-8 (asked at level 6
// because its entry says charset=UTF-8) and from an old Shift-JIS server at
// level 5, from this project's server and from one written apart from it:
// the window and cdplayer.ini end the same.
TEST_F(Form, EntriesComeInTheServersCharacterSet) {
  const std::string jpopText =
      test::ReadFileBytes(std::string(SONOLABEL_SOURCE_DIR) + "/demo/cddb/misc/990c360c");
  test::CddbdProcess utf8Server;
  test::CddbdProcess sjisServer({"--level5-charset", "CP932"});
  test::GnudbLikeServer gnudbLike({{"990c360c", {"misc", jpopText}}});
  struct Row {
    const char* name;
    int port;
    bool utf8;
    std::function<std::string()> log;
  };
  const Row rows[] = {
      {"cddbd, UTF-8 entry", utf8Server.Port(), true, [&] { return utf8Server.Log(); }},
      {"cddbd, Shift-JIS server", sjisServer.Port(), false, [&] { return sjisServer.Log(); }},
      {"gnudb-like, UTF-8 entry", gnudbLike.Port(), true,
       [&] {
         std::string all;
         for (const auto& r : gnudbLike.Requests()) all += r;
         return all;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(env.windowsDir);
    test::WriteFileBytes(env.iniPath, std::string("[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\n"
                                                  "servercount=1\r\n[svr0]\r\nhost=127.0.0.1:") +
                                          std::to_string(row.port) + "\r\npath=/~cddb/cddb.cgi?\r\n" +
                                          (row.utf8 ? "charset=UTF-8\r\n" : ""));
    form.reset();
    auto& f = Start();
    f.ApplyStartupSettings();
    Pick(4);
    f.LookUpDisc();
    const auto& t = f.Model().Table();
    EXPECT_EQ(f.Model().Status(0), "曲名取得完了");
    EXPECT_EQ(t.Artist(), "月島ソラ");
    EXPECT_EQ(t.Title(), "表参道ラプソディ");
    EXPECT_EQ(t.Cell(1, 12), "さよならの表情");
    const std::string log = row.log();
    EXPECT_NE(log.find(row.utf8 ? "&proto=6" : "&proto=5"), std::string::npos) << log;
    EXPECT_EQ(log.find(row.utf8 ? "&proto=5" : "&proto=6"), std::string::npos) << log;
    EXPECT_EQ(f.ReadRevision(), 0);
    const std::string ini = test::ReadFileBytes(CdPlayerIni());
    EXPECT_NE(ini.find(text::ToExternal("artist=月島ソラ\r\ntitle=表参道ラプソディ\r\n0=ソーダ水の午後\r\n")),
              std::string::npos);
  }
}

// A Western title from a UTF-8 server shows unchanged; the code page of
// cdplayer.ini can't hold its accents, so the save refuses that disc's
// section and says which characters; the rest of the file stays.
TEST_F(Form, TitlesTheCodePageCannotHoldShowButAreNotStored) {
  test::GnudbLikeServer server({{"23026203",
                                 {"rock",
                                  "# Revision: 3\nDISCID=23026203\nDTITLE=Caf\u00e9 Trio / Cr\u00e8me\n"
                                  "TTITLE0=Na\u00efve\nTTITLE1=Two\nTTITLE2=\u00c9t\u00e9\n"}}});
  std::filesystem::create_directories(env.windowsDir);
  test::WriteFileBytes(CdPlayerIni(), "[OTHER]\r\nartist=kept\r\n");
  test::WriteFileBytes(env.iniPath,
                       "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                       "[svr0]\r\nhost=127.0.0.1:" +
                           std::to_string(server.Port()) + "\r\npath=/~cddb/cddb.cgi?\r\ncharset=UTF-8\r\n");
  auto& f = Start();
  f.ApplyStartupSettings();
  Pick(0);
  f.LookUpDisc();
  const auto& t = f.Model().Table();
  EXPECT_EQ(t.Artist(), "Caf\u00e9 Trio");
  EXPECT_EQ(t.Title(), "Cr\u00e8me");
  EXPECT_EQ(t.Cell(1, 3), "\u00c9t\u00e9");
  EXPECT_EQ(f.ReadRevision(), 3);
  EXPECT_EQ(services.BoxTexts(),
            (std::vector<std::string>{
                "曲名取得完了しました。",
                "ローカルデータベースに保存できませんでした。\n文字「\u00e9」（U+00E9）、"
                "「\u00e8」（U+00E8）、「\u00ef」（U+00EF）、「\u00c9」（U+00C9）はコードページ CP932 "
                "で表せません。"}));
  EXPECT_TRUE(f.SaveFailed());
  EXPECT_EQ(test::ReadFileBytes(CdPlayerIni()), "[OTHER]\r\nartist=kept\r\n");
  // Another disc in the drive: the revision no longer belongs to the window.
  Pick(3);
  EXPECT_EQ(f.ReadRevision(), std::nullopt);
}

}  // namespace
}  // namespace sl::mainform

namespace sl::mainform {
namespace {

// Menu items that a failure must leave disabled: the lookup command and the
// submission with no disc read, and the player export while no titles were
// loaded (a lookup that failed in any way loads none). The last row shows
// that they do turn on when they should.
TEST_F(Form, MenuItemsStayDisabledAfterFailures) {
  test::RefusedPort refused;
  struct Row {
    const char* name;
    int drive;
    std::vector<std::string> serverFaults;  // empty name: no server, refused port
    bool useServer;
    bool c1, exportEnabled;
    const char* status;
  };
  const Row rows[] = {
      {"no disc", 1, {}, true, false, false, "CDなし"},
      {"connection refused", 0, {}, false, true, false, "接続できません。"},
      {"no match",
       0,
       {"--fault", "query reply 202 No match for disc ID 23026203."},
       true,
       true,
       false,
       "該当タイトルなし"},
      {"entry gone",
       0,
       {"--fault", "read reply 401 rock 23026203 No such CD entry in database."},
       true,
       true,
       false,
       "該当なし"},
      {"entry cut short",
       0,
       {"--fault", "read reply 210 rock 23026203 entry\\nTTITLE0=Port 8880\\nTTITLE1=Gu"},
       true,
       true,
       false,
       "応答コードなし"},
      {"server error page", 0, {"--fault", "* http 500"}, true, true, false, "接続できません。"},
      {"entry read", 0, {}, true, true, true, "曲名取得完了"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::filesystem::remove_all(env.windowsDir);
    std::unique_ptr<test::CddbdProcess> server;
    int port = refused.Port();
    if (r.useServer) {
      server = std::make_unique<test::CddbdProcess>(r.serverFaults);
      port = server->Port();
    }
    test::WriteFileBytes(env.iniPath,
                         "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                         "[svr0]\r\nhost=127.0.0.1:" +
                             std::to_string(port) + "\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n");
    services.boxes.clear();
    auto& f = Start();
    f.ApplyStartupSettings();
    Pick(r.drive);
    if (r.c1) f.LookUpDisc();
    const auto& m = f.Model();
    EXPECT_EQ(m.Menu(MenuId::LookUpDisc).enabled, r.c1);
    EXPECT_EQ(m.Menu(MenuId::SubmitEntry).enabled, r.c1);  // a disc read, and an address seeded at start
    EXPECT_EQ(m.Menu(MenuId::ExportToPlayer).enabled, r.exportEnabled);
    EXPECT_EQ(m.Status(0), r.status);
    EXPECT_EQ(std::filesystem::exists(CdPlayerIni()), r.exportEnabled);
  }
}

}  // namespace
}  // namespace sl::mainform
