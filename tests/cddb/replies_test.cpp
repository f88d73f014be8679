// Reply handling of the lookup: status codes, match lines, entries, the
// match dialog and the server list, driven by setting the client's Body and
// firing the success event as the HTTP client would.
#include <gtest/gtest.h>

#include <limits>

#include "cddb/cddb.h"
#include "mainform/outcome_texts.h"
#include "settings/serverlist.h"
#include "support/recorder.h"
#include "text/codepage.h"

namespace sl::cddb {
namespace {

using shell::MenuId;

class Replies : public ::testing::Test {
 protected:
  Replies() : settings(dir.File("sonolabel.INI")), lookup(model, mainform::LookupHooksFor(model, services)) {
    lookup.SetSettings(&settings);
    model.Table().SetRowCount(4);
  }
  // The body as a server sends it: in the external code page.
  void Reply(const std::string& utf8, int kind) {
    lookup.RequestKind = kind;
    lookup.http.Body = text::ToExternal(utf8);
    lookup.HandleCddbReply(0);
  }
  test::TempDir dir;
  shell::ShellModel model;
  test::RecordingServices services;
  settings::SettingsFile settings;
  CddbLookup lookup;
};

TEST_F(Replies, StatusCodesGiveTheirTexts) {
  struct Case {
    std::string body;
    int kind;
    std::string status;
    std::string box = "";  // the server's line shown, if any
  } cases[] = {
      {"401 rock 1234 No such CD entry\r\n", Query, "該当なし"},
      {"401 No site information available.\n", Sites, "ミラーサーバなし"},
      {"401 x\n", Read, "該当なし"},
      // The error codes keep their status and show the server's own line.
      {"402 Server error.\n", Query, "サーバ側でエラー発生", "サーバからの応答：402 Server error."},
      {"403 Database entry is corrupt.\n", Read, "データベース異常",
       "サーバからの応答：403 Database entry is corrupt."},
      {"409 No handshake.\n", Query, "接続失敗", "サーバからの応答：409 No handshake."},
      {"500 Command syntax error.\n", Query, "コマンドエラー", "サーバからの応答：500 Command syntax error."},
      {"530 Server error\n", Query, "コマンドエラー", "サーバからの応答：530 Server error"},
      {"20\n", Query, "コマンドエラー", "サーバからの応答：20"},  // reads as code 20
      {"<html><body>Not Found</body></html>", Query, "応答コードなし"},
      {"", Query, "応答コードなし"},
      {"210 list without terminator", Query, "応答コードなし"},
      {"211 only a terminator\n.\n", Query, "応答コードなし"},
      // Lists cut short (the connection ended before the terminator).
      {"211 matches\r\nrock 1 A / B\r\nrock 2 C / D\r\n", Query, "応答コードなし"},
      {"210 rock 1 entry\r\nDYEAR=1999\r\nTTITLE0=One\r\nTTITLE1=Tw", Read, "応答コードなし"},
      {"210 rock 1 entry\r\nDYEAR=1999\r\nTTITLE0=One\r\n.x\r\n", Read, "応答コードなし"},
      {"210 sites\r\nnew.example http 80 /x N0 W0 d\r\n", Sites, "応答コードなし"},
  };
  for (const auto& c : cases) {
    services.boxes.clear();
    Reply(c.body, c.kind);
    EXPECT_EQ(model.Status(0), c.status) << c.body;
    EXPECT_EQ(services.BoxTexts(),
              c.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.box})
        << c.body;
  }
  services.boxes.clear();

  Reply("202 No match for disc ID 23026203.\n", Query);
  EXPECT_EQ(model.Status(0), "該当タイトルなし");
  ASSERT_EQ(services.BoxTexts(), std::vector<std::string>{"一致するタイトルはありませんでした。"});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Information);

  lookup.HandleHttpFailure(0);
  EXPECT_EQ(model.Status(0), "接続できません。");
}

TEST_F(Replies, SingleMatchFillsDiscFields) {
  Reply("200 rock 1a2b3c4d Artist / Title\r\n", Query);
  EXPECT_EQ(model.Status(0), "タイトル取得完了");
  EXPECT_EQ(lookup.MatchCategory, "rock");
  EXPECT_EQ(lookup.MatchDiscId, "1a2b3c4d");
  EXPECT_EQ(model.Table().Category(), "rock");
  EXPECT_EQ(model.Table().Artist(), "Artist");
  EXPECT_EQ(model.Table().Title(), "Title");

  // No " / ": empty artist, the whole rest as title; Japanese text decoded.
  Reply("200 misc 990c360c 日本語のタイトル\n", Query);
  EXPECT_EQ(model.Table().Artist(), "");
  EXPECT_EQ(model.Table().Title(), "日本語のタイトル");
}

TEST_F(Replies, CheckReturnCmdSplitsAtBlanksAndSlash) {
  lookup.CheckReplyCode("jazz 0a0b0c0d A / B / C");
  EXPECT_EQ(lookup.MatchArtist, "A");
  EXPECT_EQ(lookup.MatchTitle, "B / C");
  lookup.CheckReplyCode("nospace");
  EXPECT_EQ(lookup.MatchCategory, "");
  EXPECT_EQ(lookup.MatchTitle, "nospace");
}

TEST_F(Replies, EntryFillsYearGenreAndTracks) {
  model.Table().SetCell(2, 3, "kept");
  Reply(
      "210 rock 23026203 CD database entry follows\n"
      "# xmcd\n"
      "DISCID=23026203\n"
      "DTITLE=Ignored / Here\n"
      "DYEAR=1999\n"
      "dgenre=Rock\n"
      "TTITLE0=Artist / Title\n"
      "ttitle1=AC/DC / Song\n"
      "TTITLE1=continuation\n"
      "TTITLE2=Plain=with equals\n"
      "TTITLE3=beyond the grid\n"
      "TTITLE4=also beyond\n"
      ".\n",
      Read);
  EXPECT_EQ(model.Status(0), "曲名取得完了");
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"曲名取得完了しました。"});
  const auto& t = model.Table();
  EXPECT_EQ(t.Year(), "1999");
  EXPECT_EQ(t.Genre(), "Rock");
  EXPECT_EQ(t.Cell(1, 1), "Title");
  EXPECT_EQ(t.Cell(2, 1), "Artist");
  EXPECT_EQ(t.Cell(1, 2), "Songcontinuation");  // a key's lines are one value
  EXPECT_EQ(t.Cell(2, 2), "AC/DC");
  EXPECT_EQ(t.Cell(1, 3), "Plain=with equals");
  EXPECT_EQ(t.Cell(2, 3), "kept");  // no "/ ": artist column untouched
  EXPECT_EQ(t.RowCount(), 4);       // the grid does not grow
  EXPECT_TRUE(model.Menu(MenuId::ExportToPlayer).enabled);
  EXPECT_EQ(t.Title(), "");  // disc artist/title come from the match line only
}

// A list ends at its terminator; blank lines after it change nothing, and
// the grid is left alone by a list that never reached it.
TEST_F(Replies, ListsEndAtTheirTerminator) {
  Reply("210 rock 1 entry\nTTITLE0=One\n.\n\r\n \n", Read);
  EXPECT_EQ(model.Status(0), "曲名取得完了");
  EXPECT_EQ(model.Table().Cell(1, 1), "One");
  int applied = 0;
  lookup.onEntryApplied = [&] { ++applied; };
  Reply("210 rock 1 entry\nTTITLE0=Cut\nTTITLE1=Sh", Read);
  EXPECT_EQ(model.Status(0), "応答コードなし");
  EXPECT_EQ(model.Table().Cell(1, 1), "One");
  EXPECT_EQ(applied, 0);
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"曲名取得完了しました。"});
}

TEST_F(Replies, TrackLoopStopsAtFirstEmptyTitle) {
  model.Table().SetCell(1, 3, "old");
  Reply("210 x\nTTITLE0=Intro\nTTITLE1=\nTTITLE2=Song\n.\n", Read);
  EXPECT_EQ(model.Table().Cell(1, 1), "Intro");
  EXPECT_EQ(model.Table().Cell(1, 3), "old");
}

TEST_F(Replies, SeparateStringForms) {
  struct Case {
    std::string text, title, artist;
  } cases[] = {
      {"Artist / Title", "Title", "Artist"},
      {"Artist/ Title", "Title", "Artist"},
      {"Artist /Title", "Artist /Title", "-"},
      {"A/B", "A/B", "-"},
      {"歌手 / 曲", "曲", "歌手"},
  };
  for (const auto& c : cases) {
    model.Table().SetCell(2, 1, "-");
    lookup.SplitArtistTitle(c.text, 1);
    EXPECT_EQ(model.Table().Cell(1, 1), c.title) << c.text;
    EXPECT_EQ(model.Table().Cell(2, 1), c.artist) << c.text;
  }
  // A row outside the grid is ignored, not written.
  lookup.SplitArtistTitle("x / y", 99);
  EXPECT_EQ(model.Table().RowCount(), 4);
}

TEST_F(Replies, MatchListOpensDialogAndAppliesChoice) {
  const std::string list =
      "211 Found inexact matches, list follows\n"
      "rock 30058b05 Band A / First\n"
      "jazz 30058b05 Band B / Second\n"
      ".\n";
  services.matchAnswers = {2};
  Reply(list, Query);
  ASSERT_EQ(services.matchDialogs.size(), 1u);
  EXPECT_EQ(services.matchDialogs[0].size(), 2u);
  EXPECT_EQ(services.matchDialogs[0][1][0], "jazz");
  EXPECT_EQ(lookup.MatchCategory, "jazz");
  EXPECT_EQ(lookup.MatchDiscId, "30058b05");
  EXPECT_EQ(model.Table().Category(), "jazz");
  EXPECT_EQ(model.Table().Artist(), "Band B");
  EXPECT_EQ(model.Table().Title(), "Second");

  // Cancel: no match, fields unchanged; 210 after a query is a list too.
  services.matchAnswers = {-1};
  Reply("210 rock 1 x\nrock 1 Other / Disc\n.\n", Query);
  EXPECT_EQ(lookup.MatchCategory, "");
  EXPECT_EQ(model.Table().Artist(), "Band B");
  // The shorter second list replaced the rows of the first one.
  EXPECT_EQ(model.MatchDialog().rows.size(), 2u);
  EXPECT_EQ(model.MatchDialog().currentRow, 1);

  // Any answer that names no row of the list cancels as well: row 0 and a
  // row just past the last one (a face that counts its rows differently).
  for (int answer : {0, 3, 4, 1000}) {
    services.matchAnswers = {answer};
    Reply(list, Query);
    EXPECT_EQ(lookup.MatchCategory, "") << answer;
    EXPECT_EQ(model.Table().Artist(), "Band B") << answer;
  }
}

// A list of a million lines is cut where it is parsed: the dialog offers the
// first 10,000 and nothing beyond them is ever made into lines.
TEST_F(Replies, HugeMatchListIsBoundedWhereItIsParsed) {
  std::string body = "211 Found inexact matches, list follows\r\n";
  for (int i = 0; i < 1000000; ++i) body += "misc " + std::to_string(i) + " A / B\r\n";
  body += ".\r\n";
  EXPECT_EQ(SplitLines(body).size(), kMaxReplyLines);
  services.matchAnswers = {10000};
  lookup.RequestKind = Query;
  lookup.http.Body = std::move(body);
  lookup.HandleCddbReply(0);
  ASSERT_EQ(services.matchDialogs.size(), 1u);
  EXPECT_EQ(services.matchDialogs[0].size(), kMaxMatches);
  EXPECT_EQ(lookup.MatchList.size(), kMaxMatches);
  EXPECT_EQ(lookup.MatchDiscId, "9999");
  EXPECT_EQ(SplitLines("a\nb\nc\n", 2), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(RawLines("a\r\nb\rc\n", 2), "a\r\nb\r");
  EXPECT_EQ(RawLines("a\r\nb", 5), "a\r\nb");
}

TEST_F(Replies, SitesReplyMergesServerList) {
  settings.WriteInteger(settings::kSection, "servercount", 1);
  settings.WriteServer(0, {"a.example.org", "/~cddb/cddb.cgi?", 2, ""});
  Reply(
      "210 OK, site information follows\n"
      "a.example.org http 80 /~cddb/cddb.cgi N000.00 W000.00 A\n"
      "b.example.org http 80 /~cddb/cddb.cgi N000.00 W000.00 B\n"
      "b.example.org cddbp 8880 - N000.00 W000.00 B\n"
      "noblank\n"
      ".\n",
      Sites);
  EXPECT_EQ(model.Status(0), "サーバリスト取得完了");
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"サーバリストの取得が完了しました。"});
  EXPECT_EQ(settings.ReadInteger(settings::kSection, "servercount", 0), 4);
  EXPECT_EQ(settings.ReadServer(1).host, "b.example.org");
  EXPECT_EQ(settings.ReadServer(2).host, "b.example.org");  // one entry per line
  EXPECT_EQ(settings.ReadServer(3).host, "");
  EXPECT_EQ(settings.ReadServer(3).path, "/~cddb/cddb.cgi?");
  EXPECT_EQ(settings.ReadServer(0).code, 2);
  ASSERT_EQ(model.ServerItems().size(), 4u);
  EXPECT_TRUE(model.ServerItems()[0].checked);
}

// A list the settings file refuses to take (its count unreadable): the
// refusal is what the user hears, never a success first.
TEST_F(Replies, RefusedServerListMergeReportsTheRefusalOnly) {
  test::WriteFileBytes(dir.File("sonolabel.INI"), "[tunedex]\r\nservercount=-3\r\n");
  const std::string before = test::ReadFileBytes(dir.File("sonolabel.INI"));
  Reply("210 OK, site information follows\nb.example.org http 80 /x N0 W0 B\n.\n", Sites);
  EXPECT_EQ(model.Status(0), "サーバリスト保存失敗");
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Warning);
  EXPECT_EQ(services.boxes[0].text.rfind("サーバリストを保存できませんでした。\n", 0), 0u);
  EXPECT_NE(services.boxes[0].text.find("servercount「-3」"), std::string::npos) << services.boxes[0].text;
  EXPECT_EQ(lookup.LastOutcome(), CddbLookup::ReplyOutcome::MergeRefused);
  EXPECT_EQ(test::ReadFileBytes(dir.File("sonolabel.INI")), before);
  EXPECT_TRUE(model.ServerItems().empty());
}

// Bytes of a reply that are no text of the server's character set are named
// as bytes, with the character set, for whatever refuses them later.
TEST_F(Replies, UndecodableBytesAreNamedWithTheCodePage) {
  struct Case {
    std::string body;  // raw bytes
    bool utf8;
    std::string note;
  } cases[] = {
      {"210 rock 1 e\r\nTTITLE0=ok\r\n.\r\n", false, ""},
      {"210 rock 1 e\r\nTTITLE0=bad \x81\x20 x\r\n.\r\n", false,
       "サーバの応答のバイト 0x81 はコードページ CP932 で読めません。"},
      {"210 rock 1 e\r\nTTITLE0=\x80\xA0\r\nTTITLE1=\xFD\r\n.\r\n", false,
       "サーバの応答のバイト 0x80 0xA0, 0xFD はコードページ CP932 で読めません。"},
      {"210 rock 1 e\r\nTTITLE0=caf\xE9\r\n.\r\n", true,
       "サーバの応答のバイト 0xE9 はコードページ UTF-8 で読めません。"},
      {"210 rock 1 e\r\nTTITLE0=" + std::string(12, '\xFF') + "\r\n.\r\n", true,
       "サーバの応答のバイト 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF … はコードページ UTF-8 で読めません。"},
  };
  for (const auto& c : cases) {
    lookup.ServerUtf8 = c.utf8;
    lookup.RequestKind = Read;
    lookup.http.Body = c.body;
    lookup.HandleCddbReply(0);
    EXPECT_EQ(mainform::UndecodableText(lookup.Undecodable()), c.note) << c.body;
    EXPECT_EQ(model.Status(0), "曲名取得完了") << c.body;
  }
}

TEST(ServerLine, ShownAsSentWithinBoundsAndUnknownClientsRecognised) {
  struct Case {
    std::string line;
    std::string shown;
    bool unknownClient;
  } cases[] = {
      {"500 Unknown developer email", "500 Unknown developer email", true},
      {"500 unknown DEVELOPER Email", "500 unknown DEVELOPER Email", true},
      {"530 Client SLB is not registered", "530 Client SLB is not registered", true},
      {"501 developer contact missing", "501 developer contact missing", true},
      {"402 Unknown developer email", "402 Unknown developer email", true},
      {"500 Command syntax error", "500 Command syntax error", false},
      {"409 No handshake (client?)", "409 No handshake (client?)", false},  // not 5xx
      {"20", "20", false},
      // Control characters (a terminal would act on them) become blanks.
      {"500 a\x1B[2Jb\tc\x7F\xC2\x9B"
       "d",
       "500 a [2Jb c  d", false},
      {"500 日本語のエラー", "500 日本語のエラー", false},
      {"500 " + std::string(300, 'x'), "500 " + std::string(196, 'x') + "…", false},
      {"500 " + std::string(100, 'x') + std::string(200 * 3, '\xE3'), "", false},
  };
  for (const auto& c : cases) {
    if (!c.shown.empty()) {
      EXPECT_EQ(ShownServerLine(c.line), c.shown) << c.line;
    }
    EXPECT_LE(ShownServerLine(c.line).size(), kMaxShownLineChars * 4 + 3) << c.line;
    EXPECT_EQ(NamesUnknownClient(c.line), c.unknownClient) << c.line;
  }
  EXPECT_EQ(mainform::ServerReplyBoxText("500 Unknown developer email"),
            std::string("サーバからの応答：500 Unknown developer email\n") + mainform::kUnknownClientHint);
  EXPECT_EQ(mainform::ServerReplyBoxText("500 Command syntax error"),
            "サーバからの応答：500 Command syntax error");
}

TEST(Lines, SplitAtEveryLineEnd) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\n\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(SplitLines("").empty());
}

// A key's lines, whatever their case, are one value joined in order: the
// way every xmcd reader takes a long value continued by a server.
TEST(Lines, EntryValueJoinsEveryLineOfAKeyIgnoringCase) {
  std::vector<std::string> lines{"# comment=no", "ttitle0=x", "TTITLE0=y",
                                 "DYEAR",        "TTITLE1=z", "TTITLE0= and more"};
  EXPECT_EQ(EntryValue(lines, "TTITLE0"), "xy and more");
  EXPECT_EQ(EntryValue(lines, "DYEAR"), "");
  const auto values = EntryValues(lines);
  EXPECT_EQ(values.at("TTITLE0"), "xy and more");
  EXPECT_EQ(values.at("TTITLE1"), "z");
  EXPECT_EQ(values.count("DYEAR"), 0u);
  EXPECT_EQ(values.count("# COMMENT"), 0u);
  // A value stops growing at its bound, however many lines repeat the key.
  std::vector<std::string> many(5000, "EXTD=" + std::string(100, 'e'));
  EXPECT_EQ(EntryValue(many, "EXTD").size(), kMaxValueBytes);
  EXPECT_EQ(EntryValues(many).at("EXTD").size(), kMaxValueBytes);
}

// Missing and garbled revisions count as 0; every number is kept as it is,
// even one no server can hold (it is refused later, never taken for 0).
TEST(Lines, EntryRevisionForms) {
  const struct {
    std::vector<std::string> lines;
    long long revision;
  } rows[] = {
      {{"# xmcd", "DISCID=1"}, 0},
      {{"# Revision: 7"}, 7},
      {{"#revision:\t12  "}, 12},
      {{"# Revision: abc"}, 0},
      {{"# Revision: -1"}, 0},
      {{"# Revision:"}, 0},
      {{"# Revision: 12abc"}, 0},
      {{"# Revision: 1000000000"}, 1000000000},
      {{"# Revision: 2147483647"}, 2147483647},
      {{"# Revision: 99999999999"}, 99999999999},
      {{"# Revision: 99999999999999999999999"}, std::numeric_limits<long long>::max()},
      {{"# Revision: 3", "# Revision: 4"}, 3},
  };
  for (const auto& row : rows) EXPECT_EQ(EntryRevision(row.lines), row.revision) << row.lines[0];
}

// Every key continued over lines, as real servers write long values: the
// window gets each whole, and the text it does not show is kept with the
// disc ID and revision for a correction.
TEST_F(Replies, ContinuedLinesOfEveryKeyAreJoinedAndTheRestIsKept) {
  lookup.MatchDiscId = "23026203";
  Reply(
      "210 rock 23026203 CD database entry follows\n"
      "# Revision: 4\n"
      "DISCID=23026203\n"
      "DTITLE=A / B\n"
      "DYEAR=19\nDYEAR=99\n"
      "DGENRE=Progressive\nDGENRE= Rock\n"
      "TTITLE0=Gladys Knight / Neither One Of Us (Wants To Be The First\n"
      "TTITLE0= To Say Goodbye\nTTITLE0=)\n"
      "TTITLE1=Plain\n"
      "EXTD=Label\\nYear\nEXTD= 1973\n"
      "EXTT0=Writer\\n\nEXTT0=Producer\n"
      "EXTT2=Live\n"
      "PLAYORDER=0,2\nPLAYORDER=,1\n"
      ".\n",
      Read);
  const auto& t = model.Table();
  EXPECT_EQ(t.Year(), "1999");
  EXPECT_EQ(t.Genre(), "Progressive Rock");
  EXPECT_EQ(t.Cell(2, 1), "Gladys Knight");
  EXPECT_EQ(t.Cell(1, 1), "Neither One Of Us (Wants To Be The First To Say Goodbye)");
  EXPECT_EQ(t.Cell(1, 2), "Plain");
  ASSERT_TRUE(lookup.LastRead);
  EXPECT_EQ(lookup.LastRead->discId, "23026203");
  EXPECT_EQ(lookup.LastRead->revision, 4);
  EXPECT_EQ(lookup.LastRead->extd, "Label\\nYear 1973");  // escapes kept as sent
  EXPECT_EQ(lookup.LastRead->extt, (std::vector<std::string>{"Writer\\nProducer", "", "Live"}));
  EXPECT_EQ(lookup.LastRead->playorder, "0,2,1");
}

// A match line that cut a long disc title short: the entry's DTITLE lines
// give the whole of it. A title the match line gives whole stays.
TEST_F(Replies, ADiscTitleCutInTheMatchLineComesWholeFromTheEntry) {
  const std::string longTitle(300, 't');
  for (const bool cut : {true, false}) {
    SCOPED_TRACE(cut ? "cut" : "whole");
    Reply("200 rock 23026203 Artist / " + longTitle.substr(0, cut ? 200 : 300) + "\n", Query);
    Reply("210 rock 23026203 entry\nDTITLE=Artist / " + longTitle.substr(0, 200) +
              "\nDTITLE=" + longTitle.substr(200) + "\n.\n",
          Read);
    EXPECT_EQ(model.Table().Artist(), "Artist");
    EXPECT_EQ(model.Table().Title(), longTitle);
  }
  // An entry whose DTITLE says something else entirely leaves the match's.
  Reply("200 rock 23026203 Artist / Title\n", Query);
  Reply("210 rock 23026203 entry\nDTITLE=Other / Thing\n.\n", Read);
  EXPECT_EQ(model.Table().Title(), "Title");
}

TEST(Encoding, UnsafeBytesArePercentEncoded) {
  EXPECT_EQ(EncodeUnsafe("a b\t\x7f\xe3+%"), "a%20b%09%7F%E3+%");
  EXPECT_EQ(EncodeHelloPart("john doe+x&y"), "john%20doe%2Bx%26y");
}

}  // namespace
}  // namespace sl::cddb

namespace sl::cddb {
namespace {

// What a user types after --server, and what every request is then appended to.
TEST(ServerUrl, NormalisedOrRefusedWithAReason) {
  const struct {
    const char* given;
    const char* url;  // nullptr: refused
  } rows[] = {
      {"http://gnudb.gnudb.org/~cddb/cddb.cgi?", "http://gnudb.gnudb.org/~cddb/cddb.cgi?"},
      {"http://gnudb.gnudb.org/~cddb/cddb.cgi", "http://gnudb.gnudb.org/~cddb/cddb.cgi?"},
      {"http://gnudb.gnudb.org", "http://gnudb.gnudb.org/~cddb/cddb.cgi?"},
      // A lone "/" is no path: the standard script is asked.
      {"http://gnudb.gnudb.org/", "http://gnudb.gnudb.org/~cddb/cddb.cgi?"},
      {"http://127.0.0.1:8880/", "http://127.0.0.1:8880/~cddb/cddb.cgi?"},
      {"http://h/?", "http://h/~cddb/cddb.cgi?"},
      {"HTTP://127.0.0.1:8880", "http://127.0.0.1:8880/~cddb/cddb.cgi?"},
      // The HTTP client has no IPv6: refused here, not at the request.
      {"http://[::1]:8880/cgi", nullptr},
      {"http://[::1]:8880/", nullptr},
      {"http://h/cgi?key=1", "http://h/cgi?key=1&"},
      {"http://h?", "http://h/~cddb/cddb.cgi?"},
      {"https://gnudb.org/~cddb/cddb.cgi?", nullptr},
      {"gnudb.org", nullptr},
      {"ftp://gnudb.org/", nullptr},
      {"http://", nullptr},
      {"http:///path", nullptr},
      {"http://h:0/", nullptr},
      {"http://h:65536/", nullptr},
      {"http://h:x/", nullptr},
      {"http://user@h/", nullptr},
      {"http://h/a b", nullptr},
      {"http://h/a\r\nX: y", nullptr},
  };
  for (const auto& row : rows) {
    std::string why;
    const auto url = NormalizeServerUrl(row.given, why);
    if (row.url) {
      EXPECT_EQ(url.value_or("(refused: " + why + ")"), row.url) << row.given;
    } else {
      EXPECT_FALSE(url) << row.given << " -> " << *url;
      EXPECT_FALSE(why.empty()) << row.given;
    }
  }
}

}  // namespace
}  // namespace sl::cddb
