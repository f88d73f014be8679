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
    env.exePath = dir.File("sonolabel");
    env.aspiLayer = std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so";
    env.iniPath = dir.File("sonolabel.INI");
    env.windowsDir = dir.File("windows");
    test::WriteFileBytes(env.iniPath,
                         "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=0\r\n"
                         "[musicbrainz]\r\nserver=http://127.0.0.1:" +
                             std::to_string(service_.Port()) + "\r\n");
  }
  void TearDown() override { unsetenv("SONOLABEL_SIM_DRIVES"); }

  MainWindowLogic& Start() {
    form = std::make_unique<MainWindowLogic>(services, env);
    form->OpenSettingsFile();
    return *form;
  }
  void Pick(int index) {
    form->Model().SetDriveIndex(index);
    form->ChooseDrive();
  }
  std::size_t Requests() const { return service_.Requests().size(); }

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
