// The user's folders: the home folder and the XDG base folders, as every
// part of the program that keeps files for the user finds them.
#pragma once

#include <string>

namespace sl::platform {

// The variable's value, or "" when it is not set.
std::string EnvOrEmpty(const char* name);

// $HOME, else the password database's home folder, else ".".
std::string HomeDir();

// $variable when it names an absolute path (relative ones are to be ignored),
// else the home folder + "/" + underHome: XdgDir("XDG_CONFIG_HOME", ".config").
std::string XdgDir(const char* variable, const char* underHome);

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
