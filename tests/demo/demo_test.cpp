// Demo mode: where its files and folder are found, the settings it writes,
// and the start and stop of its CDDB server and MusicBrainz stand-in,
// including the ways they fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "demo/demo.h"
#include "inifile/profile.h"
#include "settings/settings.h"
#include "support/recorder.h"
#include "support/scoped_env.h"

namespace sl::test {
namespace {

namespace fs = std::filesystem;

// A server script that says it listens on port 4242 and then waits.
constexpr const char* kListeningServer =
    "#!/bin/sh\nwhile [ $# -gt 0 ]; do [ \"$1\" = --port-file ] && echo 4242 > \"$2\"; shift; done\n"
    "exec sleep 60\n";

// A prefix laid out as an installation: bin/ (the programs' folder),
// lib/sonolabel/ with the two server programs and a player (scripts given by
// the test) and the layer, share/sonolabel/demo/.
class FakeInstall {
 public:
  explicit FakeInstall(const std::string& serverScript, const std::string& playerScript = "#!/bin/sh\n",
                       const std::string& musicBrainzScript = kListeningServer) {
    fs::create_directories(dir.File("bin"));
    fs::create_directories(dir.File("lib/sonolabel"));
    fs::create_directories(dir.File("share/sonolabel/demo/cddb/rock"));
    fs::create_directories(dir.File("share/sonolabel/demo/musicbrainz"));
    WriteFileBytes(dir.File("lib/sonolabel/sonolabel-cddbd"), serverScript);
    ::chmod(dir.File("lib/sonolabel/sonolabel-cddbd").c_str(), 0755);
    WriteFileBytes(dir.File("lib/sonolabel/sonolabel-mbsim"), musicBrainzScript);
    ::chmod(dir.File("lib/sonolabel/sonolabel-mbsim").c_str(), 0755);
    WriteFileBytes(dir.File("share/sonolabel/demo/musicbrainz/routes.txt"), "");
    WriteFileBytes(dir.File("lib/sonolabel/libwnaspi32-sim.so"), "");
    WriteFileBytes(dir.File("lib/sonolabel/dsmp-sim"), playerScript);
    ::chmod(dir.File("lib/sonolabel/dsmp-sim").c_str(), 0755);
    WriteFileBytes(dir.File("share/sonolabel/demo/drives.ini"), "");
    WriteFileBytes(dir.File("share/sonolabel/demo/playlist.json"), "{}");
    WriteFileBytes(dir.File("share/sonolabel/demo/cddb/rock/23026203"), "# xmcd\n");
  }
  std::string Bin() const { return dir.File("bin"); }
  TempDir dir;
};

// Sends `request` to 127.0.0.1:`port` and returns all of the reply.
std::string Ask(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return reply;
}

// A session started as from a desktop: the state folder in `state`, and
// none of the variables the session sets for the program.
void StartFromAPlainEnvironment(ScopedEnv& env, const TempDir& state) {
  env.Set("XDG_STATE_HOME", state.Path().c_str());
  for (const char* name : {"SONOLABEL_ASPI", "SONOLABEL_SIM_DRIVES", "SONOLABEL_INI", "SONOLABEL_WINDIR",
                           "SONOLABEL_DSMP", "DSMP_SIM_STATE", "XDG_RUNTIME_DIR"})
    env.Set(name, nullptr);
}

// The configuration as a program's start-up reads it now.
config::Configuration ReadAtStartUp() { return config::ReadConfiguration(config::ProcessEnvironment()); }

TEST(Demo, StateFolderFollowsXdgStateHome) {
  ScopedEnv env;
  env.Set("XDG_STATE_HOME", "/state").Set("HOME", "/home/u");
  EXPECT_EQ(demo::DemoStateDir(ReadAtStartUp().folders), "/state/sonolabel-demo");
  // A relative XDG_STATE_HOME is to be ignored, as an unset one.
  env.Set("XDG_STATE_HOME", "state");
  EXPECT_EQ(demo::DemoStateDir(ReadAtStartUp().folders), "/home/u/.local/state/sonolabel-demo");
  env.Set("XDG_STATE_HOME", nullptr);
  EXPECT_EQ(demo::DemoStateDir(ReadAtStartUp().folders), "/home/u/.local/state/sonolabel-demo");
}

TEST(Demo, FilesAreFoundInTheInstalledFoldersAndAMissingOneIsNamed) {
  FakeInstall install("#!/bin/sh\n");
  demo::DemoFiles files;
  std::string why;
  ASSERT_TRUE(demo::FindDemoFiles(install.Bin(), files, why)) << why;
  EXPECT_EQ(files.layer, install.dir.File("lib/sonolabel/libwnaspi32-sim.so"));
  EXPECT_EQ(files.drives, install.dir.File("share/sonolabel/demo/drives.ini"));
  EXPECT_EQ(files.cddbRoot, install.dir.File("share/sonolabel/demo/cddb"));
  EXPECT_EQ(files.server, install.dir.File("lib/sonolabel/sonolabel-cddbd"));
  EXPECT_EQ(files.player, install.dir.File("lib/sonolabel/dsmp-sim"));
  EXPECT_EQ(files.playlist, install.dir.File("share/sonolabel/demo/playlist.json"));
  EXPECT_EQ(files.musicBrainzServer, install.dir.File("lib/sonolabel/sonolabel-mbsim"));
  EXPECT_EQ(files.musicBrainzData, install.dir.File("share/sonolabel/demo/musicbrainz"));

  // Each missing piece is named with the places it was looked for.
  fs::remove(install.dir.File("share/sonolabel/demo/drives.ini"));
  EXPECT_FALSE(demo::FindDemoFiles(install.Bin(), files, why));
  EXPECT_EQ(why, "デモに必要なファイル demo/drives.ini が見つかりません（探した場所: " + install.Bin() +
                     "/demo/drives.ini, " + install.dir.File("share/sonolabel/demo/drives.ini") + "）。");
  WriteFileBytes(install.dir.File("share/sonolabel/demo/drives.ini"), "");
  fs::remove(install.dir.File("lib/sonolabel/libwnaspi32-sim.so"));
  EXPECT_FALSE(demo::FindDemoFiles(install.Bin(), files, why));
  EXPECT_NE(why.find("libwnaspi32-sim.so"), std::string::npos) << why;
  WriteFileBytes(install.dir.File("lib/sonolabel/libwnaspi32-sim.so"), "");
  fs::remove(install.dir.File("share/sonolabel/demo/playlist.json"));
  EXPECT_FALSE(demo::FindDemoFiles(install.Bin(), files, why));
  EXPECT_NE(why.find("demo/playlist.json"), std::string::npos) << why;
  WriteFileBytes(install.dir.File("share/sonolabel/demo/playlist.json"), "{}");
  fs::remove(install.dir.File("lib/sonolabel/sonolabel-cddbd"));
  EXPECT_FALSE(demo::FindDemoFiles(install.Bin(), files, why));
  EXPECT_EQ(why, "デモに必要なプログラム sonolabel-cddbd が見つかりません（探した場所: " + install.Bin() +
                     "/sonolabel-cddbd, " + install.dir.File("lib/sonolabel/sonolabel-cddbd") + "）。");
  WriteFileBytes(install.dir.File("lib/sonolabel/sonolabel-cddbd"), "#!/bin/sh\n");
  ::chmod(install.dir.File("lib/sonolabel/sonolabel-cddbd").c_str(), 0755);
  // The MusicBrainz stand-in must be there and runnable, its data too.
  ::chmod(install.dir.File("lib/sonolabel/sonolabel-mbsim").c_str(), 0644);
  EXPECT_FALSE(demo::FindDemoFiles(install.Bin(), files, why));
  EXPECT_EQ(why, "デモに必要なプログラム sonolabel-mbsim が見つかりません（探した場所: " + install.Bin() +
                     "/sonolabel-mbsim, " + install.dir.File("lib/sonolabel/sonolabel-mbsim") + "）。");
  ::chmod(install.dir.File("lib/sonolabel/sonolabel-mbsim").c_str(), 0755);
  fs::remove_all(install.dir.File("share/sonolabel/demo/musicbrainz"));
  EXPECT_FALSE(demo::FindDemoFiles(install.Bin(), files, why));
  EXPECT_NE(why.find("demo/musicbrainz"), std::string::npos) << why;
}

TEST(Demo, SettingsHoldOnlyTheLocalServerAndKeepTheAddress) {
  TempDir dir;
  const std::string ini = dir.File("sonolabel.INI");
  std::string why;
  ASSERT_TRUE(demo::WriteDemoSettings(ini, 4321, 4322, why)) << why;
  settings::SettingsFile first(ini);
  EXPECT_EQ(first.ReadString(settings::kSection, settings::kKeyEmail, "x"), "");
  EXPECT_EQ(first.ReadInteger(settings::kSection, settings::kKeySelectServer, -1), 0);
  EXPECT_EQ(first.ReadInteger(settings::kSection, settings::kKeyServerCount, -1), 1);
  EXPECT_EQ(first.ReadString(settings::kSection, settings::kKeySubmitEmail, ""), "demo-submit@localhost");
  const settings::ServerEntry server = first.ReadServer(0);
  EXPECT_EQ(server.host, "127.0.0.1:4321");
  EXPECT_EQ(server.path, "/~cddb/cddb.cgi?");
  EXPECT_EQ(server.code, 2);
  EXPECT_TRUE(server.Utf8());
  // MusicBrainz: the local stand-in, asked when the CDDB server has no
  // match, with the e-mail address as the contact.
  const settings::TitleSourceSettings sources = first.ReadTitleSources();
  EXPECT_EQ(sources.musicBrainzServer, "http://127.0.0.1:4322");
  EXPECT_EQ(sources.musicBrainzUse, settings::MusicBrainzUse::WhenCddbHasNone);
  EXPECT_EQ(sources.contact, "");
  EXPECT_TRUE(sources.cdText);

  // A later run: the address entered meanwhile stays, servers added and
  // other keys written meanwhile are gone, the new port is in.
  ASSERT_TRUE(first.WriteString(settings::kSection, settings::kKeyEmail, "me@example.jp"));
  ASSERT_TRUE(first.WriteString(settings::kSection, settings::kKeyServerCount, "2"));
  ASSERT_TRUE(first.WriteString("svr1", "host", "mirror.example"));
  ASSERT_TRUE(first.WriteString(settings::kSection, settings::kKeyProxyIp, "proxy"));
  ASSERT_TRUE(first.WriteString(settings::kMusicBrainzSection, settings::kKeySourceUse, "0"));
  ASSERT_TRUE(demo::WriteDemoSettings(ini, 5555, 5556, why)) << why;
  settings::SettingsFile second(ini);
  EXPECT_EQ(second.ReadString(settings::kSection, settings::kKeyEmail, ""), "me@example.jp");
  EXPECT_EQ(second.ReadInteger(settings::kSection, settings::kKeyServerCount, -1), 1);
  EXPECT_EQ(second.ReadString(settings::kSection, settings::kKeyProxyIp, "none"), "none");
  EXPECT_EQ(second.ReadServer(0).host, "127.0.0.1:5555");
  EXPECT_FALSE(inifile::Profile(ini).HasSection("svr1"));
  EXPECT_EQ(second.ReadTitleSources().musicBrainzServer, "http://127.0.0.1:5556");
  EXPECT_EQ(second.ReadTitleSources().musicBrainzUse, settings::MusicBrainzUse::WhenCddbHasNone);

  // A folder that cannot hold the file is said so, with the path.
  EXPECT_FALSE(demo::WriteDemoSettings(dir.File("no/such/folder/sonolabel.INI"), 1, 2, why));
  EXPECT_NE(why.find("デモの設定ファイル " + dir.File("no/such/folder/sonolabel.INI")), std::string::npos)
      << why;
}

// The real server of the build, on the demo entries of the build tree.
TEST(Demo, SessionRunsTheServerOnACopyAndPointsTheConfigurationAtIt) {
  TempDir state;
  ScopedEnv env;
  StartFromAPlainEnvironment(env, state);
  const std::string folder = state.File("sonolabel-demo");
  // What a demo killed earlier left behind (no process has this number).
  fs::create_directories(folder + "/session-99999999/cddb");

  {
    demo::DemoSession session;
    std::string why;
    config::Configuration c = ReadAtStartUp();
    ASSERT_TRUE(session.Start(SONOLABEL_BIN_DIR, c, why)) << why;
    EXPECT_TRUE(session.Running());
    EXPECT_EQ(session.StateDir(), folder);
    EXPECT_GT(session.Port(), 0);
    EXPECT_FALSE(fs::exists(folder + "/session-99999999"));
    const std::string sessionDir = folder + "/session-" + std::to_string(::getpid());
    EXPECT_TRUE(fs::is_regular_file(sessionDir + "/cddb/misc/990c360c"));
    EXPECT_EQ(settings::SettingsFile(folder + "/sonolabel.INI").ReadServer(0).host,
              "127.0.0.1:" + std::to_string(session.Port()));
    const std::string bin = SONOLABEL_BIN_DIR;
    EXPECT_TRUE(c.demoMode);
    EXPECT_EQ(c.aspiChoice, bin + "/libwnaspi32-sim.so");
    EXPECT_EQ(c.settingsOverride, folder + "/sonolabel.INI");
    EXPECT_EQ(c.windowsDirOverride, folder);
    EXPECT_EQ(c.playerProgram, bin + "/dsmp-sim");
    // The program's own variables stay as they were; what the drive layer
    // and the started players read is set for them.
    for (const char* name : {"SONOLABEL_ASPI", "SONOLABEL_INI", "SONOLABEL_WINDIR", "SONOLABEL_DSMP"})
      EXPECT_EQ(std::getenv(name), nullptr) << name;
    EXPECT_EQ(std::string(std::getenv("SONOLABEL_SIM_DRIVES")), bin + "/demo/drives.ini");
    EXPECT_EQ(std::string(std::getenv("DSMP_SIM_STATE")), folder + "/playlist.json");
    EXPECT_EQ(ReadFileBytes(folder + "/playlist.json"), ReadFileBytes(bin + "/demo/playlist.json"));
    // Without a runtime folder of its own the session made one, for the
    // player's link.
    const std::string runtimeDir = c.runtimeDir;
    ASSERT_FALSE(runtimeDir.empty());
    EXPECT_TRUE(fs::is_directory(runtimeDir + "/sonolabel-ipc"));
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(runtime, runtimeDir);  // for the player a later command starts
    EXPECT_EQ(session.ChildVariables().size(), 3u);

    // The server answers on that port, and runs until Stop.
    const std::string reply =
        Ask(session.Port(), "GET /~cddb/cddb.cgi?cmd=ver&hello=a+b+c+1&proto=6 HTTP/1.0\r\n\r\n");
    EXPECT_NE(reply.find("200 "), std::string::npos) << reply;
    // So does the MusicBrainz stand-in, on its own port, with the answer
    // for the Japanese CD-Text disc (unknown to the CDDB server).
    EXPECT_GT(session.MusicBrainzPort(), 0);
    EXPECT_NE(session.MusicBrainzPort(), session.Port());
    EXPECT_EQ(settings::SettingsFile(folder + "/sonolabel.INI").ReadTitleSources().musicBrainzServer,
              "http://127.0.0.1:" + std::to_string(session.MusicBrainzPort()));
    const std::string answer = Ask(session.MusicBrainzPort(),
                                   "GET /ws/2/discid/Wh2EnoKYqLZqJTanfD3AMvITYvQ-?fmt=json HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer.substr(0, 200);
    EXPECT_NE(answer.find("\"title\": \"夜明けの街角\""), std::string::npos) << answer.substr(0, 200);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), 0);
    session.Stop();
    EXPECT_FALSE(session.Running());
    EXPECT_FALSE(fs::exists(sessionDir));
    EXPECT_FALSE(fs::exists(runtimeDir));
    EXPECT_EQ(std::getenv("XDG_RUNTIME_DIR"), nullptr);
    EXPECT_TRUE(session.ChildVariables().empty());
  }
  // Stopped and reaped: no child is left.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// The exit command ends the program at once, without Stop; a signal may
// kill it. Either way the session's folder (and the runtime folder it made)
// goes with it.
TEST(Demo, SessionFoldersGoWhenTheProgramEndsWithoutStop) {
  TempDir state;
  ScopedEnv env;
  StartFromAPlainEnvironment(env, state);
  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "exit command");
    // The child says its runtime folder on `said` and ends when `go` closes.
    int said[2], go[2];
    ASSERT_EQ(::pipe2(said, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(said[0]);
      ::close(go[1]);
      demo::DemoSession session;
      std::string why;
      config::Configuration configuration = ReadAtStartUp();
      if (!session.Start(SONOLABEL_BIN_DIR, configuration, why)) ::_exit(1);
      const std::string runtime = configuration.runtimeDir + "\n";
      (void)!::write(said[1], runtime.data(), runtime.size());
      char c;
      while (::read(go[0], &c, 1) > 0) {
      }
      ::_exit(0);  // as the exit command does: no destructor runs
    }
    ::close(said[1]);
    ::close(go[0]);
    std::string runtime;
    char c;
    while (::read(said[0], &c, 1) == 1 && c != '\n') runtime += c;
    ::close(said[0]);
    const std::string sessionDir = state.File("sonolabel-demo/session-" + std::to_string(pid));
    ASSERT_FALSE(runtime.empty());
    EXPECT_TRUE(fs::is_directory(sessionDir));
    if (killed) ::kill(pid, SIGKILL);
    ::close(go[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    bool gone = false;
    for (int waited = 0; waited < 10000 && !gone; waited += 50) {
      gone = !fs::exists(sessionDir) && !fs::exists(runtime);
      if (!gone) ::usleep(50 * 1000);
    }
    EXPECT_TRUE(gone) << sessionDir << " " << runtime;
  }
}

TEST(Demo, AServerOrPlayerThatFailsToStartIsReportedWithItsMessage) {
  TempDir state;
  ScopedEnv env;
  env.Set("XDG_STATE_HOME", state.Path().c_str());
  FakeInstall install("#!/bin/sh\necho 'sonolabel-cddbd: cannot listen: Address in use' >&2\nexit 1\n");
  demo::DemoSession session;
  std::string why;
  const config::Configuration before = ReadAtStartUp();
  config::Configuration c = before;
  EXPECT_FALSE(session.Start(install.Bin(), c, why));
  EXPECT_EQ(why, "デモのCDDBサーバ " + install.dir.File("lib/sonolabel/sonolabel-cddbd") +
                     " が起動できませんでした: sonolabel-cddbd: cannot listen: Address in use");
  EXPECT_FALSE(session.Running());
  // Nothing is left of the attempt, and the configuration is as it was.
  EXPECT_FALSE(c.demoMode);
  EXPECT_EQ(c.aspiChoice, before.aspiChoice);
  EXPECT_EQ(c.settingsOverride, before.settingsOverride);
  EXPECT_EQ(c.playerProgram, before.playerProgram);
  EXPECT_FALSE(fs::exists(state.File("sonolabel-demo/session-" + std::to_string(::getpid()))));

  // A player that does not start: its message, and the server started
  // before it is stopped again.
  FakeInstall noPlayer(kListeningServer, "#!/bin/sh\necho 'dsmp-sim: broken state file' >&2\nexit 2\n");
  EXPECT_FALSE(session.Start(noPlayer.Bin(), c, why));
  EXPECT_EQ(why, "デモのプレーヤ " + noPlayer.dir.File("lib/sonolabel/dsmp-sim") +
                     " が起動できませんでした: dsmp-sim: broken state file");
  EXPECT_FALSE(session.Running());
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // A folder where the state folder should be cannot be made.
  // A MusicBrainz stand-in that does not start: its message, and the CDDB
  // server started before it is stopped and reaped.
  FakeInstall noMusicBrainz(kListeningServer, "#!/bin/sh\n",
                            "#!/bin/sh\necho 'sonolabel-mbsim: cannot listen: Address in use' >&2\nexit 1\n");
  EXPECT_FALSE(session.Start(noMusicBrainz.Bin(), c, why));
  EXPECT_EQ(why, "デモのMusicBrainzサーバ " + noMusicBrainz.dir.File("lib/sonolabel/sonolabel-mbsim") +
                     " が起動できませんでした: sonolabel-mbsim: cannot listen: Address in use");
  EXPECT_FALSE(session.Running());
  EXPECT_FALSE(c.demoMode);
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  env.Set("XDG_STATE_HOME", (install.dir.File("lib/sonolabel/sonolabel-cddbd")).c_str());
  c = ReadAtStartUp();
  EXPECT_FALSE(session.Start(install.Bin(), c, why));
  EXPECT_EQ(why.rfind("デモのフォルダ " + install.dir.File("lib/sonolabel/sonolabel-cddbd/sonolabel-demo") +
                          " を作れません: ",
                      0),
            0u)
      << why;
}

}  // namespace
}  // namespace sl::test
