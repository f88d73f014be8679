// The installed program: `cmake --install` of this build into a fresh
// prefix, then the installed programs run from there as a user would, with
// none of the build tree's files beside them: the layout, the layers and
// demo data found relative to bin/, the demo, and the settings and title
// database of a user who may not write to the program's folder.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/cddbd_process.h"
#include "support/recorder.h"

namespace sl::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

struct Result {
  int status = -1;  // exit status, or -1 when killed or not run
  std::string out, err;
};

// Runs `argv` with exactly `env` as its environment, in `cwd`, standard
// input closed; as user nobody when `asNobody` (the test must be root). Gives
// up after 60 seconds.
Result RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& cwd, bool asNobody = false) {
  std::vector<std::string> a = argv, e = env;
  std::vector<char*> av, ev;
  for (auto& s : a) av.push_back(s.data());
  av.push_back(nullptr);
  for (auto& s : e) ev.push_back(s.data());
  ev.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      ::_exit(121);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull < 0 || ::dup2(devNull, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0 ||
        ::chdir(cwd.c_str()) != 0)
      ::_exit(122);
    ::execve(av[0], av.data(), ev.data());
    ::_exit(123);
  }
  ::close(out[1]);
  ::close(err[1]);
  Result r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&r.out, &r.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds, 2, 200) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        into[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  if (open > 0) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Relative paths of the files under `root`, sorted.
std::set<std::string> FilesUnder(const std::string& root) {
  std::set<std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file()) files.insert(fs::relative(it->path(), root).string());
  return files;
}

// The Exec line of group `group` ("Desktop Entry", "Desktop Action demo")
// of a desktop entry file.
std::string DesktopExec(const std::string& file, const std::string& group) {
  const std::string text = ReadFileBytes(file);
  const auto start = text.find("[" + group + "]\n");
  if (start == std::string::npos) return "";
  const auto end = text.find("\n[", start + 1);
  const auto exec = text.find("\nExec=", start);
  if (exec == std::string::npos || (end != std::string::npos && exec > end)) return "";
  const auto value = exec + 6;
  return text.substr(value, text.find('\n', value) - value);
}

class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"usr", "home", "state"}) fs::create_directories(dir.File(sub));
    const Result r =
        RunProgram({SONOLABEL_CMAKE_COMMAND, "--install", SONOLABEL_BUILD_DIR, "--prefix", Prefix()},
                   {"PATH=/usr/bin:/bin"}, dir.Path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  std::string Prefix() const { return dir.File("usr"); }
  std::string At(const std::string& rel) const { return Prefix() + "/" + rel; }
  // The environment of a user session without any of the program's
  // variables: HOME and the state folder in the test's folder.
  std::vector<std::string> UserEnv(std::vector<std::string> extra = {}) const {
    std::vector<std::string> env = {"PATH=" + Prefix() + "/bin:/usr/bin:/bin", "HOME=" + dir.File("home"),
                                    "LANG=C.UTF-8"};
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
  }

  TempDir dir;
};

TEST_F(Installed, LayoutAndTheDemoFromTheInstalledData) {
  std::vector<std::string> expected = {"bin/sonolabel-cli",
                                       "lib/sonolabel/sonolabel-cddbd",
                                       "lib/sonolabel/libwnaspi32-sg.so",
                                       "lib/sonolabel/libwnaspi32-sim.so",
                                       "lib/sonolabel/dsmp-sim",
                                       "lib/sonolabel/sonolabel-mbsim",
                                       "share/sonolabel/demo/drives.ini",
                                       "share/sonolabel/demo/musicbrainz/routes.txt",
                                       "share/sonolabel/demo/musicbrainz/cdtext_jp.json",
                                       "share/sonolabel/demo/playlist.json",
                                       "share/sonolabel/demo/cddb/misc/990c360c",
                                       "share/man/man1/sonolabel-cli.1.gz",
                                       "share/doc/sonolabel/man/sonolabel-cddbd.1.gz",
                                       "share/doc/sonolabel/man/dsmp-sim.1.gz",
                                       "share/doc/sonolabel/man/sonolabel-mbsim.1.gz",
                                       "share/doc/sonolabel/copyright",
                                       "share/doc/sonolabel/changelog.gz",
                                       "share/doc/sonolabel/help/index.html"};
  if (SONOLABEL_HAVE_APP) {
    for (const char* f : {"bin/sonolabel", "share/man/man1/sonolabel.1.gz",
                          "share/applications/org.sonolabel.Sonolabel.desktop",
                          "share/metainfo/org.sonolabel.Sonolabel.metainfo.xml",
                          "share/icons/hicolor/scalable/apps/sonolabel.svg"})
      expected.push_back(f);
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
      expected.push_back("share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) +
                         "/apps/sonolabel.png");
  }
  for (const auto& f : expected) EXPECT_TRUE(fs::is_regular_file(At(f))) << f;
  // Nothing of the build tree's layout: layers and data only where they belong.
  EXPECT_FALSE(fs::exists(At("bin/libwnaspi32-sim.so")));
  EXPECT_FALSE(fs::exists(At("bin/demo")));
  // The helper programs are not on the PATH, and a manual page in man1
  // would stand for a command that is not there.
  for (const char* helper : {"sonolabel-cddbd", "sonolabel-mbsim", "dsmp-sim"}) {
    EXPECT_FALSE(fs::exists(At(std::string("bin/") + helper))) << helper;
    EXPECT_FALSE(fs::exists(At(std::string("share/man/man1/") + helper + ".1.gz"))) << helper;
  }
  // The installed guide is the one built into the window, page for page.
  EXPECT_EQ(FilesUnder(At("share/doc/sonolabel/help")),
            FilesUnder(std::string(SONOLABEL_SOURCE_DIR) + "/docs/help"));

  const std::string cwd = dir.File("home");
  Result r = RunProgram({At("bin/sonolabel-cli"), "--version"}, UserEnv(), cwd);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "sonolabel-cli 1.311\n");

  // The simulated layer from lib/sonolabel/ on the demo drives of
  // share/sonolabel/, without naming either.
  r = RunProgram({At("bin/sonolabel-cli"), "drives"}, UserEnv({"SONOLABEL_ASPI=sim"}), cwd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "0\t0:0:0\tSONOLAB DEMO ROCK 3TRK  \n1\t0:1:0\tSONOLAB DEMO JPOP 12TRK \n"
            "2\t1:0:0\tSONOLAB DEMO MULTI 5TRK \n3\t1:1:0\tSONOLAB EMPTY TRAY      \n"
            "4\t1:2:0\tSONOLAB DEMO CDTEXT JP  \n5\t1:3:0\tSONOLAB DEMO CDTEXT FR  \n");

  // The demo: the Japanese disc looked up on the local server, its titles
  // saved in the demo's own folder.
  const std::string state = dir.File("state");
  r = RunProgram({At("bin/sonolabel-cli"), "--demo", "lookup", "--drive", "1", "--email", "demo@example.jp"},
                 UserEnv({"XDG_STATE_HOME=" + state}), cwd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"discid\":\"990C360C\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"status\":\"曲名取得完了\""), std::string::npos) << r.out;
  EXPECT_NE(ReadFileBytes(state + "/sonolabel-demo/cdplayer.ini").find("numtracks=12"), std::string::npos);
  EXPECT_NE(ReadFileBytes(state + "/sonolabel-demo/sonolabel.INI").find("email=demo@example.jp"),
            std::string::npos);
  // The Japanese CD-Text disc is unknown to the CDDB server: the demo's
  // MusicBrainz stand-in, from lib/sonolabel/ with the installed answers,
  // names it.
  r = RunProgram({At("bin/sonolabel-cli"), "--demo", "lookup", "--drive", "4"},
                 UserEnv({"XDG_STATE_HOME=" + state}), cwd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"year\":\"2004\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"source\":\"musicbrainz\",\"mbid\":\"Wh2EnoKYqLZqJTanfD3AMvITYvQ-\""),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"status\":\"MusicBrainz取得完了\""), std::string::npos) << r.out;

  // The demo's player, from lib/sonolabel/, on the demo play list.
  r = RunProgram({At("bin/sonolabel-cli"), "--demo", "player", "import", "--drive", "0"},
                 UserEnv({"XDG_STATE_HOME=" + state}), cwd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("{\"title\":\"My favourite take\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"status\":\"DSMPからリスト取込完了\""), std::string::npos) << r.out;

  // The window in the same demo, started as the desktop entry's demo
  // action says: drive 2's two entries, the first taken.
  if (SONOLABEL_HAVE_APP) {
    const std::string desktop = At("share/applications/org.sonolabel.Sonolabel.desktop");
    const std::string demoExec = DesktopExec(desktop, "Desktop Action demo");
    EXPECT_EQ(demoExec, "sonolabel --demo");
    const std::string shot = dir.File("demo-window.png");
    r = RunProgram(
        {"/bin/sh", "-c", demoExec},
        UserEnv({"XDG_STATE_HOME=" + state, "QT_QPA_PLATFORM=offscreen", "SONOLABEL_PICK_DRIVE=2",
                 "SONOLABEL_LOOKUP=1", "SONOLABEL_SCREENSHOT=" + shot, "SONOLABEL_SCREENSHOT_DELAY=0"}),
        cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(shot));
    EXPECT_NE(ReadFileBytes(state + "/sonolabel-demo/cdplayer.ini").find("numtracks=5"), std::string::npos);
    // The window's demo ended its server and removed its copy of the entries.
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(state + "/sonolabel-demo"))
      left.insert(e.path().filename().string());
    for (const auto& name : left) EXPECT_NE(name.rfind("session-", 0), 0u) << name;

    // The desktop entry's own Exec line, as a new user's first start: the
    // window opens with the e-mail prompt over it.
    const std::string exec = DesktopExec(desktop, "Desktop Entry");
    EXPECT_EQ(exec, "sonolabel");
    const std::string screen = dir.File("first-start.png");
    r = RunProgram({"/bin/sh", "-c", exec},
                   UserEnv({"QT_QPA_PLATFORM=offscreen", "SONOLABEL_SCREENSHOT_SCREEN=" + screen,
                            "SONOLABEL_SCREENSHOT_DELAY=300"}),
                   cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(screen));
  }

  // A demo whose data is gone says which file it misses, and fails.
  fs::remove(At("share/sonolabel/demo/drives.ini"));
  r = RunProgram({At("bin/sonolabel-cli"), "--demo", "drives"}, UserEnv({"XDG_STATE_HOME=" + state}), cwd);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("sonolabel-cli: デモに必要なファイル demo/drives.ini が見つかりません"),
            std::string::npos)
      << r.err;
}

// An installed program's folder is not the user's to write: the settings
// file goes to the XDG configuration folder and "cdplayer.ini" to the XDG
// data folder, for a lookup and for the demo alike.
TEST_F(Installed, AUserWhoCannotWriteTheProgramsFolderGetsHisOwnFolders) {
  const bool root = ::geteuid() == 0;
  const std::string home = dir.File("home");
  if (root) {
    // Run as nobody, with a home of its own.
    ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
  } else {
    ::chmod(At("bin").c_str(), 0555);
  }
  CddbdProcess server;
  Result r = RunProgram({At("bin/sonolabel-cli"), "lookup", "--drive", "0", "--server", server.Url(),
                         "--email", "user@example.jp"},
                        UserEnv({"SONOLABEL_ASPI=sim"}), home, root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"discid\":\"23026203\""), std::string::npos) << r.out;
  EXPECT_NE(ReadFileBytes(home + "/.config/sonolabel/sonolabel.INI").find("email=user@example.jp"),
            std::string::npos);
  EXPECT_NE(ReadFileBytes(home + "/.local/share/sonolabel/cdplayer.ini").find("numtracks=3"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(At("bin/sonolabel-cli.INI")));

  // The XDG variables move both.
  r = RunProgram(
      {At("bin/sonolabel-cli"), "lookup", "--drive", "0", "--server", server.Url(), "--email",
       "user@example.jp"},
      UserEnv({"SONOLABEL_ASPI=sim", "XDG_CONFIG_HOME=" + home + "/cfg", "XDG_DATA_HOME=" + home + "/data"}),
      home, root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_regular_file(home + "/cfg/sonolabel/sonolabel.INI"));
  EXPECT_TRUE(fs::is_regular_file(home + "/data/sonolabel/cdplayer.ini"));

  // The demo, as this user: its folder under ~/.local/state.
  r = RunProgram({At("bin/sonolabel-cli"), "--demo", "lookup", "--drive", "2", "--choose", "1", "--email",
                  "user@example.jp"},
                 UserEnv(), home, root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"discid\":\"30058B05\""), std::string::npos) << r.out;
  EXPECT_NE(ReadFileBytes(home + "/.local/state/sonolabel-demo/cdplayer.ini").find("numtracks=5"),
            std::string::npos);
  if (!root) ::chmod(At("bin").c_str(), 0755);
}

}  // namespace
}  // namespace sl::test
