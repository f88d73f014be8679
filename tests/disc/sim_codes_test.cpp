// The simulated layer's answers, seen through its two entry points as the
// program sees them: for each fault the drives file can script, the request
// status, the target status and the sense key and code a real drive would
// give. The program's handling of each (tests/disc, tests/mainform) relies
// on these codes, so a slip in them would hide a slip there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disc/aspi_loader.h"
#include "sim_fixture.h"
#include "sonolabel_aspi.h"

namespace sl::test {
namespace {

const char* kDrivesFile =
    "[0:0:0]\nvendor = SONOLAB\nproduct = GOOD\ntoc = 0:02:00 4:08:30 7:49:37 10:12:12\n"
    "[0:1:0]\nvendor = SONOLAB\nproduct = EMPTY\n"
    "[0:2:0]\nvendor = SONOLAB\nproduct = FAULTS\ntoc = 0:02:00 4:08:30 10:12:12\n"
    "toc_fail = 1\nsession_fail = 1\ninquiry_fail = 1\n"
    "[0:3:0]\nvendor = SONOLAB\nproduct = STATUS\ntoc = 0:02:00 4:08:30\ntoc_status = 8\n"
    "[0:4:0]\nvendor = SONOLAB\nproduct = REQUEST\ntoc = 0:02:00 4:08:30\ntoc_request_status = 4\n"
    "[1:0:0]\nvendor = SONOLAB\nproduct = SECOND\ntoc = 0:02:00 4:08:30\n";

class SimCodes : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(dir.File("drives.ini"), kDrivesFile);
    setenv("SONOLABEL_SIM_DRIVES", dir.File("drives.ini").c_str(), 1);
    ASSERT_TRUE(layer.Load(SimLayerPath()));
    ASSERT_EQ(SL_ASPI_SUPPORT_STATUS(layer.supportInfo()), SL_ASPI_STATUS_COMPLETED);
  }
  void TearDown() override { unsetenv("SONOLABEL_SIM_DRIVES"); }
  TempDir dir;
  disc::AspiLibrary layer;
};

TEST_F(SimCodes, EachScriptedFaultGivesItsCodes) {
  struct Row {
    const char* name;
    int adapter, target;
    std::vector<std::uint8_t> cdb;
    std::uint32_t length;
    std::uint8_t status, targetStatus;
    int senseKey, asc;  // -1: no sense expected
  };
  const std::vector<std::uint8_t> tur = {0, 0, 0, 0, 0, 0};
  const std::vector<std::uint8_t> inquiry = {0x12, 0, 0, 0, 36, 0};
  const std::vector<std::uint8_t> toc = {0x43, 2, 0, 0, 0, 0, 1, 0x08, 0, 0};
  const std::vector<std::uint8_t> session = {0x43, 2, 1, 0, 0, 0, 0, 0x08, 0, 0};
  const Row rows[] = {
      {"ready", 0, 0, tur, 0, SL_ASPI_STATUS_COMPLETED, SL_SCSI_STATUS_GOOD, -1, -1},
      {"no disc: not ready", 0, 1, tur, 0, SL_ASPI_STATUS_COMPLETED, SL_SCSI_STATUS_CHECK_CONDITION, 2, 0x3A},
      {"no disc: no TOC", 0, 1, toc, 2048, SL_ASPI_STATUS_COMPLETED, SL_SCSI_STATUS_CHECK_CONDITION, 2, 0x3A},
      {"TOC read", 0, 0, toc, 2048, SL_ASPI_STATUS_COMPLETED, SL_SCSI_STATUS_GOOD, -1, -1},
      {"toc_fail", 0, 2, toc, 2048, SL_ASPI_STATUS_COMPLETED, SL_SCSI_STATUS_CHECK_CONDITION, 3, 0x57},
      {"session_fail", 0, 2, session, 2048, SL_ASPI_STATUS_COMPLETED, SL_SCSI_STATUS_CHECK_CONDITION, 3,
       0x57},
      {"inquiry_fail", 0, 2, inquiry, 36, SL_ASPI_STATUS_ERROR, SL_SCSI_STATUS_GOOD, -1, -1},
      {"toc_status", 0, 3, toc, 2048, SL_ASPI_STATUS_COMPLETED, 8, -1, -1},
      {"toc_request_status", 0, 4, toc, 2048, 4, SL_SCSI_STATUS_GOOD, -1, -1},
      {"vital product data",
       0,
       0,
       {0x12, 1, 0x80, 0, 36, 0},
       36,
       SL_ASPI_STATUS_COMPLETED,
       SL_SCSI_STATUS_CHECK_CONDITION,
       5,
       0x24},
      {"TOC format 2",
       0,
       0,
       {0x43, 2, 2, 0, 0, 0, 1, 0x08, 0, 0},
       2048,
       SL_ASPI_STATUS_COMPLETED,
       SL_SCSI_STATUS_CHECK_CONDITION,
       5,
       0x24},
      {"unknown command",
       0,
       0,
       {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0},
       2048,
       SL_ASPI_STATUS_COMPLETED,
       SL_SCSI_STATUS_CHECK_CONDITION,
       5,
       0x20},
      {"no CDB", 0, 0, {}, 0, SL_ASPI_STATUS_INVALID_REQUEST, SL_SCSI_STATUS_GOOD, -1, -1},
      {"no such target", 0, 7, tur, 0, SL_ASPI_STATUS_NO_DEVICE, SL_SCSI_STATUS_GOOD, -1, -1},
      {"second adapter", 1, 0, tur, 0, SL_ASPI_STATUS_COMPLETED, SL_SCSI_STATUS_GOOD, -1, -1},
      {"no such adapter", 2, 0, tur, 0, SL_ASPI_STATUS_INVALID_ADAPTER, SL_SCSI_STATUS_GOOD, -1, -1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::uint8_t> buffer(2048, 0xEE);
    SlAspiExecBlock b{};
    b.command = SL_ASPI_CMD_EXECUTE_SCSI;
    b.hostAdapter = static_cast<std::uint8_t>(r.adapter);
    b.target = static_cast<std::uint8_t>(r.target);
    b.flags = r.length > 0 ? SL_ASPI_FLAG_DATA_IN : 0;
    b.bufferLength = r.length;
    b.buffer = r.length > 0 ? buffer.data() : nullptr;
    b.senseLength = 14;
    b.cdbLength = static_cast<std::uint8_t>(r.cdb.size());
    std::copy(r.cdb.begin(), r.cdb.end(), b.cdb);
    EXPECT_EQ(layer.sendCommand(&b), r.status);
    EXPECT_EQ(b.status, r.status);
    if (r.status == SL_ASPI_STATUS_COMPLETED || r.status == SL_ASPI_STATUS_ERROR) {
      EXPECT_EQ(b.targetStatus, r.targetStatus);
    }
    if (r.senseKey >= 0) {
      EXPECT_EQ(b.sense[0], 0x70);
      EXPECT_EQ(b.sense[2] & 0x0F, r.senseKey);
      EXPECT_EQ(b.sense[12], r.asc);
    }
    if (std::string(r.name) == "inquiry_fail") {
      EXPECT_EQ(b.hostStatus, SL_ASPI_HOST_ERROR);
    }
    if (std::string(r.name) == "TOC read") {
      EXPECT_EQ(buffer[2], 1);  // first track
      EXPECT_EQ(buffer[3], 3);  // last track
    }
  }

  // Device types: the CD-ROM drives, and the two kinds of absence.
  struct TypeRow {
    int adapter, target;
    std::uint8_t status;
  } types[] = {{0, 0, SL_ASPI_STATUS_COMPLETED},
               {0, 6, SL_ASPI_STATUS_NO_DEVICE},
               {2, 0, SL_ASPI_STATUS_INVALID_ADAPTER}};
  for (const auto& t : types) {
    SlAspiDeviceTypeBlock d{};
    d.command = SL_ASPI_CMD_GET_DEVICE_TYPE;
    d.hostAdapter = static_cast<std::uint8_t>(t.adapter);
    d.target = static_cast<std::uint8_t>(t.target);
    EXPECT_EQ(layer.sendCommand(&d), t.status) << t.adapter << ":" << t.target;
    if (t.status == SL_ASPI_STATUS_COMPLETED) {
      EXPECT_EQ(d.deviceType, SL_SCSI_TYPE_CDROM);
    }
  }
  // A block of a kind the layer doesn't know.
  SlAspiHeader unknown{};
  unknown.command = 0x7F;
  EXPECT_EQ(layer.sendCommand(&unknown), SL_ASPI_STATUS_INVALID_REQUEST);
  EXPECT_EQ(unknown.status, SL_ASPI_STATUS_INVALID_REQUEST);
  EXPECT_EQ(layer.sendCommand(nullptr), SL_ASPI_STATUS_INVALID_REQUEST);
}

}  // namespace
}  // namespace sl::test
