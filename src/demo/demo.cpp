#include "demo/demo.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "inifile/profile.h"
#include "platform/install_paths.h"
#include "settings/settings.h"

namespace sl::demo {

namespace {

namespace fs = std::filesystem;
using platform::ProgramDir;

constexpr const char* kDemoSubmitAddress = "demo-submit@localhost";
// How long Stop waits for a child to end after asking it to.
constexpr int kStopMilliseconds = 2000;

// The first line of a text file, at most 300 bytes of it.
std::string FirstLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char buf[300];
  in.read(buf, sizeof buf);
  std::string line(buf, static_cast<std::size_t>(in.gcount()));
  if (const auto nl = line.find('\n'); nl != std::string::npos) line.resize(nl);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// Session folders of demo runs that are no longer alive (a program that was
// killed, or ended at once through the exit command).
void RemoveStaleSessions(const std::string& stateDir) {
  std::vector<fs::path> stale;
  std::error_code ec;
  for (fs::directory_iterator it(stateDir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("session-", 0) != 0) continue;
    char* stop = nullptr;
    const long pid = std::strtol(name.c_str() + 8, &stop, 10);
    if (pid <= 0 || *stop != '\0') continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(it->path());
  }
  for (const auto& dir : stale) fs::remove_all(dir, ec);
}

// Starts `args` (the program first) with standard input from /dev/null,
// standard output to `out` and standard error to the file `logFile`. The
// child ends when this process does. Returns its id, or -1 with errno set.
pid_t Spawn(std::vector<std::string> args, int out, const std::string& logFile) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t parent = ::getpid();
  const pid_t pid = (devNull >= 0 && log >= 0) ? ::fork() : -1;
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(out >= 0 ? out : devNull, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  const int saved = errno;
  if (devNull >= 0) ::close(devNull);
  if (log >= 0) ::close(log);
  errno = saved;
  return pid;
}

// Waits a while for a child that was asked to end, then ends it.
void ReapChild(pid_t& pid) {
  if (pid <= 0) return;
  int status = 0;
  bool ended = false;
  for (int waited = 0; waited < kStopMilliseconds && !ended; waited += 10) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    ended = r == pid || (r < 0 && errno == ECHILD);
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  pid = -1;
}

// Asks a child to end, waits for it a while, then ends it.
void StopChild(pid_t& pid) {
  if (pid > 0) ::kill(pid, SIGTERM);
  ReapChild(pid);
}

// Why a child that ended at start-up ended: the first line it wrote on
// standard error, or what its exit status says.
std::string WhyItEnded(const std::string& logFile, int status) {
  std::string why = FirstLine(logFile);
  if (why.empty())
    why = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "実行できません" : "起動中に終了しました";
  return why;
}

}  // namespace

bool FindDemoFiles(const std::string& exeDir, DemoFiles& out, std::string& error) {
  const std::string dir = exeDir.empty() ? "." : exeDir;
  auto find = [&](ProgramDir kind, const std::string& name, std::string& into) {
    into = platform::FindProgramFile(dir, kind, name);
    if (!into.empty()) return true;
    const auto where = platform::CandidatePaths(dir, kind, name);
    error = "デモに必要なファイル " + name + " が見つかりません（探した場所: " + where[0] + ", " + where[1] +
            "）。";
    return false;
  };
  DemoFiles files;
  if (!find(ProgramDir::Lib, "libwnaspi32-sim.so", files.layer)) return false;
  if (!find(ProgramDir::Data, "demo/drives.ini", files.drives)) return false;
  if (!find(ProgramDir::Data, "demo/cddb", files.cddbRoot)) return false;
  if (!find(ProgramDir::Lib, "dsmp-sim", files.player)) return false;
  if (!find(ProgramDir::Data, "demo/playlist.json", files.playlist)) return false;
  // The server is a helper program like the player: beside the program in
  // a build tree, in lib/sonolabel/ when installed.
  auto findProgram = [&](const std::string& name, std::string& into) {
    into = platform::FindProgramFile(dir, ProgramDir::Lib, name);
    if (!into.empty() && ::access(into.c_str(), X_OK) == 0) return true;
    const auto where = platform::CandidatePaths(dir, ProgramDir::Lib, name);
    error = "デモに必要なプログラム " + name + " が見つかりません（探した場所: " + where[0] + ", " +
            where[1] + "）。";
    return false;
  };
  if (!findProgram("sonolabel-cddbd", files.server)) return false;
  if (!find(ProgramDir::Data, "demo/musicbrainz", files.musicBrainzData)) return false;
  if (!findProgram("sonolabel-mbsim", files.musicBrainzServer)) return false;
  out = files;
  return true;
}

std::string DemoStateDir(const config::UserFolders& folders) { return folders.stateHome + "/sonolabel-demo"; }

bool WriteDemoSettings(const std::string& iniPath, int port, int musicBrainzPort, std::string& error) {
  using inifile::Profile;
  namespace st = settings;
  const std::string email = Profile(iniPath).ReadString(st::kSection, st::kKeyEmail, "");
  // Nothing of an earlier run but the address survives: servers fetched
  // from the demo server's list or chosen then are gone again.
  std::error_code ec;
  fs::remove(iniPath, ec);
  Profile ini(iniPath);
  const std::vector<Profile::SectionKeys> sections = {
      {st::kSection,
       {{st::kKeyEmail, email},
        {st::kKeySelectServer, "0"},
        {st::kKeyServerCount, "1"},
        {st::kKeySubmitEmail, kDemoSubmitAddress}}},
      {st::ServerSection(0),
       {{st::kKeyHost, "127.0.0.1:" + std::to_string(port)},
        {st::kKeyPath, st::kDefaultServerPath},
        {st::kKeyCode, "2"},
        {st::kKeyCharset, st::kCharsetUtf8}}},
      // A disc the CDDB server does not know is looked up there next.
      {st::kMusicBrainzSection,
       {{st::kKeySourceServer, "http://127.0.0.1:" + std::to_string(musicBrainzPort)},
        {st::kKeySourceUse, std::to_string(static_cast<int>(st::MusicBrainzUse::WhenCddbHasNone))}}},
  };
  if (ini.WriteSections(sections)) return true;
  error = "デモの設定ファイル " + iniPath + " を書き込めません: " + ini.LastError();
  return false;
}

DemoSession::~DemoSession() { Stop(); }

bool DemoSession::Start(const std::string& exeDir, config::Configuration& configuration, std::string& error) {
  Stop();
  if (!FindDemoFiles(exeDir, files_, error)) return false;
  stateDir_ = DemoStateDir(configuration.folders);
  std::error_code ec;
  fs::create_directories(stateDir_, ec);
  if (ec || !fs::is_directory(stateDir_, ec)) {
    error = "デモのフォルダ " + stateDir_ + " を作れません: " + (ec ? ec.message() : "not a folder");
    return false;
  }
  RemoveStaleSessions(stateDir_);
  // The server stores submissions as entries of its database, so it works
  // on a copy: the installed entries are not the user's to change.
  sessionDir_ = stateDir_ + "/session-" + std::to_string(::getpid());
  fs::remove_all(sessionDir_, ec);
  fs::create_directories(sessionDir_, ec);
  if (!ec) fs::copy(files_.cddbRoot, sessionDir_ + "/cddb", fs::copy_options::recursive, ec);
  if (ec) {
    error = "デモのデータを " + sessionDir_ + " に用意できません: " + ec.message();
    Stop();
    return false;
  }
  if (!StartServer(error) || !StartMusicBrainzServer(error) ||
      !WriteDemoSettings(stateDir_ + "/sonolabel.INI", port_, musicBrainzPort_, error)) {
    Stop();
    return false;
  }
  // The player link needs a runtime folder; a session without one (a
  // console, a container) gets a private one for the demo, in the temporary
  // folder so the socket paths in it stay short.
  if (configuration.runtimeDir.empty()) {
    std::string pattern = (fs::temp_directory_path(ec) / "sonolabel-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      error = "デモの実行時フォルダ " + pattern + " を作れません: " + std::strerror(errno);
      Stop();
      return false;
    }
    runtimeDir_ = pattern;
    // For the player started next: it meets this program there.
    ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
  }
  if (!StartPlayer(error)) {
    Stop();
    return false;
  }
  for (const auto& [name, value] : ChildVariables()) ::setenv(name.c_str(), value.c_str(), 1);
  Configure(configuration);
  StartCleaner();
  return true;
}

void DemoSession::StartCleaner() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;  // the next demo removes what is left
  std::vector<std::string> folders = {sessionDir_};
  if (!runtimeDir_.empty()) folders.push_back(runtimeDir_);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Holds nothing of the program's but the reading end: a pipe or socket
    // of the program must close when the program ends, not when this does.
    ::dup2(fds[0], 3);
    ::close_range(4, ~0U, 0);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2; ++fd) ::dup2(devNull, fd);
    // Interrupting the program from its terminal ends the program; this
    // process ends after it, once it has cleaned up.
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(sig, SIG_IGN);
    char c = 0;
    ssize_t n;
    do n = ::read(3, &c, 1);
    while (n < 0 && errno == EINTR);
    if (n == 1) ::_exit(0);  // Stop has cleaned up itself
    // The program has ended without Stop. Its server and player end with it
    // and may still write their logs for a moment: removal is retried for a
    // while.
    for (int waited = 0; waited < 3 * kStopMilliseconds; waited += 50) {
      bool left = false;
      for (const auto& dir : folders) {
        std::error_code ec;
        fs::remove_all(dir, ec);
        left = left || fs::exists(dir, ec);
      }
      if (!left) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::_exit(0);
  }
  ::close(fds[0]);
  if (pid < 0) {
    ::close(fds[1]);
    return;
  }
  cleaner_ = pid;
  cleanerPipe_ = fds[1];
}

void DemoSession::StopCleaner() {
  if (cleanerPipe_ >= 0) {
    // One byte: stand down. Only the end of the pipe without it means that
    // this process is gone.
    const char done = 'x';
    (void)!::write(cleanerPipe_, &done, 1);
    ::close(cleanerPipe_);
    cleanerPipe_ = -1;
  }
  // The pipe told the cleaner to stand down; it ends by itself.
  ReapChild(cleaner_);
}

bool DemoSession::StartListener(const std::vector<std::string>& args, const std::string& portFile,
                                const std::string& logFile, const std::string& name, pid_t& pid, int& port,
                                std::string& error) {
  const pid_t child = Spawn(args, -1, logFile);
  if (child < 0) {
    error = name + " を起動できません: " + std::strerror(errno);
    return false;
  }
  pid = child;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMilliseconds);
  while (std::chrono::steady_clock::now() < deadline) {
    // The server writes the file whole (a rename) once it listens.
    const std::string text = FirstLine(portFile);
    if (!text.empty()) {
      char* stop = nullptr;
      const long value = std::strtol(text.c_str(), &stop, 10);
      if (*stop == '\0' && value > 0 && value < 65536) {
        port = static_cast<int>(value);
        return true;
      }
    }
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      pid = -1;
      error = name + " が起動できませんでした: " + WhyItEnded(logFile, status);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error = name + " が " + std::to_string(kStartMilliseconds / 1000) + " 秒以内に応答しませんでした。";
  return false;
}

bool DemoSession::StartServer(std::string& error) {
  const std::string portFile = sessionDir_ + "/port";
  return StartListener({files_.server, "--root", sessionDir_ + "/cddb", "--submit-dir",
                        stateDir_ + "/submissions", "--port", "0", "--port-file", portFile},
                       portFile, sessionDir_ + "/server.log", "デモのCDDBサーバ " + files_.server, server_,
                       port_, error);
}

bool DemoSession::StartMusicBrainzServer(std::string& error) {
  // It only reads its answers, so it works on the installed ones.
  const std::string portFile = sessionDir_ + "/musicbrainz-port";
  return StartListener(
      {files_.musicBrainzServer, "--data", files_.musicBrainzData, "--port", "0", "--port-file", portFile},
      portFile, sessionDir_ + "/musicbrainz.log", "デモのMusicBrainzサーバ " + files_.musicBrainzServer,
      musicBrainz_, musicBrainzPort_, error);
}

bool DemoSession::StartPlayer(std::string& error) {
  // A fresh copy of the demo play list each run, which the player saves its
  // changes to; the copy of an installed (read-only) file is made writable.
  const std::string state = stateDir_ + "/playlist.json";
  std::error_code ec;
  fs::copy_file(files_.playlist, state, fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::permissions(state, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
  if (ec) {
    error = "デモのプレイリストを " + state + " に用意できません: " + ec.message();
    return false;
  }
  const std::string logFile = sessionDir_ + "/player.log";
  const std::string name = "デモのプレーヤ " + files_.player;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = name + " を起動できません: " + std::strerror(errno);
    return false;
  }
  const pid_t pid = Spawn({files_.player, "--state", state}, out[1], logFile);
  const int spawnErrno = errno;
  ::close(out[1]);
  if (pid < 0) {
    ::close(out[0]);
    error = name + " を起動できません: " + std::strerror(spawnErrno);
    return false;
  }
  player_ = pid;
  // It says "ready" once its window exists; what it writes later is not
  // read (it ignores the closed pipe).
  std::string said;
  bool ready = false, ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMilliseconds);
  while (!ready && !ended && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      char buf[256];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) ended = true;
      else if (said.size() < 4096) said.append(buf, static_cast<std::size_t>(n));
    }
    ready = said.rfind("ready ", 0) == 0 && said.find('\n') != std::string::npos;
  }
  ::close(out[0]);
  if (ready) return true;
  int status = 0;
  if (ended && ::waitpid(pid, &status, 0) == pid) {
    player_ = -1;
    error = name + " が起動できませんでした: " + WhyItEnded(logFile, status);
  } else {
    error = name + " が " + std::to_string(kStartMilliseconds / 1000) + " 秒以内に応答しませんでした。";
  }
  return false;
}

void DemoSession::Stop() {
  StopCleaner();
  StopChild(player_);
  StopChild(musicBrainz_);
  StopChild(server_);
  if (!runtimeDir_.empty()) {
    // The variable this session put there for its children goes with it.
    ::unsetenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    fs::remove_all(runtimeDir_, ec);
    runtimeDir_.clear();
  }
  if (!sessionDir_.empty()) {
    std::error_code ec;
    fs::remove_all(sessionDir_, ec);
    sessionDir_.clear();
  }
  port_ = 0;
  musicBrainzPort_ = 0;
}

void DemoSession::Configure(config::Configuration& configuration) const {
  if (!Running()) return;
  configuration.demoMode = true;
  configuration.aspiChoice = files_.layer;
  configuration.settingsOverride = stateDir_ + "/sonolabel.INI";
  configuration.windowsDirOverride = stateDir_;
  configuration.playerProgram = files_.player;
  if (!runtimeDir_.empty()) configuration.runtimeDir = runtimeDir_;
}

std::vector<std::pair<std::string, std::string>> DemoSession::ChildVariables() const {
  if (!Running()) return {};
  std::vector<std::pair<std::string, std::string>> vars = {{"SONOLABEL_SIM_DRIVES", files_.drives},
                                                           {"DSMP_SIM_STATE", stateDir_ + "/playlist.json"}};
  if (!runtimeDir_.empty()) vars.emplace_back("XDG_RUNTIME_DIR", runtimeDir_);
  return vars;
}

}  // namespace sl::demo
