// Disc ID, query text, local key and TOC reply checks.
#include <gtest/gtest.h>

#include <algorithm>

#include <iomanip>
#include <random>
#include <sstream>
#include <vector>

#include "disc/disc.h"

namespace sl::disc {
namespace {

MsfAddress FromFrames(int frames) { return {frames / 4500, (frames / 75) % 60, frames % 75}; }

// A TOC from absolute frame offsets: the tracks, then the lead-out.
DiscToc TocOf(const std::vector<int>& frames, int lastSessionFirstTrack = 0) {
  DiscToc toc;
  toc.TrackCount = static_cast<int>(frames.size()) - 1;
  for (std::size_t k = 0; k < frames.size(); ++k) toc.Entries[k] = FromFrames(frames[k]);
  toc.LastSessionFirstTrack = lastSessionFirstTrack;
  return toc;
}

// The disc ID and query computed straight from the frame offsets, the way a
// CDDB client documents it: seconds are offset / 75, the checksum adds the
// decimal digits of each track's seconds, modulo 255.
std::string ExpectedQuery(const std::vector<int>& frames, std::uint32_t* idOut = nullptr) {
  const std::size_t n = frames.size() - 1;
  unsigned sum = 0;
  for (std::size_t k = 0; k < n; ++k)
    for (char c : std::to_string(frames[k] / 75)) sum += static_cast<unsigned>(c - '0');
  unsigned length = static_cast<unsigned>(frames[n] / 75 - frames[0] / 75);
  std::uint32_t id = ((sum % 255) << 24) | (length << 8) | static_cast<unsigned>(n);
  if (idOut) *idOut = id;
  std::ostringstream q;
  q << "cmd=cddb+query+" << std::uppercase << std::hex << std::setw(8) << std::setfill('0') << id << std::dec
    << "+" << n;
  for (std::size_t k = 0; k < n; ++k) q << "+" << frames[k];
  q << "+" << frames[n] / 75;
  return q.str();
}

TEST(DiscId, WorkedExampleAndDemoDiscs) {
  DiscToc rock = TocOf({150, 18630, 35212, 45912});
  EXPECT_EQ(rock.Entries[1].Minute, 4);
  EXPECT_EQ(rock.Entries[1].Second, 8);
  EXPECT_EQ(rock.Entries[1].Frame, 30);
  EXPECT_EQ(Seconds(rock.Entries[2]), 469);
  EXPECT_EQ(DigitSum(248), 14);
  EXPECT_EQ(DigitSum(469), 19);
  EXPECT_EQ(DigitSum(0), 0);
  EXPECT_EQ(DigitSum(-15), 0);
  EXPECT_EQ(CalcDiscId(rock, 3), 0x23026203u);
  EXPECT_EQ(DiscIdHex(0x23026203u), "23026203");
  EXPECT_EQ(DiscIdHex(0xAu), "0000000A");
  EXPECT_EQ(DiscIdHex(0x990C360Cu), "990C360C");
  EXPECT_EQ(DiscIdFields(rock, ' '), "23026203 3 150 18630 35212 612");
  EXPECT_EQ(QueryCommandFor(rock), "cmd=cddb+query+23026203+3+150+18630+35212+612");

  // The other two demo discs (the simulated drives file holds the same TOCs).
  DiscToc jpop;
  jpop.TrackCount = 12;
  const MsfAddress j[] = {{0, 2, 0},    {4, 31, 12},  {8, 58, 40},  {13, 2, 5},   {17, 45, 33},
                          {21, 20, 1},  {25, 59, 70}, {30, 11, 22}, {34, 40, 15}, {38, 52, 60},
                          {43, 10, 11}, {47, 33, 44}, {52, 8, 30}};
  std::copy(std::begin(j), std::end(j), jpop.Entries.begin());
  EXPECT_EQ(QueryCommandFor(jpop),
            "cmd=cddb+query+990C360C+12+150+20337+40390+58655+79908+96001+116995+135847+156015+174960+"
            "194261+214019+3128");
  DiscToc multi;
  multi.TrackCount = 5;
  const MsfAddress m[] = {{0, 2, 0}, {5, 12, 40}, {9, 45, 10}, {14, 20, 55}, {19, 2, 33}, {23, 41, 12}};
  std::copy(std::begin(m), std::end(m), multi.Entries.begin());
  EXPECT_EQ(QueryCommandFor(multi), "cmd=cddb+query+30058B05+5+150+23440+43885+64555+85683+1421");

  // No tracks: ID 0 and no offsets; counts outside 1..99 never index the table.
  DiscToc empty;
  EXPECT_EQ(CalcDiscId(empty, 0), 0u);
  EXPECT_EQ(DiscIdFields(empty, ' '), "00000000 0");
  EXPECT_EQ(QueryCommandFor(empty), "cmd=cddb+query+00000000+0");
  EXPECT_EQ(CalcDiscId(rock, 100), 0u);
  EXPECT_EQ(CalcDiscId(rock, -1), 0u);
}

TEST(DiscId, ChecksumWrapsModulo255) {
  // Seven tracks of 5999 s (digit sum 32) and one of 5998 s (31): total 255.
  std::vector<int> frames(8, 5999 * 75);
  frames[7] = 5998 * 75;
  frames.push_back(6000 * 75);
  DiscToc toc = TocOf(frames);
  EXPECT_EQ(CalcDiscId(toc, 8) >> 24, 0u);
  toc.Entries[7] = FromFrames(5999 * 75);  // total 256
  EXPECT_EQ(CalcDiscId(toc, 8) >> 24, 1u);
}

TEST(DiscId, MatchesStraightComputationOverGeneratedTocs) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 2000; ++round) {
    const int tracks = round < 99 ? round + 1 : std::uniform_int_distribution<int>(1, 99)(rng);
    std::vector<int> frames;
    int at = std::uniform_int_distribution<int>(150, 400)(rng);
    for (int k = 0; k <= tracks; ++k) {
      frames.push_back(at);
      at += std::uniform_int_distribution<int>(75 * 4, 75 * 80)(rng);
    }
    if (frames.back() >= 100 * 4500) continue;  // beyond what MSF holds
    // Single- and multi-session discs give the same ID and query.
    int lsft = round % 3 == 0 ? std::uniform_int_distribution<int>(1, tracks)(rng) : 0;
    DiscToc toc = TocOf(frames, lsft);
    std::uint32_t id = 0;
    std::string expected = ExpectedQuery(frames, &id);
    ASSERT_EQ(CalcDiscId(toc, tracks), id) << "tracks " << tracks << " round " << round;
    ASSERT_EQ(QueryCommandFor(toc), expected);
    // The cd-discid line is the same fields, blank-separated.
    std::string line = expected.substr(std::string("cmd=cddb+query+").size());
    std::replace(line.begin(), line.end(), '+', ' ');
    ASSERT_EQ(DiscIdFields(toc, ' '), line);
  }
}

TEST(LocalDiscKey, SumsPackedAddressesAndAddsLengthForShortDiscs) {
  std::int32_t counted = -1;
  // Three tracks: the packed addresses only.
  DiscToc three = TocOf({150, 18630, 35212, 45912});
  EXPECT_EQ(CalcLocalDiscKey(three, counted), 512u + 264222u + 471333u);
  EXPECT_EQ(counted, 3);

  // One track: packed address plus the frames up to the lead-out.
  DiscToc one = TocOf({150, 45912});
  EXPECT_EQ(CalcLocalDiscKey(one, counted), 512u + (45912u - 150u));
  EXPECT_EQ(counted, 1);

  // Two tracks: also the Frame of track 1.
  DiscToc two = TocOf({155, 18630, 45912});
  EXPECT_EQ(CalcLocalDiscKey(two, counted), 517u + 264222u + 5u + (45912u - 155u));
  EXPECT_EQ(counted, 2);

  // Two sessions, the last starting at track 11 of 11: tracks 1-11, no length.
  std::vector<int> eleven;
  for (int k = 0; k <= 11; ++k) eleven.push_back(150 + k * 15000);
  DiscToc ms = TocOf(eleven, 11);
  std::uint32_t sum = 0;
  for (int k = 0; k < 11; ++k) {
    MsfAddress a = FromFrames(eleven[static_cast<std::size_t>(k)]);
    sum += static_cast<std::uint32_t>(a.Minute * 65536 + a.Second * 256 + a.Frame);
  }
  EXPECT_EQ(CalcLocalDiscKey(ms, counted), sum);
  EXPECT_EQ(counted, 11);

  // Last session from track 2 of 5: counts 2 tracks and closes with entry 2.
  DiscToc ms2 = TocOf({155, 18630, 35212, 40000, 42000, 45912}, 2);
  EXPECT_EQ(CalcLocalDiscKey(ms2, counted), 517u + 264222u + 5u + (35212u - 155u));
  EXPECT_EQ(counted, 2);

  // A first-track value beyond the table never reads past it.
  DiscToc bad = three;
  bad.LastSessionFirstTrack = 250;
  CalcLocalDiscKey(bad, counted);
  EXPECT_EQ(counted, 99);
  bad.LastSessionFirstTrack = 0;
  bad.TrackCount = 1000;
  CalcLocalDiscKey(bad, counted);
  EXPECT_EQ(counted, 99);
}

// A READ TOC (format 0, MSF) reply for the given frame offsets.
std::vector<std::uint8_t> TocReply(const std::vector<int>& frames, int firstTrack = 1) {
  const int n = static_cast<int>(frames.size()) - 1;
  std::vector<std::uint8_t> r = {0, 0, static_cast<std::uint8_t>(firstTrack),
                                 static_cast<std::uint8_t>(firstTrack + n - 1)};
  for (int k = 0; k <= n; ++k) {
    MsfAddress a = FromFrames(frames[static_cast<std::size_t>(k)]);
    r.insert(r.end(), {0, 0x10, static_cast<std::uint8_t>(k == n ? 0xAA : firstTrack + k), 0, 0,
                       static_cast<std::uint8_t>(a.Minute), static_cast<std::uint8_t>(a.Second),
                       static_cast<std::uint8_t>(a.Frame)});
  }
  r[0] = static_cast<std::uint8_t>((r.size() - 2) >> 8);
  r[1] = static_cast<std::uint8_t>(r.size() - 2);
  return r;
}

TEST(TocReply, AcceptsSoundRepliesOnly) {
  const std::vector<int> frames = {150, 18630, 35212, 45912};
  DiscToc toc;
  toc.Entries[5] = {9, 9, 9};  // left by an earlier disc
  auto good = TocReply(frames);
  good.resize(2048, 0);  // the rest of the buffer
  ASSERT_TRUE(ParseTocReply(good, toc));
  EXPECT_EQ(toc.TrackCount, 3);
  EXPECT_EQ(FrameOffset(toc.Entries[3]), 45912);
  EXPECT_EQ(toc.Entries[5].Minute, 9);

  // Every rejected reply leaves the TOC as it was.
  const DiscToc before = toc;
  auto rejects = [&](std::vector<std::uint8_t> reply, const char* what) {
    DiscToc t = before;
    EXPECT_FALSE(ParseTocReply(reply, t)) << what;
    EXPECT_EQ(t.TrackCount, before.TrackCount) << what;
    EXPECT_EQ(FrameOffset(t.Entries[1]), FrameOffset(before.Entries[1])) << what;
  };
  rejects({}, "empty");
  rejects({0, 0x12, 1}, "header cut short");
  auto cut = TocReply(frames);
  cut.resize(cut.size() - 1);
  rejects(cut, "lead-out cut short");
  auto lying = TocReply(frames);
  lying.resize(2048, 0);
  lying[1] = 0x12;  // the length field covers two descriptors only
  rejects(lying, "length field too small");
  auto zeros = std::vector<std::uint8_t>(2048, 0);
  zeros[1] = 0x1A;
  zeros[2] = 1;
  zeros[3] = 2;  // claims two tracks, descriptors all zero
  rejects(zeros, "zero descriptors");
  rejects(TocReply(frames, 2), "first track 2");
  std::vector<int> many;
  for (int k = 0; k <= 100; ++k) many.push_back(150 + 1000 * k);
  rejects(TocReply(many), "100 tracks");
  auto badSecond = TocReply(frames);
  badSecond[4 + 8 + 6] = 60;
  rejects(badSecond, "second 60");
  auto badFrame = TocReply(frames);
  badFrame[4 + 8 + 7] = 75;
  rejects(badFrame, "frame 75");
  rejects(TocReply({150, 35212, 18630, 45912}), "addresses going back");
  auto noLeadOut = TocReply(frames);
  noLeadOut[4 + 3 * 8 + 2] = 4;
  rejects(noLeadOut, "lead-out numbered as a track");

  // The largest sound TOC: 99 tracks.
  std::vector<int> max(many.begin(), many.end() - 1);
  ASSERT_TRUE(ParseTocReply(TocReply(max), toc));
  EXPECT_EQ(toc.TrackCount, 99);
  EXPECT_EQ(FrameOffset(toc.Entries[99]), max.back());
}

}  // namespace
}  // namespace sl::disc
