// Finding the program's own files beside it or in its installed folders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/install_paths.h"

namespace sl::platform {
namespace {

TEST(InstallPaths, InstalledFoldersAreSiblingsOfBin) {
  EXPECT_EQ(InstalledDir("/usr/bin", ProgramDir::Lib), "/usr/lib/sonolabel");
  EXPECT_EQ(InstalledDir("/usr/bin", ProgramDir::Data), "/usr/share/sonolabel");
  EXPECT_EQ(InstalledDir("/opt/sl/bin/", ProgramDir::Lib), "/opt/sl/lib/sonolabel");
  EXPECT_EQ(InstalledDir("/opt/sl/bin/../bin", ProgramDir::Data), "/opt/sl/share/sonolabel");
  EXPECT_EQ(InstalledDir("bin", ProgramDir::Lib), "lib/sonolabel");
  EXPECT_EQ(InstalledDir("", ProgramDir::Lib), "../lib/sonolabel");
  EXPECT_EQ(CandidatePaths("/usr/bin", ProgramDir::Data, "demo/drives.ini"),
            (std::vector<std::string>{"/usr/bin/demo/drives.ini", "/usr/share/sonolabel/demo/drives.ini"}));
  // The running test program is a file, so its path is absolute and exists.
  const std::string self = RunningExecutable();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self.front(), '/');
  EXPECT_TRUE(std::filesystem::is_regular_file(self));
}

}  // namespace
}  // namespace sl::platform
