// The submission's check and entry for a 99-track disc (Japanese titles for a
// double-byte server, ASCII titles for a single-byte one), and the grid paste
// of 99 x 2 cells of spreadsheet text.
#include <benchmark/benchmark.h>

#include <string>

#include "shell/gridedit.h"
#include "submit/submit.h"

namespace {

sl::disc::DiscToc Toc99() {
  sl::disc::DiscToc toc;
  toc.TrackCount = 99;
  for (int k = 0; k <= 99; ++k) {
    const int frames = 150 + k * 3000;
    toc.Entries[static_cast<std::size_t>(k)] = {frames / 4500, frames / 75 % 60, frames % 75};
  }
  return toc;
}

sl::shell::TrackTitleTable Table99(bool japanese) {
  sl::shell::TrackTitleTable t;
  t.SetRowCount(100);
  t.SetCategory("misc");
  t.SetGenre("Jpop");
  t.SetYear("2001");
  t.SetArtist(japanese ? "月島ソラ" : "Sora Tsukishima");
  t.SetTitle(japanese ? "表参道ラプソディ" : "Omotesando Rhapsody");
  for (int row = 1; row <= 99; ++row) {
    const std::string n = std::to_string(row);
    t.SetCell(1, row, japanese ? "曲名その" + n + "・可能性の扉" : "Track title number " + n);
    t.SetCell(2, row, row % 3 == 0 ? (japanese ? "ｹﾞｽﾄ歌手" + n : "Guest " + n) : "");
  }
  return t;
}

void CheckAndBuild(benchmark::State& state, bool japanese, int code) {
  const auto toc = Toc99();
  const auto table = Table99(japanese);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const auto check = sl::submit::CheckSubmitData(table, code);
    if (!check) state.SkipWithError("check failed");
    const std::string text = sl::submit::BuildSubmissionEntry(toc, table).Text();
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["entry_bytes"] = static_cast<double>(bytes);
}

void BM_CheckAndBuild99Japanese(benchmark::State& state) { CheckAndBuild(state, true, 2); }
void BM_CheckAndBuild99Ascii(benchmark::State& state) { CheckAndBuild(state, false, 1); }
BENCHMARK(BM_CheckAndBuild99Japanese)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_CheckAndBuild99Ascii)->Unit(benchmark::kMicrosecond)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_Paste99x2(benchmark::State& state) {
  std::string text;
  for (int row = 1; row <= 99; ++row)
    text += "貼り付けた曲名" + std::to_string(row) + "\tアーティスト" + std::to_string(row) + "\r\n";
  sl::shell::TrackTitleTable table;
  table.SetRowCount(100);
  for (auto _ : state) {
    const int n = sl::shell::GridPasteText(table, {1, 1, 2, 99}, text);
    if (n != 198) state.SkipWithError("not every cell written");
    // The next round writes changed text again.
    state.PauseTiming();
    for (int row = 1; row <= 99; ++row) table.SetCell(1, row, "");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Paste99x2)->Unit(benchmark::kMicrosecond)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
