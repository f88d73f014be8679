// Reading the configuration: each variable, its default, and which of two
// that name the same thing wins.
#include "config/config.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "support/scoped_env.h"

namespace sl::config {
namespace {

using Variables = std::map<std::string, std::string>;

Configuration Read(const Variables& variables) {
  return ReadConfiguration([&](const char* name) -> std::optional<std::string> {
    const auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  });
}

TEST(Configuration, NothingSetGivesTheDefaults) {
  const Configuration c = Read({{"HOME", "/home/u"}});
  EXPECT_EQ(c.folders.home, "/home/u");
  EXPECT_EQ(c.folders.configHome, "/home/u/.config");
  EXPECT_EQ(c.folders.dataHome, "/home/u/.local/share");
  EXPECT_EQ(c.folders.stateHome, "/home/u/.local/state");
  EXPECT_EQ(c.settingsOverride, "");
  EXPECT_EQ(c.windowsDirOverride, "");
  EXPECT_EQ(c.aspiChoice, "");  // the real-drive layer
  EXPECT_EQ(c.codePage, "CP932");
  EXPECT_EQ(c.playerProgram, "");
  EXPECT_EQ(c.playerStartMs, 10000);
  EXPECT_EQ(c.runtimeDir, "");
  EXPECT_EQ(c.ipcTimeoutMs, 3000);
  EXPECT_FALSE(c.demoMode);
  EXPECT_FALSE(c.automation.startupProbe);
  EXPECT_EQ(c.automation.pickDrive, -1);
  EXPECT_FALSE(c.automation.lookup);
  EXPECT_EQ(c.automation.matchRow, 1);
  EXPECT_EQ(c.automation.screenshotDelayMs, 500);
  EXPECT_EQ(c.automation.screenshot, "");
  EXPECT_EQ(c.automation.matchScreenshot, "");
  EXPECT_EQ(c.automation.screenScreenshot, "");
  // Resolved later, by the face.
  EXPECT_EQ(c.exePath, "");
  EXPECT_EQ(c.iniPath, "");
  EXPECT_EQ(c.aspiLayer, "");
  EXPECT_EQ(c.windowsDir, "");
}

TEST(Configuration, EachVariableIsTaken) {
  const Configuration c = Read({{"HOME", "/h"},
                                {"XDG_CONFIG_HOME", "/cfg"},
                                {"XDG_DATA_HOME", "/data"},
                                {"XDG_STATE_HOME", "/state"},
                                {"SONOLABEL_INI", "/x/my.ini"},
                                {"SONOLABEL_WINDIR", "/win"},
                                {"SONOLABEL_ASPI", "sim"},
                                {"SONOLABEL_CODEPAGE", "EUC-JP"},
                                {"SONOLABEL_DSMP", "/opt/dsmp/DSMP.EXE"},
                                {"SONOLABEL_DSMP_START_MS", "2500"},
                                {"XDG_RUNTIME_DIR", "/run/user/7"},
                                {"SONOLABEL_IPC_TIMEOUT_MS", "750"},
                                {"SONOLABEL_STARTUP_PROBE", "1"},
                                {"SONOLABEL_PICK_DRIVE", "2"},
                                {"SONOLABEL_LOOKUP", "1"},
                                {"SONOLABEL_MATCH_ROW", "3"},
                                {"SONOLABEL_MATCH_SCREENSHOT", "/p/match.png"},
                                {"SONOLABEL_SCREENSHOT", "/p/main.png"},
                                {"SONOLABEL_SCREENSHOT_DELAY", "40"},
                                {"SONOLABEL_SCREENSHOT_SCREEN", "/p/screen.png"}});
  EXPECT_EQ(c.folders.home, "/h");
  EXPECT_EQ(c.folders.configHome, "/cfg");
  EXPECT_EQ(c.folders.dataHome, "/data");
  EXPECT_EQ(c.folders.stateHome, "/state");
  EXPECT_EQ(c.settingsOverride, "/x/my.ini");
  EXPECT_EQ(c.windowsDirOverride, "/win");
  EXPECT_EQ(c.aspiChoice, "sim");
  EXPECT_EQ(c.codePage, "EUC-JP");
  EXPECT_EQ(c.playerProgram, "/opt/dsmp/DSMP.EXE");
  EXPECT_EQ(c.playerStartMs, 2500);
  EXPECT_EQ(c.runtimeDir, "/run/user/7");
  EXPECT_EQ(c.ipcTimeoutMs, 750);
  EXPECT_TRUE(c.automation.startupProbe);
  EXPECT_EQ(c.automation.pickDrive, 2);
  EXPECT_TRUE(c.automation.lookup);
  EXPECT_EQ(c.automation.matchRow, 3);
  EXPECT_EQ(c.automation.matchScreenshot, "/p/match.png");
  EXPECT_EQ(c.automation.screenshot, "/p/main.png");
  EXPECT_EQ(c.automation.screenshotDelayMs, 40);
  EXPECT_EQ(c.automation.screenScreenshot, "/p/screen.png");
}

// A folder variable counts only as an absolute path; HOME stands behind
// them all, the password database behind HOME.
TEST(Configuration, FolderPrecedence) {
  Configuration c = Read({{"HOME", "/h"},
                          {"XDG_CONFIG_HOME", "relative"},
                          {"XDG_DATA_HOME", ""},
                          {"XDG_STATE_HOME", "./state"}});
  EXPECT_EQ(c.folders.configHome, "/h/.config");
  EXPECT_EQ(c.folders.dataHome, "/h/.local/share");
  EXPECT_EQ(c.folders.stateHome, "/h/.local/state");
  c = Read({{"HOME", ""}, {"XDG_CONFIG_HOME", "/cfg"}});
  EXPECT_FALSE(c.folders.home.empty());  // the password database's, or "."
  EXPECT_EQ(c.folders.configHome, "/cfg");
  EXPECT_EQ(c.folders.dataHome, c.folders.home + "/.local/share");
}

// An empty value counts as unset where the program has a default; the
// layer choice keeps whatever was given.
TEST(Configuration, EmptyValuesFallBackToTheDefaults) {
  const Configuration c = Read({{"HOME", "/h"},
                                {"SONOLABEL_INI", ""},
                                {"SONOLABEL_WINDIR", ""},
                                {"SONOLABEL_CODEPAGE", ""},
                                {"SONOLABEL_DSMP", ""},
                                {"SONOLABEL_DSMP_START_MS", ""},
                                {"SONOLABEL_IPC_TIMEOUT_MS", ""},
                                {"SONOLABEL_ASPI", ""}});
  EXPECT_EQ(c.settingsOverride, "");
  EXPECT_EQ(c.windowsDirOverride, "");
  EXPECT_EQ(c.codePage, "CP932");
  EXPECT_EQ(c.playerProgram, "");
  EXPECT_EQ(c.playerStartMs, 10000);
  EXPECT_EQ(c.ipcTimeoutMs, 3000);
  EXPECT_EQ(c.aspiChoice, "");
}

TEST(Configuration, TimeOutsOutsideTheirBoundsOrNotNumbersAreIgnored) {
  struct Case {
    const char* text;
    int expected;
  };
  for (const Case& k :
       {Case{"1", 1}, Case{"600000", 600000}, Case{"0", 3000}, Case{"-5", 3000}, Case{"600001", 3000},
        Case{"12x", 3000}, Case{"99999999999999999999", 3000}, Case{"0x10", 3000}}) {
    EXPECT_EQ(Read({{"SONOLABEL_IPC_TIMEOUT_MS", k.text}}).ipcTimeoutMs, k.expected) << k.text;
    const int start = k.expected == 3000 ? 10000 : k.expected;
    EXPECT_EQ(Read({{"SONOLABEL_DSMP_START_MS", k.text}}).playerStartMs, start) << k.text;
  }
  // The window's numbers take any whole number, and only that.
  EXPECT_EQ(Read({{"SONOLABEL_PICK_DRIVE", "-3"}}).automation.pickDrive, -3);
  EXPECT_EQ(Read({{"SONOLABEL_PICK_DRIVE", "2a"}}).automation.pickDrive, -1);
  EXPECT_FALSE(Read({{"SONOLABEL_LOOKUP", "0"}}).automation.lookup);
  EXPECT_FALSE(Read({{"SONOLABEL_LOOKUP", "yes"}}).automation.lookup);
}

// The same through the real process environment, as a program's start-up
// reads it.
TEST(Configuration, ReadsTheProcessEnvironment) {
  test::ScopedEnv env;
  env.Set("HOME", "/home/t")
      .Set("XDG_CONFIG_HOME", nullptr)
      .Set("XDG_DATA_HOME", "/d")
      .Set("XDG_STATE_HOME", nullptr)
      .Set("SONOLABEL_INI", "/i.ini")
      .Set("SONOLABEL_WINDIR", nullptr)
      .Set("SONOLABEL_ASPI", "/l/layer.so")
      .Set("SONOLABEL_CODEPAGE", "UTF-8")
      .Set("SONOLABEL_DSMP", "/p/dsmp")
      .Set("SONOLABEL_DSMP_START_MS", "123")
      .Set("XDG_RUNTIME_DIR", "/run/t")
      .Set("SONOLABEL_IPC_TIMEOUT_MS", nullptr);
  const Configuration c = ReadConfiguration(ProcessEnvironment());
  EXPECT_EQ(c.folders.home, "/home/t");
  EXPECT_EQ(c.folders.configHome, "/home/t/.config");
  EXPECT_EQ(c.folders.dataHome, "/d");
  EXPECT_EQ(c.folders.stateHome, "/home/t/.local/state");
  EXPECT_EQ(c.settingsOverride, "/i.ini");
  EXPECT_EQ(c.windowsDirOverride, "");
  EXPECT_EQ(c.aspiChoice, "/l/layer.so");
  EXPECT_EQ(c.codePage, "UTF-8");
  EXPECT_EQ(c.playerProgram, "/p/dsmp");
  EXPECT_EQ(c.playerStartMs, 123);
  EXPECT_EQ(c.runtimeDir, "/run/t");
  EXPECT_EQ(c.ipcTimeoutMs, 3000);
}

}  // namespace
}  // namespace sl::config
