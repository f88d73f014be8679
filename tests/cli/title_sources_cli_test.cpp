// sonolabel-cli with its other sources of titles: the MusicBrainz ID and
// submission address, lookups that ask MusicBrainz (alone, after a CDDB
// server without a match, by the settings' choice), failures of the service,
// and a disc read that takes the disc's CD-Text. MusicBrainz is the stand-in
// service on a thread of the test; the drives are the demo's.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "cli_run.h"
#include "mbsim.h"
#include "support/cddbd_process.h"
#include "support/loopback_server.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

// Drive box items of the demo drives file.
constexpr int kRockDrive = 0;    // one release; accented names
constexpr int kJpopDrive = 1;    // three releases
constexpr int kCdTextDrive = 4;  // CD-Text in Shift-JIS, unknown to the demo CDDB server
constexpr const char* kRockMbid = "YC1Jm6bx7PJhJhuXvkzjpbLftoE-";
constexpr const char* kJpopMbid = "QR_7w77PjDejS4..I_VMRFluI_A-";
// The rock disc's titles need a code page that holds them to be saved.
constexpr const char* kLatinCodePage = "SONOLABEL_CODEPAGE=CP1252";

class MusicBrainzService {
 public:
  MusicBrainzService() : server_(std::string(SONOLABEL_SOURCE_DIR) + "/tools/mbsim/data") {
    std::string why;
    EXPECT_TRUE(server_.Listen(0, why)) << why;
    thread_ = std::thread([this] { server_.Run(std::chrono::seconds(120)); });
  }
  ~MusicBrainzService() {
    server_.Stop();
    thread_.join();
  }
  MusicBrainzService(const MusicBrainzService&) = delete;
  MusicBrainzService& operator=(const MusicBrainzService&) = delete;
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(server_.Port()); }
  std::size_t RequestCount() const { return server_.Requests().size(); }
  std::string LastUserAgent() const {
    const auto requests = server_.Requests();
    return requests.empty() ? std::string() : requests.back().userAgent;
  }

 private:
  mbsim::Server server_;
  std::thread thread_;
};

class CliTitleSources : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(dir.File("drives.ini"),
                   ReadFileBytes(std::string(SONOLABEL_SOURCE_DIR) + "/demo/drives.ini"));
  }
  // A settings file with a CDDB server (a refused port unless given), the
  // stand-in MusicBrainz and the extra keys in `more` (whole lines).
  void WriteSettings(const std::string& musicBrainzUse, const std::string& more = "", int cddbPort = 0) {
    const int port = cddbPort != 0 ? cddbPort : refused.Port();
    WriteFileBytes(dir.File("s.INI"),
                   "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=1\r\n"
                   "[svr0]\r\nhost=127.0.0.1:" +
                       std::to_string(port) +
                       "\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n"
                       "[musicbrainz]\r\nserver=" +
                       service.Url() + "\r\n" + musicBrainzUse + more);
  }
  Result Run(const std::string& args, const std::string& env = "") { return RunCli(dir, args, env); }
  std::string Err() const { return ReadFileBytes(dir.File("stderr")); }
  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  TempDir dir;
  RefusedPort refused;
  MusicBrainzService service;
};

TEST_F(CliTitleSources, MbidPrintsTheIdAndTheSubmissionAddress) {
  WriteSettings("");
  auto r = Run("mbid --drive " + std::to_string(kRockDrive));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), kRockMbid);
  EXPECT_TRUE(
      Has(r.out, "/cdtoc/attach?id=" + std::string(kRockMbid) + "&tracks=3&toc=1+3+45912+150+18630+35212"))
      << r.out;
  // A table of contents given names the same disc.
  r = Run("mbid --toc '0:02:00 4:08:30 7:49:37 10:12:12'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), kRockMbid);
  // No disc, nothing printed; nothing was asked of the service.
  r = Run("mbid --drive 3");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(service.RequestCount(), 0u);
}

TEST_F(CliTitleSources, MusicBrainzLookupFillsTheFieldsAndNamesTheRelease) {
  WriteSettings("", "contact=someone@example.org\r\n");
  const auto r = Run("lookup --source musicbrainz --drive " + std::to_string(kRockDrive), kLatinCodePage);
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_TRUE(Has(r.out, "\"artist\":\"Zoë Ångström & The Café Orchestra\"")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"year\":\"1999\""));
  // A track credited to others than the release's artist keeps its own.
  EXPECT_TRUE(
      Has(r.out, "{\"title\":\"Naïve Sunrise\",\"artist\":\"Zoë Ångström feat. Björk Guðmundsdóttir\"}"));
  EXPECT_TRUE(Has(r.out, "{\"title\":\"Crème Brûlée\",\"artist\":\"\"}"));
  EXPECT_TRUE(
      Has(r.out,
          std::string("\"source\":\"musicbrainz\",\"mbid\":\"") + kRockMbid +
              "\",\"release\":\"aa0c29ce-f7b4-580c-8cb2-1863b2339242\",\"status\":\"MusicBrainz取得完了\""))
      << r.out;
  EXPECT_TRUE(Has(Err(), "MusicBrainz検索中\nMusicBrainz取得完了\n")) << Err();
  // The contact set for MusicBrainz travels, not the CDDB address.
  EXPECT_EQ(service.LastUserAgent(), "Sonolabel/1.311 ( someone@example.org )");
  // The titles were saved: they come back from the local database.
  EXPECT_TRUE(std::filesystem::exists(dir.File("cdplayer.ini")));
}

TEST_F(CliTitleSources, SeveralReleasesGoThroughTheMatchDialog) {
  WriteSettings("");
  const std::string jpop = " --drive " + std::to_string(kJpopDrive);
  auto r = Run("lookup --source musicbrainz --choose 2" + jpop);
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_TRUE(Has(r.out, "\"release\":\"78b0c48e-1df6-5129-8baa-a43f3795275e\"")) << r.out;
  EXPECT_TRUE(Has(r.out, std::string("\"mbid\":\"") + kJpopMbid + "\""));
  // The rows name the releases as "artist / title (year, country, label)".
  r = Run("lookup --source musicbrainz" + jpop);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(Err(), "1\tMusicBrainz\t")) << Err();
  EXPECT_TRUE(Has(Err(), "offers 3 matches")) << Err();
  EXPECT_FALSE(Has(r.out, "\"source\"")) << r.out;
  // Cancelled: nothing filled, nothing saved.
  r = Run("lookup --source musicbrainz --choose 0" + jpop);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "\"artist\":\"\"")) << r.out;
}

TEST_F(CliTitleSources, SettingsChooseWhenMusicBrainzIsAsked) {
  CddbdProcess noMatch({"--fault", "query reply 202 No match for disc ID 23026203."});
  const std::string rock = " --drive " + std::to_string(kRockDrive);
  // use=1: after the CDDB server's 202.
  WriteSettings("use=1\r\n", "", noMatch.Port());
  auto r = Run("lookup" + rock, kLatinCodePage);
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_TRUE(Has(Err(), "該当タイトルなし\nMusicBrainz検索中\nMusicBrainz取得完了\n")) << Err();
  // The lookup goes on: the CDDB server's "no match" box would say it ended.
  EXPECT_FALSE(Has(Err(), "一致するタイトルはありませんでした。")) << Err();
  EXPECT_TRUE(Has(r.out, "\"source\":\"musicbrainz\"")) << r.out;
  // use=0 (or none): the CDDB server alone, its box, and the output as it
  // always was.
  WriteSettings("use=0\r\n", "", noMatch.Port());
  const std::size_t asked = service.RequestCount();
  r = Run("lookup" + rock);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(Err(), "一致するタイトルはありませんでした。")) << Err();
  EXPECT_EQ(service.RequestCount(), asked);
  const std::string alone = r.out;
  EXPECT_FALSE(Has(alone, "\"source\"")) << alone;
  WriteSettings("", "", noMatch.Port());
  EXPECT_EQ(Run("lookup" + rock).out, alone);
  EXPECT_EQ(Run("lookup --source cddb" + rock).out, alone);
  // --source both overrides use=0.
  r = Run("lookup --source both" + rock, kLatinCodePage);
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_TRUE(Has(r.out, "\"source\":\"musicbrainz\""));
  // use=2: MusicBrainz first; the CDDB server is not asked when it answers
  // (its port is closed here: asking it would fail the run).
  WriteSettings("use=2\r\n");
  r = Run("lookup" + rock, kLatinCodePage);
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_FALSE(Has(Err(), "タイトル取得中")) << Err();
}

TEST_F(CliTitleSources, CddbTitlesAreNamedWhenMusicBrainzCouldHaveAnswered) {
  CddbdProcess server;
  WriteSettings("use=1\r\n", "", server.Port());
  const std::size_t before = service.RequestCount();
  const auto r = Run("lookup --drive " + std::to_string(kRockDrive));
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_TRUE(Has(r.out, "\"source\":\"cddb\",\"status\"")) << r.out;
  EXPECT_FALSE(Has(r.out, "\"mbid\""));
  EXPECT_EQ(service.RequestCount(), before);  // the CDDB server had the entry
}

TEST_F(CliTitleSources, ServiceFailuresAreShownAsTheCddbLookupsAndFail) {
  const std::string rock = " --source musicbrainz --drive " + std::to_string(kRockDrive);
  // No service at the address.
  WriteFileBytes(dir.File("s.INI"),
                 "[tunedex]\r\nemail=me@example.com\r\n[musicbrainz]\r\nserver=http://127.0.0.1:" +
                     std::to_string(refused.Port()) + "\r\n");
  auto r = Run("lookup" + rock);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "\"status\":\"接続できません。\"")) << r.out;
  EXPECT_TRUE(Has(Err(), "接続に失敗しました。")) << Err();
  EXPECT_FALSE(Has(r.out, "\"source\""));
  // A disc the service does not know: 404.
  WriteSettings("");
  r = Run("lookup --source musicbrainz --toc '0:02:00 1:00:00 2:00:00'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "\"status\":\"MusicBrainzに該当なし\"")) << r.out;
}

TEST_F(CliTitleSources, DiscReadTakesCdTextUnlessSavedTitlesOrTheSettingSayOtherwise) {
  const std::string drive = " --drive " + std::to_string(kCdTextDrive);
  WriteSettings("");
  auto r = Run("disc" + drive);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "\"artist\":\"星野みなと\",\"title\":\"夜明けの街角\"")) << r.out;
  EXPECT_TRUE(Has(r.out, "{\"title\":\"雨上がりの歩道橋\",\"artist\":\"星野みなと＆ＫＡＺＥ\"}")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"source\":\"cd-text\",\"status\":\"CD-Textから読み込み\"")) << r.out;
  // A disc without CD-Text: as always.
  r = Run("disc --drive " + std::to_string(kRockDrive));
  EXPECT_FALSE(Has(r.out, "\"source\"")) << r.out;
  // Switched off.
  WriteSettings("", "[cdtext]\r\nuse=0\r\n");
  r = Run("disc" + drive);
  EXPECT_FALSE(Has(r.out, "CD-Text")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"artist\":\"\"")) << r.out;
}

// The demo as a user starts it: its MusicBrainz stand-in answers the
// Japanese CD-Text disc, which the demo's CDDB server does not know; the
// French one is known to neither and keeps its CD-Text.
TEST(CliDemoSources, TheCdTextDiscUnknownToTheCddbServerIsNamedByMusicBrainz) {
  TempDir dir;
  const std::string env = "XDG_STATE_HOME='" + dir.File("state") + "'";
  const auto has = [](const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  };
  auto r = RunCli(dir, "--demo mbid --drive 4", env);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Wh2EnoKYqLZqJTanfD3AMvITYvQ-");

  r = RunCli(dir, "--demo lookup --drive 4 --email demo@example.jp", env);
  const std::string err = ReadFileBytes(dir.File("stderr"));
  EXPECT_EQ(r.status, 0) << err;
  EXPECT_TRUE(has(
      err, "CD-Textから読み込み\nタイトル取得中\n該当タイトルなし\nMusicBrainz検索中\nMusicBrainz取得完了\n"))
      << err;
  EXPECT_TRUE(has(r.out, "\"artist\":\"星野みなと\",\"title\":\"夜明けの街角\",\"year\":\"2004\"")) << r.out;
  EXPECT_TRUE(has(r.out, "{\"title\":\"雨上がりの歩道橋\",\"artist\":\"星野みなと & KAZE\"}")) << r.out;
  EXPECT_TRUE(has(r.out, "\"source\":\"musicbrainz\",\"mbid\":\"Wh2EnoKYqLZqJTanfD3AMvITYvQ-\"")) << r.out;
  // Saved like a CDDB answer: read again, the titles come from the local
  // database (MusicBrainz's spelling), not from the CD-Text.
  r = RunCli(dir, "--demo disc --drive 4", env);
  EXPECT_TRUE(has(r.out, "{\"title\":\"Lights\"")) << r.out;
  EXPECT_TRUE(has(r.out, "{\"title\":\"夜明けの街角 (リプライズ)\"")) << r.out;
  EXPECT_FALSE(has(r.out, "\"source\"")) << r.out;

  r = RunCli(dir, "--demo lookup --drive 5", env);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "\"source\":\"cd-text\",\"status\":\"MusicBrainzに該当なし\"")) << r.out;
  EXPECT_TRUE(has(r.out, "\"artist\":\"Hélène Duprès\"")) << r.out;
}

}  // namespace
}  // namespace sl::test
