// A drive whose device node cannot be opened (a user without access to it):
// it is listed under its node with a mark, and picking it says why it cannot
// be used instead of reporting an empty drive.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "disc/disc.h"
#include "mainform/mainform.h"
#include "mainform/outcome_texts.h"
#include "support/recorder.h"

namespace sl::mainform {
namespace {

TEST(UnopenableDrive, ListedByItsNodeAndPickingItSaysWhy) {
  test::TempDir dir;
  test::WriteFileBytes(dir.File("drives.ini"),
                       "[0:0:0]\nvendor=SONOLAB\nproduct=ROCK\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n"
                       "[0:1:0]\nvendor=SONOLAB\nproduct=LOCKED\ntoc=0:02:00 4:08:30 7:49:37 10:12:12\n"
                       "open_error=13\n");
  setenv("SONOLABEL_SIM_DRIVES", dir.File("drives.ini").c_str(), 1);
  Environment env;
  env.exePath = dir.File("sonolabel");
  env.aspiLayer = std::string(SONOLABEL_BIN_DIR) + "/libwnaspi32-sim.so";
  env.iniPath = dir.File("sonolabel.INI");
  env.windowsDir = dir.File("windows");
  test::RecordingServices services;
  MainWindowLogic f(services, env);
  f.OpenSettingsFile();
  unsetenv("SONOLABEL_SIM_DRIVES");

  const std::string why = mainform::DeviceProblemText({{"sim:0:1:0", 13}});
  EXPECT_NE(why.find("cdrom グループ"), std::string::npos) << why;
  // The scan's warning names the node and what gives access.
  ASSERT_EQ(services.BoxTexts(), std::vector<std::string>{why});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Warning);
  ASSERT_EQ(f.Model().DriveItems().size(), 2u);
  EXPECT_EQ(f.Model().DriveItems()[0], "SONOLAB ROCK            ");
  EXPECT_EQ(f.Model().DriveItems()[1], "sim:0:1:0（開けません）");
  EXPECT_FALSE(f.DriveCannotBeOpened(0));
  EXPECT_TRUE(f.DriveCannotBeOpened(1));

  services.boxes.clear();
  f.Model().SetDriveIndex(1);
  f.ChooseDrive();
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{why});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Error);
  EXPECT_EQ(f.Model().Status(0), "ドライブを開けません");
  EXPECT_FALSE(f.TocRead());
  EXPECT_FALSE(f.Model().Menu(shell::MenuId::LookUpDisc).enabled);

  // The drive beside it reads as ever.
  services.boxes.clear();
  f.Model().SetDriveIndex(0);
  f.ChooseDrive();
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_EQ(f.Model().Status(0), "DISCID : 23026203");
}

}  // namespace
}  // namespace sl::mainform
