#include "config/config.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace sl::config {

namespace {

// A set, non-empty value; nullopt otherwise.
std::optional<std::string> NonEmpty(const VariableLookup& variable, const char* name) {
  std::optional<std::string> v = variable(name);
  if (v && v->empty()) return std::nullopt;
  return v;
}

std::string HomeFolder(const VariableLookup& variable) {
  if (auto home = NonEmpty(variable, "HOME")) return *home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return ".";
}

std::string XdgFolder(const VariableLookup& variable, const char* name, const std::string& home,
                      const char* underHome) {
  std::optional<std::string> v = variable(name);
  if (v && !v->empty() && v->front() == '/') return *v;
  return home + "/" + underHome;
}

}  // namespace

VariableLookup ProcessEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    // The one place the program reads its environment.
    const char* v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): start-up, one thread
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  };
}

long NumberOr(const std::optional<std::string>& text, long fallback) {
  if (!text || text->empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text->c_str(), &end, 10);
  if (errno == ERANGE || end == nullptr || *end != '\0') return fallback;
  return value;
}

int TimeoutOr(const std::optional<std::string>& text, int fallback) {
  const long ms = NumberOr(text, -1);
  if (ms < kMinTimeoutMs || ms > kMaxTimeoutMs) return fallback;
  return static_cast<int>(ms);
}

Configuration ReadConfiguration(const VariableLookup& variable) {
  Configuration c;
  UserFolders& f = c.folders;
  f.home = HomeFolder(variable);
  f.configHome = XdgFolder(variable, "XDG_CONFIG_HOME", f.home, ".config");
  f.dataHome = XdgFolder(variable, "XDG_DATA_HOME", f.home, ".local/share");
  f.stateHome = XdgFolder(variable, "XDG_STATE_HOME", f.home, ".local/state");

  c.settingsOverride = NonEmpty(variable, "SONOLABEL_INI").value_or("");
  c.windowsDirOverride = NonEmpty(variable, "SONOLABEL_WINDIR").value_or("");
  c.aspiChoice = variable("SONOLABEL_ASPI").value_or("");
  c.codePage = NonEmpty(variable, "SONOLABEL_CODEPAGE").value_or(kDefaultCodePage);
  c.playerProgram = NonEmpty(variable, "SONOLABEL_DSMP").value_or("");
  c.playerStartMs = TimeoutOr(variable("SONOLABEL_DSMP_START_MS"), kDefaultPlayerStartMs);
  c.runtimeDir = variable("XDG_RUNTIME_DIR").value_or("");
  c.ipcTimeoutMs = TimeoutOr(variable("SONOLABEL_IPC_TIMEOUT_MS"), kDefaultIpcTimeoutMs);

  WindowAutomation& a = c.automation;
  a.startupProbe = NumberOr(variable("SONOLABEL_STARTUP_PROBE"), 0) != 0;
  a.pickDrive = NumberOr(variable("SONOLABEL_PICK_DRIVE"), -1);
  a.lookup = NumberOr(variable("SONOLABEL_LOOKUP"), 0) != 0;
  a.matchRow = NumberOr(variable("SONOLABEL_MATCH_ROW"), 1);
  a.matchScreenshot = variable("SONOLABEL_MATCH_SCREENSHOT").value_or("");
  a.screenshot = variable("SONOLABEL_SCREENSHOT").value_or("");
  a.screenshotDelayMs = NumberOr(variable("SONOLABEL_SCREENSHOT_DELAY"), 500);
  a.screenScreenshot = variable("SONOLABEL_SCREENSHOT_SCREEN").value_or("");
  return c;
}

}  // namespace sl::config
