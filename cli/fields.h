// The window's fields as a JSON object, as the command line reads them from a
// --fields file: {"category", "genre", "artist", "title", "year",
// "tracks": [{"title", "artist"}, ...]}, and "discid" and "revision", which
// say which revision of which disc's entry the fields were read from, with
// that entry's "extd", "extt" (one text per track) and "playorder". Other
// keys ("status", ...) are allowed and ignored.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/model.h"

namespace sl::cli {

struct WindowFields {
  std::optional<std::string> category, genre, artist, title, year;
  struct Track {
    std::optional<std::string> title, artist;
  };
  std::vector<Track> tracks;
  std::optional<std::string> discid;
  std::optional<long long> revision;  // a whole number from 0 to 2^31 - 1
  std::optional<std::string> extd, playorder;
  std::vector<std::string> extt;
};

// The highest revision a server keeps.
inline constexpr long long kMaxRevision = 2147483647;

// Reads the fields from JSON text. A key that is missing or null leaves its
// field as it is; a number is taken as the text it is written as. Anything
// else that is not a string, a "tracks" that is not an array of objects, an
// "extt" that is not an array of strings, a "revision" that is not a whole
// number from 0 to kMaxRevision or that comes without a "discid", a key
// given twice in one object, or text that is not one JSON object gives
// nullopt and a message in `why`.
std::optional<WindowFields> ParseFields(std::string_view json, std::string& why);

// The same from a file (at most 4 MiB).
std::optional<WindowFields> ReadFieldsFile(const std::string& path, std::string& why);

// Puts the fields into the window's table: the disc fields, and track k into
// grid row k + 1 (no row is added). Returns how many tracks found no row.
int ApplyFields(const WindowFields& fields, shell::TrackTitleTable& table);

// Why the fields may not go into the window of the disc `discId` (8
// hexadecimal digits) with `trackCount` tracks: the file names another
// disc, or has more tracks (or track texts) than the disc. "" when they may.
std::string ForeignFields(const WindowFields& fields, std::string_view discId, int trackCount);

// The revision a submission of these fields carries: one more than the
// file's revision (a correction); nullopt when the file gives none (a new
// entry).
std::optional<long long> SubmissionRevision(const WindowFields& fields);

}  // namespace sl::cli
