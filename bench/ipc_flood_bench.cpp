// The IPC node under a hostile local peer (a forked child, see
// tests/support/hostile_peer.h), served as the window's event loop serves it
// (poll on WakeFd, Dispatch) for three seconds from the first connection:
// - 1,100 idle connections that never say hello;
// - 1,100 connections that say hello and stay idle;
// - 300 connections that each send all but the last byte of a frame of the largest size.
// The node runs with a soft descriptor limit of 1,024, a desktop session's
// usual one. Counters: CPU time of this process over the three seconds
// (cpu_ms; a busy loop shows as ~3000), the largest resident set seen
// (rss_peak_mb) and its growth over the start (rss_growth_mb), the largest
// number of open descriptors (fds_peak). Targets: cpu_ms under 300,
// rss_growth_mb under 40, fds_peak under 300.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "ipc/ipc.h"
// The hostile peer is the tests' own, compiled in here.
#include "support/hostile_peer.cpp"  // NOLINT(bugprone-suspicious-include)

namespace {

namespace ipc = sl::ipc;
using Clock = std::chrono::steady_clock;
using sl::test::HostilePeer;
using sl::test::HostileScript;
using sl::test::OpenDescriptors;
using sl::test::ResidentKiB;

double CpuMs() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void Flood(benchmark::State& state, HostileScript::Kind kind, int connections) {
  char tmpl[] = "/tmp/sonolabel-flood-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  // The peers this starts find it in the variable, this process in its
  // IPC settings.
  ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  ipc::LinkSettings link = ipc::CurrentSettings();
  link.runtimeDir = dir;
  ipc::Configure(link);
  ipc::Shutdown();
  ipc::Available();
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit desktop = saved;
  desktop.rlim_cur = std::min<rlim_t>(saved.rlim_max, 1024);
  ::setrlimit(RLIMIT_NOFILE, &desktop);
  double cpu = 0;
  long rssPeak = 0, rssStart = 0;
  int fdsPeak = 0;
  for (auto _ : state) {
    rssStart = ResidentKiB();
    const double cpu0 = CpuMs();
    const auto until = Clock::now() + std::chrono::seconds(3);
    HostileScript script{kind, connections};
    script.holdMs = 10000;
    HostilePeer peer(dir, ::getpid(), script);
    while (Clock::now() < until) {
      pollfd p{ipc::WakeFd(), POLLIN, 0};
      ::poll(&p, 1, 20);
      ipc::Dispatch();
      rssPeak = std::max(rssPeak, ResidentKiB());
      fdsPeak = std::max(fdsPeak, OpenDescriptors());
    }
    cpu = CpuMs() - cpu0;
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ipc::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  state.counters["cpu_ms"] = cpu;
  state.counters["rss_peak_mb"] = static_cast<double>(rssPeak) / 1024;
  state.counters["rss_growth_mb"] = static_cast<double>(rssPeak - rssStart) / 1024;
  state.counters["fds_peak"] = fdsPeak;
}

void BM_IdleConnections1100(benchmark::State& state) { Flood(state, HostileScript::kIdle, 1100); }
void BM_HelloIdleConnections1100(benchmark::State& state) { Flood(state, HostileScript::kHelloIdle, 1100); }
void BM_HalfSentFrames300(benchmark::State& state) { Flood(state, HostileScript::kHalfFrames, 300); }

BENCHMARK(BM_IdleConnections1100)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HelloIdleConnections1100)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HalfSentFrames300)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
