// Binding to the reference player as its own process: the version gate, the
// interface refusals, starting the player, a player that hangs or exits in
// the middle of a call, posting and requesting, tools, plug-in detection and
// menu entries.
#include <algorithm>
#include <chrono>

#include "inifile/profile.h"
#include "player_fixture.h"

namespace sl::test {
namespace {

using player::PlayerLink;
using Clock = std::chrono::steady_clock;

bool Has(const std::vector<std::string>& log, const std::string& e) {
  return std::find(log.begin(), log.end(), e) != log.end();
}

TEST_F(PlayerTest, BindsToARunningPlayerAndUnbinds) {
  DsmpProcess sim(PlayListJson(3, "\"plugin_state\":2,\"run_value\":77"));
  auto d = MakeDsmp();
  Settle();  // the player's Open answer to the announcement
  events.clear();
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_EQ(d->DSMPHandle(), sim.MainWindow());
  EXPECT_EQ(d->GetVersion(), 6100);
  EXPECT_EQ(d->RunCode(), 77);
  EXPECT_TRUE(d->IsPlugin());  // plug-in state 2
  EXPECT_EQ(events, std::vector<std::string>{"OnBind()"});
  ASSERT_TRUE(sim.Sync());
  EXPECT_NE(sim.Log().find("register " + std::to_string(d->WindowHandle())), std::string::npos);

  // Binding twice does nothing and raises nothing.
  d->Bind();
  EXPECT_EQ(events.size(), 1u);

  d->Unbind();
  EXPECT_FALSE(d->Bound());
  EXPECT_EQ(d->RunCode(), 0);
  EXPECT_EQ(events.back(), "OnUnbind()");
  ASSERT_TRUE(sim.Sync());
  EXPECT_NE(sim.Log().find("unregister " + std::to_string(d->WindowHandle())), std::string::npos);
  const auto count = events.size();
  d->Unbind();  // unbound: nothing, no event
  EXPECT_EQ(events.size(), count);
}

TEST_F(PlayerTest, ConstructionAnnouncesTheWindowAndTheOpenAnswerOnlyRecordsThePlayer) {
  DsmpProcess sim(PlayListJson(1));
  auto d = MakeDsmp();
  // dsmp-sim answers the announcement with an Open notification.
  ASSERT_TRUE(Pump([&] { return Has(events, "OnOpen()"); }));
  EXPECT_EQ(d->DSMPHandle(), sim.MainWindow());
  EXPECT_FALSE(d->Bound());  // AutoLink off: Open only records the window
  EXPECT_FALSE(Has(events, "OnBind()"));
}

TEST_F(PlayerTest, AutoLinkBindsOnOpenAndOnSetAutoLink) {
  DsmpProcess sim(PlayListJson(1));
  PlayerLink d(services);  // AutoLink on by default
  ASSERT_TRUE(Pump([&] { return d.Bound(); }));
  d.Unbind();
  d.SetAutoLink(false);
  d.SetAutoLink(true);  // the player runs: binds at once
  EXPECT_TRUE(d.Bound());
}

TEST_F(PlayerTest, TheVersionGateTurnsAwayOldAndRefusingPlayers) {
  struct Row {
    const char* extra;
    bool accepted;
  } rows[] = {
      {"\"version\":6099", false},
      {"\"version\":6100", true},
      {"\"version\":7000,\"accepts_level\":false", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.extra);
    std::string json = PlayListJson(1);
    json.replace(
        json.find("\"version\":6100,\"accepts_level\":true"),
        std::string("\"version\":6100,\"accepts_level\":true").size(),
        std::string(row.extra) +
            (std::string(row.extra).find("accepts") == std::string::npos ? ",\"accepts_level\":true" : ""));
    DsmpProcess sim(json);
    events.clear();
    services.boxes.clear();
    auto d = MakeDsmp();
    d->Bind();
    EXPECT_EQ(d->Bound(), row.accepted);
    if (row.accepted) {
      EXPECT_TRUE(services.boxes.empty());
    } else {
      ASSERT_EQ(services.boxes.size(), 1u);
      EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Warning);
      EXPECT_EQ(services.boxes[0].text, "このバージョンのDSMPには対応していません\n対応版をお使いください");
      EXPECT_FALSE(Has(events, "OnBind()"));
      EXPECT_TRUE(Has(events, "OnUnbind()"));
      EXPECT_GE(services.beeps, 1);
    }
  }
}

TEST_F(PlayerTest, EachRefusedInterfaceShowsItsErrorAndLeavesTheComponentUnbound) {
  struct Row {
    const char* refuse;
    const char* text;
  } rows[] = {
      {"DSMPControl", "DSMPControl Create Instance Error[80004005]"},
      {"IDSMPControl", "IDSMPControl Interface Error[80004002]"},
      {"IDSMPPlayList", "IDSMPPlayList Interface Error[80004002]"},
      {"IDSMPLyrics", "IDSMPLyrics Interface Error[80004002]"},
      {"IDSMPMenu", "IDSMPMenu Interface Error[80004002]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.refuse);
    std::string json = PlayListJson(1);
    json.replace(json.find("\"refuse\":\"\""), 11, std::string("\"refuse\":\"") + row.refuse + "\"");
    DsmpProcess sim(json);
    services.boxes.clear();
    auto d = MakeDsmp();
    d->Bind();
    EXPECT_FALSE(d->Bound());
    ASSERT_EQ(services.BoxTexts(), std::vector<std::string>{row.text});
    EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Error);
  }
}

TEST_F(PlayerTest, ABindFailureIsReportedTypedAfterTheBeep) {
  std::string json = PlayListJson(1);
  json.replace(json.find("\"refuse\":\"\""), 11, "\"refuse\":\"IDSMPLyrics\"");
  DsmpProcess sim(json);
  std::vector<player::PlayerReport> reports;
  int beepsBeforeReport = -1;
  player::PlayerLinkOptions options;
  options.hooks.report = [&](const player::PlayerReport& r) {
    reports.push_back(r);
    beepsBeforeReport = services.beeps;
  };
  auto d = MakeDsmp(std::move(options));
  d->Bind();
  EXPECT_FALSE(d->Bound());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].event, player::PlayerEvent::InterfaceFailed);
  EXPECT_EQ(reports[0].name, "IDSMPLyrics");
  EXPECT_EQ(reports[0].code, 0x80004002u);
  EXPECT_EQ(beepsBeforeReport, 1);
  // The link itself shows nothing: the host's hook decides.
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(PlayerTest, WithoutHooksABindFailureIsDropped) {
  std::string json = PlayListJson(1);
  json.replace(json.find("\"refuse\":\"\""), 11, "\"refuse\":\"DSMPControl\"");
  DsmpProcess sim(json);
  // A link made without the fixture, so that no hooks are set.
  player::PlayerLink d(services, [this] {
    player::PlayerLinkOptions options;
    options.startTimeoutMs = startMs;
    return options;
  }());
  d.SetAutoLink(false);
  d.Bind();
  EXPECT_FALSE(d.Bound());
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_TRUE(services.questions.empty());
}

TEST_F(PlayerTest, NoPlayerAndNoPathBindsSilently) {
  auto d = MakeDsmp();
  EXPECT_EQ(d->GetDSMPHandle(), 0u);
  EXPECT_FALSE(d->Post(0x400, 1, 2));
  EXPECT_EQ(d->Request(0x400, 1, 2), 0);
  EXPECT_FALSE(d->Execute(""));
  d->Bind();
  EXPECT_FALSE(d->Bound());
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(PlayerTest, BindStartsTheInstalledPlayer) {
  TempDir dir;
  WriteFileBytes(dir.File("state.json"), PlayListJson(2));
  link.PlayerProgram(DsmpSimPath());
  env.Set("DSMP_SIM_STATE", dir.File("state.json").c_str());
  auto d = MakeDsmp();
  EXPECT_EQ(d->DSMPPath(), DsmpSimPath());
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_EQ(d->GetTracks(), 2);
  const auto pid = ipc::WindowProcess(d->DSMPHandle());
  d->Close();
  d->Unbind();
  ::kill(pid, SIGTERM);
}

TEST_F(PlayerTest, APlayerThatNeverShowsItsWindowCountsAsNotStartedWithinTheBound) {
  // A program that runs but never opens a window: the start wait gives up.
  link.PlayerProgram("/bin/sleep");
  startMs = 300;
  auto d = MakeDsmp();
  const auto start = Clock::now();
  EXPECT_FALSE(d->Execute("5"));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  // A program that exits at once is noticed before the bound.
  link.PlayerProgram("/bin/false");
  startMs = 20000;
  auto e = MakeDsmp();
  const auto start2 = Clock::now();
  EXPECT_FALSE(e->Execute("x"));
  EXPECT_LT(Clock::now() - start2, std::chrono::seconds(3));
}

TEST_F(PlayerTest, APlayerThatHangsOrExitsMidCallFailsTheCallAndUnbinds) {
  struct Row {
    const char* script;
  } rows[] = {{"\"hang_on\":\"PlayList.31#2\",\"hang_ms\":5000"}, {"\"exit_on\":\"PlayList.31#2\""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    DsmpProcess sim(PlayListJson(4, row.script));
    events.clear();
    services.questions.clear();
    auto d = MakeDsmp();
    d->Bind();
    ASSERT_TRUE(d->Bound());
    EXPECT_EQ(d->GetTrackInfo(1).Title, "Title 1");
    const auto start = Clock::now();
    const auto info = d->GetTrackInfo(2);  // hangs or exits
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(info, player::PlayListTrack{});
    EXPECT_FALSE(d->Bound());
    EXPECT_TRUE(d->LinkLost());
    EXPECT_TRUE(Has(events, "OnUnbind()"));
    // Further reads are unbound values at once, with no prompt.
    const auto start2 = Clock::now();
    EXPECT_EQ(d->GetTracks(), 0);
    EXPECT_EQ(d->GetTrackInfo(3), player::PlayListTrack{});
    EXPECT_LT(Clock::now() - start2, std::chrono::milliseconds(100));
    EXPECT_TRUE(services.questions.empty());
  }
}

TEST_F(PlayerTest, AFailedReadShowsTheFailurePromptAndYesRaises) {
  // A title longer than the link's bound: the read fails, the link stays.
  DsmpProcess sim(PlayListJson(1, "\"long_title\":40000"));
  auto d = MakeDsmp();
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_EQ(d->GetPlayListTitle(), "");
  ASSERT_EQ(services.questions.size(), 1u);
  EXPECT_EQ(services.questions[0].caption, "HRCHECK: ");
  EXPECT_EQ(services.questions[0].buttons, shell::MsgButtons::YesNoCancel);
  EXPECT_NE(services.questions[0].text.find("get_PlayListTitle"), std::string::npos);
  EXPECT_NE(
      services.questions[0].text.find("\nPress [Y]es to terminate, [N]o to continue and [C]ancel to Debug"),
      std::string::npos);
  EXPECT_TRUE(d->Bound());
  services.questionAnswers.push_back(shell::MsgAnswer::Yes);
  EXPECT_THROW(d->GetPlayListTitle(), player::PlayerCallError);
  EXPECT_TRUE(d->Bound());
}

TEST_F(PlayerTest, PostFindsTheWindowAgainAndRequestAnswersWithinTheBound) {
  DsmpProcess sim(PlayListJson(1));
  auto d = MakeDsmp();
  EXPECT_TRUE(d->Post(static_cast<int>(d->DSMPMessage()), 0x403, 0));
  ASSERT_TRUE(sim.Sync());
  EXPECT_NE(sim.Log().find("tools-changed"), std::string::npos);
  EXPECT_EQ(d->Request(static_cast<int>(d->DSMPMessage()), 0x999, 0), 1);
  // A hung player: the request gives up after the time-out and answers 0.
  sim.Command("hang 3000");
  ASSERT_TRUE(Pump([&] { return sim.Log().find("hang 3000") != std::string::npos; }));
  const auto start = Clock::now();
  EXPECT_EQ(d->Request(static_cast<int>(d->DSMPMessage()), 0x999, 0), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(PlayerTest, ToolEntriesLiveInThePlayersSettingsFileAndTellThePlayer) {
  DsmpProcess sim(PlayListJson(1));
  TempDir dir;
  const std::string exe = dir.File("dsmp.exe");
  link.PlayerProgram(exe);
  auto d = MakeDsmp();
  EXPECT_EQ(d->PlayerIniPath(), dir.File("dsmp.ini"));
  EXPECT_FALSE(d->ToolExists("Sonolabel"));  // no file yet
  d->SetTool("Sonolabel", "/usr/bin/sonolabel");
  EXPECT_TRUE(d->ToolExists("sonolabel"));
  EXPECT_EQ(inifile::Profile(dir.File("dsmp.ini")).ReadString("Tool", "Sonolabel", ""), "/usr/bin/sonolabel");
  d->DeleteTool("Sonolabel");
  EXPECT_FALSE(d->ToolExists("Sonolabel"));
  EXPECT_TRUE(services.boxes.empty());
  ASSERT_TRUE(sim.Sync());
  const std::string log = sim.Log();
  std::size_t n = 0;
  for (std::size_t p = log.find("tools-changed"); p != std::string::npos;
       p = log.find("tools-changed", p + 1))
    ++n;
  EXPECT_EQ(n, 2u);
}

TEST_F(PlayerTest, PluginDetection) {
  struct Row {
    std::vector<std::string> args;
    bool plugin;
  } rows[] = {{{"sonolabel"}, false},
              {{"sonolabel", "/plugin"}, true},
              {{"sonolabel", "x", "/PLUGIN"}, true},
              {{"/PLUGIN"}, false}};  // argument 0 is the program itself
  for (const auto& row : rows) {
    player::PlayerLinkOptions o;
    o.arguments = row.args;
    auto d = MakeDsmp(o);
    EXPECT_EQ(d->IsPlugin(), row.plugin);
  }
  // The state the player reports wins over the arguments.
  DsmpProcess sim(PlayListJson(1, "\"plugin_state\":1"));
  player::PlayerLinkOptions o;
  o.arguments = std::vector<std::string>{"sonolabel", "/PLUGIN"};
  auto d = MakeDsmp(o);
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_FALSE(d->IsPlugin());
}

TEST_F(PlayerTest, MenuEntries) {
  DsmpProcess sim(PlayListJson(1));
  auto d = MakeDsmp();
  EXPECT_EQ(d->GetMenu(0), nullptr);
  player::PlayerMenuItem* builtIn = d->GetMenu(0x9000);
  ASSERT_NE(builtIn, nullptr);
  EXPECT_EQ(builtIn->MenuId, 0x9000);
  EXPECT_EQ(d->MenuListCount(), 0);
  player::PlayerMenuItem* seven = d->GetMenu(7);
  EXPECT_EQ(d->GetMenu(7), seven);
  EXPECT_EQ(d->MenuListCount(), 1);
  d->Bind();
  EXPECT_EQ(d->MenuListCount(), 0);
  d->GetMenu(8);
  d->GetMenu(9);
  player::PlayerMenuItem* nine = d->GetMenu(9);
  EXPECT_EQ(d->RemoveMenu(nine), nine);  // taken out, still alive
  EXPECT_EQ(nine->MenuId, 9);
  EXPECT_NE(d->GetMenu(9), nine);
  d->Unbind();
  EXPECT_EQ(d->MenuListCount(), 0);
  // RemoveMenu(null) takes out and destroys the first entry.
  d->GetMenu(11);
  d->GetMenu(12);
  EXPECT_EQ(d->RemoveMenu(nullptr), nullptr);
  EXPECT_EQ(d->MenuListCount(), 1);
  d->DeleteMenu(d->GetMenu(12));
  EXPECT_EQ(d->MenuListCount(), 0);
  d->ClearMenuList();
}

TEST_F(PlayerTest, DestroyingABoundComponentUnregistersWithoutEvents) {
  DsmpProcess sim(PlayListJson(1));
  {
    auto d = MakeDsmp();
    d->Bind();
    ASSERT_TRUE(d->Bound());
    events.clear();
  }
  EXPECT_TRUE(events.empty());
  ASSERT_TRUE(sim.Sync());
  EXPECT_NE(sim.Log().find("unregister"), std::string::npos);
}

}  // namespace
}  // namespace sl::test
