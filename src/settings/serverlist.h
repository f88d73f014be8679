// The stored list of CDDB servers as the server submenu shows it, and the
// merge of a mirror list fetched from the current server.
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"
#include "shell/model.h"

namespace sl::settings {

// The most entries the menu lists and a merge looks at or adds; a damaged
// file must not make either run away.
inline constexpr int kMaxServers = 10000;

// The stored servercount as the menu and the options dialog use it: 0 when
// missing or unreadable, never more than kMaxServers.
int StoredServerCount(const SettingsFile& settings);

// Merges the lines of a sites reply (status and terminator lines removed)
// into the stored list: a line naming none of the hosts stored before the
// merge adds one entry with the text before its first blank as host and the
// standard path, numbered from the stored servercount on, which is then
// raised by the number added. The whole merge is one locked read-modify-
// write of the file, so two programs merging at once cannot take the same
// number. A negative or unreadable servercount refuses the merge (false,
// `error` says why, nothing written), as does a failed write.
bool SetServerList(SettingsFile& settings, const std::vector<std::string>& lines,
                   std::string* error = nullptr);

// Rebuilds the server submenu from the stored list and returns the number of
// the entry it marked, or -1 when selectserver names no stored entry.
int GetServerList(const SettingsFile& settings, shell::ShellModel& model);

}  // namespace sl::settings
