// The MusicBrainz room's own work, without the network: the disc ID of a
// full disc through libdiscid, and reading answers of one release and of
// a hundred (the most a TOC match is kept to).
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "musicbrainz/musicbrainz.h"

namespace {

std::string Fixture(const char* name) {
  std::ifstream in(std::string(SONOLABEL_SOURCE_DIR) + "/tools/mbsim/data/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void BM_IdentifyDisc99(benchmark::State& state) {
  sl::disc::DiscToc toc;
  toc.TrackCount = 99;
  for (int k = 0; k <= 99; ++k) {
    const int f = 150 + k * 2700 + (k * 37) % 75;
    toc.Entries[static_cast<std::size_t>(k)] = {f / 4500, (f / 75) % 60, f % 75};
  }
  std::string why;
  for (auto _ : state) benchmark::DoNotOptimize(sl::musicbrainz::IdentifyDisc(toc, why));
}
BENCHMARK(BM_IdentifyDisc99);

void BM_ParseOneRelease(benchmark::State& state) {
  const std::string text = Fixture("rock.json");
  std::string why;
  for (auto _ : state) benchmark::DoNotOptimize(sl::musicbrainz::ParseDiscReply(text, why));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseOneRelease);

void BM_ParseHundredReleases(benchmark::State& state) {
  // The twelve-track answer's first release, a hundred times over.
  const std::string one = Fixture("jpop.json");
  const auto start = one.find('{', one.find("\"releases\""));
  const auto end = one.find("\n  },\n  {", start);
  const std::string release = one.substr(start, end + 4 - start);
  std::string text = "{\"release-count\": 100, \"releases\": [";
  for (int i = 0; i < 100; ++i) text += (i ? "," : "") + release;
  text += "]}";
  std::string why;
  if (!sl::musicbrainz::ParseDiscReply(text, why)) state.SkipWithError(why.c_str());
  for (auto _ : state) benchmark::DoNotOptimize(sl::musicbrainz::ParseDiscReply(text, why));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseHundredReleases);

}  // namespace

BENCHMARK_MAIN();
