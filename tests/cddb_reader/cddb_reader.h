// libcddb as an independent reader of xmcd entries in the tests. Kept in a
// library of its own: libcddb's <cddb/cddb.h> and the program's own
// "cddb/cddb.h" share a name, so the two never meet in one file.
#pragma once

#include <string>
#include <vector>

namespace sl::test {

struct LibcddbEntry {
  bool ok = false;  // libcddb took the entry
  std::string artist, title, ext;
  long year = 0;
  std::vector<std::string> trackArtists, trackTitles, trackExt;
};

// libcddb's reading of an entry's bytes (no character conversion), under
// category and disc ID, through its cache in `cacheDir` (no request made).
LibcddbEntry ReadWithLibcddb(const std::string& cacheDir, const std::string& category, unsigned discId,
                             const std::string& entryBytes);

}  // namespace sl::test
