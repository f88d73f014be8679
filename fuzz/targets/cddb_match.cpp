// Match lines: "category discid artist / title" from a 200 reply or a match
// list. Every character of the line lands in exactly one field (or in a
// separator).
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
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  lookup.CheckReplyCode(line);

  const std::string& cat = lookup.MatchCategory;
  const std::string& id = lookup.MatchDiscId;
  const std::string& artist = lookup.MatchArtist;
  const std::string& title = lookup.MatchTitle;
  FUZZ_CHECK(cat.find(' ') == std::string::npos && id.find(' ') == std::string::npos);
  std::string rebuilt;
  const std::size_t blank = line.find(' ');
  if (blank != std::string_view::npos) rebuilt = cat + " ";
  else FUZZ_CHECK(cat.empty());
  const std::string_view rest = blank == std::string_view::npos ? line : line.substr(blank + 1);
  if (rest.find(' ') != std::string_view::npos) rebuilt += id + " ";
  else FUZZ_CHECK(id.empty());
  const std::string_view tail = std::string_view(line).substr(rebuilt.size());
  rebuilt += tail.find(" / ") != std::string_view::npos ? artist + " / " + title : title;
  FUZZ_CHECK(artist.find(" / ") == std::string::npos);
  FUZZ_CHECK(rebuilt == line);
  return 0;
}
