// CD-Text decoding of a full disc: 99 tracks, titles and performers, an
// English block 0 (ASCII) and a Japanese block 1 (MS-JIS), each filled to
// nearly the 256 packs a block can hold. Target: under 50 µs a decode.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "disc/cdtext.h"
#include "support/cdtext_builder.h"

namespace {

using sl::test::CdTextBlockContent;

std::vector<std::uint8_t> FullTwoLanguageDisc() {
  CdTextBlockContent en;
  en.characterCode = sl::disc::kCdTextAscii;
  CdTextBlockContent jp;
  jp.block = 1;
  jp.characterCode = sl::disc::kCdTextMsJis;
  jp.language = sl::disc::kCdTextJapanese;
  for (int k = 0; k <= 99; ++k) {
    char n[4];
    std::snprintf(n, sizeof n, "%02d", k);
    en.titles.push_back(std::string("Track ") + n + ": Dawn Road");
    en.performers.push_back(std::string("Artist ") + n);
    jp.titles.push_back(sl::test::ShiftJis(std::string("第") + n + "曲　夜明けの街"));
    jp.performers.push_back(sl::test::ShiftJis(std::string("歌手") + n));
  }
  return sl::test::CdTextReply({en, jp});
}

void BM_DecodeCdTextFullTwoLanguageDisc(benchmark::State& state) {
  const auto reply = FullTwoLanguageDisc();
  const auto check = sl::disc::DecodeCdText(reply);
  if (check.blocks.size() != 2 || check.blocks[1].Title(99).empty() || !check.notes.empty()) {
    state.SkipWithError("the disc did not decode whole");
    return;
  }
  for (auto _ : state) {
    auto text = sl::disc::DecodeCdText(reply);
    benchmark::DoNotOptimize(text);
  }
  state.counters["packs"] = static_cast<double>((reply.size() - 4) / 18);
}
BENCHMARK(BM_DecodeCdTextFullTwoLanguageDisc)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
