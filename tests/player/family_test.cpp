// The player's properties and commands: unbound values, what is passed on
// the wire, fonts, the text line, lyrics with their cache, the design file,
// and the track record's CD completion.
#include <unistd.h>

#include <filesystem>

#include "inifile/profile.h"
#include "player_fixture.h"
#include "text/codepage.h"

namespace sl::test {
namespace {

using player::PlayerLink;

TEST_F(PlayerTest, UnboundReadersGiveTheirValuesAndWritersDoNothing) {
  auto d = MakeDsmp();
  struct Row {
    const char* name;
    std::function<int()> read;
    int value;
  } rows[] = {
      {"Left", [&] { return d->GetLeft(); }, -1},
      {"Top", [&] { return d->GetTop(); }, -1},
      {"Width", [&] { return d->GetWidth(); }, -1},
      {"Height", [&] { return d->GetHeight(); }, -1},
      {"Visible", [&] { return d->GetVisible() ? 1 : 0; }, 0},
      {"PlayStatus", [&] { return d->GetPlayStatus(); }, 524},
      {"Track", [&] { return d->GetTrack(); }, 0},
      {"Position", [&] { return d->GetPosition(); }, 0},
      {"Length", [&] { return d->GetLength(); }, 0},
      {"Volume", [&] { return d->GetVolume(); }, 0},
      {"Counter", [&] { return d->GetCounter(); }, 0},
      {"Repeat", [&] { return d->GetRepeat() ? 1 : 0; }, 0},
      {"Random", [&] { return d->GetRandom() ? 1 : 0; }, 0},
      {"RemainTime", [&] { return d->GetRemainTime() ? 1 : 0; }, 0},
      {"DisplayMode", [&] { return static_cast<int>(d->GetDisplayMode()); }, 0},
      {"OnTimer", [&] { return d->GetOnTimer() ? 1 : 0; }, 0},
      {"OnTime", [&] { return d->GetOnTime(); }, 0},
      {"OffTimer", [&] { return d->GetOffTimer() ? 1 : 0; }, 0},
      {"OffTime", [&] { return d->GetOffTime(); }, 0},
      {"ShutDownRecord", [&] { return d->GetShutDownRecord() ? 1 : 0; }, 0},
      {"RecLevel", [&] { return d->GetRecLevel(); }, 100},
      {"Rate", [&] { return d->GetRate(); }, 100},
      {"AdjustVolLevel", [&] { return d->GetAdjustVolLevel(); }, 100},
      {"AdjustSpeanaLevel", [&] { return d->GetAdjustSpeanaLevel(); }, 100},
      {"Color", [&] { return d->GetColor(0); }, 0x1FFFFFFF},
      {"Version", [&] { return d->GetVersion(); }, 0},
      {"Tracks", [&] { return d->GetTracks(); }, 0},
  };
  for (const auto& row : rows) EXPECT_EQ(row.read(), row.value) << row.name;
  int l = 5, r = 5, levels[10];
  std::fill(std::begin(levels), std::end(levels), 9);
  d->GetVolumes(&l, &r);
  d->GetSpeana(levels);
  EXPECT_EQ(l, 0);
  EXPECT_EQ(r, 0);
  for (int v : levels) EXPECT_EQ(v, 0);
  EXPECT_EQ(d->GetLyricsText(0), nullptr);
  EXPECT_FALSE(d->CheckVersion(4300));
  EXPECT_EQ(d->GetText()->LineIndex, -1);
  EXPECT_EQ(d->GetTrackInfo(1), player::PlayListTrack{});
  EXPECT_EQ(d->GetPlayList()->PlayListTitle(), "");
  // Writers and commands do nothing and remember nothing.
  d->SetVolume(5);
  d->Play();
  d->SetTrackInfo(1, player::PlayListTrack{});
  EXPECT_EQ(d->GetVolume(), 0);
  EXPECT_TRUE(services.questions.empty());
}

TEST_F(PlayerTest, BoundAccessorsPassTheirValuesEncodedAsThePlayerExpects) {
  DsmpProcess sim(
      PlayListJson(1,
                   "\"properties\":{\"repeat\":1,\"left\":33,\"volume_left\":7,\"volume_right\":8,"
                   "\"speana\":[1,2,3,4,5,6,7,8,9,10],\"colors\":[255],"
                   "\"fonts\":[{\"name\":\"Mincho\",\"charset\":128,\"size\":-13,\"style\":5,"
                   "\"color\":16711680},{\"name\":\"Gothic\",\"size\":9,\"style\":10}],"
                   "\"text\":{\"text\":\"Now playing\",\"value1\":259,\"flag1\":0,\"flag2\":1,"
                   "\"value2\":42,\"font\":{\"name\":\"Text\",\"size\":12}}}"));
  auto d = MakeDsmp();
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_TRUE(d->GetRepeat());  // 1 instead of -1 still reads as true
  EXPECT_EQ(d->GetLeft(), 33);
  d->SetRepeat(true);
  d->SetRandom(false);
  d->SetVisible(true);
  d->FF(true);
  d->Rewind(false);
  d->KeyDown(0x41, 0x05);
  d->Seek(3, -4);
  d->GetFormImage("画像");
  d->SetVolume(61);
  EXPECT_EQ(d->GetVolume(), 61);
  ASSERT_TRUE(sim.Sync());
  const std::string log = sim.Log();
  for (const char* call : {"call Control.29 -1\n", "call Control.31 0\n", "call Control.11 1\n",
                           "call Control.63 1\n", "call Control.64 0\n", "call Control.74 65 5\n",
                           "call Control.68 3 -4\n", "call Control.82 \"画像\"\n", "call Control.25 61\n"}) {
    EXPECT_NE(log.find(call), std::string::npos) << call;
  }
  int l = 0, r = 0, levels[10] = {};
  d->GetVolumes(&l, &r);
  EXPECT_EQ(l, 7);
  EXPECT_EQ(r, 8);
  d->GetSpeana(levels);
  EXPECT_EQ(levels[0], 1);
  EXPECT_EQ(levels[9], 10);
  EXPECT_EQ(d->GetColor(0), 255);

  player::PlayerFont* f = d->GetFont(0);
  EXPECT_EQ(f, d->GetFont(5));  // the same object; a failed read leaves it
  EXPECT_EQ(f->Name, "Mincho");
  EXPECT_EQ(f->Charset, 128);
  EXPECT_EQ(f->Height, -13);
  EXPECT_TRUE(f->Bold);
  EXPECT_FALSE(f->Italic);
  EXPECT_TRUE(f->Underline);
  EXPECT_FALSE(f->StrikeOut);
  EXPECT_EQ(f->Color, 16711680);
  f = d->GetFont(1);
  EXPECT_EQ(f->Size, 9);
  EXPECT_TRUE(f->Italic);
  EXPECT_TRUE(f->StrikeOut);
  EXPECT_FALSE(f->Bold);

  player::PlayerTextLine* t = d->GetText();
  EXPECT_EQ(t->Text, "Now playing");
  EXPECT_EQ(t->Value1, 3);  // low byte
  EXPECT_FALSE(t->Flag1);
  EXPECT_TRUE(t->Flag2);
  EXPECT_EQ(t->Value2, 42);
  EXPECT_EQ(t->Font.Size, 12);
  EXPECT_EQ(t->LineIndex, -1);
}

TEST_F(PlayerTest, LyricsLinesComeThroughACacheThatFollowsTheCount) {
  std::string lines;
  for (int k = 0; k < 5; ++k)
    lines += std::string(k ? "," : "") + "{\"index\":" + std::to_string(k + 100) + ",\"text\":\"line " +
             std::to_string(k) + "\",\"flags\":65536,\"value1\":513,\"font\":{\"size\":-20}}";
  DsmpProcess sim(PlayListJson(1, "\"lyrics\":[" + lines + "]"));
  auto d = MakeDsmp();
  d->Bind();
  ASSERT_TRUE(d->Bound());
  player::PlayerTextLine* four = d->GetLyricsText(4);
  ASSERT_NE(four, nullptr);
  EXPECT_EQ(four->Text, "line 4");
  EXPECT_EQ(four->LineIndex, 104);
  EXPECT_FALSE(four->Flag1);
  EXPECT_TRUE(four->Flag2);
  EXPECT_EQ(four->Value1, 1);
  EXPECT_EQ(four->Font.Height, -20);
  EXPECT_EQ(d->LyricsList()->Count(), 5);
  player::PlayerTextLine* one = d->GetLyricsText(1);
  EXPECT_EQ(d->GetLyricsText(1), one);  // cached
  EXPECT_EQ(d->GetLyricsText(-1), nullptr);
  EXPECT_EQ(d->GetLyricsText(5), nullptr);
  sim.Command("lyrics 3");
  ASSERT_TRUE(sim.Sync());
  EXPECT_EQ(d->GetLyricsText(3), nullptr);
  EXPECT_EQ(d->LyricsList()->Count(), 3);
  // "Lyrics loaded" empties the cache.
  events.clear();
  sim.Command("post " + std::to_string(d->WindowHandle()) + " 0x40000010 0");
  ASSERT_TRUE(Pump([&] { return !events.empty() && events.back().rfind("OnDSMP", 0) == 0; }));
  EXPECT_EQ(d->LyricsList()->Count(), 0);
  EXPECT_NE(d->GetLyricsText(0), nullptr);
}

TEST_F(PlayerTest, AFailedPositionReadAnsweredYesUnbinds) {
  DsmpProcess sim(PlayListJson(1, "\"fail_on\":\"Control.21\""));
  auto d = MakeDsmp();
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_EQ(d->GetPosition(), 0);  // answered No: goes on bound
  EXPECT_TRUE(d->Bound());
  ASSERT_EQ(services.questions.size(), 1u);
  EXPECT_NE(services.questions[0].text.find("get_Position failed: Unspecified error."), std::string::npos);
  services.questionAnswers.push_back(shell::MsgAnswer::Yes);
  EXPECT_EQ(d->GetPosition(), 0);
  EXPECT_FALSE(d->Bound());
}

TEST_F(PlayerTest, TheDesignComesFromThePlayersSettingsFileWhenUnbound) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("player/skins"));
  link.PlayerProgram(dir.File("player/DSMP.EXE"));
  inifile::Profile(dir.File("player/DSMP.ini")).WriteString("DSMP", "Design", "skins/blue.dsk");
  auto d = MakeDsmp();
  const auto before = std::filesystem::current_path();
  EXPECT_EQ(d->GetDesign(), dir.File("player/skins/blue.dsk"));
  EXPECT_EQ(std::filesystem::current_path(), before);
  d->SetDesign("/abs/red.dsk");
  EXPECT_EQ(d->GetDesign(), "/abs/red.dsk");
  // No settings file: empty.
  link.PlayerProgram(dir.File("none/DSMP.EXE"));
  auto e = MakeDsmp();
  EXPECT_EQ(e->GetDesign(), "");
  // Bound: the player's own value.
  DsmpProcess sim(PlayListJson(1, "\"properties\":{\"design\":\"played.dsk\"}"));
  d->Bind();
  ASSERT_TRUE(d->Bound());
  EXPECT_EQ(d->GetDesign(), "played.dsk");
  d->SetDesign("新しい.dsk");
  EXPECT_EQ(d->GetDesign(), "新しい.dsk");
}

TEST(TrackInfo, CdTrackCompletion) {
  struct Row {
    std::string file;
    int kind, drive, cdtrack;
    int wantDrive, wantTrack;
  } rows[] = {
      {"D:\\Track05.cda", 16, 0, 0, 3, 5},
      {"e:\\music\\track.cda", 17, 0, 0, 4, 0},
      {"D:\\Track05.cda", 1, 0, 0, 0, 0},   // not a CD track
      {"D:\\Track07.cda", 16, 2, 7, 2, 7},  // both set: kept
      {"D:\\Track07.cda", 16, 2, 0, 3, 7},  // one missing: both from the name
      {"D:\\Trackxx.cda", 16, 0, 9, 3, 0},  // not a number
      {"D:\\music.wav", 16, 0, 9, 3, 9},    // no "track": the number stays
      {"D:\\track12.wav", 16, 0, 9, 3, 9},  // no ".cda": the number stays
      {"D", 16, 0, 0, 0, 0},
      {"1:\\track3.cda", 16, 0, 0, 0, 3},  // below "a": drive 0
      {"é:\\track3.cda", 16, 0, 0, 0, 3},  // far above "z": drive 0
      {"月:\\track3.cda", 16, 0, 0, 0, 3},
      {"DX\\track3.cda", 16, 0, 0, 0, 0},      // no ":" second
      {"D:\\Track70000.cda", 16, 0, 0, 3, 0},  // over the 16-bit track field
      {"D:\\Track-1.cda", 16, 0, 0, 3, 0},     // negative
      // A first byte that starts no character: a stray continuation byte
      // takes the byte after it along, a lead byte as many as it announces.
      {"\x80x:\\track3.cda", 16, 0, 0, 0, 3},
      {"\x80:\\track3.cda", 16, 0, 0, 0, 0},
      {"\xE3:\\track3.cda", 16, 0, 0, 0, 0},
      {"\xC3x:\\track3.cda", 16, 0, 0, 0, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    player::PlayListTrack info;
    info.FileName = row.file;
    info.Kind = row.kind;
    info.Drive = row.drive;
    info.CDTrack = row.cdtrack;
    player::CompleteCdTrack(info);
    EXPECT_EQ(info.Drive, row.wantDrive);
    EXPECT_EQ(info.CDTrack, row.wantTrack);
  }
}

// Exporting reads each track's record and writes it back: what is written
// must read back as the same record, drive and track included.
TEST(TrackInfo, ARecordReadWritesBackAsTheSame) {
  for (const char* file : {"D:\\Track05.cda", "D:\\Track65535.cda", "D:\\Track65536.cda", "D:\\Track-1.cda",
                           "D:\\Track4294967295.cda"}) {
    SCOPED_TRACE(file);
    const auto v = [](std::int32_t n) { return ipc::Value::Long(n); };
    const auto s = [](const char* t) { return ipc::Value::String(text::Utf8ToUtf16(t)); };
    const player::PlayListTrack read = player::TrackInfoFromValues(
        {s("Title"), s("Artist"), s(file), s(""), s(""), v(0), v(0), v(0), v(16), v(0), v(0), v(0)});
    EXPECT_EQ(read.Drive, 3);
    const player::PlayListTrack back = player::TrackInfoFromValues(player::TrackInfoValues(read));
    EXPECT_EQ(back.Drive, read.Drive);
    EXPECT_EQ(back.CDTrack, read.CDTrack);
    EXPECT_TRUE(back == read);
  }
}

}  // namespace
}  // namespace sl::test
