// Import and export between the main window and the reference player
// running as its own process: every case of the exchange, the command guard,
// and a player that hangs, exits or closes while the commands wait.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "ipc/ipc.h"
#include "mainform/mainform.h"
#include "sim_environment.h"
#include "support/cddbd_process.h"
#include "support/dsmp_process.h"
#include "support/recorder.h"
#include "support/scoped_env.h"

namespace sl::mainform {
namespace {

using shell::MenuId;
using Clock = std::chrono::steady_clock;

const char* kDrives =
    "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n"
    "[0:1:0]\nvendor = SONOLAB\nproduct = TWELVE\n"
    "toc = 0:02:00 4:31:12 8:58:40 13:02:05 17:45:33 21:20:01 25:59:70 30:11:22 34:40:15 38:52:60 "
    "43:10:11 47:33:44 52:08:30\n";

// One track of a play list as dsmp-sim reads it.
std::string Track(const std::string& title, const std::string& artist = "", const std::string& file = "",
                  int kind = 1, int drive = 0, int cdtrack = 0) {
  return "{\"title\":\"" + title + "\",\"artist\":\"" + artist + "\",\"file\":\"" + file +
         "\",\"kind\":" + std::to_string(kind) + ",\"drive\":" + std::to_string(drive) +
         ",\"cdtrack\":" + std::to_string(cdtrack) + ",\"long1\":11,\"long7\":77}";
}

std::string State(const std::string& title, const std::vector<std::string>& tracks,
                  const std::string& extra = "") {
  std::string list;
  for (const auto& t : tracks) list += (list.empty() ? "" : ",") + t;
  return "{\"version\":6100,\"accepts_level\":true,\"refuse\":\"\"" + (extra.empty() ? "" : "," + extra) +
         ",\"playlist\":{\"name\":\"/music/list.dpl\",\"title\":\"" + title + "\",\"tracks\":[" + list +
         "]},\"saves\":[]}";
}

std::vector<std::string> Titled(int n, const std::string& prefix = "T") {
  std::vector<std::string> out;
  for (int k = 1; k <= n; ++k) out.push_back(Track(prefix + std::to_string(k), "A" + std::to_string(k)));
  return out;
}

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFileBytes(dir.File("drives.ini"), kDrives);
    envVars.Set("SONOLABEL_SIM_DRIVES", dir.File("drives.ini").c_str());
    link.PlayerProgram("").TimeoutMs(400);
    envVars.Set("SONOLABEL_IPC_TIMEOUT_MS", "400");  // the players it starts
    env = SimEnvironment(dir);
  }
  MainWindowLogic& Start() {
    form = StartWindow(services, env);
    return *form;
  }
  void Pick(int index) { PickDrive(*form, index); }
  const shell::TrackTitleTable& Table() { return form->Model().Table(); }
  std::string Status() { return form->Model().Status(0); }
  // The play list as the player holds it now.
  platform::Json Tracks(test::DsmpProcess& sim) {
    const auto state = sim.State();
    const auto* pl = platform::JsonMember(state, "playlist");
    const auto* tracks = pl != nullptr ? platform::JsonMember(*pl, "tracks") : nullptr;
    return tracks != nullptr ? *tracks : platform::Json::array();
  }
  std::size_t Saves(test::DsmpProcess& sim) {
    const auto state = sim.State();
    const auto* saves = platform::JsonMember(state, "saves");
    return saves != nullptr ? saves->size() : 0;
  }

  test::ScopedEnv envVars;
  test::ScopedLinkSettings link;
  test::PrivateRuntime runtime;
  test::TempDir dir;
  test::RecordingServices services;
  Environment env;
  std::unique_ptr<MainWindowLogic> form;
};

TEST_F(Exchange, ImportFillsEveryTrackRowAndTheDiscTitle) {
  test::DsmpProcess sim(State("Play list", Titled(14)));
  auto& f = Start();
  Pick(1);  // twelve tracks
  f.Model().Table().SetCell(2, 3, "kept artist");
  f.Model().Table().SetArtist("kept disc artist");
  f.ImportFromPlayer();
  EXPECT_EQ(Status(), "DSMPからリスト取込完了");
  EXPECT_EQ(Table().Title(), "Play list");
  for (int r = 1; r <= 12; ++r) EXPECT_EQ(Table().Cell(1, r), "T" + std::to_string(r));
  // Artists and the other fields stay.
  EXPECT_EQ(Table().Cell(2, 3), "kept artist");
  EXPECT_EQ(Table().Artist(), "kept disc artist");
  EXPECT_FALSE(f.playerLink().Bound());
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(Exchange, ImportWithoutADiscFillsTheOneRowAndAShortListLeavesTheRestEmpty) {
  test::DsmpProcess sim(State("Only", Titled(2)));
  auto& f = Start();
  f.ImportFromPlayer();  // no disc read: header row and one empty row
  EXPECT_EQ(Table().RowCount(), 2);
  EXPECT_EQ(Table().Cell(1, 1), "T1");
  EXPECT_EQ(Table().Title(), "Only");
  Pick(1);  // twelve rows, the play list has two
  for (int r = 1; r <= 12; ++r) f.Model().Table().SetCell(1, r, "old");
  f.ImportFromPlayer();
  EXPECT_EQ(Status(), "DSMPからリスト取込完了");
  EXPECT_EQ(Table().Cell(1, 2), "T2");
  // The player refuses track numbers beyond its list: those rows get what it
  // returns, an empty title.
  EXPECT_EQ(Table().Cell(1, 3), "");
  EXPECT_EQ(Table().Cell(1, 12), "");
}

TEST_F(Exchange, ExportWithNothingMissingAnsweredNoWritesNothing) {
  test::DsmpProcess sim(State("Has title", Titled(3)));
  auto& f = Start();
  Pick(0);
  f.Model().SetEnabled(MenuId::ExportToPlayer, true);
  f.ExportToPlayer();
  ASSERT_EQ(services.questions.size(), 1u);
  EXPECT_EQ(services.questions[0].text, "アーティスト名も登録しますか？。");
  EXPECT_EQ(services.questions[0].buttons, shell::MsgButtons::YesNo);
  EXPECT_EQ(Status(), "DSMPに転送完了しました。");
  EXPECT_FALSE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
  EXPECT_EQ(Saves(sim), 0u);
  ASSERT_TRUE(sim.Sync());
  EXPECT_EQ(sim.Log().find("call PlayList.32"), std::string::npos);
}

TEST_F(Exchange, ExportFillsMissingTitlesArtistsAndTheListTitleThenSavesAfterEveryTrack) {
  // Track 2 lacks its title: tracks 2 and 3 are written back and the list
  // saved after each (the changed flag is never cleared); track 1 is not.
  test::DsmpProcess sim(State("", {Track("P1", "PA1"), Track("", ""), Track("P3", "")}));
  auto& f = Start();
  Pick(0);
  auto& t = f.Model().Table();
  t.SetTitle("Disc title");
  t.SetCell(1, 1, "G1");
  t.SetCell(1, 2, "G2");
  t.SetCell(1, 3, "G3");
  t.SetCell(2, 2, "GA2");
  // Answered Yes; no CDDB match, so an empty artist cell leaves the artist
  // empty — but the track is still written and the list saved.
  services.questionAnswers.push_back(shell::MsgAnswer::Yes);
  f.ExportToPlayer();
  EXPECT_EQ(Status(), "DSMPに転送完了しました。");
  const auto tracks = Tracks(sim);
  ASSERT_EQ(tracks.size(), 3u);
  EXPECT_EQ(platform::JsonText(sim.State()["playlist"], "title"), "Disc title");
  EXPECT_EQ(platform::JsonText(tracks[0], "title"), "P1");  // never overwritten
  EXPECT_EQ(platform::JsonText(tracks[0], "artist"), "PA1");
  EXPECT_EQ(platform::JsonText(tracks[1], "title"), "G2");
  EXPECT_EQ(platform::JsonText(tracks[1], "artist"), "GA2");
  EXPECT_EQ(platform::JsonText(tracks[2], "title"), "P3");
  EXPECT_EQ(platform::JsonText(tracks[2], "artist"), "");
  // Other fields travel back as they were read.
  EXPECT_EQ(platform::JsonInt(tracks[2], "long1"), 11);
  EXPECT_EQ(platform::JsonInt(tracks[2], "long7"), 77);
  // The title was missing, so changed was set before track 1: all three
  // tracks are written and the list saved after each, under its own name.
  EXPECT_EQ(Saves(sim), 3u);
  EXPECT_EQ(sim.State()["saves"][0], "/music/list.dpl");
}

TEST_F(Exchange, ExportCompletesCdTracksAndFillsTracksBeyondTheGridWithEmptyTitles) {
  test::DsmpProcess sim(
      State("L", {Track("", "", "D:\\\\Track05.cda", 16), Track("X", "", "e:\\\\music\\\\track.cda", 17),
                  Track("Y", "", "C:\\\\a.wav", 1), Track("Z", "", "D:\\\\Track07.cda", 16, 2, 7),
                  Track("", "", "f.mp3")}));
  auto& f = Start();
  Pick(0);  // three rows; the list has five
  f.Model().Table().SetCell(1, 1, "Row1");
  f.ExportToPlayer();
  const auto tracks = Tracks(sim);
  ASSERT_EQ(tracks.size(), 5u);
  EXPECT_EQ(platform::JsonText(tracks[0], "title"), "Row1");
  EXPECT_EQ(platform::JsonInt(tracks[0], "drive"), 3);  // written as long 5 = 0x00030005
  EXPECT_EQ(platform::JsonInt(tracks[0], "cdtrack"), 5);
  EXPECT_EQ(platform::JsonInt(tracks[1], "drive"), 4);
  EXPECT_EQ(platform::JsonInt(tracks[1], "cdtrack"), 0);
  EXPECT_EQ(platform::JsonInt(tracks[2], "drive"), 0);  // kind 1: no completion
  EXPECT_EQ(platform::JsonInt(tracks[3], "drive"), 2);  // both set: kept
  EXPECT_EQ(platform::JsonInt(tracks[3], "cdtrack"), 7);
  EXPECT_EQ(platform::JsonText(tracks[4], "title"), "");  // beyond the grid
  EXPECT_EQ(Saves(sim), 5u);
}

TEST_F(Exchange, ExportTakesTheArtistFromTheGridOrTheLastMatch) {
  test::CddbdProcess server;
  test::WriteFileBytes(env.iniPath,
                       "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\n"
                       "servercount=1\r\n[svr0]\r\nhost=127.0.0.1:" +
                           std::to_string(server.Port()) + "\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n");
  test::DsmpProcess sim(State("L", {Track("T1"), Track("T2"), Track("T3", "Own")}));
  auto& f = Start();
  f.ApplyStartupSettings();
  Pick(0);
  f.LookUpDisc();
  ASSERT_EQ(Status(), "曲名取得完了");
  ASSERT_FALSE(f.MatchArtist().empty());
  ASSERT_TRUE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
  f.Model().Table().SetCell(2, 1, "Grid artist");
  f.Model().Table().SetCell(2, 2, "");
  services.questionAnswers.push_back(shell::MsgAnswer::Yes);
  f.ExportToPlayer();
  const auto tracks = Tracks(sim);
  EXPECT_EQ(platform::JsonText(tracks[0], "artist"), "Grid artist");
  EXPECT_EQ(platform::JsonText(tracks[1], "artist"), f.MatchArtist());
  EXPECT_EQ(platform::JsonText(tracks[2], "artist"), "Own");
  EXPECT_EQ(Status(), "DSMPに転送完了しました。");
}

TEST_F(Exchange, ACloseWhileTheQuestionIsOpenLeavesTheRestUnboundAndTheWindowUsable) {
  test::DsmpProcess sim(State("", Titled(3)));
  auto& f = Start();
  Pick(0);
  f.Model().SetEnabled(MenuId::ExportToPlayer, true);
  services.duringQuestion = [&] {
    sim.Command("close");
    // The dialog's own loop handles the notification.
    EXPECT_TRUE(ipc::PumpUntil([&] { return !f.playerLink().Bound(); }, 3000));
    // A second command started from the dialog's loop is refused.
    f.ImportFromPlayer();
  };
  f.ExportToPlayer();
  services.duringQuestion = nullptr;
  EXPECT_FALSE(f.playerLink().Bound());
  EXPECT_EQ(Status(), "DSMPに転送完了しました。");
  EXPECT_FALSE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
  EXPECT_FALSE(f.Model().CommandRunning());
  // The player is gone: the next import says so.
  ASSERT_TRUE(ipc::PumpUntil([&] { return sim.Exited(); }, 3000));
  f.ImportFromPlayer();
  EXPECT_EQ(Status(), "DSMPと接続できません。");
}

TEST_F(Exchange, APlayerThatHangsOrExitsMidCommandLeavesTheGridAndReportsTheFailure) {
  struct Row {
    const char* script;
    bool import;
  } rows[] = {{"\"hang_on\":\"PlayList.31#2\",\"hang_ms\":3000", true},
              {"\"exit_on\":\"PlayList.31#2\"", true},
              {"\"hang_on\":\"PlayList.32#2\",\"hang_ms\":3000", false},
              {"\"exit_on\":\"PlayList.31#3\"", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    test::DsmpProcess sim(State("", Titled(3, ""), row.script));
    services.questions.clear();
    auto& f = Start();
    Pick(0);
    for (int r = 1; r <= 3; ++r) f.Model().Table().SetCell(1, r, "keep" + std::to_string(r));
    f.Model().SetEnabled(MenuId::ExportToPlayer, true);
    const auto start = Clock::now();
    if (row.import) {
      f.ImportFromPlayer();
    } else {
      f.ExportToPlayer();
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(Status(), "DSMPと接続できません。");
    EXPECT_FALSE(f.playerLink().Bound());
    EXPECT_FALSE(f.Model().CommandRunning());
    for (int r = 1; r <= 3; ++r) EXPECT_EQ(Table().Cell(1, r), "keep" + std::to_string(r));
    if (!row.import) {
      EXPECT_TRUE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
    }
  }
  // The window goes on working with a player that answers.
  test::DsmpProcess good(State("Good", Titled(3)));
  form->ImportFromPlayer();
  EXPECT_EQ(Status(), "DSMPからリスト取込完了");
  EXPECT_EQ(Table().Cell(1, 3), "T3");
}

TEST_F(Exchange, ExportNeverWritesATrackTheLinkCouldNotReadAndNamesIt) {
  // Track 2 holds a text longer than the link carries: its read fails. It
  // must keep every field; the others are filled in as usual.
  const std::string huge(40000, 'x');
  const std::string unreadable =
      "{\"title\":\"\",\"artist\":\"Own\",\"file\":\"D:\\\\Track02.cda\","
      "\"text1\":\"" +
      huge + "\",\"kind\":16,\"drive\":3,\"cdtrack\":2,\"long1\":5}";
  test::DsmpProcess sim(State("L", {Track(""), unreadable, Track("")}));
  auto& f = Start();
  Pick(0);
  for (int r = 1; r <= 3; ++r) f.Model().Table().SetCell(1, r, "G" + std::to_string(r));
  f.Model().SetEnabled(MenuId::ExportToPlayer, true);
  f.ExportToPlayer();
  const auto tracks = Tracks(sim);
  ASSERT_EQ(tracks.size(), 3u);
  EXPECT_EQ(platform::JsonText(tracks[0], "title"), "G1");
  EXPECT_EQ(platform::JsonText(tracks[2], "title"), "G3");
  // Untouched: not blanked, not given the grid's title.
  EXPECT_EQ(platform::JsonText(tracks[1], "title"), "");
  EXPECT_EQ(platform::JsonText(tracks[1], "artist"), "Own");
  EXPECT_EQ(platform::JsonText(tracks[1], "file"), "D:\\Track02.cda");
  EXPECT_EQ(platform::JsonText(tracks[1], "text1"), huge);
  EXPECT_EQ(platform::JsonInt(tracks[1], "kind"), 16);
  EXPECT_EQ(platform::JsonInt(tracks[1], "drive"), 3);
  EXPECT_EQ(platform::JsonInt(tracks[1], "long1"), 5);
  // Not reported as done; the export stays available.
  EXPECT_EQ(Status(), "DSMPに転送できなかった項目があります: 読み取れない曲: 2");
  EXPECT_TRUE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
  EXPECT_FALSE(f.playerLink().Bound());
}

TEST_F(Exchange, ExportRefusesTextLongerThanTheLinkCarriesAndSaysWhere) {
  struct Row {
    const char* what;
    bool longDiscTitle;
    int longRow;  // 0: none
    int longArtistRow;
    const char* status;
  } rows[] = {
      {"a track title", false, 2, 0,
       "DSMPに転送できなかった項目があります: 曲名かアーティスト名が長すぎる曲: 2"},
      {"an artist", false, 0, 3, "DSMPに転送できなかった項目があります: 曲名かアーティスト名が長すぎる曲: 3"},
      {"the disc title", true, 0, 0, "DSMPに転送できなかった項目があります: プレイリスト名"},
  };
  // 40,000 letters fit a grid cell (65,535 bytes) but not the link.
  const std::string huge(40000, 'y');
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    test::DsmpProcess sim(State("", {Track(""), Track(""), Track("")}));
    auto& f = Start();
    Pick(0);
    auto& t = f.Model().Table();
    t.SetTitle(row.longDiscTitle ? huge : "Disc");
    for (int r = 1; r <= 3; ++r) {
      t.SetCell(1, r, r == row.longRow ? huge : "G" + std::to_string(r));
      t.SetCell(2, r, r == row.longArtistRow ? huge : "A" + std::to_string(r));
    }
    ASSERT_EQ(t.Cell(1, 2).size(), row.longRow == 2 ? huge.size() : 2u);
    f.Model().SetEnabled(MenuId::ExportToPlayer, true);
    services.questionAnswers.push_back(shell::MsgAnswer::Yes);
    f.ExportToPlayer();
    EXPECT_EQ(Status(), row.status);
    EXPECT_TRUE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
    const auto tracks = Tracks(sim);
    ASSERT_EQ(tracks.size(), 3u);
    for (int r = 1; r <= 3; ++r) {
      const bool refused = r == row.longRow || r == row.longArtistRow;
      EXPECT_EQ(platform::JsonText(tracks[static_cast<std::size_t>(r - 1)], "title"),
                refused ? "" : "G" + std::to_string(r))
          << r;
    }
    EXPECT_EQ(platform::JsonText(sim.State()["playlist"], "title"), row.longDiscTitle ? "" : "Disc");
  }
}

TEST_F(Exchange, NeitherCommandStartsWhileAnotherCommandRuns) {
  test::DsmpProcess sim(State("L", Titled(3)));
  auto& f = Start();
  Pick(0);
  shell::CommandScope other(f.Model());
  ASSERT_TRUE(other.Acquired());
  f.ImportFromPlayer();
  f.ExportToPlayer();
  EXPECT_EQ(Status().rfind("DISCID", 0), 0u);
  EXPECT_TRUE(services.questions.empty());
  ASSERT_TRUE(sim.Sync());
  EXPECT_EQ(sim.Log().find("register"), std::string::npos);
}

TEST_F(Exchange, NoPlayerIsReportedByBothCommands) {
  auto& f = Start();
  f.ImportFromPlayer();
  EXPECT_EQ(Status(), "DSMPと接続できません。");
  f.Model().SetEnabled(MenuId::ExportToPlayer, true);
  f.ExportToPlayer();
  EXPECT_EQ(Status(), "DSMPと接続できません。");
  EXPECT_TRUE(f.Model().Menu(MenuId::ExportToPlayer).enabled);
  EXPECT_TRUE(services.boxes.empty());
}

}  // namespace
}  // namespace sl::mainform
