// The window's fields as a JSON object, as the command line reads them from a
// --fields file: {"category", "genre", "artist", "title", "year",
// "tracks": [{"title", "artist"}, ...]}. Other keys ("discid", "status",
// "revision", ...) are allowed and not applied.
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

}  // namespace sl::cli
