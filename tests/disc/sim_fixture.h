// A DiscDrives on the simulated ASPI layer, with a drives file of the test's
// own and recording shell services.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "disc/disc.h"
#include "mainform/outcome_texts.h"
#include "support/recorder.h"

namespace sl::test {

inline std::string SimLayerPath() { return std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so"; }
inline std::string SgLayerPath() { return std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sg.so"; }

class SimDrivesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    model.onStatus = [this](int panel, const std::string& text) {
      if (panel == 0) statuses.push_back(text);
    };
  }
  void TearDown() override { unsetenv("SONOLABEL_SIM_DRIVES"); }

  // Writes `text` as the drives file and loads the layer on it.
  bool Load(const std::string& text) {
    WriteFileBytes(DrivesFile(), text);
    setenv("SONOLABEL_SIM_DRIVES", DrivesFile().c_str(), 1);
    drives = std::make_unique<disc::DiscDrives>(model, mainform::DriveHookFor(model, services));
    return drives->LoadAspiLayer(SimLayerPath());
  }
  std::string DrivesFile() const { return dir.File("drives.ini"); }

  TempDir dir;
  shell::ShellModel model;
  RecordingServices services;
  std::vector<std::string> statuses;
  std::unique_ptr<disc::DiscDrives> drives;
};

// A minimal drive section with a 3-track disc.
inline std::string Drive(const std::string& address, const std::string& product,
                         const std::string& extra = "") {
  return "[" + address + "]\nvendor = SONOLAB\nproduct = " + product +
         "\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n" + extra;
}

}  // namespace sl::test
