// sonolabel-mbsim: command line, signals, port file.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "mbsim.h"

namespace {

constexpr const char* kUsage = R"(usage: sonolabel-mbsim [options]

Answers MusicBrainz disc-ID lookups (GET /ws/2/discid/ID?toc=...) on
127.0.0.1 from the routes file DIR/routes.txt, one line per disc ID:
  ID json FILE             200 with DIR/FILE
  ID status CODE [FILE]    that status, DIR/FILE as body
  ID busy N SECONDS FILE   503 "Retry-After: SECONDS" for the first N
                           requests (0: always), then 200 with DIR/FILE
  ID cut FILE              announces DIR/FILE's length, sends half of it
  ID huge BYTES [chunked]  200 with BYTES bytes of filler
Any other ID answers 404 as the service does. The routes are read again for
every request.

  --data DIR           routes and answers (default: the data folder beside
                       the program's sources, as built)
  --port N             TCP port, 0 = any free port (default 0)
  --port-file FILE     write the bound port to FILE once listening
  --idle-exit SECONDS  exit after SECONDS without a connection (default 3600)
  --help               this text

SIGTERM and SIGINT stop the server (exit status 0).
Exit status: 0 stopped, 1 could not start, 2 usage error.
)";

int g_stopFd = -1;

void OnSignal(int) {
  if (g_stopFd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(g_stopFd, "x", 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string data = MBSIM_DATA_DIR, portFile;
  int port = 0;
  long idle = 3600;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--data" && hasValue) {
      data = argv[++i];
    } else if (arg == "--port" && hasValue) {
      port = std::atoi(argv[++i]);
    } else if (arg == "--port-file" && hasValue) {
      portFile = argv[++i];
    } else if (arg == "--idle-exit" && hasValue) {
      idle = std::atol(argv[++i]);
    } else {
      std::cerr << "sonolabel-mbsim: unknown or incomplete option " << arg << "\n" << kUsage;
      return 2;
    }
  }
  if (port < 0 || port > 65535 || idle <= 0) {
    std::cerr << "sonolabel-mbsim: bad --port or --idle-exit\n";
    return 2;
  }
  sl::mbsim::Server server(data);
  std::string why;
  if (!server.Listen(port, why)) {
    std::cerr << "sonolabel-mbsim: cannot listen: " << why << "\n";
    return 1;
  }
  g_stopFd = server.StopFd();
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  if (!portFile.empty()) {
    // Written whole under another name first, so a reader never sees half.
    const std::string temp = portFile + ".tmp";
    std::ofstream(temp) << server.Port() << "\n";
    if (std::rename(temp.c_str(), portFile.c_str()) != 0) {
      std::cerr << "sonolabel-mbsim: cannot write " << portFile << "\n";
      return 1;
    }
  }
  server.Run(std::chrono::seconds(idle));
  return 0;
}
