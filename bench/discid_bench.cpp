// Disc ID and query text of a full 99-track disc, TOC reply checking, and a
// whole TOC read (two TEST UNIT READY and READ TOC) through the simulated
// ASPI layer.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "disc/disc.h"
#include "mainform/outcome_texts.h"

namespace {

using sl::disc::DiscToc;

DiscToc FullDisc() {
  DiscToc toc;
  toc.TrackCount = 99;
  for (int k = 0; k <= 99; ++k) {
    int f = 150 + k * 2700 + (k * 37) % 75;
    toc.Entries[static_cast<std::size_t>(k)] = {f / 4500, (f / 75) % 60, f % 75};
  }
  return toc;
}

void BM_CalcDiscId99(benchmark::State& state) {
  DiscToc toc = FullDisc();
  for (auto _ : state) benchmark::DoNotOptimize(sl::disc::CalcDiscId(toc, toc.TrackCount));
}
BENCHMARK(BM_CalcDiscId99);

void BM_QueryCommand99(benchmark::State& state) {
  DiscToc toc = FullDisc();
  for (auto _ : state) benchmark::DoNotOptimize(sl::disc::QueryCommandFor(toc));
}
BENCHMARK(BM_QueryCommand99);

void BM_ParseTocReply99(benchmark::State& state) {
  DiscToc src = FullDisc();
  std::vector<std::uint8_t> reply(2048, 0);
  std::size_t len = 4 + 8 * 100;
  reply[0] = static_cast<std::uint8_t>((len - 2) >> 8);
  reply[1] = static_cast<std::uint8_t>(len - 2);
  reply[2] = 1;
  reply[3] = 99;
  for (int k = 0; k <= 99; ++k) {
    std::uint8_t* d = reply.data() + 4 + 8 * k;
    d[1] = 0x10;
    d[2] = static_cast<std::uint8_t>(k == 99 ? 0xAA : k + 1);
    const auto& a = src.Entries[static_cast<std::size_t>(k)];
    d[5] = static_cast<std::uint8_t>(a.Minute);
    d[6] = static_cast<std::uint8_t>(a.Second);
    d[7] = static_cast<std::uint8_t>(a.Frame);
  }
  DiscToc toc;
  for (auto _ : state) benchmark::DoNotOptimize(sl::disc::ParseTocReply(reply, toc));
}
BENCHMARK(BM_ParseTocReply99);

class QuietServices : public sl::shell::ShellServices {
 public:
  void MessageBox(sl::shell::MsgIcon, const std::string&) override {}
  std::string InputBox(const std::string&, const std::string&, const std::string& p) override { return p; }
  void SetBusyCursor(bool) override {}
  int ShowMatchDialog(sl::shell::MatchDialogModel&) override { return -1; }
};

void BM_ReadTocThroughSimLayer(benchmark::State& state) {
  char path[] = "/tmp/sonolabel-bench-drives-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("cannot create a drives file");
    return;
  }
  std::string text = "[0:0:0]\nvendor = BENCH\nproduct = 12 TRACKS\ntoc =";
  for (int k = 0; k <= 12; ++k) text += " " + std::to_string(k * 4 + 1) + ":02:00";
  text += "\n";
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) state.SkipWithError("write");
  close(fd);
  setenv("SONOLABEL_SIM_DRIVES", path, 1);
  sl::shell::ShellModel model;
  QuietServices services;
  {
    sl::disc::DiscDrives drives(model, sl::mainform::DriveHookFor(model, services));
    if (!drives.LoadAspiLayer(std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so")) {
      state.SkipWithError("simulated layer not available");
    } else {
      DiscToc toc;
      for (auto _ : state) benchmark::DoNotOptimize(drives.ReadToc(0, 0, 0, toc));
    }
  }
  unsetenv("SONOLABEL_SIM_DRIVES");
  unlink(path);
}
BENCHMARK(BM_ReadTocThroughSimLayer);

}  // namespace

BENCHMARK_MAIN();
