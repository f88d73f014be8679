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

}  // namespace sl::platform
