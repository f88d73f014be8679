// The submission's check and the xmcd entry it sends, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "mainform/outcome_texts.h"
#include "submit/submit.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"
#include "text/codepage.h"

namespace sl::submit {
namespace {

disc::DiscToc Toc(std::vector<disc::MsfAddress> addresses) {
  disc::DiscToc toc;
  toc.TrackCount = static_cast<int>(addresses.size()) - 1;
  for (std::size_t k = 0; k < addresses.size(); ++k) toc.Entries[k] = addresses[k];
  return toc;
}

// The 3-track disc 23026203: 0:02:00 4:08:30 7:49:37, lead-out 10:12:12.
disc::DiscToc ThreeTracks() { return Toc({{0, 2, 0}, {4, 8, 30}, {7, 49, 37}, {10, 12, 12}}); }

shell::TrackTitleTable Table(int tracks) {
  shell::TrackTitleTable t;
  t.SetRowCount(tracks + 1);
  t.SetCategory("rock");
  t.SetArtist("Artist");
  t.SetTitle("Title");
  for (int row = 1; row <= tracks; ++row) t.SetCell(1, row, "Song " + std::to_string(row));
  return t;
}

class Submission : public ::testing::Test {
 protected:
  test::ScopedEnv env;
  test::ScopedCodePage codePage;  // the default one
};

TEST_F(Submission, EntryLineByLineWithAndWithoutTrackArtists) {
  shell::TrackTitleTable t = Table(3);
  t.SetYear("1999");
  t.SetGenre("Hard Rock");
  t.SetCell(2, 2, "Guest");
  EXPECT_EQ(BuildSubmissionEntry(ThreeTracks(), t).Text(),
            "# xmcd\r\n"
            "# \r\n"
            "# Track frame offsets:\r\n"
            "#\t150\r\n"
            "#\t18630\r\n"
            "#\t35212\r\n"
            "# \r\n"
            "# Disc length: 612 seconds\r\n"
            "# \r\n"
            "# Revision: 0\r\n"
            "# Submitted via: SLB ver.1.311\r\n"
            "# \r\n"
            "DISCID=23026203\r\n"
            "DTITLE=Artist / Title\r\n"
            "DYEAR=1999\r\n"
            "DGENRE=Hard Rock\r\n"
            "TTITLE0=Song 1\r\n"
            "TTITLE1=Guest / Song 2\r\n"
            "TTITLE2=Song 3\r\n"
            "EXTD=\r\n"
            "EXTT0=\r\n"
            "EXTT1=\r\n"
            "EXTT2=\r\n"
            "PLAYORDER=\r\n");
}

TEST_F(Submission, OneTrackDiscWithEmptyYearAndGenreAndALowDiscId) {
  // One track at 2 s on a 4 s disc: disc ID 02000201, below 10000000
  // hexadecimal, keeps its leading zero.
  const disc::DiscToc toc = Toc({{0, 2, 0}, {0, 4, 0}});
  shell::TrackTitleTable t = Table(1);
  const auto lines = BuildSubmissionEntry(toc, t).lines;
  const std::string id = disc::DiscIdHex(disc::CalcDiscId(toc, 1));
  ASSERT_EQ(id, "02000201");
  EXPECT_EQ(lines, (std::vector<std::string>{"# xmcd", "# ", "# Track frame offsets:", "#\t150", "# ",
                                             "# Disc length: 4 seconds", "# ", "# Revision: 0",
                                             "# Submitted via: SLB ver.1.311", "# ", "DISCID=" + id,
                                             "DTITLE=Artist / Title", "DYEAR=", "DGENRE=", "TTITLE0=Song 1",
                                             "EXTD=", "EXTT0=", "PLAYORDER="}));
}

TEST_F(Submission, UpperCaseHexDiscId) {
  // 12 tracks of the demo disc 990C360C.
  const disc::DiscToc toc = Toc({{0, 2, 0},
                                 {4, 31, 12},
                                 {8, 58, 40},
                                 {13, 2, 5},
                                 {17, 45, 33},
                                 {21, 20, 1},
                                 {25, 59, 70},
                                 {30, 11, 22},
                                 {34, 40, 15},
                                 {38, 52, 60},
                                 {43, 10, 11},
                                 {47, 33, 44},
                                 {52, 8, 30}});
  const std::string text = BuildSubmissionEntry(toc, Table(12)).Text();
  const std::string id = disc::DiscIdHex(disc::CalcDiscId(toc, 12));
  EXPECT_NE(id.find_first_of("ABCDEF"), std::string::npos);
  EXPECT_NE(text.find("\r\nDISCID=" + id + "\r\n"), std::string::npos);
}

TEST_F(Submission, ShiftJisEntryForADoubleByteServer) {
  shell::TrackTitleTable t = Table(2);
  t.SetArtist("山田");
  t.SetTitle("春の歌");
  t.SetCell(1, 1, "花");
  t.SetCell(2, 2, "ｱｰﾃｨｽﾄ");
  ASSERT_TRUE(CheckSubmitData(t, 2).ok);
  const std::string text = BuildSubmissionEntry(Toc({{0, 2, 0}, {4, 8, 30}, {10, 12, 12}}), t).Text();
  const std::string tail = text.substr(text.find("DTITLE="));
  EXPECT_EQ(tail,
            "DTITLE=\x8E\x52\x93\x63 / \x8F\x74\x82\xCC\x89\xCC\r\n"
            "DYEAR=\r\n"
            "DGENRE=\r\n"
            "TTITLE0=\x89\xD4\r\n"
            "TTITLE1=\xB1\xB0\xC3\xA8\xBD\xC4 / Song 2\r\n"
            "EXTD=\r\nEXTT0=\r\nEXTT1=\r\nPLAYORDER=\r\n");
}

TEST_F(Submission, LongValuesContinueOnLinesOfTheSameKeyword) {
  shell::TrackTitleTable t = Table(2);
  // "表" is 95 5C in Shift-JIS: its second byte is "\" and must never be cut
  // off its first.
  std::string longTitle = "x";
  for (int i = 0; i < 300; ++i) longTitle += "表";
  t.SetCell(1, 1, longTitle);
  std::string exact(254 - 8, 'a');  // "TTITLE1=" + 246 bytes + CR LF = 256
  t.SetCell(1, 2, exact);
  const auto lines = BuildSubmissionEntry(ThreeTracks(), t).lines;

  std::string joined;
  int parts = 0;
  for (const auto& line : lines) {
    EXPECT_LE(line.size() + 2, kMaxLineBytes) << line.substr(0, 20);
    if (line.rfind("TTITLE0=", 0) != 0) continue;
    ++parts;
    const std::string part = line.substr(8);
    // Each part decodes on its own, without a replacement character.
    EXPECT_EQ(text::FromExternal(part).find("\xEF\xBF\xBD"), std::string::npos);
    joined += part;
  }
  EXPECT_EQ(parts, 3);  // 601 bytes in parts of at most 246
  EXPECT_EQ(text::FromExternal(joined), longTitle);
  // A value that just fits stays on one line.
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "TTITLE1=" + exact), 1);
}

TEST_F(Submission, ValidationByServerCodeAndCharacterWidth) {
  struct Row {
    const char* text;
    int code;
    bool ok;
  } rows[] = {
      {"山田", 0, false},  {"山田", 1, false},       {"山田", 2, true},      {"ｱｰﾃｨｽﾄ", 0, true},
      {"ｱｰﾃｨｽﾄ", 1, true}, {"ｱｰﾃｨｽﾄ", 2, true},      {"Artist", 0, true},    {"Artist", 1, true},
      {"Artist", 2, true}, {"Mixed 山 ｱ", 1, false}, {"Ｆｕｌｌ", 1, false}, {"Ｆｕｌｌ", 3, true},
  };
  // The text in each checked place: disc artist, disc title, a track title,
  // a track artist.
  for (int place = 0; place < 4; ++place) {
    for (const auto& r : rows) {
      shell::TrackTitleTable t = Table(3);
      if (place == 0) t.SetArtist(r.text);
      if (place == 1) t.SetTitle(r.text);
      if (place == 2) t.SetCell(1, 3, r.text);
      if (place == 3) t.SetCell(2, 2, r.text);
      EXPECT_EQ(CheckSubmitData(t, r.code).ok, r.ok) << place << " " << r.text << " " << r.code;
    }
  }
  // The genre is not held to single-byte text.
  shell::TrackTitleTable t = Table(1);
  t.SetYear("2001");
  t.SetGenre("邦楽");
  EXPECT_TRUE(CheckSubmitData(t, 1).ok);
  // The refusal names the double-byte characters, each once.
  t.SetArtist("山田山");
  const CheckResult c = CheckSubmitData(t, 1);
  EXPECT_EQ(c.doubleByte, (std::vector<std::string>{"山", "田"}));
  EXPECT_EQ(mainform::CheckFailureText(c),
            "入力漏れがあるか全角文字があります。\n「山」(U+5C71) はこのサーバに送れない全角文字です。"
            "\n「田」(U+7530) はこのサーバに送れない全角文字です。");
}

// The year is empty or up to four digits, the category one of the eleven
// CDDB categories; anything else is refused with the field named.
TEST_F(Submission, YearAndCategoryForms) {
  const struct {
    const char* year;
    const char* category;
    bool ok;
    const char* named;
  } rows[] = {
      {"", "rock", true, ""},
      {"1999", "blues", true, ""},
      {"7", "soundtrack", true, ""},
      {"0042", "misc", true, ""},
      {"abc", "rock", false, "年（DYEAR）「abc」は空欄か4桁までの数字にしてください。"},
      {"1999年", "rock", false, "年（DYEAR）「1999年」は空欄か4桁までの数字にしてください。"},
      {"19999", "rock", false, "年（DYEAR）「19999」"},
      {" 1999", "rock", false, "年（DYEAR）「 1999」"},
      {"-1", "rock", false, "年（DYEAR）「-1」"},
      {"1999", "Rock", false,
       "カテゴリ「Rock」はCDDBのカテゴリ（blues, classical, country, data, folk, "
       "jazz, misc, newage, reggae, rock, soundtrack）ではありません。"},
      {"1999", "", false, "カテゴリ「」"},
      {"1999", "ロック", false, "カテゴリ「ロック」"},
      {"1999", "pop", false, "カテゴリ「pop」"},
  };
  for (const auto& r : rows) {
    shell::TrackTitleTable t = Table(1);
    t.SetYear(r.year);
    t.SetCategory(r.category);
    const CheckResult c = CheckSubmitData(t, 2);
    EXPECT_EQ(c.ok, r.ok) << r.year << " " << r.category;
    EXPECT_NE(mainform::CheckFailureText(c).find(r.named), std::string::npos)
        << mainform::CheckFailureText(c);
  }
  for (const char* category : kCategories) EXPECT_TRUE(IsCddbCategory(category)) << category;
}

// A long value is cut where the line is full, but never inside " / " and
// never inside a character of the encoding sent: wherever the separator
// falls, one line holds it whole, so a reader that splits artist and title
// line by line still finds both.
TEST_F(Submission, LineCutsKeepTheSeparatorAndCharactersWhole) {
  auto latin1 = [](std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
      const auto c = static_cast<unsigned char>(utf8[i]);
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
        out += static_cast<char>(((c & 3) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
      } else {
        throw text::CodePageError("not Latin-1");
      }
    }
    return out;
  };
  const struct {
    const char* name;
    Encoder encode;
    std::string unit;  // one character
    std::size_t unitBytes;
  } encodings[] = {
      {"Latin-1", latin1, "é", 1},
      {"UTF-8", Utf8Encoder(), "é", 2},
      {"Shift-JIS", ExternalEncoder(), "表", 2},
      {"UTF-8 kana", Utf8Encoder(), "か", 3},
  };
  // "TTITLE0=" leaves 246 bytes a line: the separator starts at 243 to 247.
  for (const auto& e : encodings) {
    for (std::size_t start = 240; start <= 248; ++start) {
      SCOPED_TRACE(std::string(e.name) + " separator at byte " + std::to_string(start));
      std::string artist;
      std::size_t bytes = 0;
      while (bytes + e.unitBytes <= start) {
        artist += e.unit;
        bytes += e.unitBytes;
      }
      artist += std::string(start - bytes, 'a');
      shell::TrackTitleTable t = Table(1);
      t.SetCell(2, 1, artist);
      t.SetCell(1, 1, "Title " + e.unit + e.unit);
      const auto lines = BuildSubmissionEntry(Toc({{0, 2, 0}, {4, 8, 30}}), t, e.encode).lines;
      std::string joined;
      int holding = 0;
      for (const auto& line : lines) {
        EXPECT_LE(line.size() + 2, kMaxLineBytes);
        if (line.rfind("TTITLE0=", 0) != 0) continue;
        joined += line.substr(8);
        if (line.find(" / ") != std::string::npos) ++holding;
      }
      EXPECT_EQ(joined, e.encode(artist + " / Title " + e.unit + e.unit));
      EXPECT_EQ(holding, 1);
    }
  }
}

// A correction sends the entry's own EXTD, EXTTn and PLAYORDER back, long
// ones continued; a track the kept text has none for gets an empty line.
TEST_F(Submission, KeptTextOfACorrection) {
  shell::TrackTitleTable t = Table(3);
  KeptText kept{"Label\\nYear 1973" + std::string(300, 'e'), {"Writer", "\\tLive"}, "0,2,1"};
  EXPECT_TRUE(CheckSubmitData(t, 2, ExternalEncoder(), &kept).ok);
  const std::string text = BuildSubmissionEntry(ThreeTracks(), t, ExternalEncoder(), 8, &kept).Text();
  EXPECT_NE(text.find("\r\n# Revision: 8\r\n"), std::string::npos);
  const std::string tail = text.substr(text.find("EXTD="));
  EXPECT_EQ(tail, "EXTD=Label\\nYear 1973" + std::string(249 - 16, 'e') +
                      "\r\nEXTD=" + std::string(300 - (249 - 16), 'e') +
                      "\r\nEXTT0=Writer\r\nEXTT1=\\tLive\r\nEXTT2=\r\nPLAYORDER=0,2,1\r\n");
  // Kept text must stay on its lines and be sendable like any field.
  kept.extt[0] = "a\nb";
  const CheckResult broken = CheckSubmitData(t, 2, ExternalEncoder(), &kept);
  EXPECT_FALSE(broken.ok);
  EXPECT_EQ(broken.lineBreaks, std::vector<std::string>{"\n"});
  EXPECT_EQ(mainform::CheckFailureText(broken),
            "入力漏れがあるか全角文字があります。\nU+000A は行を終わらせてしまうため送れない文字です。");
  kept.extt[0] = "😀";
  const CheckResult c = CheckSubmitData(t, 2, ExternalEncoder(), &kept);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.unencodable, std::vector<std::string>{"😀"});
}

TEST_F(Submission, ValidationOfMissingAndUnsendableText) {
  struct Row {
    const char* name;
    void (*change)(shell::TrackTitleTable&);
    bool ok;
    std::vector<std::string> named;
  } rows[] = {
      {"complete", [](shell::TrackTitleTable&) {}, true, {}},
      {"empty artist", [](shell::TrackTitleTable& t) { t.SetArtist(""); }, false, {}},
      {"empty title", [](shell::TrackTitleTable& t) { t.SetTitle(""); }, false, {}},
      {"empty last track title", [](shell::TrackTitleTable& t) { t.SetCell(1, 3, ""); }, false, {}},
      {"empty track artist", [](shell::TrackTitleTable& t) { t.SetCell(2, 3, ""); }, true, {}},
      {"blank artist", [](shell::TrackTitleTable& t) { t.SetArtist(" "); }, true, {}},
      {"LF in a track title", [](shell::TrackTitleTable& t) { t.SetCell(1, 2, "a\nb"); }, false, {}},
      {"CR in the category", [](shell::TrackTitleTable& t) { t.SetCategory("rock\r"); }, false, {}},
      {"CR LF in the year", [](shell::TrackTitleTable& t) { t.SetYear("1999\r\nX: y"); }, false, {}},
      {"NUL in the genre",
       [](shell::TrackTitleTable& t) { t.SetGenre(std::string("Rock\0x", 6)); },
       false,
       {}},
      {"LF in a track artist", [](shell::TrackTitleTable& t) { t.SetCell(2, 1, "\n"); }, false, {}},
      {"emoji in the title", [](shell::TrackTitleTable& t) { t.SetTitle("Hi 😀 😀"); }, false, {"😀"}},
      {"two characters the code page lacks",
       [](shell::TrackTitleTable& t) {
         t.SetCell(1, 1, "ŵ");
         t.SetGenre("€ 𠮷");
       },
       false,
       {"€", "𠮷", "ŵ"}},
  };
  for (int code : {1, 2}) {
    for (const auto& r : rows) {
      shell::TrackTitleTable t = Table(3);
      t.SetCell(2, 3, "Guest");
      r.change(t);
      const CheckResult c = CheckSubmitData(t, code);
      EXPECT_EQ(c.ok, r.ok) << r.name << " code " << code;
      EXPECT_EQ(c.unencodable, r.named) << r.name << " code " << code;
    }
  }
}

TEST_F(Submission, FailureMessageNamesEachCharacter) {
  shell::TrackTitleTable t = Table(1);
  t.SetTitle("😀");
  const CheckResult c = CheckSubmitData(t, 2);
  EXPECT_EQ(mainform::CheckFailureText(c),
            "入力漏れがあるか全角文字があります。\n「😀」(U+1F600) は送信先の文字コードで表せない文字です。");
  EXPECT_EQ(mainform::CheckFailureText(CheckResult{}), "入力漏れがあるか全角文字があります。");
}

TEST_F(Submission, HeaderLinesInOrder) {
  EXPECT_EQ(SubmissionHeaders("rock", "23026203", "me@example.com", kModeSubmit, 742),
            (std::vector<std::string>{"Category: rock", "Discid: 23026203", "User-Email: me@example.com",
                                      "Submit-Mode: submit", "Content-Length: 742"}));
  // An empty address still sends its line.
  EXPECT_EQ(SubmissionHeaders("misc", "00000201", "", kModeTest, 0)[2], "User-Email: ");
  EXPECT_THROW(SubmissionHeaders("rock\r\nX-Evil: 1", "23026203", "", kModeSubmit, 1), std::invalid_argument);
  EXPECT_THROW(SubmissionHeaders("rock", "23026203", "a@b\n", kModeSubmit, 1), std::invalid_argument);
}

TEST_F(Submission, ProxyText) {
  EXPECT_EQ(ProxyText("", "8080"), "");  // direct, whatever the port says
  EXPECT_EQ(ProxyText("proxy.example", "8080"), "proxy.example:8080");
  EXPECT_EQ(ProxyText("10.0.0.1", ""), "10.0.0.1:");
}

}  // namespace
}  // namespace sl::submit
