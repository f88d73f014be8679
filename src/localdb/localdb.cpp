#include "localdb/localdb.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "inifile/profile.h"
#include "text/codepage.h"
#include "text/utf8.h"

namespace sl::localdb {

namespace {

namespace fs = std::filesystem;

// A refused save names at most this many characters.
constexpr std::size_t kMaxNamedCharacters = 10;
constexpr const char* kKeyNumTracks = "numtracks";
constexpr const char* kKeyArtist = "artist";
constexpr const char* kKeyTitle = "title";
// Track keys never go beyond the grid's last possible row.
constexpr int kMaxTracks = shell::TrackTitleTable::kMaxRows - 1;

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return s;
}

}  // namespace

std::string DefaultWindowsDir(const config::Configuration& configuration) {
  if (!configuration.windowsDirOverride.empty()) return configuration.windowsDirOverride;
  return configuration.folders.dataHome + "/sonolabel";
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

bool WriteIniFile(const std::string& path, std::uint32_t key, int localKeyTrackCount, int trackCount,
                  const shell::TrackTitleTable& table, std::string* error) {
  if (error != nullptr) error->clear();
  if (trackCount <= 0) return true;
  const int count = std::clamp(localKeyTrackCount, 0, kMaxTracks);

  inifile::Profile::KeyValues keys;
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
  inifile::Profile profile(path);
  const std::string section = SectionName(key);
  const bool ok = profile.Transact([&](const inifile::Profile::Reader& file,
                                       std::vector<inifile::Profile::SectionKeys>& out, std::string& why) {
    // Titles the file's encoding can't hold refuse the whole section, and
    // the user hears which characters they are.
    std::vector<std::string> unstorable;
    for (const auto& kv : keys) {
      const std::string& v = kv.second;
      // Most titles are storable whole; only one that is not is taken
      // apart to name its characters.
      if (file.Storable(v)) continue;
      for (std::size_t i = 0; i < v.size() && unstorable.size() < kMaxNamedCharacters;) {
        const std::size_t n = text::RunLength(v, i);
        const std::string ch = v.substr(i, n);
        if (static_cast<unsigned char>(ch[0]) >= 0x80 && !file.Storable(ch) &&
            std::find(unstorable.begin(), unstorable.end(), ch) == unstorable.end()) {
          unstorable.push_back(ch);
        }
        i += n;
      }
    }
    if (!unstorable.empty()) {
      why = "文字";
      for (const auto& ch : unstorable) {
        if (why.size() > std::string("文字").size()) why += "、";
        why += "「" + ch + "」（" + text::CodePointName(ch) + "）";
      }
      why += "はコードページ " + text::ExternalCodePageName() + " で表せません。";
      return false;
    }
    out.push_back({section, keys});
    return true;
  });
  if (ok) return true;
  if (error != nullptr) *error = profile.LastError();
  return false;
}

bool ReadIniFile(const std::string& path, std::uint32_t key, shell::TrackTitleTable& table) {
  // One read of the file for the whole section: a large database is scanned
  // once, not once per key.
  const inifile::Profile profile(path);
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
    count = inifile::ParseProfileInteger(it->second).value_or(0);
  }
  table.SetArtist(text(kKeyArtist));
  table.SetTitle(text(kKeyTitle));
  const int rows = std::min(count, table.RowCount() - 1);
  for (int n = 0; n < rows; ++n) table.SetCell(1, n + 1, text(std::to_string(n)));
  return true;
}

}  // namespace sl::localdb
