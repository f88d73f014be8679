// Merging a mirror list into the stored servers: the stored count is taken
// as it is, damaged counts refuse the merge, and two programs merging at the
// same time never take the same entry number.
#include "settings/serverlist.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "support/recorder.h"
#include "text/codepage.h"

namespace sl::settings {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

std::string Stored(int count, const std::string& countText) {
  std::string text = "[tunedex]\r\nselectserver=0\r\nservercount=" + countText + "\r\n";
  for (int i = 0; i < count; ++i)
    text += "[svr" + std::to_string(i) + "]\r\nhost=host" + std::to_string(i) +
            ".example\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n";
  return text;
}

TEST(ServerListMerge, StoredCountIsTakenAsItIs) {
  TempDir dir;
  const std::string path = dir.File("s.INI");
  const std::vector<std::string> reply = {"host1200.example http 80 /~cddb/cddb.cgi N0 W0 known",
                                          "new.example http 80 /~cddb/cddb.cgi N0 W0 new",
                                          "\xF0\x9F\x98\x80.example http 80 /x N0 W0 emoji host",
                                          "after.example http 80 /~cddb/cddb.cgi N0 W0 next"};
  {
    // More entries than the old clamp of 1000: all are seen, the count grows.
    WriteFileBytes(path, Stored(1500, "1500"));
    SettingsFile s(path);
    std::string error;
    ASSERT_TRUE(SetServerList(s, reply, &error)) << error;
    EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, -1), 1502);
    EXPECT_EQ(s.ReadServer(1500).host, "new.example");
    // The host the code page can't hold took no number.
    EXPECT_EQ(s.ReadServer(1501).host, "after.example");
    EXPECT_EQ(s.ReadServer(1499).host, "host1499.example");
    shell::ShellModel model;
    EXPECT_EQ(GetServerList(s, model), 0);
    EXPECT_EQ(model.ServerItems().size(), 1502u);
  }
  {
    // No count stored: entries from svr0 on.
    WriteFileBytes(path, "[tunedex]\r\nselectserver=0\r\n");
    SettingsFile s(path);
    ASSERT_TRUE(SetServerList(s, {"a.example x", "a.example y", "b.example z"}));
    EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, -1), 3);
    EXPECT_EQ(s.ReadServer(1).host, "a.example");  // one entry per line of a new host
  }
  for (const char* bad : {"-1", "abc", "12x", "-2147483648"}) {
    // A count that says nothing sure about the entries: nothing is written.
    const std::string before = Stored(2, bad);
    WriteFileBytes(path, before);
    SettingsFile s(path);
    std::string error;
    EXPECT_FALSE(SetServerList(s, reply, &error)) << bad;
    EXPECT_NE(error.find("servercount"), std::string::npos) << error;
    EXPECT_EQ(ReadFileBytes(path), before) << bad;
  }
}

// A sites line without a blank adds an entry with an empty host. A later
// merge must not take that empty host as occurring in every line: new hosts
// are still added, known ones still skipped.
TEST(ServerListMerge, SecondMergeAfterAMalformedLine) {
  TempDir dir;
  const std::string path = dir.File("s.INI");
  WriteFileBytes(path, Stored(1, "1"));
  SettingsFile s(path);
  ASSERT_TRUE(SetServerList(s, {"malformed-no-blank", "a.example http 80 /x N0 W0 a"}));
  EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, -1), 3);
  EXPECT_EQ(s.ReadServer(1).host, "");
  EXPECT_EQ(s.ReadServer(1).path, "/~cddb/cddb.cgi?");
  EXPECT_EQ(s.ReadServer(2).host, "a.example");

  ASSERT_TRUE(SetServerList(s, {"b.example http 80 /x N0 W0 b", "a.example cddbp 8880 - N0 W0 a",
                                "host0.example http 80 /x N0 W0 stored", "malformed-no-blank"}));
  EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, -1), 5);
  EXPECT_EQ(s.ReadServer(3).host, "b.example");
  EXPECT_EQ(s.ReadServer(4).host, "");
  shell::ShellModel model;
  EXPECT_EQ(GetServerList(s, model), 0);
  ASSERT_EQ(model.ServerItems().size(), 5u);
  EXPECT_EQ(model.ServerItems()[3].caption, "b.example");
}

// A merge that adds nothing writes nothing: the stored count keeps its
// spelling (here hexadecimal) and the file stays byte for byte.
TEST(ServerListMerge, MergeAddingNothingLeavesTheFileAlone) {
  TempDir dir;
  const std::string path = dir.File("s.INI");
  for (const char* count : {static_cast<const char*>("0x2"), static_cast<const char*>(nullptr)}) {
    std::string before = count ? Stored(2, count) : "[tunedex]\r\nselectserver=0\r\n";
    WriteFileBytes(path, before);
    SettingsFile s(path);
    ASSERT_TRUE(SetServerList(s, count ? std::vector<std::string>{"host1.example http 80 /x N0 W0 known"}
                                       : std::vector<std::string>{}));
    EXPECT_EQ(ReadFileBytes(path), before) << (count ? count : "no count");
  }
}

// Two programs merging lists at the same moment: each merge sees the other's
// entries, so every host gets a number of its own and none is lost.
TEST(ServerListMerge, ConcurrentMergesLoseNothing) {
  TempDir dir;
  const std::string path = dir.File("s.INI");
  WriteFileBytes(path, Stored(1, "1"));
  constexpr int kPerChild = 25;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      SettingsFile s(path);
      for (int i = 0; i < kPerChild; ++i) {
        const std::string host = "c" + std::to_string(c) + "-" + std::to_string(i) + ".example";
        if (!SetServerList(s, {host + " http 80 /x N0 W0 d"})) ::_exit(1);
      }
      ::_exit(0);
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  SettingsFile s(path);
  const int count = s.ReadInteger(kSection, kKeyServerCount, -1);
  EXPECT_EQ(count, 1 + 2 * kPerChild);
  std::set<std::string> hosts;
  for (int i = 0; i < count; ++i) hosts.insert(s.ReadServer(i).host);
  EXPECT_EQ(hosts.size(), static_cast<std::size_t>(1 + 2 * kPerChild));
}

}  // namespace
}  // namespace sl::settings
