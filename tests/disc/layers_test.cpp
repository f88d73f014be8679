// The two ASPI layers seen from outside: a broken simulated drives file, and
// the SG_IO layer's discovery from a sysfs tree.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "disc/aspi_loader.h"
#include "mainform/outcome_texts.h"
#include "sim_fixture.h"

namespace sl::test {
namespace {

TEST_F(SimDrivesTest, BrokenDrivesFileIsReportedWithFileAndLine) {
  struct Case {
    std::string text;
    int line;
    const char* words;
  };
  std::string hundred = "[0:0:0]\ntoc =";
  for (int k = 0; k <= 100; ++k) hundred += " " + std::to_string(k + 2) + ":00:00";
  const Case cases[] = {
      {"[0:0:0]\nvendor = A\n[disk]\n", 3, "bad section name"},
      {"[0:8:0]\n", 1, "bad section name"},
      {"[32:0:0]\n", 1, "bad section name"},
      {"[0:0:0]\ntoc = 0:02:00 4:61:00\n", 2, "bad M:S:F"},
      {"[0:0:0]\ntoc = 0:02:00 4:08:75\n", 2, "bad M:S:F"},
      {"[0:0:0]\ntoc = 0:02:00 0:01:00\n", 2, "increase"},
      {"[0:0:0]\ntoc = 0:02:00\n", 2, "at least one track"},
      {hundred + "\n", 2, "more than 99 tracks"},
      {"[0:0:0]\ncolour = red\n", 2, "unknown key"},
      {"[0:0:0]\nvendor = TOO LONG VENDOR\n", 2, "longer than 8"},
      {"[0:0:0]\nvendor = A\nvendor = B\n", 3, "twice"},
      {"[0:0:0]\n[0:0:0]\n", 2, "twice"},
      {"vendor = A\n", 1, "outside a drive section"},
      {"[0:0:0]\njust words\n", 2, "key = value"},
      {"[0:0:0]\ndelay_ms = 999999\n", 2, "delay_ms"},
      {"[0:0:0]\nraw_toc = 0G\n", 2, "hex"},
      {"[0:0:0]\nnever_complete = sometimes\n", 2, "never_complete"},
      {"[0:0:0]\nproduct = " + std::string(5000, 'x') + "\n", 2, "longer than 4096"},
      {"[0:0:0]\ntoc = 0:02:00 1:00:00\nlast_session_first_track = 2\n", 0, "beyond the last track"},
  };
  for (const auto& c : cases) {
    services.boxes.clear();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Load(c.text)) << c.words;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(DrivesFile() + ":" + std::to_string(c.line) + ": "), std::string::npos) << err;
    EXPECT_NE(err.find(c.words), std::string::npos) << err;
    EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"正常にWNASPI32.DLLを初期化できませんでした"});
    EXPECT_EQ(drives->HostAdapterCount(), -1);
  }

  // A drives file that cannot be read.
  services.boxes.clear();
  setenv("SONOLABEL_SIM_DRIVES", dir.File("missing.ini").c_str(), 1);
  disc::DiscDrives d(model, mainform::DriveHookFor(model, services));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(d.LoadAspiLayer(SimLayerPath()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(dir.File("missing.ini")), std::string::npos) << err;
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"正常にWNASPI32.DLLを初期化できませんでした"});

  // Comments, blanks, CR LF line ends and key case are all fine.
  services.boxes.clear();
  EXPECT_TRUE(Load("# drives\r\n\r\n[0:0:0]   ; the first\r\nVendor = SONOLAB\r\nTOC = 0:02:00 1:00:00\r\n"));
  EXPECT_TRUE(services.boxes.empty());
}

// Without SONOLABEL_SIM_DRIVES the layer takes the demo drives file of the
// tree it was loaded from: beside it in a build tree, in share/sonolabel/ of
// an installed prefix (the layer in lib/sonolabel/), else none at all.
TEST_F(SimDrivesTest, WithoutADrivesFileTheDemoDrivesOfItsOwnTreeAreUsed) {
  namespace fs = std::filesystem;
  unsetenv("SONOLABEL_SIM_DRIVES");
  auto itemsFrom = [&](const std::string& layer) {
    shell::ShellModel m;
    RecordingServices s;
    disc::DiscDrives d(m, mainform::DriveHookFor(m, s));
    EXPECT_TRUE(d.LoadAspiLayer(layer)) << layer;
    d.ScanDrives();
    return m.DriveItems();
  };
  auto layerIn = [&](const std::string& folder) {
    fs::create_directories(folder);
    const std::string layer = folder + "/libwnaspi32-sim.so";
    fs::copy_file(SimLayerPath(), layer);
    return layer;
  };
  const std::string installed = layerIn(dir.File("usr/lib/sonolabel"));
  fs::create_directories(dir.File("usr/share/sonolabel/demo"));
  WriteFileBytes(dir.File("usr/share/sonolabel/demo/drives.ini"), Drive("0:0:0", "INSTALLED"));
  const std::string beside = layerIn(dir.File("build/bin"));
  fs::create_directories(dir.File("build/bin/demo"));
  WriteFileBytes(dir.File("build/bin/demo/drives.ini"), Drive("0:1:0", "BESIDE"));
  const std::string alone = layerIn(dir.File("alone"));

  const auto fromInstalled = itemsFrom(installed);
  ASSERT_EQ(fromInstalled.size(), 1u);
  EXPECT_NE(fromInstalled[0].find("INSTALLED"), std::string::npos) << fromInstalled[0];
  const auto fromBeside = itemsFrom(beside);
  ASSERT_EQ(fromBeside.size(), 1u);
  EXPECT_NE(fromBeside[0].find("BESIDE"), std::string::npos) << fromBeside[0];
  EXPECT_TRUE(itemsFrom(alone).empty());
}

// A fake sysfs tree for the SG_IO layer.
class SgLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SONOLABEL_SG_SYSFS", dir.File("sys").c_str(), 1);
    setenv("SONOLABEL_SG_DEV", dir.File("dev").c_str(), 1);
    std::filesystem::create_directories(dir.File("dev"));
  }
  void TearDown() override {
    unsetenv("SONOLABEL_SG_SYSFS");
    unsetenv("SONOLABEL_SG_DEV");
  }
  void AddDevice(const std::string& hctl, const std::string& type, const std::string& node,
                 const char* kind = "block") {
    std::string device = dir.File("sys/class/scsi_device/" + hctl + "/device");
    std::filesystem::create_directories(device + "/" + kind + "/" + node);
    WriteFileBytes(device + "/type", type);
  }
  TempDir dir;
  shell::ShellModel model;
  RecordingServices services;
};

TEST_F(SgLayerTest, NoDrivesMeansNoAdaptersButUsable) {
  disc::DiscDrives drives(model, mainform::DriveHookFor(model, services));
  ASSERT_TRUE(drives.LoadAspiLayer(SgLayerPath()));  // no sysfs tree at all
  EXPECT_EQ(drives.HostAdapterCount(), 0);
  std::filesystem::create_directories(dir.File("sys/class/scsi_device"));
  ASSERT_TRUE(drives.LoadAspiLayer(SgLayerPath()));
  EXPECT_EQ(drives.HostAdapterCount(), 0);
  drives.ScanDrives();
  EXPECT_TRUE(model.DriveItems().empty());
  EXPECT_EQ(model.Status(0), "チェック完了");
  EXPECT_TRUE(services.boxes.empty());
}

TEST_F(SgLayerTest, AdaptersTargetsAndLunsFromSysfs) {
  AddDevice("0:0:0:0", "0\n", "sda");                  // a disk on host 0
  AddDevice("2:0:3:0", "5\n", "sr0");                  // CD-ROM, host 2 -> adapter 1
  AddDevice("2:0:1:1", "5\n", "sr1");                  // CD-ROM on LUN 1
  AddDevice("7:0:0:0", "5\n", "sg4", "scsi_generic");  // host 7 -> adapter 2
  AddDevice("9:0:0:0", "garbage", "sr9");              // unreadable type: ignored
  std::filesystem::create_directories(dir.File("sys/class/scsi_device/not-an-address/device"));
  WriteFileBytes(dir.File("dev/sr0"), "");  // a node that is not a SCSI device
  disc::DiscDrives drives(model, mainform::DriveHookFor(model, services));
  ASSERT_TRUE(drives.LoadAspiLayer(SgLayerPath()));
  EXPECT_EQ(drives.HostAdapterCount(), 3);
  EXPECT_EQ(drives.GetDeviceType(0, 0, 0), 0);
  EXPECT_EQ(drives.GetDeviceType(1, 3, 0), 5);
  EXPECT_EQ(drives.GetDeviceType(1, 0, 0), 0xFFFF);
  drives.ScanDrives();
  // INQUIRY cannot be carried out on these nodes. The one that opens (but
  // is no SCSI device) is listed with an empty name; the missing ones are
  // listed under their node, marked as not to be opened.
  EXPECT_EQ(model.DriveItems(), (std::vector<std::string>{"", dir.File("dev/sr1") + "（開けません）",
                                                          dir.File("dev/sg4") + "（開けません）"}));
  auto a0 = drives.Drive(0), a1 = drives.Drive(1), a2 = drives.Drive(2);
  ASSERT_TRUE(a0 && a1 && a2);
  EXPECT_EQ((std::array{a0->HaId, a0->Target, a0->Lun}), (std::array{1, 3, 0}));
  EXPECT_EQ((std::array{a1->HaId, a1->Target, a1->Lun}), (std::array{1, 1, 1}));
  EXPECT_EQ((std::array{a2->HaId, a2->Target, a2->Lun}), (std::array{2, 0, 0}));
  // The nodes that are missing are named once, after the scan.
  EXPECT_EQ(services.BoxTexts(), std::vector<std::string>{"CD-ROMドライブ " + dir.File("dev/sr1") +
                                                          " を開けません（デバイスファイルがありません）。\n"
                                                          "CD-ROMドライブ " +
                                                          dir.File("dev/sg4") +
                                                          " を開けません（デバイスファイルがありません）。"});
  EXPECT_EQ(services.boxes[0].icon, shell::MsgIcon::Warning);
  // Commands to them fail plainly: no crash, no wait, no further box.
  disc::DiscToc toc;
  EXPECT_FALSE(drives.UnitReady(1, 3, 0));
  EXPECT_EQ(drives.ReadToc(1, 3, 0, toc), disc::DiscDrives::TocResult::NotReady);
  EXPECT_FALSE(drives.ReadTrackTable(2, 0, 0, toc));
  EXPECT_EQ(services.boxes.size(), 1u);
}

// A user who may not open /dev/srN is told which device and what gives
// access, instead of meeting an unnamed drive and "no CD". Run as a user
// without the permission (root reads any node, so a child gives itself
// up to nobody first).
TEST_F(SgLayerTest, NodeWithoutPermissionIsNamedWithTheCdromGroupHint) {
  AddDevice("1:0:0:0", "5\n", "sr0");
  WriteFileBytes(dir.File("dev/sr0"), "");
  ::chmod(dir.File("dev/sr0").c_str(), 0600);
  for (const char* sub : {"", "/sys", "/dev"}) ::chmod((dir.Path() + sub).c_str(), 0755);
  // The build folder may not be open to nobody: the layer goes beside the tree.
  const std::string layer = dir.File("libwnaspi32-sg.so");
  std::filesystem::copy_file(SgLayerPath(), layer);
  ::chmod(layer.c_str(), 0755);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(pipeFds[0]);
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(3);
    shell::ShellModel m;
    RecordingServices s;
    disc::DiscDrives drives(m, mainform::DriveHookFor(m, s));
    if (!drives.LoadAspiLayer(layer)) ::_exit(4);
    drives.ScanDrives();
    const std::string text = s.boxes.empty() ? "" : s.boxes[0].text;
    if (::write(pipeFds[1], text.data(), text.size()) < 0) ::_exit(5);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(text, "CD-ROMドライブ " + dir.File("dev/sr0") +
                      " を開けません（アクセスが許可されていません）。\n"
                      "ドライブを使うには、このユーザーを cdrom グループに加えて（例: sudo usermod -aG "
                      "cdrom $USER の後、ログインし直す）か、udev ルールで読み取りを許可してください。");
}

}  // namespace
}  // namespace sl::test
