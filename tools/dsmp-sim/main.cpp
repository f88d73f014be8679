// dsmp-sim: a reference DSMP player for tests and demos. It serves the
// player's side of the link over the local IPC: a main window of class
// "TFormDSMP" that takes the "WM_DSMP" messages of clients, the DSMPControl
// object with IDSMPControl, IDSMPPlayList, IDSMPLyrics and IDSMPMenu, a play
// list, lyrics lines, the notification mask of every client, and the
// player's settings file (its program path with ".ini": sections "Tool" and
// "DSMP").
//
//   dsmp-sim [--state FILE] [--class NAME]
//
// The state file (default: $DSMP_SIM_STATE) is JSON; sim_player.h lists its
// keys, the scripting keys included. control_object.cpp answers the calls.
//
// Commands on standard input, one a line (numbers decimal or 0x hex):
//   notify WPARAM LPARAM     post "WM_DSMP" to every registered client whose
//                            mask has the notification's bit
//   post all|HANDLE WPARAM LPARAM
//                            post "WM_DSMP" to every known client window (or
//                            one window), mask or not
//   close                    post Close (2) to every client window, then exit
//   quit                     exit at once
//   hang MS                  stop answering for MS milliseconds
//   echo TEXT                print TEXT on standard output (a sync point)
//   lyrics N                 keep only the first N lyrics lines
//   burst N WPARAM LPARAM    N notifications to every registered client at
//                            once (N at most 100000), for load measurements
//   state                    print the state file's JSON on standard output
// End of input just stops reading commands. SIGTERM and SIGINT end the
// program cleanly; so does the removal of its IPC folder (a test's private
// runtime folder going away), since no client can reach it any more. Events are logged on standard output,
// one a line: "ready HANDLE", "announce WINDOW", "tools-changed", "register WINDOW", "unregister WINDOW",
// "call INTERFACE.SLOT ARGS..." (longs in decimal, strings in quotes).
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "config/config.h"
#include "control_object.h"
#include "ipc/ipc.h"
#include "player/contract.h"
#include "sim_player.h"
#include "text/codepage.h"

namespace {

namespace ipc = sl::ipc;
namespace contract = sl::player::contract;
using dsmp_sim::Json;
using dsmp_sim::MakeControlObject;
using dsmp_sim::Player;
using dsmp_sim::RequestStop;
using dsmp_sim::StopRequested;
using sl::platform::JsonText;

void OnSignal(int) { RequestStop(); }

bool ParseNumber(const std::string& text, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

void RunCommand(Player& p, const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  long long a = 0, b = 0, c = 0;
  std::string x, y, z;
  if (cmd == "notify") {
    in >> x >> y;
    if (ParseNumber(x, a) && ParseNumber(y, b))
      p.Notify(static_cast<std::uint32_t>(a), static_cast<std::int32_t>(b));
    else std::cerr << "dsmp-sim: notify WPARAM LPARAM\n";
  } else if (cmd == "post") {
    in >> x >> y >> z;
    if (ParseNumber(y, b) && ParseNumber(z, c)) {
      if (x == "all") {
        p.PostAll(static_cast<std::uint32_t>(b), static_cast<std::int32_t>(c));
      } else if (ParseNumber(x, a)) {
        p.PostTo(static_cast<ipc::Handle>(a), static_cast<std::uint32_t>(b), static_cast<std::int32_t>(c));
      }
    } else {
      std::cerr << "dsmp-sim: post all|HANDLE WPARAM LPARAM\n";
    }
  } else if (cmd == "close") {
    p.PostAll(contract::kClose, 0);
    RequestStop();
  } else if (cmd == "quit") {
    RequestStop();
  } else if (cmd == "hang") {
    in >> x;
    if (ParseNumber(x, a)) p.Hang(a);
  } else if (cmd == "echo") {
    std::string rest;
    std::getline(in, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    std::cout << rest << std::endl;
  } else if (cmd == "burst") {
    in >> x >> y >> z;
    if (ParseNumber(x, a) && ParseNumber(y, b) && ParseNumber(z, c) && a > 0 && a <= 100000) {
      for (long long i = 0; i < a; ++i) p.Notify(static_cast<std::uint32_t>(b), static_cast<std::int32_t>(c));
    }
  } else if (cmd == "lyrics") {
    in >> x;
    if (ParseNumber(x, a) && a >= 0) {
      Json& lines = p.state["lyrics"];
      if (!lines.is_array()) lines = Json::array();
      auto& items = lines.get_ref<Json::array_t&>();
      if (static_cast<std::size_t>(a) < items.size()) items.resize(static_cast<std::size_t>(a));
    }
  } else if (cmd == "state") {
    std::cout << sl::platform::WriteJson(p.state) << std::endl;
  } else if (!cmd.empty()) {
    std::cerr << "dsmp-sim: unknown command " << cmd << '\n';
  }
}

// Answers the IPC and runs the commands read from stdin, one a line, until
// a stop is asked for or the node's folder `reachable` is gone.
void Serve(Player& player, const std::string& reachable) {
  bool stdinOpen = true;
  std::string pending;
  while (!StopRequested()) {
    if (!std::filesystem::exists(reachable)) break;
    pollfd fds[2] = {{ipc::WakeFd(), POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
    const int r = ::poll(fds, 2, 200);
    if (r < 0 && errno != EINTR) break;
    ipc::Dispatch();
    if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      const ssize_t k = ::read(0, buf, sizeof buf);
      if (k <= 0) {
        stdinOpen = false;
      } else {
        pending.append(buf, static_cast<std::size_t>(k));
        if (pending.size() > (1u << 20)) pending.clear();
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos && !StopRequested()) {
          const std::string line = pending.substr(0, nl);
          pending.erase(0, nl + 1);
          RunCommand(player, line);
          ipc::Dispatch();
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Player player;
  // A program of its own, started by the one it plays for: it reads its
  // environment itself, the shared variables (runtime folder, time-out,
  // code page) as that program's configuration does, and its own state file.
  const sl::config::Configuration configuration =
      sl::config::ReadConfiguration(sl::config::ProcessEnvironment());
  sl::text::SetExternalCodePage(configuration.codePage);
  ipc::Configure({configuration.runtimeDir, configuration.ipcTimeoutMs, ""});
  if (const char* env = std::getenv("DSMP_SIM_STATE")) player.statePath = env;
  std::string cls;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--state" && i + 1 < argc) {
      player.statePath = argv[++i];
    } else if (a == "--class" && i + 1 < argc) {
      cls = argv[++i];
    } else if (a == "--help") {
      std::cout << "usage: dsmp-sim [--state FILE] [--class NAME]\n";
      return 0;
    } else {
      // A player is started with whatever its clients pass: ignore the rest.
    }
  }
  std::string error;
  if (!player.Load(error)) {
    std::cerr << "dsmp-sim: " << error << '\n';
    return 2;
  }
  if (!ipc::Available()) {
    std::cerr << "dsmp-sim: " << ipc::UnavailableReason() << '\n';
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  player.message = ipc::RegisterWindowMessage(contract::kMessageName);
  // The object is served before the window shows, so a client that saw the
  // window can create it at once.
  ipc::RegisterClassObject(contract::kClsidDSMPControl, [&player]() -> std::shared_ptr<ipc::ServedObject> {
    if (JsonText(player.state, "refuse") == "DSMPControl") return nullptr;
    return MakeControlObject(player);
  });
  if (cls.empty()) cls = JsonText(player.state, "class", contract::kMainClass);
  player.main = ipc::CreateWindow(cls, [&player](std::uint32_t m, std::uint32_t wp, std::int32_t lp) {
    return player.WndProc(m, wp, lp);
  });
  if (player.main == 0) {
    std::cerr << "dsmp-sim: cannot create the main window\n";
    return 2;
  }
  std::cout << "ready " << player.main << std::endl;

  Serve(player, configuration.runtimeDir + "/sonolabel-ipc/n" + std::to_string(::getpid()));
  // Deliver what is still queued (a Close posted just now), then leave.
  ipc::DestroyWindow(player.main);
  ipc::Shutdown();
  return 0;
}
