// Saves from real separate processes: one killed at random moments while it
// saves, two saving different discs at the same time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "inifile/profile.h"
#include "localdb/localdb.h"
#include "shell/model.h"
#include "support/kill_rounds.h"
#include "support/recorder.h"
#include "text/codepage.h"

namespace sl::localdb {
namespace {

using shell::TrackTitleTable;

TrackTitleTable Titles(const std::string& tag, int tracks) {
  TrackTitleTable t;
  t.SetRowCount(tracks + 1);
  t.SetArtist("artist " + tag);
  t.SetTitle("アルバム " + tag);
  for (int r = 1; r <= tracks; ++r) t.SetCell(1, r, "曲 " + tag + " #" + std::to_string(r));
  return t;
}

// A database of other discs, as another program wrote it.
std::string OtherDiscs(int count) {
  std::string s = "; written by another program\r\n";
  for (int i = 0; i < count; ++i) {
    s += "[" + SectionName(0x100000u + static_cast<unsigned>(i)) + "]\r\nEntryType=1\r\n";
    s += "numtracks=12\r\nartist=" + text::ToExternal("他のアーティスト") + std::to_string(i) + "\r\n";
    for (int n = 0; n < 12; ++n) s += std::to_string(n) + "=t" + std::to_string(n) + "\r\n";
  }
  return s;
}

// Header lines of the file, and whether every line ends with CR LF.
std::multiset<std::string> Headers(const std::string& bytes, bool* crlf) {
  std::multiset<std::string> out;
  *crlf = bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) end = bytes.size();
    if (end == pos || bytes[end - 1] != '\r') *crlf = false;
    if (bytes[pos] == '[') out.insert(bytes.substr(pos, end - 1 - pos));
    pos = end + 1;
  }
  return out;
}

// A save killed at any moment leaves the old file or the new one: the file
// reads, every other disc is byte for byte as before, and the disc being
// saved has all its keys from one save (the one before the round or one of
// the child's). 100 rounds here; scripts/crash.sh plays 1,000.
TEST(LocalDbProcesses, KilledSaveLeavesOldOrNewFileNeverATornOne) {
  test::TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  constexpr int kOthers = 300;
  constexpr std::uint32_t kDisc = 0xC0DE0u;
  test::WriteFileBytes(path, OtherDiscs(kOthers));
  ASSERT_TRUE(WriteIniFile(path, kDisc, 12, 12, Titles("old", 12)));

  test::KillRounds plan;
  plan.path = path;
  plan.section = SectionName(kDisc);
  plan.save = [&](int generation) {
    return WriteIniFile(path, kDisc, 12, 12, Titles("g" + std::to_string(generation), 12));
  };
  plan.whole = [](const std::optional<inifile::Profile::KeyValues>& section) {
    if (!section || section->size() != 15) return false;
    const std::string artist = section->at(1).second;
    if (artist.rfind("artist ", 0) != 0) return false;
    const std::string tag = artist.substr(7);
    if (section->at(2).second != "アルバム " + tag) return false;
    for (int n = 0; n < 12; ++n)
      if (section->at(static_cast<std::size_t>(3 + n)).second != "曲 " + tag + " #" + std::to_string(n + 1))
        return false;
    return true;
  };
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const auto r = test::PlayKillRounds(plan, test::CrashRounds(100), seed);
  ExpectNothingLost(r);
  RecordProperty("killed_mid_save", r.killedMidSave);
  EXPECT_EQ(inifile::Profile(path).ReadString("100007", "artist", ""), "他のアーティスト7");

  // The lock died with its holder, and what a killed writer left behind goes
  // with the next save.
  ASSERT_TRUE(WriteIniFile(path, 0x1234, 1, 1, Titles("final", 1)));
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(name, "cdplayer.ini");
  }
}

TEST(LocalDbProcesses, TwoProcessesSavingAtOnceLoseNothing) {
  test::TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  test::WriteFileBytes(path, OtherDiscs(20));
  // 100 saves each here; scripts/crash.sh plays 1,000.
  const int kSaves = test::CrashRounds(100);

  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (unsigned who = 1; who <= 2; ++who) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      char c;
      while (::read(start[0], &c, 1) > 0) {
      }  // both start when the parent closes the pipe
      for (int i = 0; i < kSaves; ++i) {
        const std::string tag = std::to_string(who) + "-" + std::to_string(i);
        if (!WriteIniFile(path, (who << 16) | static_cast<unsigned>(i), 12, 12, Titles(tag, 12))) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  for (unsigned who = 1; who <= 2; ++who) {
    for (int i = 0; i < kSaves; ++i) {
      const std::string tag = std::to_string(who) + "-" + std::to_string(i);
      TrackTitleTable t;
      t.SetRowCount(13);
      ASSERT_TRUE(ReadIniFile(path, (who << 16) | static_cast<unsigned>(i), t)) << tag;
      EXPECT_EQ(t.Artist(), "artist " + tag);
      EXPECT_EQ(t.Cell(1, 12), "曲 " + tag + " #12");
    }
  }
  bool crlf = false;
  const std::size_t sections = Headers(test::ReadFileBytes(path), &crlf).size();
  EXPECT_EQ(sections, 20u + 2u * static_cast<unsigned>(kSaves));
  EXPECT_TRUE(crlf);
  std::printf("race: 2 processes x %d saves, %zu of %d discs in the file\n", kSaves, sections - 20,
              2 * kSaves);
}

}  // namespace
}  // namespace sl::localdb
