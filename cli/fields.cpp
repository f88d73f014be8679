#include "fields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>

#include "platform/bounded_json.h"

namespace sl::cli {

namespace {

using platform::Json;
using platform::JsonMember;

constexpr std::size_t kMaxFileBytes = 4u << 20;

// A whole number a field may be written as ("year": 1999).
bool WholeNumber(const Json& v, long long& out) {
  constexpr long long kLimit = 1000000000000000LL;
  if (v.is_number_unsigned()) {
    const auto n = v.get<unsigned long long>();
    if (n > static_cast<unsigned long long>(kLimit)) return false;
    out = static_cast<long long>(n);
    return true;
  }
  if (v.is_number_integer()) {
    const auto n = v.get<long long>();
    if (n < -kLimit || n > kLimit) return false;
    out = n;
    return true;
  }
  if (!v.is_number_float()) return false;
  const double d = v.get<double>();
  if (!(d >= -1e15 && d <= 1e15) || std::floor(d) != d) return false;
  out = static_cast<long long>(d);
  return true;
}

// A text field: absent or null leaves it alone; a string or a whole number
// sets it.
bool TextField(const Json& object, const char* key, std::optional<std::string>& out, std::string& why,
               const std::string& where = "") {
  const Json* v = JsonMember(object, key);
  if (v == nullptr || v->is_null()) return true;
  long long n = 0;
  if (v->is_string()) {
    out = v->get<std::string>();
  } else if (WholeNumber(*v, n)) {
    out = std::to_string(n);
  } else {
    why = where + "\"" + key + "\" must be a string";
    return false;
  }
  return true;
}

}  // namespace

std::optional<WindowFields> ParseFields(std::string_view json, std::string& why) {
  platform::JsonLimits limits;
  limits.maxBytes = kMaxFileBytes;
  limits.maxDepth = 8;
  limits.maxValues = 100000;
  const platform::JsonReadResult parsed = platform::ReadJson(json, limits);
  if (!parsed.value) {
    why = parsed.error + " at byte " + std::to_string(parsed.offset);
    return std::nullopt;
  }
  const std::optional<Json>& doc = parsed.value;
  if (!doc->is_object()) {
    why = "the fields must be one JSON object";
    return std::nullopt;
  }
  WindowFields f;
  if (!TextField(*doc, "category", f.category, why) || !TextField(*doc, "genre", f.genre, why) ||
      !TextField(*doc, "artist", f.artist, why) || !TextField(*doc, "title", f.title, why) ||
      !TextField(*doc, "year", f.year, why) || !TextField(*doc, "discid", f.discid, why))
    return std::nullopt;
  if (const Json* rev = JsonMember(*doc, "revision"); rev != nullptr && !rev->is_null()) {
    long long n = -1;
    if (!WholeNumber(*rev, n) || n < 0 || n > kMaxRevision) {
      // Never taken as 0: that would submit a correction as a new entry.
      why = "\"revision\" must be a whole number from 0 to " + std::to_string(kMaxRevision) +
            ", the highest a CDDB server keeps";
      if (WholeNumber(*rev, n)) why += ", not " + std::to_string(n);
      return std::nullopt;
    }
    if (!f.discid) {
      why = "\"revision\" needs the \"discid\" of the entry it corrects";
      return std::nullopt;
    }
    f.revision = n;
  }
  if (!TextField(*doc, "extd", f.extd, why) || !TextField(*doc, "playorder", f.playorder, why))
    return std::nullopt;
  if (const Json* extt = JsonMember(*doc, "extt"); extt != nullptr && !extt->is_null()) {
    if (!extt->is_array()) {
      why = "\"extt\" must be an array of strings";
      return std::nullopt;
    }
    for (const Json& item : *extt) {
      if (!item.is_string()) {
        why = "\"extt\" must be an array of strings";
        return std::nullopt;
      }
      f.extt.push_back(item.get<std::string>());
    }
  }
  if (const Json* tracks = JsonMember(*doc, "tracks"); tracks != nullptr && !tracks->is_null()) {
    if (!tracks->is_array()) {
      why = "\"tracks\" must be an array";
      return std::nullopt;
    }
    for (std::size_t k = 0; k < tracks->size(); ++k) {
      const Json& item = (*tracks)[k];
      const std::string where = "track " + std::to_string(k + 1) + ": ";
      if (!item.is_object()) {
        why = where + "each track must be an object";
        return std::nullopt;
      }
      WindowFields::Track t;
      if (!TextField(item, "title", t.title, why, where) || !TextField(item, "artist", t.artist, why, where))
        return std::nullopt;
      f.tracks.push_back(std::move(t));
    }
  }
  return f;
}

std::optional<WindowFields> ReadFieldsFile(const std::string& path, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  // Read in pieces, so a small file costs no more than its size.
  std::string text;
  char piece[16384];
  while (text.size() <= kMaxFileBytes && in.read(piece, sizeof piece).gcount() > 0)
    text.append(piece, static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxFileBytes) {
    why = path + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return std::nullopt;
  }
  auto fields = ParseFields(text, why);
  if (!fields) why = path + ": " + why;
  return fields;
}

int ApplyFields(const WindowFields& f, shell::TrackTitleTable& table) {
  if (f.category) table.SetCategory(*f.category);
  if (f.genre) table.SetGenre(*f.genre);
  if (f.artist) table.SetArtist(*f.artist);
  if (f.title) table.SetTitle(*f.title);
  if (f.year) table.SetYear(*f.year);
  int dropped = 0;
  for (std::size_t k = 0; k < f.tracks.size(); ++k) {
    const int row = static_cast<int>(k) + 1;
    if (row >= table.RowCount()) {
      ++dropped;
      continue;
    }
    if (f.tracks[k].title) table.SetCell(1, row, *f.tracks[k].title);
    if (f.tracks[k].artist) table.SetCell(2, row, *f.tracks[k].artist);
  }
  return dropped;
}

}  // namespace sl::cli

namespace sl::cli {

std::string ForeignFields(const WindowFields& fields, std::string_view discId, int trackCount) {
  if (fields.discid) {
    const std::string& id = *fields.discid;
    const bool same =
        id.size() == discId.size() && std::equal(id.begin(), id.end(), discId.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
    if (!same) return "the fields file is for disc " + id + ", but the disc is " + std::string(discId);
  }
  const auto count = std::max(fields.tracks.size(), fields.extt.size());
  if (count > static_cast<std::size_t>(std::max(trackCount, 0)))
    return "the fields file has " + std::to_string(count) + " tracks, but disc " + std::string(discId) +
           " has " + std::to_string(trackCount);
  return {};
}

std::optional<long long> SubmissionRevision(const WindowFields& fields) {
  if (!fields.revision) return std::nullopt;
  return *fields.revision + 1;
}

}  // namespace sl::cli
