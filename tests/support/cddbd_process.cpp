#include "support/cddbd_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace sl::test {

CddbdProcess::CddbdProcess(std::vector<std::string> extraArgs) {
  namespace fs = std::filesystem;
  root_ = dir_.File("root");
  fs::copy(std::string(SONOLABEL_SOURCE_DIR) + "/demo/cddb", root_, fs::copy_options::recursive);
  const std::string program = std::string(SONOLABEL_BIN_DIR) + "/sonolabel-cddbd";
  std::vector<std::string> args{program,       "--root",          root_,   "--port",         "0",
                                "--port-file", dir_.File("port"), "--log", dir_.File("log"), "--idle-exit",
                                "120"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Keep the test output clean: the server prints its port.
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    ::execv(program.c_str(), argv.data());
    _exit(127);
  }
  for (int i = 0; i < 400 && port_ == 0; ++i) {
    const std::string text = ReadFileBytes(dir_.File("port"));
    if (!text.empty()) port_ = std::stoi(text);
    else std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (port_ == 0) throw std::runtime_error("the CDDB server did not start");
}

CddbdProcess::~CddbdProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string CddbdProcess::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/~cddb/cddb.cgi?";
}

std::string CddbdProcess::Log() const { return ReadFileBytes(dir_.File("log")); }

}  // namespace sl::test
