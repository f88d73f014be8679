// The window core's environment for a test: a program folder in `dir`
// ("sonolabel", "sonolabel.INI", "windows/" for cdplayer.ini) and the
// simulated drive layer of this build.
#pragma once

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

}  // namespace sl::mainform
