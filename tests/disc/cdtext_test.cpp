// The CD-Text decoder: packs built by the lead-in's rules (and a few
// published ones from real discs), then broken the ways drives and discs
// break them.
#include "disc/cdtext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/cdtext_builder.h"

namespace sl::test {
namespace {

using disc::CdText;
using disc::DecodeCdText;

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ' || text[i] == '\n') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::vector<std::uint8_t> WithHeader(const std::vector<std::uint8_t>& packs) {
  const std::size_t length = packs.size() + 2;
  std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                                  0, 0};
  reply.insert(reply.end(), packs.begin(), packs.end());
  return reply;
}

bool NotesMention(const CdText& t, const std::string& words) {
  return std::any_of(t.notes.begin(), t.notes.end(),
                     [&](const std::string& n) { return n.find(words) != std::string::npos; });
}

// Packs published with their CRCs: the size information and TOC packs of
// Sony's example in libburn's doc/cdtext.txt (Thomas Schmitt, libburnia),
// and the first packs of a real disc (Artifact303, "Back To Space") quoted
// in the comment of LeadInTextPack.java of a Java CD-Text reader
// (org.mars.cdtext) on GitHub.
const char* const kPublishedPacks[] = {
    "8f 00 2a 00 01 01 03 00 06 05 04 05 07 06 01 02 48 65",
    "8f 01 2b 00 00 00 00 00 00 00 06 03 2c 00 00 00 c0 20",
    "8f 02 2c 00 00 00 00 00 09 00 00 00 00 00 00 00 11 45",
    "88 01 24 00 00 02 00 04 0b 19 08 02 32 0b 2f 3e 67 2d",
    "89 07 2a 00 03 04 00 00 00 00 1c 1e 27 1c 2a 1e 72 20",
    "80 00 00 00 42 61 63 6B 20 54 6F 20 53 70 61 63 8C 23",
    "80 00 01 0C 65 00 4D 61 67 6E 65 74 69 63 20 46 D3 AF",
    "80 01 02 0A 69 65 6C 64 73 00 54 72 61 6E 63 65 B0 2C",
    "80 02 03 06 6D 69 73 73 69 6F 6E 00 54 68 65 79 C6 57",
    "8E 00 19 0C 38 00 00 00 00 00 00 00 00 00 00 00 3C E2",
};

TEST(CdTextDecoder, CrcMatchesPacksPublishedFromRealDiscs) {
  for (const char* text : kPublishedPacks) {
    const auto p = Hex(text);
    ASSERT_EQ(p.size(), 18u);
    EXPECT_EQ(disc::CdTextPackCrc({p.data(), 16}), (p[16] << 8) | p[17]) << text;
  }
}

TEST(CdTextDecoder, RealDiscPacksDecodeAndTheCutOffTitleIsLeftOut) {
  std::vector<std::uint8_t> packs;
  for (int i = 5; i <= 8; ++i) {
    const auto p = Hex(kPublishedPacks[i]);
    packs.insert(packs.end(), p.begin(), p.end());
  }
  const CdText t = DecodeCdText(WithHeader(packs));
  ASSERT_EQ(t.blocks.size(), 1u);
  const auto& b = t.blocks[0];
  EXPECT_EQ(b.characterCode, -1);  // no size information came with them
  EXPECT_EQ(b.Title(0), "Back To Space");
  EXPECT_EQ(b.Title(1), "Magnetic Fields");
  EXPECT_EQ(b.Title(2), "Trancemission");
  // Track 3's title runs on into a pack that is not there: never "They".
  EXPECT_EQ(b.Title(3), "");
  EXPECT_EQ(b.titles.size(), 3u);
  EXPECT_TRUE(NotesMention(t, "title of track 3: its end is missing"));
  EXPECT_TRUE(NotesMention(t, "no size information"));
}

TEST(CdTextDecoder, PublishedSizeInformationGivesCodeTracksAndLanguage) {
  std::vector<std::uint8_t> packs;
  for (int i = 0; i < 3; ++i) {
    const auto p = Hex(kPublishedPacks[i]);
    packs.insert(packs.end(), p.begin(), p.end());
  }
  const CdText t = DecodeCdText(WithHeader(packs));
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_EQ(t.blocks[0].characterCode, disc::kCdTextAscii);
  EXPECT_EQ(t.blocks[0].firstTrack, 1);
  EXPECT_EQ(t.blocks[0].lastTrack, 3);
  EXPECT_EQ(t.blocks[0].languageCode, disc::kCdTextEnglish);
  EXPECT_FALSE(t.blocks[0].HasText());
  EXPECT_EQ(t.Pick(), nullptr);
  EXPECT_TRUE(t.notes.empty());
}

TEST(CdTextDecoder, AsciiAndLatin1DiscsDecodeToUtf8) {
  CdTextBlockContent ascii;
  ascii.characterCode = disc::kCdTextAscii;
  ascii.titles = {"Joyful Nights", "Song of Joy", "Humpty Dumpty", "Mee Owwww"};
  ascii.performers = {"United Cat Orchestra", "Felix and The Purrs", "Catwalk Beauties", "Mia Kitten"};
  CdText t = DecodeCdText(CdTextReply({ascii}));
  EXPECT_TRUE(t.notes.empty()) << t.notes[0];
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_EQ(t.blocks[0].titles, ascii.titles);
  EXPECT_EQ(t.blocks[0].performers, ascii.performers);
  EXPECT_EQ(t.blocks[0].lastTrack, 3);

  CdTextBlockContent latin;  // bytes in ISO-8859-1
  latin.titles = {"Chansons d'\xC9t\xE9", "L'\xE9t\xE9 indien", "Gar\xE7on",
                  "\xDC"
                  "ber alles"};
  latin.performers = {"H\xE9l\xE8ne Dupr\xE8s"};
  t = DecodeCdText(CdTextReply({latin}));
  EXPECT_TRUE(t.notes.empty());
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_EQ(t.blocks[0].titles,
            (std::vector<std::string>{"Chansons d'Été", "L'été indien", "Garçon", "Über alles"}));
  EXPECT_EQ(t.blocks[0].performers, std::vector<std::string>{"Hélène Duprès"});

  // The same high bytes in a block that says ASCII are not text: that
  // title is left out, the others stay.
  latin.characterCode = disc::kCdTextAscii;
  t = DecodeCdText(CdTextReply({latin}));
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_EQ(t.blocks[0].titles, (std::vector<std::string>{}));  // all four have high bytes
  EXPECT_TRUE(NotesMention(t, "title of track 2: bytes that character code 0x01 does not allow"));
  latin.titles = {"Plain", "Caf\xE9", "Plain too"};
  t = DecodeCdText(CdTextReply({latin}));
  EXPECT_EQ(t.blocks[0].titles, (std::vector<std::string>{"Plain", "", "Plain too"}));

  // Control characters never reach the window.
  CdTextBlockContent control;
  control.titles = {"Disc", "Bell\x07", "Fine"};
  t = DecodeCdText(CdTextReply({control}));
  EXPECT_EQ(t.blocks[0].titles, (std::vector<std::string>{"Disc", "", "Fine"}));
}

TEST(CdTextDecoder, ShiftJisCharacterSplitAcrossPacksIsJoined) {
  CdTextBlockContent jp;
  jp.characterCode = disc::kCdTextMsJis;
  jp.language = disc::kCdTextJapanese;
  // "ABC" puts the lead byte of a two-byte character at the last byte of
  // the first pack: its trail byte opens the second.
  jp.titles = {ShiftJis("ABC夜明けの街角"), ShiftJis("星降る夜"), ShiftJis("Ｔｏｋｙｏ　ｂｌｕｅ")};
  jp.performers = {ShiftJis("星野みなと")};
  const auto packs = BuildCdTextPacks({jp});
  const std::string first12(packs[0].begin() + 4, packs[0].begin() + 16);
  ASSERT_EQ(first12.substr(0, 3), "ABC");
  ASSERT_EQ(static_cast<unsigned char>(first12[11]), 0x8A);  // lead byte of "街"
  ASSERT_EQ(packs[1][4], 0x58);                              // its trail byte
  const CdText t = DecodeCdText(CdTextReplyOf(packs));
  EXPECT_TRUE(t.notes.empty()) << t.notes[0];
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_EQ(t.blocks[0].characterCode, disc::kCdTextMsJis);
  EXPECT_EQ(t.blocks[0].titles,
            (std::vector<std::string>{"ABC夜明けの街角", "星降る夜", "Ｔｏｋｙｏ　ｂｌｕｅ"}));
  EXPECT_EQ(t.blocks[0].performers, std::vector<std::string>{"星野みなと"});

  // A text that does not decode as Shift-JIS is left out, not shown with
  // replacement characters.
  jp.titles = {ShiftJis("夜"), std::string("\x82\xFF\x82\xA0"), ShiftJis("朝")};
  const CdText bad = DecodeCdText(CdTextReply({jp}));
  EXPECT_EQ(bad.blocks[0].titles, (std::vector<std::string>{"夜", "", "朝"}));
  EXPECT_TRUE(NotesMention(bad, "title of track 1: bytes that character code 0x80 does not allow"));
}

TEST(CdTextDecoder, TabRepeatsThePreviousTracksText) {
  CdTextBlockContent single;
  single.titles = {"Disc", "One", "Two"};
  single.performers = {"Band", "\t", "\t", "Guest", "\t"};
  CdText t = DecodeCdText(CdTextReply({single}));
  EXPECT_EQ(t.blocks[0].performers, (std::vector<std::string>{"Band", "Band", "Band", "Guest", "Guest"}));

  CdTextBlockContent jp;
  jp.characterCode = disc::kCdTextMsJis;
  jp.titles = {ShiftJis("盤"), ShiftJis("一"), "\t\t", "\t\t"};
  t = DecodeCdText(CdTextReply({jp}));
  EXPECT_EQ(t.blocks[0].titles, (std::vector<std::string>{"盤", "一", "一", "一"}));

  // A repeat mark for the disc has nothing before it.
  single.performers = {"\t", "Solo"};
  t = DecodeCdText(CdTextReply({single}));
  EXPECT_EQ(t.blocks[0].performers, (std::vector<std::string>{"", "Solo"}));
  EXPECT_TRUE(NotesMention(t, "repeat mark with nothing before it"));
}

TEST(CdTextDecoder, TwoBlocksEnglishFirstJapaneseSecond) {
  CdTextBlockContent en;
  en.characterCode = disc::kCdTextAscii;
  en.titles = {"Dawn Street", "Falling Stars", "Tokyo Blue"};
  en.performers = {"Minato Hoshino"};
  CdTextBlockContent jp;
  jp.block = 1;
  jp.characterCode = disc::kCdTextMsJis;
  jp.language = disc::kCdTextJapanese;
  jp.titles = {ShiftJis("夜明けの街角"), ShiftJis("星降る夜"), ShiftJis("東京ブルー")};
  jp.performers = {ShiftJis("星野みなと")};
  const CdText t = DecodeCdText(CdTextReply({en, jp}));
  EXPECT_TRUE(t.notes.empty());
  ASSERT_EQ(t.blocks.size(), 2u);
  EXPECT_EQ(t.blocks[1].number, 1);
  EXPECT_EQ(t.blocks[1].languageCode, disc::kCdTextJapanese);
  EXPECT_EQ(t.blocks[1].Title(2), "東京ブルー");
  EXPECT_EQ(t.Pick()->number, 0);
  EXPECT_EQ(t.Pick(disc::kCdTextJapanese)->number, 1);
  EXPECT_EQ(t.Pick(0x08)->number, 0);  // no German block: block 0

  auto titles = disc::TitlesFromCdText(t, 2, disc::kCdTextJapanese);
  ASSERT_TRUE(titles);
  EXPECT_EQ(titles->block, 1);
  EXPECT_EQ(titles->artist, "星野みなと");
  EXPECT_EQ(titles->title, "夜明けの街角");
  EXPECT_EQ(titles->trackTitles, (std::vector<std::string>{"星降る夜", "東京ブルー"}));
  EXPECT_EQ(titles->trackPerformers, (std::vector<std::string>{"", ""}));
  titles = disc::TitlesFromCdText(t, 4);  // more tracks than texts: empty ones
  ASSERT_TRUE(titles);
  EXPECT_EQ(titles->trackTitles, (std::vector<std::string>{"Falling Stars", "Tokyo Blue", "", ""}));
  EXPECT_FALSE(disc::TitlesFromCdText(CdText{}, 3));
}

// A damaged pack costs exactly the texts it carried a part of.
TEST(CdTextDecoder, BadCrcSkipsThePackAndTheTextsItTouched) {
  CdTextBlockContent content;
  content.titles = {"Alpha", "Bravo-Bravo", "Charlie", "Delta-Delta-Delta", "Echo"};
  auto packs = BuildCdTextPacks({content});
  // Title bytes: "Alpha\0Bravo-" | "Bravo\0Charli" | "e\0Delta-Delta" ...
  ASSERT_EQ(packs[1][0], 0x80);
  packs[1][6] ^= 0x20;  // "Bravo" -> "BrAvo": the CRC no longer matches
  CdText t = DecodeCdText(CdTextReplyOf(packs));
  ASSERT_EQ(t.blocks.size(), 1u);
  // Bravo-Bravo ran into the bad pack, Charlie ran out of it.
  EXPECT_EQ(t.blocks[0].titles, (std::vector<std::string>{"Alpha", "", "", "Delta-Delta-Delta", "Echo"}));
  EXPECT_TRUE(NotesMention(t, "pack 1 (type 0x80, sequence 1): CRC does not match, skipped"));
  EXPECT_TRUE(NotesMention(t, "title of track 1: a pack before it is missing"));
  EXPECT_TRUE(NotesMention(t, "title of track 2: its beginning is missing"));

  // A damaged size-information pack: the character code is then taken
  // from the packs (single-byte: ISO-8859-1).
  packs = BuildCdTextPacks({content});
  packs[packs.size() - 3][5] ^= 1;
  t = DecodeCdText(CdTextReplyOf(packs));
  EXPECT_EQ(t.blocks[0].titles, content.titles);
  EXPECT_EQ(t.blocks[0].characterCode, -1);
}

TEST(CdTextDecoder, SequenceNumbersOrderThePacks) {
  CdTextBlockContent content;
  content.titles = {"A longer disc title", "First track title", "Second"};
  content.performers = {"Someone"};
  auto packs = BuildCdTextPacks({content});
  const CdText straight = DecodeCdText(CdTextReplyOf(packs));
  ASSERT_EQ(straight.blocks.size(), 1u);
  EXPECT_EQ(straight.blocks[0].titles, content.titles);

  // Out of order in the reply: the sequence numbers put them right.
  std::swap(packs[0], packs[2]);
  std::swap(packs[1], packs[4]);
  CdText t = DecodeCdText(CdTextReplyOf(packs));
  EXPECT_EQ(t.blocks[0].titles, content.titles);
  EXPECT_EQ(t.blocks[0].performers, content.performers);

  // A pack sent twice is taken once.
  packs = BuildCdTextPacks({content});
  packs.insert(packs.begin() + 2, packs[1]);
  t = DecodeCdText(CdTextReplyOf(packs));
  EXPECT_EQ(t.blocks[0].titles, content.titles);
  EXPECT_TRUE(NotesMention(t, "seen twice"));

  // A pack whose header names another track than the text in hand is not
  // joined to it.
  packs = BuildCdTextPacks({content});
  packs[1][1] = 2;
  SealCdTextPack(packs[1]);
  t = DecodeCdText(CdTextReplyOf(packs));
  EXPECT_EQ(t.blocks[0].Title(0), "");
  EXPECT_NE(t.blocks[0].Title(1), content.titles[1]);
}

TEST(CdTextDecoder, TruncatedAndOversizeRepliesAreBounded) {
  CdTextBlockContent content;
  content.titles = {"Disc", "One", "Two", "A title long enough to need a second pack"};
  const auto full = CdTextReply({content});

  EXPECT_TRUE(DecodeCdText({}).blocks.empty());
  EXPECT_TRUE(DecodeCdText(std::vector<std::uint8_t>{0, 2, 0, 0}).blocks.empty());
  const CdText tiny = DecodeCdText(std::vector<std::uint8_t>{0, 2});
  EXPECT_TRUE(tiny.blocks.empty());
  EXPECT_TRUE(NotesMention(tiny, "shorter than its header"));

  // Cut inside the fourth pack: three whole packs, the long title lost.
  std::vector<std::uint8_t> cut(full.begin(), full.begin() + 4 + 3 * 18 + 7);
  CdText t = DecodeCdText(cut);
  EXPECT_TRUE(NotesMention(t, "header announces"));
  EXPECT_TRUE(NotesMention(t, "7 bytes after the last whole pack"));
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_EQ(t.blocks[0].titles, (std::vector<std::string>{"Disc", "One", "Two"}));

  // A header claiming the largest length over a short reply.
  auto claims = full;
  claims[0] = claims[1] = 0xFF;
  t = DecodeCdText(claims);
  EXPECT_EQ(t.blocks[0].titles, content.titles);
  EXPECT_TRUE(NotesMention(t, "header announces 65533 bytes"));

  // More packs than eight blocks hold: the rest is not even looked at.
  std::vector<std::uint8_t> flood(4 + (disc::kCdTextMaxPacks + 10) * 18, 0);
  flood[0] = flood[1] = 0xFF;
  for (std::size_t i = 0; i < disc::kCdTextMaxPacks + 10; ++i) {
    CdTextPack p{0x80, 0, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>((i / 256 % 8) << 4), 'x'};
    SealCdTextPack(p);
    std::copy(p.begin(), p.end(), flood.begin() + 4 + static_cast<std::ptrdiff_t>(i * 18));
  }
  t = DecodeCdText(flood);
  EXPECT_LE(t.blocks.size(), 8u);
  EXPECT_LE(t.notes.size(), disc::kCdTextMaxNotes);
  for (const auto& b : t.blocks) EXPECT_LE(b.titles.size(), 100u);
}

TEST(CdTextDecoder, PacksTheDecoderCannotTrustAreSkipped) {
  CdTextBlockContent content;
  content.titles = {"Disc", "One"};
  auto packs = BuildCdTextPacks({content});

  // A reply without CRCs (some drives leave the field empty) is taken.
  auto bare = packs;
  for (auto& p : bare) p[16] = p[17] = 0;
  CdText t = DecodeCdText(CdTextReplyOf(bare));
  EXPECT_EQ(t.blocks[0].titles, content.titles);
  EXPECT_TRUE(NotesMention(t, "no pack carries a CRC"));

  // Extension packs, track numbers past 99 and other pack types.
  auto odd = packs;
  odd[0][1] = 0x80;
  SealCdTextPack(odd[0]);
  CdTextPack junk{0x42};
  SealCdTextPack(junk);
  odd.push_back(junk);
  t = DecodeCdText(CdTextReplyOf(odd));
  EXPECT_TRUE(NotesMention(t, "track number 0x80, skipped"));
  EXPECT_TRUE(NotesMention(t, "type 0x42 is no CD-Text pack"));
  EXPECT_EQ(t.blocks[0].Title(0), "");

  // A character code the program does not read (Korean): no text at all.
  content.characterCode = 0x81;
  t = DecodeCdText(CdTextReply({content}));
  ASSERT_EQ(t.blocks.size(), 1u);
  EXPECT_FALSE(t.blocks[0].HasText());
  EXPECT_TRUE(NotesMention(t, "character code 0x81"));
}

}  // namespace
}  // namespace sl::test
