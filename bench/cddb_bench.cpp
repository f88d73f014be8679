// Applying CDDB replies to the window: a 99-track database entry, and a
// 5,000-line match list turned into the match dialog's rows (the dialog
// itself answered at once).
#include <benchmark/benchmark.h>

#include <string>

#include "cddb/cddb.h"
#include "mainform/outcome_texts.h"
#include "text/codepage.h"

namespace {

class NullServices : public sl::shell::ShellServices {
 public:
  void MessageBox(sl::shell::MsgIcon, const std::string&) override {}
  std::string InputBox(const std::string&, const std::string&, const std::string& p) override { return p; }
  void SetBusyCursor(bool) override {}
  int ShowMatchDialog(sl::shell::MatchDialogModel&) override { return -1; }
};

std::string Entry99() {
  std::string body =
      "210 misc 5a0e6363 CD database entry follows (until terminating `.')\r\n"
      "# xmcd\r\n#\r\n# Track frame offsets:\r\n";
  for (int i = 0; i < 99; ++i) body += "#\t" + std::to_string(150 + i * 3000) + "\r\n";
  body +=
      "#\r\n# Disc length: 3970 seconds\r\n#\r\nDISCID=5a0e6363\r\nDTITLE=歌手 / 盤\r\n"
      "DYEAR=2001\r\nDGENRE=Jpop\r\n";
  for (int i = 0; i < 99; ++i)
    body += "TTITLE" + std::to_string(i) + "=歌手" + std::to_string(i) + " / 曲名その" + std::to_string(i) +
            "\r\n";
  body += "EXTD=\r\n";
  for (int i = 0; i < 99; ++i) body += "EXTT" + std::to_string(i) + "=\r\n";
  body += "PLAYORDER=\r\n.\r\n";
  return sl::text::ToExternal(body);
}

void BM_Apply99TrackEntry(benchmark::State& state) {
  sl::shell::ShellModel model;
  model.Table().SetRowCount(100);
  NullServices services;
  sl::cddb::CddbLookup lookup(model, sl::mainform::LookupHooksFor(model, services));
  lookup.RequestKind = sl::cddb::Read;
  lookup.http.Body = Entry99();
  for (auto _ : state) {
    lookup.HandleCddbReply(0);
    benchmark::DoNotOptimize(model.Table().Cell(1, 99));
  }
}
BENCHMARK(BM_Apply99TrackEntry)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_MatchList5000(benchmark::State& state) {
  sl::shell::ShellModel model;
  NullServices services;
  sl::cddb::CddbLookup lookup(model, sl::mainform::LookupHooksFor(model, services));
  lookup.RequestKind = sl::cddb::Query;
  std::string body = "211 Found inexact matches, list follows (until terminating `.')\r\n";
  for (int i = 0; i < 5000; ++i)
    body += "rock " + std::to_string(10000000 + i) + " アーティスト" + std::to_string(i) + " / タイトル\r\n";
  body += ".\r\n";
  lookup.http.Body = sl::text::ToExternal(body);
  for (auto _ : state) {
    lookup.HandleCddbReply(0);
    benchmark::DoNotOptimize(model.MatchDialog().rows.size());
  }
}
BENCHMARK(BM_MatchList5000)->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
