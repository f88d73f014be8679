#include "cddb_reader.h"

#include <cddb/cddb.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace sl::test {

LibcddbEntry ReadWithLibcddb(const std::string& cacheDir, const std::string& category, unsigned discId,
                             const std::string& entryBytes) {
  LibcddbEntry r;
  namespace fs = std::filesystem;
  fs::remove_all(cacheDir);
  fs::create_directories(fs::path(cacheDir) / category);
  char name[16];
  std::snprintf(name, sizeof name, "%08x", discId);
  {
    std::ofstream out(fs::path(cacheDir) / category / name, std::ios::binary);
    out << entryBytes;
  }
  cddb_log_set_level(CDDB_LOG_CRITICAL);
  cddb_conn_t* conn = cddb_new();
  cddb_disc_t* disc = cddb_disc_new();
  if (conn != nullptr && disc != nullptr) {
    cddb_cache_set_dir(conn, cacheDir.c_str());
    cddb_cache_only(conn);
    cddb_disc_set_category_str(disc, category.c_str());
    cddb_disc_set_discid(disc, discId);
    r.ok = cddb_read(conn, disc) != 0;
  }
  auto text = [](const char* s) { return std::string(s ? s : ""); };
  if (r.ok) {
    r.artist = text(cddb_disc_get_artist(disc));
    r.title = text(cddb_disc_get_title(disc));
    r.ext = text(cddb_disc_get_ext_data(disc));
    r.year = static_cast<long>(cddb_disc_get_year(disc));
    for (int n = 0; n < cddb_disc_get_track_count(disc); ++n) {
      cddb_track_t* t = cddb_disc_get_track(disc, n);
      r.trackArtists.push_back(text(cddb_track_get_artist(t)));
      r.trackTitles.push_back(text(cddb_track_get_title(t)));
      r.trackExt.push_back(text(cddb_track_get_ext_data(t)));
    }
  }
  if (disc != nullptr) cddb_disc_destroy(disc);
  if (conn != nullptr) cddb_destroy(conn);
  return r;
}

}  // namespace sl::test
