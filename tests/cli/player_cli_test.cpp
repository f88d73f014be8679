// sonolabel-cli player import|export against the reference player running
// as its own process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "cli_run.h"
#include "platform/bounded_json.h"
#include "support/dsmp_process.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

using platform::JsonInt;
using platform::JsonText;

class PlayerCli : public ::testing::Test {
 protected:
  Result Run(const std::string& args) {
    WriteFileBytes(dir.File("drives.ini"),
                   "[0:0:0]\nvendor = SONOLAB\nproduct = ROCK\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n");
    return RunCli(dir, args, "-u SONOLABEL_DSMP SONOLABEL_IPC_TIMEOUT_MS=400");
  }
  platform::Json Json(const Result& r) {
    auto v = platform::ReadJson(r.out);
    return v.value ? std::move(*v.value) : platform::Json();
  }
  std::string Err() const { return ReadFileBytes(dir.File("stderr")); }

  PrivateRuntime runtime;
  TempDir dir;
};

const char* kList =
    "{\"version\":6100,\"accepts_level\":true,\"refuse\":\"\",\"playlist\":{\"name\":\"/m/l.dpl\","
    "\"title\":\"\",\"tracks\":[{\"title\":\"Uno\",\"artist\":\"\",\"file\":\"D:\\\\Track01.cda\",\"kind\":"
    "16},"
    "{\"title\":\"\",\"artist\":\"\",\"file\":\"D:\\\\Track02.cda\",\"kind\":16},"
    "{\"title\":\"Tres\",\"artist\":\"\",\"file\":\"D:\\\\Track03.cda\",\"kind\":16}]},\"saves\":[]}";

TEST_F(PlayerCli, ImportPrintsTheWindowWithThePlayListTitles) {
  DsmpProcess sim(kList);
  const Result r = Run("player import --drive 0");
  EXPECT_EQ(r.status, 0) << Err();
  auto v = Json(r);
  ASSERT_TRUE(v.is_object()) << r.out;
  EXPECT_EQ(JsonText(v, "status"), "DSMPからリスト取込完了");
  ASSERT_EQ(v["tracks"].size(), 3u);
  EXPECT_EQ(JsonText(v["tracks"][0], "title"), "Uno");
  EXPECT_EQ(JsonText(v["tracks"][1], "title"), "");
  EXPECT_EQ(JsonText(v["tracks"][2], "title"), "Tres");
}

TEST_F(PlayerCli, ExportFillsTheListFromTheFieldsFile) {
  DsmpProcess sim(kList);
  WriteFileBytes(
      dir.File("fields.json"),
      "{\"title\":\"Album\",\"artist\":\"Band\",\"status\":\"ignored\","
      "\"tracks\":[{\"title\":\"One\",\"artist\":\"A1\"},{\"title\":\"Two\"},{\"title\":\"Three\"}]}");
  const Result r = Run("player export --fields '" + dir.File("fields.json") + "' --artists yes");
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_EQ(JsonText(Json(r), "status"), "DSMPに転送完了しました。");
  EXPECT_NE(Err().find("アーティスト名も登録しますか？。"), std::string::npos);
  auto state = sim.State();
  const auto& tracks = state["playlist"]["tracks"];
  EXPECT_EQ(JsonText(state["playlist"], "title"), "Album");
  EXPECT_EQ(JsonText(tracks[0], "title"), "Uno");
  EXPECT_EQ(JsonText(tracks[0], "artist"), "A1");
  EXPECT_EQ(JsonText(tracks[1], "title"), "Two");
  EXPECT_EQ(JsonInt(tracks[1], "cdtrack"), 2);
  EXPECT_EQ(state["saves"].size(), 3u);
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
  EXPECT_EQ(JsonText(Json(r), "status"), "DSMPと接続できません。");
}

}  // namespace
}  // namespace sl::test
