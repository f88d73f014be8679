// The local title database "cdplayer.ini" in the Windows directory: one
// section per disc, named after the disc's local key, with the keys
// numtracks, artist, title and "0", "1", ... (title of track n + 1 under
// key n). Other keys of a section, and other sections, belong to other
// programs and are kept as they are.
//
// A title is stored on one line: CR and LF in it are written as blanks.
// Titles with blanks at either end, "=", ";" or outer quotes are written in
// one extra pair of double quotes, which every profile reader removes, so
// they read back exactly.
#pragma once

#include <cstdint>
#include <string>

#include "config/config.h"
#include "shell/model.h"

namespace sl::localdb {

// The configured override (SONOLABEL_WINDIR), else the data folder's
// sonolabel ($XDG_DATA_HOME/sonolabel, default ~/.local/share/sonolabel).
std::string DefaultWindowsDir(const config::Configuration& configuration);

// windowsDir + "/cdplayer.ini".
std::string CdPlayerIniPath(const std::string& windowsDir);

// The section name of a disc key: upper-case hex without leading zeros
// ("FF", "10", "0").
std::string SectionName(std::uint32_t key);

// Saves the window's titles for the disc with this key: nothing when
// trackCount <= 0 (returns true). Otherwise numtracks, artist, title and the
// keys "0".."localKeyTrackCount-1" (grid column 1, rows 1..) in one atomic
// replacement of the file; the folder is created when missing. Returns false,
// leaving the old file untouched, when the write fails; *error then says why.
bool WriteIniFile(const std::string& path, std::uint32_t key, int localKeyTrackCount, int trackCount,
                  const shell::TrackTitleTable& table, std::string* error = nullptr);

// Loads the disc's titles: when its section exists, artist, title and the
// titles of rows 1..numtracks are set (only rows inside the grid; keys
// missing from the section give empty titles). Returns whether the section
// existed; without it the table is left as it was.
bool ReadIniFile(const std::string& path, std::uint32_t key, shell::TrackTitleTable& table);

}  // namespace sl::localdb
