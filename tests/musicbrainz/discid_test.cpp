// The disc's MusicBrainz identity. The expected IDs were worked out apart
// from libdiscid (SHA-1 over the hexadecimal TOC, MusicBrainz's Base64
// alphabet), so these tests check which TOC the room hands the library.
#include <gtest/gtest.h>

#include <vector>

#include "musicbrainz/musicbrainz.h"

namespace sl::musicbrainz {
namespace {

disc::MsfAddress Msf(int frames) { return {frames / 4500, frames / 75 % 60, frames % 75}; }

// Track starts then the lead-out, in frames.
disc::DiscToc TocOf(const std::vector<int>& frames, int lastSessionFirstTrack = 0) {
  disc::DiscToc toc;
  toc.TrackCount = static_cast<int>(frames.size()) - 1;
  for (std::size_t i = 0; i < frames.size(); ++i) toc.Entries[i] = Msf(frames[i]);
  toc.LastSessionFirstTrack = lastSessionFirstTrack;
  return toc;
}

disc::DiscToc TocText(const char* text) {
  std::string why;
  auto toc = disc::ParseTocText(text, 0, why);
  EXPECT_TRUE(toc) << why;
  return toc.value_or(disc::DiscToc{});
}

DiscIdentity Identify(const disc::DiscToc& toc) {
  std::string why;
  auto id = IdentifyDisc(toc, why);
  EXPECT_TRUE(id) << why;
  return id.value_or(DiscIdentity{});
}

TEST(DiscIdentity, PublishedExampleGivesTheDocumentedId) {
  // The six-track CD of MusicBrainz's "Disc ID Calculation" page.
  const DiscIdentity id = Identify(TocOf({150, 15363, 32314, 46592, 63414, 80489, 95462}));
  EXPECT_EQ(id.discId, "49HHV7Eb8UKF3aQiNmu1GR8vKTY-");
  EXPECT_EQ(id.toc, "1 6 95462 150 15363 32314 46592 63414 80489");
  EXPECT_EQ(id.trackCount, 6);
  EXPECT_NE(id.submissionUrl.find("id=49HHV7Eb8UKF3aQiNmu1GR8vKTY-"), std::string::npos) << id.submissionUrl;
  EXPECT_EQ(id.submissionUrl.rfind("https://", 0), 0u) << id.submissionUrl;
  EXPECT_NE(id.submissionUrl.find("tracks=6"), std::string::npos) << id.submissionUrl;
}

TEST(DiscIdentity, DemoDiscsGiveTheirIds) {
  struct Case {
    const char* toc;
    const char* id;
    const char* tocString;
  } cases[] = {
      {"0:02:00 4:08:30 7:49:37 10:12:12", "YC1Jm6bx7PJhJhuXvkzjpbLftoE-", "1 3 45912 150 18630 35212"},
      {"0:02:00 4:31:12 8:58:40 13:02:05 17:45:33 21:20:01 25:59:70 30:11:22 34:40:15 38:52:60 43:10:11 "
       "47:33:44 52:08:30",
       "QR_7w77PjDejS4..I_VMRFluI_A-",
       "1 12 234630 150 20337 40390 58655 79908 96001 116995 135847 156015 174960 194261 214019"},
      {"0:02:00 5:12:40 9:45:10 14:20:55 19:02:33 23:41:12", "vtgTVJZJYxdiunqaF9niwvx288E-",
       "1 5 106587 150 23440 43885 64555 85683"},
  };
  for (const Case& c : cases) {
    const DiscIdentity id = Identify(TocText(c.toc));
    EXPECT_EQ(id.discId, c.id) << c.toc;
    EXPECT_EQ(id.toc, c.tocString) << c.toc;
  }
}

TEST(DiscIdentity, EnhancedCdNamesItsAudioSessionOnly) {
  // Four audio tracks, a data track at 90000 in the second session: the
  // audio session ends 11,400 frames before it.
  const disc::DiscToc toc = TocOf({150, 20000, 40000, 60000, 90000, 120000}, 5);
  const DiscIdentity id = Identify(toc);
  EXPECT_EQ(id.toc, "1 4 78600 150 20000 40000 60000");
  EXPECT_EQ(id.discId, "OH15fKefmecth4Kw1Dj0YdbVSa0-");
  EXPECT_EQ(id.trackCount, 4);

  // A last-session track beyond the disc's tracks is no second session.
  const DiscIdentity whole = Identify(TocOf({150, 20000, 40000, 60000, 90000, 120000}, 9));
  EXPECT_EQ(whole.toc, "1 5 120000 150 20000 40000 60000 90000");
}

TEST(DiscIdentity, IgnoresEntriesBeyondTheLeadOut) {
  disc::DiscToc toc = TocOf({150, 20000});
  // An earlier, longer disc left its entries behind.
  for (std::size_t k = 2; k < toc.Entries.size(); ++k)
    toc.Entries[k] = Msf(30000 + static_cast<int>(k) * 100);
  const DiscIdentity id = Identify(toc);
  EXPECT_EQ(id.toc, "1 1 20000 150");
  EXPECT_EQ(id.discId, "vqTXXJKiuhBULri5fBp9_cTNgIo-");
}

TEST(DiscIdentity, RefusesTocsWithoutAnAudioTrack) {
  std::string why;
  EXPECT_FALSE(IdentifyDisc(disc::DiscToc{}, why));
  EXPECT_FALSE(why.empty());
  // The second session starts at track 1: nothing before it is audio.
  EXPECT_FALSE(IdentifyDisc(TocOf({150, 20000, 40000}, 1), why));
  // The data session starts too soon after the last audio track for the
  // audio session's lead-out to follow that track.
  EXPECT_FALSE(IdentifyDisc(TocOf({150, 20000, 25000, 40000}, 3), why));
  // Track starts that do not rise.
  disc::DiscToc falling = TocOf({150, 20000, 40000});
  falling.Entries[1] = Msf(100);
  EXPECT_FALSE(IdentifyDisc(falling, why));
  disc::DiscToc tooMany = TocOf({150, 20000});
  tooMany.TrackCount = 100;
  EXPECT_FALSE(IdentifyDisc(tooMany, why));
}

}  // namespace
}  // namespace sl::musicbrainz
