// Folders the user may keep files in. (The home and XDG base folders
// themselves come from the program's configuration.)
#pragma once

#include <string>

namespace sl::platform {

// Whether `dir` is the system's own: "/" or a folder under /usr, /bin,
// /sbin, /lib*, /opt, /etc or /boot (symbolic links resolved, so /bin on a
// merged-/usr system counts too). Root may write there, but what lies there
// belongs to the package manager and is lost when a package is removed.
bool IsSystemFolder(const std::string& dir);

// Whether the user may keep their own files in `dir`: it exists, this
// process may write to it, it is owned by this user and it is not a system
// folder.
bool IsUsersOwnFolder(const std::string& dir);

}  // namespace sl::platform
