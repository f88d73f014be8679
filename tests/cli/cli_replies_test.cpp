// sonolabel-cli facing servers that refuse, lists it must not merge, match
// lists it cannot ask about, server URLs given by hand, a stdout that cannot
// be written, and a drive that cannot be opened.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cddb/cddb.h"
#include "cli_run.h"
#include "mainform/outcome_texts.h"
#include "support/cddbd_process.h"
#include "support/loopback_server.h"
#include "support/recorder.h"
#include "support/refusing_server.h"

namespace sl::test {
namespace {

const char* kRock = "[0:0:0]\nvendor=S\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n";

class CliReplies : public ::testing::Test {
 protected:
  void SetUp() override { WriteFileBytes(dir.File("drives.ini"), kRock); }
  Result Run(const std::string& args) { return RunCli(dir, args); }
  std::string Err() const { return ReadFileBytes(dir.File("stderr")); }
  // The program with stdout on `target` (a file such as /dev/full); the
  // exit status.
  int RunTo(const std::string& args, const std::string& target) {
    const std::string cmd = "env SONOLABEL_ASPI=sim SONOLABEL_SIM_DRIVES='" + dir.File("drives.ini") +
                            "' SONOLABEL_INI='" + dir.File("s.INI") + "' SONOLABEL_WINDIR='" + dir.Path() +
                            "' '" + SONOLABEL_BIN_DIR + "/sonolabel-cli' " + args + " >" + target + " 2>'" +
                            dir.File("stderr") + "' </dev/null";
    const int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  TempDir dir;
};

const std::string kRefusal =
    std::string("サーバからの応答：500 Unknown developer email\n") + mainform::kUnknownClientHint + "\n";

// gnudb's refusal of an unregistered client reaches stderr, for each kind of
// request, and the run fails.
TEST_F(CliReplies, UnknownDeveloperRefusalOnStderrForEachRequestKind) {
  const std::string email = " --email me@example.com --server ";
  {
    RefusingCddbServer server;
    const auto r = Run("lookup" + email + server.CgiUrl());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"status\":\"コマンドエラー\""), std::string::npos) << r.out;
    EXPECT_NE(Err().find("タイトル取得中\nコマンドエラー\n" + kRefusal), std::string::npos) << Err();
    EXPECT_EQ(Err().find(kRefusal), Err().rfind(kRefusal));  // once
    EXPECT_FALSE(std::filesystem::exists(dir.File("cdplayer.ini")));
  }
  {
    LoopbackServer server(
        std::vector<ServerScript>{ServerScript().Send(HttpReply(200, "200 rock 23026203 Artist / Title\r\n")),
                                  UnknownDeveloperScript()});
    const auto r = Run("lookup" + email + server.Url("/~cddb/cddb.cgi"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(Err().find("タイトル取得中\nタイトル取得完了\n曲名取得中\nコマンドエラー\n" + kRefusal),
              std::string::npos)
        << Err();
    EXPECT_FALSE(std::filesystem::exists(dir.File("cdplayer.ini")));
  }
  {
    RefusingCddbServer server;
    const std::string before = ReadFileBytes(dir.File("s.INI"));
    const auto r = Run("sites" + email + server.CgiUrl());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(Err().find("サーバリスト取得中\nコマンドエラー\n" + kRefusal), std::string::npos) << Err();
    EXPECT_EQ(ReadFileBytes(dir.File("s.INI")), before);  // nothing merged
  }
}

// A server list the settings file refuses is reported as refused, with no
// success before it, and the run fails.
TEST_F(CliReplies, RefusedServerListMergeIsNoSuccess) {
  CddbdProcess server;
  WriteFileBytes(dir.File("s.INI"),
                 "[tunedex]\r\nemail=me@example.com\r\nselectserver=0\r\nservercount=-3\r\n");
  const auto r = Run("sites --server " + server.Url());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Err().find("サーバリストの取得が完了しました。"), std::string::npos) << Err();
  EXPECT_EQ(Err().find("サーバリスト取得完了"), std::string::npos) << Err();
  EXPECT_EQ(Err().find("応答コードなし"), std::string::npos) << Err();
  EXPECT_NE(Err().find("サーバリストを保存できませんでした。\n"), std::string::npos) << Err();
  EXPECT_NE(Err().find("サーバリスト保存失敗\n"), std::string::npos) << Err();
}

// Several matches, no --choose and no terminal: the run says that a choice
// is needed and how to give it.
TEST_F(CliReplies, MatchListWithoutATerminalSaysHowToChoose) {
  CddbdProcess server;
  WriteFileBytes(
      dir.File("drives.ini"),
      "[0:0:0]\nvendor=S\nproduct=MULTI\ntoc=0:02:00 5:12:40 9:45:10 14:20:55 19:02:33 23:41:12\n");
  const auto r = Run("lookup --email me@example.com --server " + server.Url());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(Err().find("run again with --choose K (K = 1 to "), std::string::npos) << Err();
}

// Server URLs: a lone "/" gets the standard script; IPv6 is a usage error.
TEST_F(CliReplies, ServerUrlWithALoneSlashAndIpv6) {
  CddbdProcess server;
  const auto r =
      Run("lookup --email me@example.com --server http://127.0.0.1:" + std::to_string(server.Port()) + "/");
  EXPECT_EQ(r.status, 0) << Err();
  EXPECT_NE(server.Log().find("/~cddb/cddb.cgi?cmd=cddb+query+23026203"), std::string::npos) << server.Log();
  for (const char* url : {"http://[::1]:8880/", "http://[::1]"}) {
    const auto v6 = Run(std::string("lookup --server ") + url);
    EXPECT_EQ(v6.status, 2) << url;
    EXPECT_EQ(v6.out, "") << url;
    EXPECT_NE(Err().find("IPv6 addresses are not supported"), std::string::npos) << Err();
  }
}

// A stdout that cannot take the result (a full disk) fails the run with
// the reason, whatever the command.
TEST_F(CliReplies, UnwritableStdoutFailsWithTheReason) {
  CddbdProcess server;
  const std::vector<std::string> commands = {"drives", "disc", "--help",
                                             "lookup --email me@example.com --server " + server.Url()};
  for (const std::string& args : commands) {
    EXPECT_EQ(RunTo(args, "/dev/full"), 1) << args;
    EXPECT_NE(Err().find("sonolabel-cli: cannot write to standard output: No space left on device"),
              std::string::npos)
        << args << ": " << Err();
  }
  // The same commands to a file that takes them succeed.
  EXPECT_EQ(RunTo("drives", dir.File("out")), 0) << Err();
  EXPECT_EQ(ReadFileBytes(dir.File("out")), "0\t0:0:0\tS       ROCK            \n");
}

// A drive whose node cannot be opened: listed under its node with the reason
// on stderr, the listing a failure; the disc commands name the reason, not
// an empty tray.
TEST_F(CliReplies, DriveThatCannotBeOpened) {
  WriteFileBytes(dir.File("drives.ini"),
                 std::string(kRock) +
                     "[0:1:0]\nvendor=S\nproduct=LOCKED\ntoc=0:02:00 1:00:00 2:00:00\n"
                     "open_error=13\n");
  auto r = Run("drives");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "0\t0:0:0\tS       ROCK            \n1\t0:1:0\tsim:0:1:0（開けません）\n");
  EXPECT_NE(Err().find("CD-ROMドライブ sim:0:1:0 を開けません（アクセスが許可されていません）。"),
            std::string::npos)
      << Err();
  r = Run("discid --drive 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(Err().find("ドライブを開けません\n"), std::string::npos) << Err();
  EXPECT_EQ(Err().find("CDがセットされていません。"), std::string::npos) << Err();
  EXPECT_EQ(Err().find("CDなし"), std::string::npos) << Err();
  EXPECT_EQ(Run("discid --drive 0").status, 0) << Err();
}

}  // namespace
}  // namespace sl::test
