// The stored list of CDDB servers as the server submenu shows it, and the
// merge of a mirror list fetched from the current server.
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"
#include "shell/model.h"

namespace sl::settings {

// Merges the lines of a sites reply (status and terminator lines removed)
// into the stored list: a line naming none of the hosts stored before the
// merge adds one entry with the text before its first blank as host and the
// standard path. Writes servercount last.
void SetServerList(SettingsFile& settings, const std::vector<std::string>& lines);

// Rebuilds the server submenu from the stored list and returns the number of
// the entry it marked, or -1 when selectserver names no stored entry.
int GetServerList(const SettingsFile& settings, shell::ShellModel& model);

}  // namespace sl::settings
