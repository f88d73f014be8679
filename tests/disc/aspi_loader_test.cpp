// Choosing and loading an ASPI layer library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "disc/aspi_loader.h"
#include "platform/install_paths.h"
#include "support/recorder.h"

namespace sl::disc {
namespace {

using platform::FindProgramFile;
using platform::ProgramDir;

TEST(AspiLoader, ResolvesLayerChoice) {
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", ""), "/opt/sl/bin/libwnaspi32-sg.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "sg"), "/opt/sl/bin/libwnaspi32-sg.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "sim"), "/opt/sl/bin/libwnaspi32-sim.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "/usr/lib/my-aspi.so"), "/usr/lib/my-aspi.so");
  EXPECT_EQ(ResolveAspiLayer("/opt/sl/bin", "my-aspi.so"), "./my-aspi.so");  // no library search
  EXPECT_EQ(ResolveAspiLayer("", "sim"), "./libwnaspi32-sim.so");
}

TEST(AspiLoader, LoadFailuresAreToldApart) {
  AspiLibrary lib;
  EXPECT_FALSE(lib.Load("/nonexistent/libwnaspi32-none.so"));
  EXPECT_FALSE(lib.Loaded());
  EXPECT_FALSE(lib.Error().empty());
  EXPECT_FALSE(lib.Load(""));

  // Loads, but has neither entry point.
  ASSERT_TRUE(lib.Load("libm.so.6"));
  EXPECT_TRUE(lib.Loaded());
  EXPECT_EQ(lib.supportInfo, nullptr);
  EXPECT_EQ(lib.sendCommand, nullptr);
  EXPECT_TRUE(AspiLibrary::IsResident("libm.so.6"));
  lib.Unload();
  EXPECT_FALSE(lib.Loaded());
  EXPECT_FALSE(AspiLibrary::IsResident("/nonexistent/libwnaspi32-none.so"));
}

// A prefix laid out as an installation, with a build tree's copy beside the
// program added later: the copy beside the program wins, the installed one
// is found without it, and a layer in neither place is named beside the
// program (where the load then fails).
TEST(AspiLoader, LayersAndDataBesideTheProgramFirstThenInstalled) {
  test::TempDir prefix;
  namespace fs = std::filesystem;
  const std::string bin = prefix.File("bin");
  fs::create_directories(bin);
  fs::create_directories(prefix.File("lib/sonolabel"));
  fs::create_directories(prefix.File("share/sonolabel/demo"));
  test::WriteFileBytes(prefix.File("lib/sonolabel/libwnaspi32-sim.so"), "");
  test::WriteFileBytes(prefix.File("share/sonolabel/demo/drives.ini"), "");

  EXPECT_EQ(FindProgramFile(bin, ProgramDir::Lib, "libwnaspi32-sim.so"),
            prefix.File("lib/sonolabel/libwnaspi32-sim.so"));
  EXPECT_EQ(FindProgramFile(bin, ProgramDir::Data, "demo/drives.ini"),
            prefix.File("share/sonolabel/demo/drives.ini"));
  EXPECT_EQ(FindProgramFile(bin, ProgramDir::Lib, "libwnaspi32-sg.so"), "");
  EXPECT_EQ(ResolveAspiLayer(bin, "sim"), prefix.File("lib/sonolabel/libwnaspi32-sim.so"));
  EXPECT_EQ(ResolveAspiLayer(bin, "sg"), bin + "/libwnaspi32-sg.so");
  // Data is not looked for among the layers, nor layers among the data.
  EXPECT_EQ(FindProgramFile(bin, ProgramDir::Data, "libwnaspi32-sim.so"), "");

  test::WriteFileBytes(bin + "/libwnaspi32-sim.so", "");
  fs::create_directories(bin + "/demo");
  test::WriteFileBytes(bin + "/demo/drives.ini", "");
  EXPECT_EQ(ResolveAspiLayer(bin, "sim"), bin + "/libwnaspi32-sim.so");
  EXPECT_EQ(FindProgramFile(bin, ProgramDir::Data, "demo/drives.ini"), bin + "/demo/drives.ini");
}

}  // namespace
}  // namespace sl::disc
