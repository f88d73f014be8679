#include "platform/userdirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace sl::platform {

bool IsSystemFolder(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(dir.empty() ? "." : dir, ec), ec);
  if (ec) p = fs::path(dir).lexically_normal();
  const std::string s = p.string();
  if (s == "/" || s.empty()) return true;
  static constexpr std::array<std::string_view, 6> kRoots = {"/usr", "/bin", "/sbin",
                                                             "/opt", "/etc", "/boot"};
  const auto under = [&](std::string_view root) {
    return s.compare(0, root.size(), root) == 0 && (s.size() == root.size() || s[root.size()] == '/');
  };
  for (std::string_view root : kRoots) {
    if (under(root)) return true;
  }
  // /lib, /lib32, /lib64, /libx32 and the like.
  if (s.compare(0, 4, "/lib") == 0) {
    const std::size_t slash = s.find('/', 1);
    const std::string_view top = std::string_view(s).substr(0, slash);
    if (top == "/lib" || top == "/lib32" || top == "/lib64" || top == "/libx32") return true;
  }
  return false;
}

bool IsUsersOwnFolder(const std::string& dir) {
  const std::string d = dir.empty() ? "." : dir;
  struct stat st {};
  if (::stat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != ::geteuid()) return false;
  if (::access(d.c_str(), W_OK | X_OK) != 0) return false;
  return !IsSystemFolder(d);
}

}  // namespace sl::platform
