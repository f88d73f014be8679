#include "platform/install_paths.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

// The build passes the installed folders relative to bin/; these defaults
// are the layout it installs.
#ifndef SONOLABEL_PKGLIBDIR_FROM_BIN
#define SONOLABEL_PKGLIBDIR_FROM_BIN "../lib/sonolabel"
#endif
#ifndef SONOLABEL_PKGDATADIR_FROM_BIN
#define SONOLABEL_PKGDATADIR_FROM_BIN "../share/sonolabel"
#endif

namespace sl::platform {

namespace fs = std::filesystem;

std::string RunningExecutable() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<std::size_t>(n));
}

std::string InstalledDir(const std::string& exeDir, ProgramDir kind) {
  const char* rel = kind == ProgramDir::Lib ? SONOLABEL_PKGLIBDIR_FROM_BIN : SONOLABEL_PKGDATADIR_FROM_BIN;
  fs::path dir = (fs::path(exeDir.empty() ? "." : exeDir) / rel).lexically_normal();
  std::string out = dir.string();
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::vector<std::string> CandidatePaths(const std::string& exeDir, ProgramDir kind, const std::string& name) {
  const std::string dir = exeDir.empty() ? "." : exeDir;
  return {dir + "/" + name, InstalledDir(dir, kind) + "/" + name};
}

std::string FindProgramFile(const std::string& exeDir, ProgramDir kind, const std::string& name) {
  for (const std::string& path : CandidatePaths(exeDir, kind, name)) {
    std::error_code ec;
    if (fs::exists(path, ec)) return path;
  }
  return "";
}

}  // namespace sl::platform
