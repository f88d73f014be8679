// Reading the service's answers (the stand-in's fixtures, written in the
// service's shape) and what a chosen release gives the window.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "musicbrainz/musicbrainz.h"

namespace sl::musicbrainz {
namespace {

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(SONOLABEL_SOURCE_DIR) + "/tools/mbsim/data/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  EXPECT_FALSE(out.str().empty()) << name;
  return out.str();
}

ParsedReply Parse(const std::string& text) {
  std::string why;
  auto reply = ParseDiscReply(text, why);
  EXPECT_TRUE(reply) << why;
  return reply.value_or(ParsedReply{});
}

TEST(DiscReply, ExactMatchWithAccentsAndSeveralCreditedArtists) {
  const ParsedReply reply = Parse(Fixture("rock.json"));
  EXPECT_EQ(reply.shape, ReplyShape::ExactMatch);
  ASSERT_EQ(reply.releases.size(), 1u);
  const Release& r = reply.releases[0];
  EXPECT_EQ(r.title, "Señales de Otoño");
  EXPECT_EQ(r.label, "Éditions Sonores");
  EXPECT_EQ(MatchLine(r),
            "Zoë Ångström & The Café Orchestra / Señales de Otoño (1999, GB, Éditions Sonores)");

  const auto titles = TitlesFor(r, "YC1Jm6bx7PJhJhuXvkzjpbLftoE-", 3);
  ASSERT_TRUE(titles);
  EXPECT_EQ(titles->artist, "Zoë Ångström & The Café Orchestra");
  EXPECT_EQ(titles->title, "Señales de Otoño");
  EXPECT_EQ(titles->year, "1999");
  EXPECT_EQ(titles->releaseId, r.id);
  ASSERT_EQ(titles->tracks.size(), 3u);
  EXPECT_EQ(titles->tracks[0].title, "Crème Brûlée");
  // Only a credit that differs from the release's is kept for a track.
  EXPECT_EQ(titles->tracks[0].artist, "");
  EXPECT_EQ(titles->tracks[1].artist, "Zoë Ångström feat. Björk Guðmundsdóttir");
  EXPECT_EQ(titles->tracks[2].artist, "");
}

TEST(DiscReply, SeveralReleasesFillTheMatchDialog) {
  const ParsedReply reply = Parse(Fixture("jpop.json"));
  EXPECT_EQ(reply.shape, ReplyShape::ExactMatch);
  ASSERT_EQ(reply.releases.size(), 3u);
  // A null label, a null country and an empty date are left out.
  EXPECT_EQ(MatchLine(reply.releases[0]), "ひかり / はじまりの歌 (2001, JP, ソニー・ミュージック)");
  EXPECT_EQ(MatchLine(reply.releases[1]), "ひかり / はじまりの歌 (2001, TW)");
  EXPECT_EQ(MatchLine(reply.releases[2]), "ひかり / はじまりの歌 (リマスター)");

  shell::MatchDialogModel dialog;
  dialog.currentRow = 3;
  FillMatchDialog(dialog, reply.releases);
  ASSERT_EQ(dialog.rows.size(), 4u);
  EXPECT_EQ(dialog.rows[0], (std::array<std::string, 3>{}));
  EXPECT_EQ(dialog.rows[1], (std::array<std::string, 3>{"MusicBrainz", "ひかり",
                                                        "はじまりの歌 (2001, JP, ソニー・ミュージック)"}));
  EXPECT_EQ(dialog.currentRow, 1);

  const auto titles = TitlesFor(reply.releases[1], "QR_7w77PjDejS4..I_VMRFluI_A-", 12);
  ASSERT_TRUE(titles);
  ASSERT_EQ(titles->tracks.size(), 12u);
  EXPECT_EQ(titles->tracks[3].title, "東京タワー");
  EXPECT_EQ(titles->tracks[3].artist, "ひかり × 山田太郎");
  EXPECT_EQ(titles->tracks[4].artist, "");
  EXPECT_EQ(TitlesFor(reply.releases[2], "", 12)->year, "");
}

TEST(DiscReply, MediumHoldingTheDiscWinsOverTrackCount) {
  const ParsedReply reply = Parse(Fixture("multi.json"));
  ASSERT_EQ(reply.releases.size(), 1u);
  const Release& r = reply.releases[0];
  ASSERT_EQ(r.media.size(), 2u);
  // Both media have five tracks; the second holds the disc.
  const Medium* m = ChooseMedium(r, "vtgTVJZJYxdiunqaF9niwvx288E-", 5);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->position, 2);
  const auto titles = TitlesFor(r, "vtgTVJZJYxdiunqaF9niwvx288E-", 5);
  ASSERT_TRUE(titles);
  EXPECT_EQ(titles->artist, "Wiener Klangkörper conducted by Antonín Dvořák");
  EXPECT_EQ(titles->tracks[0].title, "Sinfonie Nr. 9: I. Adagio – Allegro molto");
  EXPECT_EQ(titles->tracks[4].artist, "Antonín Dvořák");
  // Without the ID the first medium of the disc's length is taken.
  EXPECT_EQ(ChooseMedium(r, "someOtherDiscId", 5)->position, 1);
}

TEST(DiscReply, TocMatchesChooseTheMediumByTrackCount) {
  const ParsedReply reply = Parse(Fixture("fuzzy.json"));
  EXPECT_EQ(reply.shape, ReplyShape::TocMatches);
  ASSERT_EQ(reply.releases.size(), 2u);
  const std::string id = "OH15fKefmecth4Kw1Dj0YdbVSa0-";
  EXPECT_EQ(ChooseMedium(reply.releases[0], id, 4)->position, 1);
  // The DVD comes first; the four-track CD is the disc.
  EXPECT_EQ(ChooseMedium(reply.releases[1], id, 4)->position, 2);
  EXPECT_EQ(TitlesFor(reply.releases[1], id, 4)->tracks[3].title, "Hidden");
  EXPECT_EQ(TitlesFor(reply.releases[1], id, 4)->year, "2004");
  EXPECT_FALSE(TitlesFor(reply.releases[0], id, 7));
}

TEST(DiscReply, AnswersWithoutReleases) {
  EXPECT_EQ(Parse(Fixture("stub.json")).shape, ReplyShape::NoReleases);
  EXPECT_TRUE(Parse(Fixture("stub.json")).releases.empty());
  EXPECT_EQ(Parse(Fixture("empty.json")).shape, ReplyShape::NoReleases);
}

TEST(DiscReply, RefusesWhatIsNotTheServicesShape) {
  std::string why;
  const char* bad[] = {
      "",                                 // nothing
      R"({"id": "x", "releases": [)",     // cut short
      R"([{"releases": []}])",            // not an object
      R"({"error": "Not Found"})",        // no releases, no ID
      R"({"releases": {"id": "x"}})",     // releases not a list
      R"({"releases": [{"title": 5}]})",  // a title that is a number
      R"({"releases": [{"media": [{"tracks": [{"position": "one"}]}]}]})",
      R"({"releases": [{"artist-credit": ["plain"]}]})",
      "{\"releases\": [{\"title\": \"\xC3\x28\"}]}",  // broken UTF-8
  };
  for (const char* text : bad) {
    why.clear();
    EXPECT_FALSE(ParseDiscReply(text, why)) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
}

TEST(DiscReply, DeepNestingIsRefusedBeforeParsing) {
  // Enough levels to exhaust the stack of a recursive reader.
  const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  std::string why;
  EXPECT_FALSE(ParseDiscReply(deep, why));
  // Brackets inside strings are no nesting.
  const std::string quoted = R"({"releases": [{"title": ")" + std::string(200, '[') + R"("}]})";
  const auto reply = ParseDiscReply(quoted, why);
  ASSERT_TRUE(reply) << why;
  EXPECT_EQ(reply->releases[0].title, std::string(200, '['));
}

TEST(DiscReply, TextsAreOneBoundedLine) {
  std::string why;
  // A title with line breaks and a tab stays one line of the grid and of
  // the title file.
  auto reply = ParseDiscReply(R"({"releases": [{"title": "A\r\n[cdplayer]\tB\u0000C"}]})", why);
  ASSERT_TRUE(reply) << why;
  EXPECT_EQ(reply->releases[0].title, "A  [cdplayer] B C");

  // A long title is cut where a character starts: "あ" is three bytes.
  std::string longTitle;
  for (int i = 0; i < 2000; ++i) longTitle += "あ";
  reply = ParseDiscReply(R"({"releases": [{"title": ")" + longTitle + "\"}]}", why);
  ASSERT_TRUE(reply) << why;
  const std::string& cut = reply->releases[0].title;
  EXPECT_EQ(cut.size(), kMaxTextBytes / 3 * 3);
  EXPECT_EQ(cut, longTitle.substr(0, cut.size()));
}

TEST(DiscReply, KeepsAtMostTheBoundedNumberOfReleasesAndTracks) {
  std::string text = R"({"release-count": 500, "releases": [)";
  for (int i = 0; i < 500; ++i)
    text += std::string(i ? "," : "") + R"({"title": "r)" + std::to_string(i) + "\"}";
  text += "]}";
  std::string why;
  auto reply = ParseDiscReply(text, why);
  ASSERT_TRUE(reply) << why;
  EXPECT_EQ(reply->releases.size(), kMaxReleases);

  std::string tracks = R"({"releases": [{"media": [{"track-count": 150, "tracks": [)";
  for (int i = 1; i <= 150; ++i)
    tracks += std::string(i > 1 ? "," : "") + R"({"position": )" + std::to_string(i) + "}";
  tracks += "]}]}]}";
  reply = ParseDiscReply(tracks, why);
  ASSERT_TRUE(reply) << why;
  EXPECT_EQ(reply->releases[0].media[0].tracks.size(), kMaxTracks);
}

TEST(DiscReply, TracksComeInPositionOrderAndDatesGiveYearsOnlyWhenNumeric) {
  std::string why;
  auto reply = ParseDiscReply(
      R"({"releases": [{"date": "19xx-01-01", "media": [{"track-count": 2, "tracks": [
           {"position": 2, "title": "second"}, {"position": 1, "recording": {"title": "first"}}]}]}]})",
      why);
  ASSERT_TRUE(reply) << why;
  const auto titles = TitlesFor(reply->releases[0], "", 2);
  ASSERT_TRUE(titles);
  EXPECT_EQ(titles->year, "");
  ASSERT_EQ(titles->tracks.size(), 2u);
  // A track without a title of its own takes its recording's.
  EXPECT_EQ(titles->tracks[0].title, "first");
  EXPECT_EQ(titles->tracks[1].title, "second");
}

}  // namespace
}  // namespace sl::musicbrainz
