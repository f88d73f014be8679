// READ TOC replies (format 0 and the session information of format 1) as a
// drive, or a layer pretending to be one, may send them.
#include <cstdint>
#include <span>
#include <sstream>

#include "disc/disc.h"
#include "support.h"

using namespace sl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> reply(data, size);
  disc::DiscToc toc;
  // What an earlier disc left: must survive a refused reply, and beyond the
  // lead-out an accepted one.
  toc.TrackCount = 7;
  for (auto& e : toc.Entries) e = {99, 99, 99};
  const disc::DiscToc before = toc;

  if (disc::ParseTocReply(reply, toc)) {
    const int n = toc.TrackCount;
    FUZZ_CHECK(n >= 1 && n <= disc::kMaxTracks);
    for (int k = 0; k <= n; ++k) {
      const auto& a = toc.Entries[static_cast<std::size_t>(k)];
      FUZZ_CHECK(a.Minute >= 0 && a.Minute <= 255 && a.Second >= 0 && a.Second <= 59 && a.Frame >= 0 &&
                 a.Frame <= 74);
      if (k > 0)
        FUZZ_CHECK(disc::FrameOffset(a) >= disc::FrameOffset(toc.Entries[static_cast<std::size_t>(k - 1)]));
    }
    for (std::size_t k = static_cast<std::size_t>(n) + 1; k < toc.Entries.size(); ++k)
      FUZZ_CHECK(toc.Entries[k].Minute == 99 && toc.Entries[k].Frame == 99);
    // The line cd-discid prints: ID, count, n offsets, seconds.
    std::istringstream fields(disc::DiscIdFields(toc, ' '));
    std::string word;
    int words = 0;
    while (fields >> word) ++words;
    FUZZ_CHECK(words == n + 3);
    FUZZ_CHECK(disc::QueryCommandFor(toc).rfind("cmd=cddb+query+", 0) == 0);
    std::int32_t counted = -1;
    (void)disc::CalcLocalDiscKey(toc, counted);
    FUZZ_CHECK(counted == n);
  } else {
    FUZZ_CHECK(toc.TrackCount == before.TrackCount);
    for (std::size_t k = 0; k < toc.Entries.size(); ++k)
      FUZZ_CHECK(toc.Entries[k].Minute == 99 && toc.Entries[k].Second == 99 && toc.Entries[k].Frame == 99);
  }

  const int first = disc::LastSessionFirstTrack(reply);
  FUZZ_CHECK(first >= 0 && first <= disc::kMaxTracks);
  return 0;
}
