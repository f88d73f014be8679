// bench_mblookup: one MusicBrainz lookup per process, the way the command
// line's lookup will run it: the disc ID from a table of contents, the
// request, the answer read, the first release's titles printed as JSON.
// Usage: bench_mblookup --toc "M:S:F ..." [--lsft K] --server URL [--contact C]
// Exit status 0 when a release was found, 1 otherwise, 2 usage error.
#include <nlohmann/json.hpp>

#include <iostream>
#include <string>

#include "musicbrainz/musicbrainz.h"

int main(int argc, char** argv) {
  std::string tocText, server, contact;
  int lsft = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--toc") tocText = argv[i + 1];
    else if (arg == "--lsft") lsft = std::atoi(argv[i + 1]);
    else if (arg == "--server") server = argv[i + 1];
    else if (arg == "--contact") contact = argv[i + 1];
    else {
      std::cerr << "bench_mblookup: unknown option " << arg << "\n";
      return 2;
    }
  }
  std::string why;
  const auto toc = sl::disc::ParseTocText(tocText, lsft, why);
  if (!toc || server.empty()) {
    std::cerr << "bench_mblookup: " << (toc ? "--server missing" : why) << "\n";
    return 2;
  }
  const auto disc = sl::musicbrainz::IdentifyDisc(*toc, why);
  if (!disc) {
    std::cerr << "bench_mblookup: " << why << "\n";
    return 1;
  }
  sl::shell::ShellModel model;
  sl::musicbrainz::DiscLookup lookup(model, {server, contact});
  const auto result = lookup.LookUpDisc(*disc);
  if (result.outcome != sl::musicbrainz::LookupOutcome::Found) {
    std::cerr << "bench_mblookup: " << sl::musicbrainz::OutcomeName(result.outcome) << " " << result.detail
              << "\n";
    return 1;
  }
  const auto titles = sl::musicbrainz::TitlesFor(result.reply.releases[0], disc->discId, disc->trackCount);
  if (!titles) {
    std::cerr << "bench_mblookup: no medium of the release fits the disc\n";
    return 1;
  }
  nlohmann::json out = {{"mbid", disc->discId},   {"release", titles->releaseId}, {"artist", titles->artist},
                        {"title", titles->title}, {"year", titles->year},         {"source", "musicbrainz"}};
  for (const auto& t : titles->tracks) out["tracks"].push_back({{"title", t.title}, {"artist", t.artist}});
  std::cout << out.dump() << "\n";
  return 0;
}
