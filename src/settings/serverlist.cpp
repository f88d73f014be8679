#include "settings/serverlist.h"

#include <algorithm>

namespace sl::settings {

namespace {
// A damaged settings file must not make the menu or the merge loop run away.
constexpr int kMaxServers = 1000;

int StoredCount(const SettingsFile& settings) {
  return std::clamp(settings.ReadInteger(kSection, "servercount", 0), 0, kMaxServers);
}
}  // namespace

void SetServerList(SettingsFile& settings, const std::vector<std::string>& lines) {
  const int old = StoredCount(settings);
  std::vector<std::string> known;
  known.reserve(static_cast<std::size_t>(old));
  for (int i = 0; i < old; ++i) {
    std::string host = settings.ReadString(ServerSection(i), "host", "");
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
    ServerEntry entry;
    entry.host = blank == std::string::npos ? std::string() : line.substr(0, blank);
    entry.path = kDefaultServerPath;
    entry.code = 0;
    settings.WriteServer(next, entry);
    ++next;
  }
  settings.WriteInteger(kSection, "servercount", next);
}

int GetServerList(const SettingsFile& settings, shell::ShellModel& model) {
  model.ClearServerItems();
  const int count = StoredCount(settings);
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
