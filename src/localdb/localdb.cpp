#include "localdb/localdb.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "platform/profile.h"

namespace sl::localdb {

namespace {

namespace fs = std::filesystem;

constexpr const char* kKeyNumTracks = "numtracks";
constexpr const char* kKeyArtist = "artist";
constexpr const char* kKeyTitle = "title";
// Track keys never go beyond the grid's last possible row.
constexpr int kMaxTracks = shell::TrackTitleTable::kMaxRows - 1;

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return s;
}

}  // namespace

std::string DefaultWindowsDir() {
  const std::string over = EnvOrEmpty("SONOLABEL_WINDIR");
  if (!over.empty()) return over;
  const std::string xdg = EnvOrEmpty("XDG_DATA_HOME");
  if (!xdg.empty() && xdg.front() == '/') return xdg + "/sonolabel";
  const std::string home = EnvOrEmpty("HOME");
  return (home.empty() ? std::string(".") : home) + "/.local/share/sonolabel";
}

std::string CdPlayerIniPath(const std::string& windowsDir) {
  if (!windowsDir.empty() && windowsDir.back() == '/') return windowsDir + "cdplayer.ini";
  return windowsDir + "/cdplayer.ini";
}

std::string SectionName(std::uint32_t key) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char buf[8];
  int n = 0;
  do {
    buf[n++] = kDigits[key & 0xF];
    key >>= 4;
  } while (key != 0);
  std::string out;
  while (n > 0) out += buf[--n];
  return out;
}

bool WriteIniFile(const std::string& path, std::uint32_t key, int localKeyTrackCount,
                  int trackCount, const shell::TrackTitleTable& table, std::string* error) {
  if (error != nullptr) error->clear();
  if (trackCount <= 0) return true;
  const int count = std::clamp(localKeyTrackCount, 0, kMaxTracks);

  platform::Profile::KeyValues keys;
  keys.reserve(static_cast<std::size_t>(count) + 3);
  keys.emplace_back(kKeyNumTracks, std::to_string(count));
  keys.emplace_back(kKeyArtist, table.Artist());
  keys.emplace_back(kKeyTitle, table.Title());
  for (int n = 0; n < count; ++n) keys.emplace_back(std::to_string(n), table.Cell(1, n + 1));

  const fs::path dir = fs::path(path).parent_path();
  if (!dir.empty()) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) fs::create_directories(dir, ec);
  }
  platform::Profile profile(path);
  if (profile.WriteKeys(SectionName(key), keys)) return true;
  if (error != nullptr) *error = profile.LastError();
  return false;
}

bool ReadIniFile(const std::string& path, std::uint32_t key, shell::TrackTitleTable& table) {
  // One read of the file for the whole section: a large database is scanned
  // once, not once per key.
  const platform::Profile profile(path);
  const auto entries = profile.ReadSection(SectionName(key));
  if (!entries) return false;

  std::map<std::string, std::string> first;  // lower-case key -> first value
  for (const auto& [k, v] : *entries) first.emplace(Lower(k), v);
  auto text = [&](const std::string& k) {
    const auto it = first.find(k);
    return it != first.end() ? it->second : std::string();
  };

  int count = 0;
  if (const auto it = first.find(kKeyNumTracks); it != first.end()) {
    count = platform::ParseProfileInteger(it->second).value_or(0);
  }
  table.SetArtist(text(kKeyArtist));
  table.SetTitle(text(kKeyTitle));
  const int rows = std::min(count, table.RowCount() - 1);
  for (int n = 0; n < rows; ++n) table.SetCell(1, n + 1, text(std::to_string(n)));
  return true;
}

}  // namespace sl::localdb
