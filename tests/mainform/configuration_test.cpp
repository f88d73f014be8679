// The start-up every face runs: the configuration read from the environment
// with its paths resolved, put into effect, and from then on the only source
// of those values: a variable changed afterwards changes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "ipc/ipc.h"
#include "mainform/mainform.h"
#include "support/recorder.h"
#include "support/scoped_env.h"
#include "support/scoped_settings.h"
#include "text/codepage.h"

namespace sl::mainform {
namespace {

namespace fs = std::filesystem;
namespace ipc = ipc;

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"SONOLABEL_INI", "SONOLABEL_WINDIR", "SONOLABEL_ASPI", "SONOLABEL_CODEPAGE",
                             "SONOLABEL_DSMP", "SONOLABEL_DSMP_START_MS", "SONOLABEL_IPC_TIMEOUT_MS"})
      env.Set(name, nullptr);
    env.Set("HOME", dir.Path().c_str()).Set("XDG_CONFIG_HOME", nullptr).Set("XDG_DATA_HOME", nullptr);
    env.Set("XDG_RUNTIME_DIR", runtime.Path().c_str());
  }
  void TearDown() override { ipc::Shutdown(); }

  test::TempDir dir;
  test::TempDir runtime;
  test::TempDir otherRuntime;
  test::ScopedEnv env;
  test::ScopedLinkSettings link;
  test::ScopedCodePage codePage;
};

TEST_F(StartUp, PathsAreResolvedFromTheVariables) {
  const std::string bin = SONOLABEL_BIN_DIR;
  config::Configuration c = ConfigurationFromProcess();
  // This test program runs from the build's bin folder, a folder of the
  // user's: the settings file goes beside it; the real-drive layer beside it.
  EXPECT_EQ(fs::path(c.exePath).parent_path(), fs::path(bin));
  EXPECT_EQ(c.iniPath, fs::path(c.exePath).replace_extension(".INI").string());
  EXPECT_EQ(c.aspiLayer, bin + "/libwnaspi32-sg.so");
  EXPECT_EQ(c.windowsDir, dir.File(".local/share/sonolabel"));

  env.Set("SONOLABEL_ASPI", "sim").Set("SONOLABEL_INI", dir.File("my.ini").c_str());
  env.Set("SONOLABEL_WINDIR", dir.File("win").c_str());
  c = ConfigurationFromProcess();
  EXPECT_EQ(c.aspiLayer, bin + "/libwnaspi32-sim.so");
  EXPECT_EQ(c.iniPath, dir.File("my.ini"));
  EXPECT_EQ(c.windowsDir, dir.File("win"));

  // A demo's changes go between reading and resolving, and win.
  c = config::ReadConfiguration(config::ProcessEnvironment());
  c.aspiChoice = "/demo/layer.so";
  c.settingsOverride = "/demo/sonolabel.INI";
  c.windowsDirOverride = "/demo";
  ResolvePaths(c);
  EXPECT_EQ(c.aspiLayer, "/demo/layer.so");
  EXPECT_EQ(c.iniPath, "/demo/sonolabel.INI");
  EXPECT_EQ(c.windowsDir, "/demo");
}

TEST_F(StartUp, AVariableChangedAfterStartUpChangesNothing) {
  env.Set("SONOLABEL_CODEPAGE", "UTF-8").Set("SONOLABEL_IPC_TIMEOUT_MS", "700");
  env.Set("SONOLABEL_DSMP", "/bin/sleep").Set("SONOLABEL_DSMP_START_MS", "300");
  env.Set("SONOLABEL_ASPI", "sim").Set("SONOLABEL_INI", dir.File("sonolabel.INI").c_str());
  config::Configuration c = ConfigurationFromProcess();
  ApplyProcessWideSettings(c);
  test::RecordingServices services;
  auto form = std::make_unique<MainWindowLogic>(services, c);

  // Every one of them now names something else.
  env.Set("SONOLABEL_CODEPAGE", "CP932").Set("SONOLABEL_IPC_TIMEOUT_MS", "5");
  env.Set("SONOLABEL_DSMP", "/bin/false").Set("SONOLABEL_DSMP_START_MS", "20000");
  env.Set("XDG_RUNTIME_DIR", otherRuntime.Path().c_str());

  // The code page: "é" is UTF-8's two bytes, where CP932 has no such
  // character at all.
  EXPECT_EQ(text::ExternalCodePageName(), "UTF-8");
  EXPECT_EQ(text::ToExternal("é"), "\xC3\xA9");
  // The IPC: its time-out and player program, and its folder even when it
  // opens again.
  EXPECT_EQ(ipc::TimeoutMs(), 700);
  EXPECT_EQ(ipc::ReadRegistryDefault(ipc::RegistryRoot::CurrentUser, "Software\\DELTA\\DSMP"), "/bin/sleep");
  ipc::Shutdown();
  ASSERT_TRUE(ipc::Available()) << ipc::UnavailableReason();
  EXPECT_TRUE(fs::is_directory(runtime.File("sonolabel-ipc")));
  EXPECT_FALSE(fs::exists(otherRuntime.File("sonolabel-ipc")));
  // The main window's player link: the configured program (which never
  // shows a window) and start time.
  form = std::make_unique<MainWindowLogic>(services, c);
  EXPECT_EQ(form->playerLink().DSMPPath(), "/bin/sleep");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(form->playerLink().Execute("5"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  form.reset();
}

}  // namespace
}  // namespace sl::mainform
