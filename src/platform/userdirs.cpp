#include "platform/userdirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace sl::platform {

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

std::string HomeDir() {
  std::string home = EnvOrEmpty("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return ".";
}

std::string XdgDir(const char* variable, const char* underHome) {
  std::string value = EnvOrEmpty(variable);
  if (!value.empty() && value.front() == '/') return value;
  return HomeDir() + "/" + underHome;
}

}  // namespace sl::platform
