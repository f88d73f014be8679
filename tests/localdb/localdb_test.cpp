#include "localdb/localdb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "inifile/profile.h"
#include "shell/model.h"
#include "support/recorder.h"
#include "support/scoped_env.h"
#include "text/codepage.h"

namespace sl::localdb {
namespace {

using shell::TrackTitleTable;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

using Env = test::ScopedEnv;

TrackTitleTable Table(int tracks, const std::string& prefix) {
  TrackTitleTable t;
  t.SetRowCount(tracks + 1);
  t.SetArtist(prefix + " artist");
  t.SetTitle(prefix + " title");
  for (int r = 1; r <= tracks; ++r) {
    t.SetCell(0, r, std::to_string(r));
    t.SetCell(1, r, prefix + " 曲" + std::to_string(r));
    t.SetCell(2, r, "track artist " + std::to_string(r));
  }
  return t;
}

TEST(LocalDb, NamesAndPaths) {
  EXPECT_EQ(SectionName(255), "FF");
  EXPECT_EQ(SectionName(16), "10");
  EXPECT_EQ(SectionName(0), "0");
  EXPECT_EQ(SectionName(0xABC), "ABC");
  EXPECT_EQ(SectionName(0xFFFFFFFFu), "FFFFFFFF");
  EXPECT_EQ(SectionName(0x0102030Au), "102030A");

  EXPECT_EQ(CdPlayerIniPath("/win"), "/win/cdplayer.ini");
  EXPECT_EQ(CdPlayerIniPath("/win/"), "/win/cdplayer.ini");

  std::map<std::string, std::string> vars = {
      {"SONOLABEL_WINDIR", "/my/windows"}, {"XDG_DATA_HOME", "/data"}, {"HOME", "/home/u"}};
  const auto windowsDir = [&] {
    return DefaultWindowsDir(config::ReadConfiguration([&](const char* name) -> std::optional<std::string> {
      const auto it = vars.find(name);
      if (it == vars.end()) return std::nullopt;
      return it->second;
    }));
  };
  EXPECT_EQ(windowsDir(), "/my/windows");
  vars.erase("SONOLABEL_WINDIR");
  EXPECT_EQ(windowsDir(), "/data/sonolabel");
  vars["XDG_DATA_HOME"] = "not/absolute";
  EXPECT_EQ(windowsDir(), "/home/u/.local/share/sonolabel");
  vars.erase("XDG_DATA_HOME");
  EXPECT_EQ(windowsDir(), "/home/u/.local/share/sonolabel");
}

TEST(LocalDb, SaveEditLoadBringsBackTheSavedTitles) {
  TempDir dir;
  // The Windows directory does not exist yet: the save creates it.
  const std::string path = CdPlayerIniPath(dir.File("windows"));
  TrackTitleTable t = Table(12, "saved");
  t.SetCell(1, 3, "  padded; with = and \"quotes\"  ");
  t.SetCell(1, 4, "\"outer\"");
  t.SetCell(1, 5, "two\r\nlines");
  t.SetCategory("rock");
  std::string error = "stale";
  ASSERT_TRUE(WriteIniFile(path, 0x2A0B3C0D, 12, 12, t, &error)) << error;
  EXPECT_EQ(error, "");

  TrackTitleTable edited = t;
  edited.SetArtist("changed");
  edited.SetCell(1, 3, "changed");
  edited.SetCell(1, 12, "changed");
  edited.SetCell(2, 1, "artist column");
  ASSERT_TRUE(ReadIniFile(path, 0x2A0B3C0D, edited));
  EXPECT_EQ(edited.Artist(), "saved artist");
  EXPECT_EQ(edited.Title(), "saved title");
  EXPECT_EQ(edited.Cell(1, 3), "  padded; with = and \"quotes\"  ");
  EXPECT_EQ(edited.Cell(1, 4), "\"outer\"");
  EXPECT_EQ(edited.Cell(1, 5), "two  lines");  // a title stays on its line
  EXPECT_EQ(edited.Cell(1, 12), "saved 曲12");
  EXPECT_EQ(edited.Cell(2, 1), "artist column");  // track artists are not stored

  const std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.rfind(text::ToExternal("[2A0B3C0D]\r\nnumtracks=12\r\nartist=saved artist\r\n"
                                         "title=saved title\r\n0=saved 曲1\r\n"),
                        0),
            0u)
      << bytes;
  EXPECT_EQ(bytes.find("rock"), std::string::npos);  // nor the category

  // A multi-session disc: the key covers fewer tracks than the disc has.
  ASSERT_TRUE(WriteIniFile(path, 0x77, 3, 5, Table(5, "ms")));
  TrackTitleTable ms = Table(5, "blank");
  ASSERT_TRUE(ReadIniFile(path, 0x77, ms));
  EXPECT_EQ(ms.Cell(1, 3), "ms 曲3");
  EXPECT_EQ(ms.Cell(1, 4), "blank 曲4");

  // No disc read: nothing is written, not even a file.
  const std::string other = dir.File("other/cdplayer.ini");
  EXPECT_TRUE(WriteIniFile(other, 0x10, 12, 0, t));
  EXPECT_FALSE(std::filesystem::exists(other));
}

// A disc of 99 tracks, the most there can be, is saved whole: 99 track
// keys; a key count beyond that is cut to 99.
TEST(LocalDb, NinetyNineTracksAreSavedWhole) {
  TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  for (int count : {99, 150}) {
    ASSERT_TRUE(WriteIniFile(path, 0x99, count, 99, Table(99, "t")));
    const inifile::Profile p(path);
    EXPECT_EQ(p.ReadString("99", "numtracks", ""), "99") << count;
    EXPECT_EQ(p.ReadString("99", "98", ""), "t 曲99") << count;
    EXPECT_EQ(p.ReadString("99", "99", "-"), "-") << count;
    TrackTitleTable back = Table(99, "blank");
    ASSERT_TRUE(ReadIniFile(path, 0x99, back));
    EXPECT_EQ(back.Cell(1, 99), "t 曲99") << count;
  }
}

TEST(LocalDb, LoadStaysInsideTheGridAndIgnoresMissingSections) {
  TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  std::string file = "[10]\r\nnumtracks=0x0E\r\nartist=A\r\ntitle=T\r\n";
  for (int n = 0; n < 14; ++n) file += std::to_string(n) + "=t" + std::to_string(n) + "\r\n";
  file += "[20]\r\nnumtracks=1000000000\r\n0=only\r\n[30]\r\nnumtracks=abc\r\nartist=X\r\n0=zero\r\n";
  WriteFileBytes(path, file);

  TrackTitleTable t = Table(10, "old");
  ASSERT_TRUE(ReadIniFile(path, 0x10, t));
  EXPECT_EQ(t.RowCount(), 11);  // the grid does not grow
  EXPECT_EQ(t.Cell(1, 10), "t9");
  EXPECT_EQ(t.Cell(1, 11), "");

  TrackTitleTable huge = Table(3, "old");
  ASSERT_TRUE(ReadIniFile(path, 0x20, huge));
  EXPECT_EQ(huge.Cell(1, 1), "only");
  EXPECT_EQ(huge.Cell(1, 2), "");  // key missing: empty title
  EXPECT_EQ(huge.Artist(), "");

  TrackTitleTable bad = Table(3, "old");
  ASSERT_TRUE(ReadIniFile(path, 0x30, bad));
  EXPECT_EQ(bad.Artist(), "X");
  EXPECT_EQ(bad.Cell(1, 1), "old 曲1");  // numtracks not a number: no titles

  TrackTitleTable untouched = Table(3, "old");
  const auto gen = untouched.Generation();
  EXPECT_FALSE(ReadIniFile(path, 0x40, untouched));
  EXPECT_FALSE(ReadIniFile(dir.File("missing.ini"), 0x10, untouched));
  EXPECT_EQ(untouched.Generation(), gen);
}

TEST(LocalDb, WindowsFileIsReadAndKeptWhereNotSaved) {
  TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  using text::ToExternal;
  // Written by the Windows CD player and other programs: Shift-JIS, CR LF,
  // extra keys, comments, a duplicated section and key, no final line end.
  const std::string before = ToExternal(
      "; CD Player database\r\n"
      "[5A1B2C]\r\n"
      "EntryType=1\r\n"
      "Artist=サザンオールスターズ\r\n"
      "title=ソー・ソング\r\n"
      "numtracks=2\r\n"
      "0=表ー\r\n"
      "0=duplicate\r\n"
      "1=裏\r\n"
      "order=0 1\r\n"
      "\r\n"
      "[FF]\r\n"
      "numtracks=1\r\n"
      "0=other disc\r\n");
  const std::string tail = ToExternal("\r\n[5a1b2c]\r\n0=second copy");
  WriteFileBytes(path, before + tail);

  TrackTitleTable t = Table(2, "blank");
  ASSERT_TRUE(ReadIniFile(path, 0x5A1B2C, t));
  EXPECT_EQ(t.Artist(), "サザンオールスターズ");
  EXPECT_EQ(t.Title(), "ソー・ソング");
  EXPECT_EQ(t.Cell(1, 1), "表ー");
  EXPECT_EQ(t.Cell(1, 2), "裏");

  // Save the other disc: everything else stays byte for byte.
  TrackTitleTable ff = Table(1, "new");
  ASSERT_TRUE(WriteIniFile(path, 0xFF, 1, 1, ff));
  const std::string after = ReadFileBytes(path);
  EXPECT_EQ(after.substr(0, before.find("[FF]")), before.substr(0, before.find("[FF]")));
  // Existing keys change in place, new ones follow the section's last entry.
  EXPECT_NE(after.find(ToExternal("[FF]\r\nnumtracks=1\r\n0=new 曲1\r\nartist=new artist\r\n"
                                  "title=new title\r\n\r\n[5a1b2c]")),
            std::string::npos);
  EXPECT_EQ(after.substr(after.size() - tail.size() - 2), tail + "\r\n");

  // Saving the first disc keeps the other program's keys in its section.
  t.SetCell(1, 2, "裏2");
  ASSERT_TRUE(WriteIniFile(path, 0x5A1B2C, 2, 2, t));
  const inifile::Profile p(path);
  EXPECT_EQ(p.ReadString("5A1B2C", "EntryType", ""), "1");
  EXPECT_EQ(p.ReadString("5A1B2C", "order", ""), "0 1");
  EXPECT_EQ(p.ReadString("5A1B2C", "1", ""), "裏2");
  EXPECT_EQ(p.ReadSection("5A1B2C")->at(5), (std::pair<std::string, std::string>("0", "duplicate")));
  EXPECT_NE(ReadFileBytes(path).find(ToExternal("Artist=サザンオールスターズ\r\n")), std::string::npos);
}

TEST(LocalDb, FailedSavesSayWhyAndLeaveTheFileAlone) {
  TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  const std::string original = "[10]\r\nnumtracks=1\r\n0=kept\r\n";
  WriteFileBytes(path, original);

  TrackTitleTable t = Table(2, "new");
  t.SetCell(1, 2, "emoji 🎵");
  std::string error;
  EXPECT_FALSE(WriteIniFile(path, 0x10, 2, 2, t, &error));
  EXPECT_NE(error.find("U+1F3B5"), std::string::npos) << error;
  EXPECT_EQ(ReadFileBytes(path), original);

  ::chmod(path.c_str(), 0444);
  t.SetCell(1, 2, "fine");
  EXPECT_FALSE(WriteIniFile(path, 0x10, 2, 2, t, &error));
  EXPECT_NE(error.find("読み取り専用"), std::string::npos) << error;
  EXPECT_EQ(ReadFileBytes(path), original);
  ::chmod(path.c_str(), 0644);
  EXPECT_TRUE(WriteIniFile(path, 0x10, 2, 2, t, nullptr));
}

}  // namespace
}  // namespace sl::localdb
