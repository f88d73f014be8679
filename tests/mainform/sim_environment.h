// The window core in a test: its environment (a program folder in `dir`
// with "sonolabel", "sonolabel.INI" and "windows/" for cdplayer.ini, and the
// simulated drive layer of this build), its start and a drive pick.
#pragma once

#include <memory>
#include <string>

#include "mainform/mainform.h"
#include "support/recorder.h"

namespace sl::mainform {

inline Environment SimEnvironment(const test::TempDir& dir) {
  Environment env;
  env.exePath = dir.File("sonolabel");
  env.aspiLayer = std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so";
  env.iniPath = dir.File("sonolabel.INI");
  env.windowsDir = dir.File("windows");
  return env;
}

// A window core started as the program starts it (settings file read).
inline std::unique_ptr<MainWindowLogic> StartWindow(shell::ShellServices& services, const Environment& env) {
  auto form = std::make_unique<MainWindowLogic>(services, env);
  form->OpenSettingsFile();
  return form;
}

// Picks drive box item `index`, as a user's choice in the box does.
inline void PickDrive(MainWindowLogic& form, int index) {
  form.Model().SetDriveIndex(index);
  form.ChooseDrive();
}

}  // namespace sl::mainform
