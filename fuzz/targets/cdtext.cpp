// READ TOC format 5 (CD-Text) replies as a drive, a scratched disc or a
// layer pretending to be a drive may send them.
#include <cstdint>
#include <span>

#include "disc/cdtext.h"
#include "support.h"

using namespace sl;

namespace {

// What the window may be given: well-formed UTF-8 without control characters.
bool Showable(const std::string& text) {
  if (!fuzz::ValidUtf8(text)) return false;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return false;
  }
  return text.find("\xEF\xBF\xBD") == std::string::npos;
}

void CheckDecoded(const disc::CdText& text) {
  FUZZ_CHECK(text.blocks.size() <= static_cast<std::size_t>(disc::kCdTextMaxBlocks));
  FUZZ_CHECK(text.notes.size() <= disc::kCdTextMaxNotes);
  int previous = -1;
  for (const auto& b : text.blocks) {
    FUZZ_CHECK(b.number > previous && b.number < disc::kCdTextMaxBlocks);
    previous = b.number;
    FUZZ_CHECK(b.titles.size() <= 100 && b.performers.size() <= 100);
    for (const auto* list : {&b.titles, &b.performers}) {
      for (const auto& t : *list) FUZZ_CHECK(Showable(t));
      // Only as long as the last text it has.
      if (!list->empty()) FUZZ_CHECK(!list->back().empty());
    }
  }
  for (int language : {-1, disc::kCdTextEnglish, disc::kCdTextJapanese}) {
    const disc::CdTextBlock* picked = text.Pick(language);
    FUZZ_CHECK(picked == nullptr || picked->HasText());
    for (int tracks : {0, 1, 99}) {
      const auto titles = disc::TitlesFromCdText(text, tracks, language);
      FUZZ_CHECK(titles.has_value() == false || picked != nullptr);
      if (titles) {
        FUZZ_CHECK(titles->trackTitles.size() == static_cast<std::size_t>(tracks));
        FUZZ_CHECK(titles->trackPerformers.size() == static_cast<std::size_t>(tracks));
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> reply(data, size);
  const disc::CdText text = disc::DecodeCdText(reply);
  CheckDecoded(text);

  // The same reply decodes the same way twice.
  const disc::CdText again = disc::DecodeCdText(reply);
  FUZZ_CHECK(again.notes == text.notes && again.blocks.size() == text.blocks.size());
  for (std::size_t i = 0; i < text.blocks.size(); ++i)
    FUZZ_CHECK(again.blocks[i].titles == text.blocks[i].titles &&
               again.blocks[i].performers == text.blocks[i].performers);

  // A reply cut short (a drive that stopped early) is decoded as soundly.
  if (size > 4) CheckDecoded(disc::DecodeCdText(reply.first(size / 2 + 2)));
  return 0;
}
