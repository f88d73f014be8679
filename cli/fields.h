// The window's fields as a JSON object, as the command line reads them from a
// --fields file: {"category", "genre", "artist", "title", "year",
// "tracks": [{"title", "artist"}, ...]}, and "discid" and "revision", which
// say which revision of which disc's entry the fields were read from. Other
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
  std::optional<int> revision;  // a whole number from 0
};

// Reads the fields from JSON text. A key that is missing or null leaves its
// field as it is; a number is taken as the text it is written as. Anything
// else that is not a string, a "tracks" that is not an array of objects, or
// text that is not one JSON object gives nullopt and a message in `why`.
std::optional<WindowFields> ParseFields(std::string_view json, std::string& why);

// The same from a file (at most 4 MiB).
std::optional<WindowFields> ReadFieldsFile(const std::string& path, std::string& why);

// Puts the fields into the window's table: the disc fields, and track k into
// grid row k + 1 (no row is added). Returns how many tracks found no row.
int ApplyFields(const WindowFields& fields, shell::TrackTitleTable& table);

// The revision a submission of these fields carries for the disc `discId`
// (8 hexadecimal digits): one more than the file's revision when the file's
// disc ID is that disc's, 0 when it names another disc or none; nullopt
// when the file gives no revision.
std::optional<int> SubmissionRevision(const WindowFields& fields, std::string_view discId);

}  // namespace sl::cli
