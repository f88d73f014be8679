// The player link against dsmp-sim running as its own process:
// - bind and import of a 99-track play list (target: under 100 ms);
// - one slot call round trip (target: under 100 microseconds);
// - notifications: CPU time of this process per 1,000 notifications
//   received and raised as events (target: under 5% of a core at 1,000 per
//   second, i.e. under 50 ms of CPU time per 1,000).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ipc/ipc.h"
#include "player/player.h"
#include "shell/services.h"

namespace {

namespace ipc = sl::ipc;

class Quiet : public sl::shell::ShellServices {
 public:
  void MessageBox(sl::shell::MsgIcon, const std::string& t) override {
    std::fprintf(stderr, "%s\n", t.c_str());
  }
  std::string InputBox(const std::string&, const std::string&, const std::string& p) override { return p; }
  void SetBusyCursor(bool) override {}
  int ShowMatchDialog(sl::shell::MatchDialogModel&) override { return -1; }
};

// dsmp-sim with a 99-track play list in a private runtime folder.
class Sim {
 public:
  Sim() {
    char tmpl[] = "/tmp/sonolabel-bench-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    ipc::LinkSettings link = ipc::CurrentSettings();
    link.runtimeDir = dir_;
    ipc::Configure(link);
    ipc::Shutdown();
    std::string tracks;
    for (int k = 1; k <= 99; ++k) {
      char t[160];
      std::snprintf(
          t, sizeof t,
          "%s{\"title\":\"Track title number %d\",\"artist\":\"Artist %d\",\"file\":\"D:\\\\Track%02d.cda\","
          "\"kind\":16}",
          k > 1 ? "," : "", k, k, k);
      tracks += t;
    }
    std::ofstream(dir_ + "/state.json")
        << "{\"version\":6100,\"playlist\":{\"name\":\"l.dpl\",\"title\":\"T\","
           "\"tracks\":[" +
               tracks + "]}}";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[0], 0);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      const std::string program = std::string(SONOLABEL_BIN_DIR) + "/dsmp-sim";
      const std::string state = dir_ + "/state.json";
      ::execl(program.c_str(), program.c_str(), "--state", state.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[0]);
    in_ = fds[1];
    ipc::PumpUntil([&] { return ipc::FindWindowOfProcess(pid_) != 0; }, 5000);
  }
  ~Sim() {
    ::kill(pid_, SIGTERM);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    ::close(in_);
    ipc::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void Command(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(in_, text.data(), text.size()) < 0) std::abort();
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int in_ = -1;
};

void BM_BindAndImport99(benchmark::State& state) {
  Sim sim;
  Quiet services;
  sl::player::PlayerLink d(services);
  d.SetAutoLink(false);
  for (auto _ : state) {
    d.Bind();
    std::string title = d.GetPlayList()->PlayListTitle();
    for (int i = 1; i <= 99; ++i) benchmark::DoNotOptimize(d.GetTrackInfo(i));
    d.Unbind();
    benchmark::DoNotOptimize(title);
  }
  if (!d.LinkLost()) state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BindAndImport99)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_SlotCallRoundTrip(benchmark::State& state) {
  Sim sim;
  Quiet services;
  sl::player::PlayerLink d(services);
  d.SetAutoLink(false);
  d.Bind();
  if (!d.Bound()) {
    state.SkipWithError("not bound");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(d.GetVolume());
}
BENCHMARK(BM_SlotCallRoundTrip)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_Notifications1000(benchmark::State& state) {
  Sim sim;
  Quiet services;
  sl::player::PlayerLink d(services);
  d.SetAutoLink(false);
  d.Bind();
  long handled = 0;
  d.OnPlayStatus = [&](sl::player::PlayerLink*, int) { ++handled; };
  for (auto _ : state) {
    state.PauseTiming();
    handled = 0;
    sim.Command("burst 1000 0x10 1");
    state.ResumeTiming();
    ipc::PumpUntil([&] { return handled >= 1000; }, 10000);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
// CPU time of this process only: what receiving and raising 1,000
// notifications costs. At 1,000 a second the share of a core is that time
// divided by one second.
BENCHMARK(BM_Notifications1000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
