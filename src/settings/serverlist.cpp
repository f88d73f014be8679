#include "settings/serverlist.h"

#include <algorithm>
#include <stdexcept>

#include "inifile/profile.h"

namespace sl::settings {

int StoredServerCount(const SettingsFile& settings) {
  return std::clamp(settings.ReadInteger(kSection, kKeyServerCount, 0), 0, kMaxServers);
}

bool SetServerList(SettingsFile& settings, const std::vector<std::string>& lines, std::string* error) {
  return settings.Transact(
      [&](const inifile::Profile::Reader& file, std::vector<inifile::Profile::SectionKeys>& out,
          std::string& why) {
        // The stored count as it is: a missing key means no entries, but a
        // negative or unreadable one says nothing about which svrN are in use,
        // and adding after it could overwrite an entry.
        int old = 0;
        if (const auto text = file.Find(kSection, kKeyServerCount)) {
          const auto value = inifile::ParseProfileInteger(*text);
          if (!value || *value < 0) {
            why = "servercount「" + *text + "」が正しくないため、サーバリストを追加できません。";
            return false;
          }
          old = *value;
        }
        std::vector<std::string> known;
        const int looked = std::min(old, kMaxServers);
        for (int i = 0; i < looked; ++i) {
          std::string host = file.ReadString(ServerSection(i), kKeyHost, "");
          if (!host.empty()) known.push_back(std::move(host));
        }
        int next = old;
        for (const auto& line : lines) {
          if (next >= kMaxServers) break;
          const bool present = std::any_of(known.begin(), known.end(), [&](const std::string& h) {
            return line.find(h) != std::string::npos;
          });
          if (present) continue;
          const auto blank = line.find(' ');
          const std::string host = blank == std::string::npos ? std::string() : line.substr(0, blank);
          // A host the file can't hold is left out; it takes no number.
          if (!file.Storable(host)) continue;
          out.push_back(
              {ServerSection(next), {{kKeyHost, host}, {kKeyPath, kDefaultServerPath}, {kKeyCode, "0"}}});
          ++next;
        }
        if (next != old) out.push_back({kSection, {{kKeyServerCount, std::to_string(next)}}});
        return true;
      },
      error);
}

int GetServerList(const SettingsFile& settings, shell::ShellModel& model) {
  model.ClearServerItems();
  const int count = StoredServerCount(settings);
  const int selected = settings.ReadInteger(kSection, "selectserver", 0);
  int marked = -1;
  for (int i = 0; i < count; ++i) {
    shell::ServerMenuItem item;
    item.caption = settings.ReadString(ServerSection(i), "host", "");
    item.tag = i;
    item.checked = (i == selected);
    if (item.checked) marked = i;
    model.AddServerItem(std::move(item));
  }
  return marked;
}

}  // namespace sl::settings
