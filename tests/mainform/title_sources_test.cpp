// The window's other sources of titles: the MusicBrainz lookup command and
// what it may not do while another command runs (or while its own match
// dialog is open), the disc's CD-Text after a read and the saved titles
// that win over it, and how the service's outcomes are shown.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "mainform/mainform.h"
#include "mainform/outcome_texts.h"
#include "mbsim.h"
#include "sim_environment.h"
#include "support/recorder.h"

namespace sl::mainform {
namespace {

// Drive box items of the demo drives file.
constexpr int kJpopDrive = 1;
constexpr int kMultiDrive = 2;
constexpr int kCdTextDrive = 4;

// Services whose match dialog runs `duringMatch` while it is open.
class DialogServices : public test::RecordingServices {
 public:
  std::function<void()> duringMatch;
  int ShowMatchDialog(shell::MatchDialogModel& dialog) override {
    if (duringMatch) duringMatch();
    return RecordingServices::ShowMatchDialog(dialog);
  }
};

class TitleSources : public ::testing::Test {
 protected:
  TitleSources() : service_(std::string(SONOLABEL_SOURCE_DIR) + "/tools/mbsim/data") {
    std::string why;
    EXPECT_TRUE(service_.Listen(0, why)) << why;
    thread_ = std::thread([this] { service_.Run(std::chrono::seconds(120)); });
  }
  ~TitleSources() override {
    service_.Stop();
    thread_.join();
  }
  void SetUp() override {
    setenv("SONOLABEL_SIM_DRIVES", (std::string(SONOLABEL_SOURCE_DIR) + "/demo/drives.ini").c_str(), 1);
    env = SimEnvironment(dir);
    test::WriteFileBytes(env.iniPath,
                         "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=0\r\n"
                         "[musicbrainz]\r\nserver=http://127.0.0.1:" +
                             std::to_string(service_.Port()) + "\r\n");
  }
  void TearDown() override { unsetenv("SONOLABEL_SIM_DRIVES"); }

  MainWindowLogic& Start() {
    form = StartWindow(services, env);
    return *form;
  }
  void Pick(int index) { PickDrive(*form, index); }
  std::size_t Requests() const { return service_.Requests().size(); }
  std::vector<mbsim::RequestRecord> RequestLog() const { return service_.Requests(); }
  std::string ServiceUrl() const { return "http://127.0.0.1:" + std::to_string(service_.Port()); }

  test::TempDir dir;
  DialogServices services;
  Environment env;
  std::unique_ptr<MainWindowLogic> form;

 private:
  mbsim::Server service_;
  std::thread thread_;
};

TEST_F(TitleSources, MusicBrainzLookupIsRefusedWhileAnotherCommandRuns) {
  auto& f = Start();
  Pick(kJpopDrive);
  const std::string before = f.Model().Table().Title();
  {
    shell::CommandScope other(f.Model());
    ASSERT_TRUE(other.Acquired());
    f.LookUpMusicBrainz();
  }
  EXPECT_EQ(f.LastCommandOutcome(), CommandOutcome::Refused);
  EXPECT_EQ(Requests(), 0u);
  EXPECT_EQ(f.Model().Table().Title(), before);
  EXPECT_EQ(f.TitlesSource(), TitleSource::None);
}

TEST_F(TitleSources, TheMatchDialogHoldsTheDiscAndTheGrid) {
  auto& f = Start();
  Pick(kJpopDrive);
  const auto jpopId = f.DiscId();
  // While the dialog is open, another drive pick, a load from the local
  // database and a second lookup are all refused.
  services.duringMatch = [&] {
    Pick(kMultiDrive);
    f.LoadTitles();
    f.LookUpMusicBrainz();
    EXPECT_EQ(f.LastCommandOutcome(), CommandOutcome::Refused);
  };
  services.matchAnswers = {3};
  f.LookUpMusicBrainz();
  ASSERT_EQ(services.matchDialogs.size(), 1u);
  ASSERT_EQ(services.matchDialogs[0].size(), 3u);
  EXPECT_EQ(services.matchDialogs[0][0][0], "MusicBrainz");
  EXPECT_EQ(f.DiscId(), jpopId);
  EXPECT_EQ(f.Model().DriveIndex(), kJpopDrive);
  EXPECT_EQ(Requests(), 1u);
  EXPECT_EQ(f.LastCommandOutcome(), CommandOutcome::Done);
  EXPECT_EQ(f.TitlesSource(), TitleSource::MusicBrainz);
  EXPECT_EQ(f.Model().Status(0), "MusicBrainz取得完了");
  EXPECT_FALSE(f.Model().Table().Title().empty());
  EXPECT_TRUE(f.Model().Menu(shell::MenuId::ExportToPlayer).enabled);
  // Category and genre are not MusicBrainz's to give.
  EXPECT_EQ(f.Model().Table().Category(), "");

  // Cancelled: the grid as it was, and a no-match outcome that lets the
  // CDDB server be asked next.
  const std::string title = f.Model().Table().Title();
  services.duringMatch = nullptr;
  services.matchAnswers = {0};
  f.LookUpMusicBrainz();
  EXPECT_EQ(f.LastCommandOutcome(), CommandOutcome::ChoiceCancelled);
  EXPECT_EQ(f.Model().Table().Title(), title);
}

TEST_F(TitleSources, CdTextFillsADiscWithoutSavedTitles) {
  auto& f = Start();
  Pick(kCdTextDrive);
  EXPECT_EQ(f.TitlesSource(), TitleSource::CdText);
  EXPECT_EQ(f.Model().Status(0), "CD-Textから読み込み");
  EXPECT_EQ(f.Model().Table().Artist(), "星野みなと");
  EXPECT_TRUE(f.Model().Menu(shell::MenuId::ExportToPlayer).enabled);
  // Nothing is saved on its own; titles the user saves win next time.
  EXPECT_FALSE(std::filesystem::exists(env.windowsDir + "/cdplayer.ini"));
  f.Model().Table().SetTitle("my own title");
  f.SaveTitles();
  Pick(kJpopDrive);
  EXPECT_EQ(f.TitlesSource(), TitleSource::None);
  Pick(kCdTextDrive);
  EXPECT_EQ(f.Model().Table().Title(), "my own title");
  EXPECT_EQ(f.TitlesSource(), TitleSource::None);
  EXPECT_NE(f.Model().Status(0), "CD-Textから読み込み");
}

// The sources tab: shown with the stored values, stored on OK in the same
// replacement as the other tabs, and a refused server or contact leaves the
// file as it was with a box that names the refused text.
TEST_F(TitleSources, OptionsSourcesTabIsStoredWithTheOtherTabsOrNotAtAll) {
  auto& f = Start();
  services.optionDialog = [&](shell::OptionDialog& d) {
    EXPECT_EQ(d.state.musicBrainzUse, 0);  // the key is missing: never
    EXPECT_EQ(d.state.musicBrainzServer, ServiceUrl());
    EXPECT_EQ(d.state.musicBrainzContact, "");
    EXPECT_EQ(d.state.sentContact, "me@example.com");
    EXPECT_TRUE(d.state.cdTextUse);
    d.state.musicBrainzUse = 2;
    d.state.musicBrainzServer = " " + ServiceUrl() + "/ ";
    d.state.musicBrainzContact = "https://example.org/me";
    d.state.cdTextUse = false;
    d.state.email = "new@example.org";
    d.state.proxyPort = "8080";  // the proxy tab's port must be a number
    return d.AcceptOptions();
  };
  f.OpenOptions();
  EXPECT_TRUE(services.boxes.empty()) << services.BoxTexts()[0];
  const auto stored = f.TitleSources();
  EXPECT_EQ(stored.musicBrainzUse, settings::MusicBrainzUse::First);
  EXPECT_EQ(stored.musicBrainzServer, ServiceUrl());
  EXPECT_EQ(stored.contact, "https://example.org/me");
  EXPECT_FALSE(stored.cdText);
  // The stored contact is what the next request carries; CD-Text is off.
  Pick(kCdTextDrive);
  EXPECT_EQ(f.TitlesSource(), TitleSource::None);
  f.LookUpMusicBrainz();
  ASSERT_EQ(Requests(), 1u);
  EXPECT_NE(RequestLog()[0].userAgent.find("( https://example.org/me )"), std::string::npos)
      << RequestLog()[0].userAgent;

  // Refused: nothing of any tab is written, the proxy stays as it was.
  const std::string before = test::ReadFileBytes(env.iniPath);
  const auto refuse = [&](const std::string& server, const std::string& contact) {
    services.boxes.clear();
    services.optionDialog = [&](shell::OptionDialog& d) {
      EXPECT_EQ(d.state.musicBrainzUse, 2);
      EXPECT_EQ(d.state.sentContact, "https://example.org/me");
      d.state.musicBrainzServer = server;
      d.state.musicBrainzContact = contact;
      d.state.musicBrainzUse = 0;
      d.state.email = "dropped@example.org";
      d.state.proxyHost = "127.0.0.1";
      d.state.proxyPort = "9";
      return d.AcceptOptions();
    };
    f.OpenOptions();
    EXPECT_EQ(test::ReadFileBytes(env.iniPath), before);
    EXPECT_EQ(services.boxes.size(), 1u);
    return services.boxes.empty() ? test::RecordingServices::Box{} : services.boxes[0];
  };
  auto box = refuse("ftp://musicbrainz.example", "");
  EXPECT_EQ(box.icon, shell::MsgIcon::Error);
  EXPECT_EQ(
      box.text,
      "情報源タブの入力に誤りがあるため、オプションは保存していません。\n"
      "MusicBrainzのサーバ「ftp://musicbrainz.example」は http:// か https:// で始まるURLではありません。");
  box = refuse(ServiceUrl(), "me@example.org\r\nX-Injected: 1");
  EXPECT_NE(box.text.find("連絡先に制御文字"), std::string::npos) << box.text;
  // The stored server still answers the lookup.
  f.LookUpMusicBrainz();
  EXPECT_EQ(Requests(), 2u);

  // Cancel keeps everything too.
  services.optionDialog = [&](shell::OptionDialog& d) {
    d.state.musicBrainzUse = 1;
    d.state.cdTextUse = true;
    return d.CancelOptions();
  };
  f.OpenOptions();
  EXPECT_EQ(test::ReadFileBytes(env.iniPath), before);
}

TEST(MusicBrainzOutcomeTexts, FailuresReadAsTheCddbLookups) {
  using O = musicbrainz::LookupOutcome;
  const auto same = [](const ShownText& a, const ShownText& b) {
    return a.status == b.status && std::string(a.statusText) == b.statusText && a.box == b.box &&
           std::string(a.boxText) == b.boxText;
  };
  for (const O o : {O::CannotConnect, O::TimedOut})
    EXPECT_TRUE(same(TextOf(o), TextOf(cddb::LookupEvent::ConnectionFailed))) << musicbrainz::OutcomeName(o);
  for (const O o : {O::Busy, O::HttpError, O::TooLarge, O::NoLibrary, O::Aborted})
    EXPECT_TRUE(same(TextOf(o), TextOf(cddb::LookupEvent::HttpFailed))) << musicbrainz::OutcomeName(o);
  EXPECT_TRUE(same(TextOf(O::BadReply), TextOf(cddb::LookupEvent::Malformed)));
  EXPECT_STREQ(TextOf(O::NotFound).statusText, "MusicBrainzに該当なし");
  // Found says nothing itself: the filled window and its status do.
  EXPECT_EQ(TextOf(O::Found).status, ShownText::Status::None);
  EXPECT_EQ(TextOf(O::Found).box, ShownText::Box::None);
}

}  // namespace
}  // namespace sl::mainform
