// HTTP GET through HttpClient against libcurl's easy interface, both fetching
// the same URLs from the same loopback server in the same run: a 1 KB and a
// 10 MB body. Then the CPU the client burns while it waits 2 s for a server
// that answers late (percent of one core, the whole process counted).
//
//   bench_http_bench --benchmark_counters_tabular=true
//
// Times are real (wall) times: the server runs on its own thread.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <time.h>

#include <string>

#include "net/http_client.h"
#include "platform/pump.h"
// The loopback server shared with the tests. Benchmark programs do not link
// the test support library, so its one source file is compiled in here.
#include "support/loopback_server.cpp"

namespace {

using sl::test::HttpReply;
using sl::test::LoopbackServer;
using sl::test::ServerScript;

constexpr int kServerLifetimeMs = 3600 * 1000;
constexpr int kRepetitions = 7;

std::string MakeBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('!' + (i * 31 + i / 97) % 90);
  return body;
}

struct Site {
  explicit Site(std::size_t size)
      : body(MakeBody(size)),
        server(ServerScript().Send(HttpReply(200, body, {"Content-Length: " + std::to_string(size)})),
               kServerLifetimeMs),
        url(server.Url("/~cddb/cddb.cgi?cmd=cddb+read+rock+12345678&hello=a+b+SLB+1.311&proto=5")) {}
  std::string body;
  LoopbackServer server;
  std::string url;
};

Site& Small() {
  static Site site(1024);
  return site;
}
Site& Large() {
  static Site site(10 * 1024 * 1024);
  return site;
}

void InstallTrivialPump() {
  static int pumped = 0;
  sl::platform::SetMessagePump([] { benchmark::DoNotOptimize(++pumped); });
}

void RunHttpClient(benchmark::State& state, Site& site) {
  InstallTrivialPump();
  sl::net::HttpClient http;
  http.TimeOut = 60000;
  for (auto _ : state) {
    http.Get(site.url);
    if (http.Body.size() != site.body.size()) state.SkipWithError("short body");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * site.body.size()));
}

std::size_t AppendBody(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void RunCurl(benchmark::State& state, Site& site) {
  CURL* curl = curl_easy_init();
  std::string body;
  curl_easy_setopt(curl, CURLOPT_URL, site.url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  for (auto _ : state) {
    body.clear();
    if (curl_easy_perform(curl) != CURLE_OK || body.size() != site.body.size())
      state.SkipWithError("curl failed");
  }
  curl_easy_cleanup(curl);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * site.body.size()));
}

void BM_Get1KB_HttpClient(benchmark::State& state) { RunHttpClient(state, Small()); }
void BM_Get1KB_libcurl(benchmark::State& state) { RunCurl(state, Small()); }
void BM_Get10MB_HttpClient(benchmark::State& state) { RunHttpClient(state, Large()); }
void BM_Get10MB_libcurl(benchmark::State& state) { RunCurl(state, Large()); }

BENCHMARK(BM_Get1KB_HttpClient)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_Get1KB_libcurl)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_Get10MB_HttpClient)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_Get10MB_libcurl)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One Get whose server waits 2 s before it answers; reports the process's
// CPU time over that wait as a percentage of one core.
void BM_WaitCpu_LateServer2s(benchmark::State& state) {
  InstallTrivialPump();
  LoopbackServer server(ServerScript().Delay(2000).Send(HttpReply(200, "late")), kServerLifetimeMs);
  sl::net::HttpClient http;
  http.TimeOut = 60000;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double c0 = Seconds(CLOCK_PROCESS_CPUTIME_ID), w0 = Seconds(CLOCK_MONOTONIC);
    http.Get(server.Url("/late"));
    cpu += Seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    wall += Seconds(CLOCK_MONOTONIC) - w0;
    if (http.Body != "late") state.SkipWithError("wrong body");
  }
  state.counters["cpu_pct_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
  state.counters["cpu_ms"] = 1000.0 * cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WaitCpu_LateServer2s)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
