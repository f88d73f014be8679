// The settings file saved by a process that is killed at random moments:
// each kill leaves a file that reads, with every other section byte for
// byte as before and the server entry being saved whole, old or new.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "settings/settings.h"
#include "support/kill_rounds.h"
#include "support/recorder.h"

namespace sl::settings {
namespace {

TEST(SettingsProcesses, KilledSaveLeavesOldOrNewFileNeverATornOne) {
  test::TempDir dir;
  const std::string path = dir.File("sonolabel.INI");
  // A settings file as the program and the options dialog leave it, with a
  // long server list and a user's comment.
  std::string text =
      "; my settings\r\n[tunedex]\r\nproxyIP=\r\nproxyport=8080\r\nemail=me@example.com\r\n"
      "selectserver=0\r\nservercount=200\r\nsubmitemail=gnudb-submit@gnudb.org\r\n";
  for (int i = 0; i < 200; ++i)
    text += "[svr" + std::to_string(i) + "]\r\nhost=mirror" + std::to_string(i) +
            ".example\r\npath=/~cddb/cddb.cgi?\r\ncode=0\r\n";
  test::WriteFileBytes(path, text);

  test::KillRounds plan;
  plan.path = path;
  plan.section = "svr7";
  plan.save = [&](int generation) {
    SettingsFile s(path);
    const std::string g = std::to_string(generation);
    return s.WriteServer(7, {"host" + g + ".example", "/path" + g + "?", generation % 3, ""});
  };
  plan.whole = [](const std::optional<inifile::Profile::KeyValues>& section) {
    if (!section || section->size() != 3) return false;
    const std::string& host = section->at(0).second;
    if (host == "mirror7.example")
      return section->at(1).second == "/~cddb/cddb.cgi?" && section->at(2).second == "0";
    if (host.rfind("host", 0) != 0) return false;
    const std::string g = host.substr(4, host.size() - 4 - 8);
    return host == "host" + g + ".example" && section->at(1).second == "/path" + g + "?" &&
           section->at(2).second == std::to_string(std::stoll(g) % 3);
  };
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const auto r = test::PlayKillRounds(plan, test::CrashRounds(100), seed);
  ExpectNothingLost(r);
  SettingsFile s(path);
  EXPECT_EQ(s.ReadInteger(kSection, kKeyServerCount, -1), 200);
  EXPECT_EQ(s.ReadServer(199).host, "mirror199.example");
}

}  // namespace
}  // namespace sl::settings
