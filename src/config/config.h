// The program's configuration: everything it takes from its environment,
// read once at start-up by each program's main and passed down from there.
// No other part of the program reads the environment; a part that needs one
// of these values gets it as a parameter or through an init call.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace sl::config {

inline constexpr const char* kDefaultCodePage = "CP932";
inline constexpr int kDefaultIpcTimeoutMs = 3000;
inline constexpr int kDefaultPlayerStartMs = 10000;
// Bounds of the millisecond variables; a value outside them is ignored.
inline constexpr long kMinTimeoutMs = 1;
inline constexpr long kMaxTimeoutMs = 600000;

// The user's folders: $HOME (else the password database's home folder,
// else ".") and the XDG base folders, each the variable when it names an
// absolute path (a relative one is ignored) else its default under home.
struct UserFolders {
  std::string home;
  std::string configHome;  // XDG_CONFIG_HOME or ~/.config
  std::string dataHome;    // XDG_DATA_HOME or ~/.local/share
  std::string stateHome;   // XDG_STATE_HOME or ~/.local/state
};

// Unattended runs of the window, for measuring and documenting it (see
// app/automation.h for what each does). All off by default.
struct WindowAutomation {
  bool startupProbe = false;     // SONOLABEL_STARTUP_PROBE (non-zero number)
  long pickDrive = -1;           // SONOLABEL_PICK_DRIVE
  bool lookup = false;           // SONOLABEL_LOOKUP (non-zero number)
  long matchRow = 1;             // SONOLABEL_MATCH_ROW
  std::string matchScreenshot;   // SONOLABEL_MATCH_SCREENSHOT
  std::string screenshot;        // SONOLABEL_SCREENSHOT
  long screenshotDelayMs = 500;  // SONOLABEL_SCREENSHOT_DELAY
  std::string screenScreenshot;  // SONOLABEL_SCREENSHOT_SCREEN
};

struct Configuration {
  // -- As the environment gives them --
  UserFolders folders;
  std::string settingsOverride;               // SONOLABEL_INI, "" when unset
  std::string windowsDirOverride;             // SONOLABEL_WINDIR, "" when unset
  std::string aspiChoice;                     // SONOLABEL_ASPI: "sg", "sim" or a path; "" means "sg"
  std::string codePage = kDefaultCodePage;    // SONOLABEL_CODEPAGE (an iconv name)
  std::string playerProgram;                  // SONOLABEL_DSMP, "" when there is none
  int playerStartMs = kDefaultPlayerStartMs;  // SONOLABEL_DSMP_START_MS
  std::string runtimeDir;                     // XDG_RUNTIME_DIR, the IPC's folder
  int ipcTimeoutMs = kDefaultIpcTimeoutMs;    // SONOLABEL_IPC_TIMEOUT_MS
  WindowAutomation automation;

  // -- Resolved at start-up from the above and the files on disk --
  std::string exePath;     // the running executable
  std::string iniPath;     // the settings file
  std::string windowsDir;  // folder of "cdplayer.ini"
  std::string aspiLayer;   // full path of the ASPI layer library to load

  // -- Demo mode --
  // Set by the face when asked for the demo; the demo session then points
  // the settings file, "cdplayer.ini" folder, ASPI layer, player program
  // and (when the session has none) runtime folder at what it started.
  bool demoMode = false;
};

// One variable's value; nullopt when it is not set.
using VariableLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment as a lookup. Start-up code only: everything else
// gets the configuration built from it.
VariableLookup ProcessEnvironment();

// The configuration the variables give. Fills every field of the first
// group; the resolved paths are left empty for the face's start-up to fill
// (they depend on the executable, on files on disk and on the rules of the
// rooms that own those files).
Configuration ReadConfiguration(const VariableLookup& variable);

// `text` as a whole number of milliseconds within [kMinTimeoutMs,
// kMaxTimeoutMs]; `fallback` when it is empty, not a number or outside.
int TimeoutOr(const std::optional<std::string>& text, int fallback);

// `text` as a whole number (any sign); `fallback` when it is empty or not
// a number.
long NumberOr(const std::optional<std::string>& text, long fallback);

}  // namespace sl::config
