// Saves from real separate processes: one killed at random moments while it
// saves, two saving different discs at the same time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "localdb/localdb.h"
#include "platform/codepage.h"
#include "platform/profile.h"
#include "shell/model.h"
#include "support/recorder.h"

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
    s += "numtracks=12\r\nartist=" + platform::ToExternal("他のアーティスト") + std::to_string(i) + "\r\n";
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

TEST(LocalDbProcesses, KilledSaveLeavesOldOrNewFileNeverATornOne) {
  test::TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  constexpr int kOthers = 300;
  test::WriteFileBytes(path, OtherDiscs(kOthers));
  std::set<std::string> otherHeaders;
  for (int i = 0; i < kOthers; ++i) otherHeaders.insert("[" + SectionName(0x100000u + static_cast<unsigned>(i)) + "]");

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  int killedWhileRunning = 0;
  int killedMidSave = 0;  // a temporary file was left: killed between create and rename
  for (int round = 0; round < 25; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Saves four discs over and over, each save a new generation of titles.
      for (int i = 0; i < 100000; ++i) {
        const std::string tag = "r" + std::to_string(round) + "g" + std::to_string(i);
        if (!WriteIniFile(path, 0xC0DE0u + static_cast<unsigned>(i % 4), 12, 12, Titles(tag, 12))) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "a save failed";
    if (WIFSIGNALED(status)) ++killedWhileRunning;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
      if (e.path().filename().string().rfind(".cdplayer.ini.tmp-", 0) == 0) ++killedMidSave;
    }

    const std::string bytes = test::ReadFileBytes(path);
    bool crlf = false;
    const auto headers = Headers(bytes, &crlf);
    ASSERT_TRUE(crlf) << "round " << round;
    for (const auto& h : otherHeaders) ASSERT_EQ(headers.count(h), 1u) << h << " round " << round;
    // Each of the killed process's discs is either absent or whole: all
    // keys from one and the same save.
    const platform::Profile p(path);
    for (unsigned k = 0; k < 4; ++k) {
      const auto section = p.ReadSection(SectionName(0xC0DE0u + k));
      if (!section) continue;
      ASSERT_EQ(section->size(), 15u);
      const std::string artist = section->at(1).second;
      ASSERT_EQ(artist.rfind("artist ", 0), 0u);
      const std::string tag = artist.substr(7);
      EXPECT_EQ(section->at(2).second, "アルバム " + tag);
      for (int n = 0; n < 12; ++n) {
        EXPECT_EQ(section->at(static_cast<std::size_t>(3 + n)).second,
                  "曲 " + tag + " #" + std::to_string(n + 1));
      }
    }
  }
  EXPECT_GT(killedWhileRunning, 0);
  RecordProperty("killed_mid_save", killedMidSave);
  EXPECT_EQ(platform::Profile(path).ReadString("100007", "artist", ""), "他のアーティスト7");

  // The lock died with its holder, and what a killed writer left behind goes
  // with the next save.
  ASSERT_TRUE(WriteIniFile(path, 0x1234, 1, 1, Titles("final", 1)));
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "cdplayer.ini" || name == "cdplayer.ini.lock") << name;
  }
}

TEST(LocalDbProcesses, TwoProcessesSavingAtOnceLoseNothing) {
  test::TempDir dir;
  const std::string path = dir.File("cdplayer.ini");
  test::WriteFileBytes(path, OtherDiscs(20));
  constexpr int kSaves = 40;

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
  EXPECT_EQ(Headers(test::ReadFileBytes(path), &crlf).size(), 20u + 2 * kSaves);
  EXPECT_TRUE(crlf);
}

}  // namespace
}  // namespace sl::localdb
