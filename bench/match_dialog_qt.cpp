// A 211 reply listing 5,000 matches, from the reply body to the match dialog
// on screen (offscreen platform) and answered: reply parsing, the dialog's
// grid filled, shown, and closed with OK as soon as it is up.
#include <benchmark/benchmark.h>

#include <QPushButton>
#include <QTimer>
#include <string>

#include "app/matchdialog.h"
#include "app/qtservices.h"
#include "cddb/cddb.h"
#include "mainform/outcome_texts.h"
#include "text/codepage.h"

namespace {

void BM_MatchDialog5000(benchmark::State& state) {
  sl::shell::ShellModel model;
  sl::app::QtShellServices services;
  sl::app::MatchDialog dialog(nullptr);
  services.SetMatchDialog(&dialog);
  sl::cddb::CddbLookup lookup(model, sl::mainform::LookupHooksFor(model, services));
  lookup.RequestKind = sl::cddb::Query;
  std::string body = "211 Found inexact matches, list follows (until terminating `.')\r\n";
  for (int i = 0; i < 5000; ++i)
    body += "rock " + std::to_string(10000000 + i) + " アーティスト" + std::to_string(i) + " / タイトル" +
            std::to_string(i) + "\r\n";
  body += ".\r\n";
  lookup.http.Body = sl::text::ToExternal(body);
  for (auto _ : state) {
    // OK as soon as the dialog's event loop runs.
    QTimer::singleShot(0, dialog.takeMatchButton, &QPushButton::click);
    lookup.HandleCddbReply(0);
    if (lookup.MatchCategory != "rock") state.SkipWithError("no row chosen");
  }
}
BENCHMARK(BM_MatchDialog5000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

}  // namespace
