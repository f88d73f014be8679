// sonolabel-cli player import|export against the reference player running
// as its own process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "platform/json.h"
#include "support/dsmp_process.h"
#include "cli_run.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

class PlayerCli : public ::testing::Test {
 protected:
  Result Run(const std::string& args) {
    WriteFileBytes(dir.File("drives.ini"),
                   "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n");
    return RunCli(dir, args, "-u SONOLABEL_DSMP SONOLABEL_IPC_TIMEOUT_MS=400");
  }
  platform::json::Value Json(const Result& r) {
    auto v = platform::json::Parse(r.out);
    return v.value ? *v.value : platform::json::Value();
  }
  std::string Err() const { return ReadFileBytes(dir.File("stderr")); }

  PrivateRuntime runtime;
  TempDir dir;
};

const char* kList =
    "{\"version\":6100,\"accepts_level\":true,\"refuse\":\"\",\"playlist\":{\"name\":\"/m/l.dpl\","
    "\"title\":\"\",\"tracks\":[{\"title\":\"Uno\",\"artist\":\"\",\"file\":\"D:\\\\Track01.cda\",\"kind\":16},"
    "{\"title\":\"\",\"artist\":\"\",\"file\":\"D:\\\\Track02.cda\",\"kind\":16},"
    "{\"title\":\"Tres\",\"artist\":\"\",\"file\":\"D:\\\\Track03.cda\",\"kind\":16}]},\"saves\":[]}";

TEST_F(PlayerCli, ImportPrintsTheWindowWithThePlayListTitles) {
  DsmpProcess sim(kList);
  const Result r = Run("player import --drive 0");
  EXPECT_EQ(r.status, 0) << Err();
  const auto v = Json(r);
  ASSERT_TRUE(v.IsObject()) << r.out;
  EXPECT_EQ(v.GetString("status"), "DSMPからリスト取込完了");
  ASSERT_EQ(v.Find("tracks")->AsArray().size(), 3u);
  EXPECT_EQ(v.Find("tracks")->AsArray()[0].GetString("title"), "Uno");
  EXPECT_EQ(v.Find("tracks")->AsArray()[1].GetString("title"), "");
  EXPECT_EQ(v.Find("tracks")->AsArray()[2].GetString("title"), "Tres");
}

TEST_F(PlayerCli, ExportFillsTheListFromTheFieldsFile) {
  DsmpProcess sim(kList);
  WriteFileBytes(dir.File("fields.json"),
                 "{\"title\":\"Album\",\"artist\":\"Band\",\"status\":\"ignored\","
                 "\"tracks\":[{\"title\":\"One\",\"artist\":\"A1\"},{\"title\":\"Two\"},{\"title\":\"Three\"}]}");
  const Result r = Run("player export --fields '" + dir.File("fields.json") + "' --artists yes");
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_EQ(Json(r).GetString("status"), "DSMPに転送完了しました。");
  EXPECT_NE(Err().find("アーティスト名も登録しますか？。"), std::string::npos);
  const auto state = sim.State();
  const auto& tracks = state.Find("playlist")->Find("tracks")->AsArray();
  EXPECT_EQ(state.Find("playlist")->GetString("title"), "Album");
  EXPECT_EQ(tracks[0].GetString("title"), "Uno");
  EXPECT_EQ(tracks[0].GetString("artist"), "A1");
  EXPECT_EQ(tracks[1].GetString("title"), "Two");
  EXPECT_EQ(tracks[1].GetInt("cdtrack"), 2);
  EXPECT_EQ(state.Find("saves")->AsArray().size(), 3u);
}

TEST_F(PlayerCli, FailuresAndUsage) {
  // No titles to export, no player, a bad fields file, usage errors.
  EXPECT_EQ(Run("player export").status, 1);
  EXPECT_EQ(Run("player import").status, 1);
  EXPECT_NE(Err().find("DSMPと接続できません。"), std::string::npos);
  WriteFileBytes(dir.File("bad.json"), "{\"tracks\": [1,");
  EXPECT_EQ(Run("player export --fields '" + dir.File("bad.json") + "'").status, 1);
  EXPECT_NE(Err().find("bad.json"), std::string::npos);
  EXPECT_EQ(Run("player").status, 2);
  EXPECT_EQ(Run("player import --fields x").status, 2);
  EXPECT_EQ(Run("player export --artists maybe").status, 2);
  // A player that exits mid-export: exit status 1, the failure on stderr.
  DsmpProcess sim(std::string(kList).insert(1, "\"exit_on\":\"PlayList.31#2\","));
  WriteFileBytes(dir.File("f.json"), "{\"tracks\":[{\"title\":\"One\"}]}");
  const Result r = Run("player export --fields '" + dir.File("f.json") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Json(r).GetString("status"), "DSMPと接続できません。");
}

}  // namespace
}  // namespace sl::test
