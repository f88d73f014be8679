// xmcd database entries (the lines of a read reply): year, genre and track
// titles as the lookup applies them to the grid, and the split of one title
// into track title and track artist.
#include <cstdint>
#include <string>
#include <string_view>

#include "cddb/cddb.h"
#include "mainform/outcome_texts.h"
#include "support.h"

using namespace sl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static shell::ShellModel model;
  static fuzz::Services services;
  static cddb::CddbLookup lookup(model, mainform::LookupHooksFor(model, services));
  if (size < 1) return 0;
  const int rows = 1 + data[0] % 100;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto& t = model.Table();
  t.SetRowCount(rows);
  for (int r = 1; r < rows; ++r) {
    t.SetCell(1, r, "");
    t.SetCell(2, r, "keep");
  }

  const auto lines = cddb::SplitLines(text);
  FUZZ_CHECK(lines.size() <= cddb::kMaxReplyLines);
  for (const auto& l : lines) FUZZ_CHECK(l.find_first_of("\r\n") == std::string::npos);
  lookup.ApplyEntry(lines);
  FUZZ_CHECK(t.RowCount() == rows);
  FUZZ_CHECK(t.Year() == cddb::EntryValue(lines, "dyear"));
  FUZZ_CHECK(t.Genre() == cddb::EntryValue(lines, "DGenre"));
  // Rows are filled from 1 on up to the first missing title; a title is
  // split into a title that ends the text and an artist that starts it.
  bool stopped = false;
  for (int r = 1; r < rows; ++r) {
    const std::string v = cddb::EntryValue(lines, "TTITLE" + std::to_string(r - 1));
    if (v.empty()) stopped = true;
    if (stopped) {
      FUZZ_CHECK(t.Cell(1, r).empty() && t.Cell(2, r) == "keep");
      continue;
    }
    const std::string& title = t.Cell(1, r);
    const std::string& artist = t.Cell(2, r);
    FUZZ_CHECK(title.size() <= v.size() && v.compare(v.size() - title.size(), title.size(), title) == 0);
    if (v.find("/ ") == std::string::npos) {
      FUZZ_CHECK(title == v && artist == "keep");
    } else {
      FUZZ_CHECK(artist.size() < v.size() && v.compare(0, artist.size(), artist) == 0);
    }
  }
  // A value starts with the text after the first "=" of the first line of
  // its key (further lines of the key continue it), and stays bounded.
  if (!lines.empty()) {
    const auto eq = lines[0].find('=');
    if (eq != std::string::npos) {
      const std::string v = cddb::EntryValue(lines, lines[0].substr(0, eq));
      const std::string first = lines[0].substr(eq + 1, cddb::kMaxValueBytes);
      FUZZ_CHECK(v.size() <= cddb::kMaxValueBytes && v.compare(0, first.size(), first) == 0);
    }
  }
  return 0;
}
