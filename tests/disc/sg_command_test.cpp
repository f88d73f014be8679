// The real-drive layer's reading of what SG_IO answers, with the ioctl's
// answers scripted: the checks of the request block, the header handed to
// SG_IO, the mapping of SCSI, host and driver status and sense data to the
// block, and the second TEST UNIT READY after a UNIT ATTENTION.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "sg_command.h"

namespace sl::aspisg {
namespace {

// One scripted answer of the ioctl: what it returns and what it writes.
struct Answer {
  int failed = 0;  // 0: the ioctl ran; else an errno or kNoDeviceNode
  unsigned char status = 0, hostStatus = 0, driverStatus = 0;
  std::vector<unsigned char> sense;
};

struct Script {
  std::deque<Answer> answers;
  std::vector<sg_io_hdr_t> seen;  // the headers the layer built
  std::vector<unsigned char> firstCdb;
  SgIssue Issue() {
    return [this](sg_io_hdr_t& io) {
      seen.push_back(io);
      if (firstCdb.empty()) firstCdb.assign(io.cmdp, io.cmdp + io.cmd_len);
      const Answer a = answers.empty() ? Answer{} : answers.front();
      if (!answers.empty()) answers.pop_front();
      if (a.failed != 0) return a.failed;
      io.status = a.status;
      io.host_status = a.hostStatus;
      io.driver_status = a.driverStatus;
      const std::size_t n = std::min<std::size_t>(a.sense.size(), io.mx_sb_len);
      if (n > 0) std::memcpy(io.sbp, a.sense.data(), n);
      io.sb_len_wr = static_cast<unsigned char>(n);
      return 0;
    };
  }
};

std::vector<unsigned char> FixedSense(int key) {
  std::vector<unsigned char> s(18, 0);
  s[0] = 0x70;
  s[2] = static_cast<unsigned char>(key);
  s[7] = 10;
  s[12] = 0x28;  // additional sense code: medium may have changed
  return s;
}

std::vector<unsigned char> DescriptorSense(int key) {
  std::vector<unsigned char> s(8, 0);
  s[0] = 0x72;
  s[1] = static_cast<unsigned char>(key);
  s[2] = 0x28;
  return s;
}

SlAspiExecBlock Block(unsigned char opcode, std::uint32_t length, std::uint8_t* buffer) {
  SlAspiExecBlock b{};
  b.command = SL_ASPI_CMD_EXECUTE_SCSI;
  b.flags = length > 0 ? SL_ASPI_FLAG_DATA_IN : 0;
  b.bufferLength = length;
  b.buffer = buffer;
  b.senseLength = 14;
  b.cdbLength = 6;
  b.cdb[0] = opcode;
  b.targetStatus = 0x55;  // whatever an earlier use left
  b.hostStatus = 0x55;
  return b;
}

constexpr unsigned char kTestUnitReady = 0x00, kInquiry = 0x12;

TEST(SgCommand, AnswersMapToStatusHostStatusAndSense) {
  struct Row {
    const char* name;
    unsigned char opcode;
    Answer answer;
    std::uint8_t status, hostStatus, targetStatus;
    int senseKey;  // -1: no sense data kept
  };
  const Row rows[] = {
      {"good",
       kInquiry,
       {0, 0, 0, 0, {}},
       SL_ASPI_STATUS_COMPLETED,
       SL_ASPI_HOST_OK,
       SL_SCSI_STATUS_GOOD,
       -1},
      {"not ready, with sense",
       kTestUnitReady,
       {0, 2, 0, 0x08, FixedSense(2)},
       SL_ASPI_STATUS_COMPLETED,
       SL_ASPI_HOST_OK,
       SL_SCSI_STATUS_CHECK_CONDITION,
       2},
      {"medium error, descriptor sense",
       kInquiry,
       {0, 2, 0, 0x08, DescriptorSense(3)},
       SL_ASPI_STATUS_COMPLETED,
       SL_ASPI_HOST_OK,
       SL_SCSI_STATUS_CHECK_CONDITION,
       3},
      {"busy", kInquiry, {0, 8, 0, 0, {}}, SL_ASPI_STATUS_COMPLETED, SL_ASPI_HOST_OK, 8, -1},
      {"host timed out", kInquiry, {0, 0, 3, 0, {}}, SL_ASPI_STATUS_ERROR, SL_ASPI_HOST_TIMEOUT, 0, -1},
      {"host: no connect", kInquiry, {0, 0, 1, 0, {}}, SL_ASPI_STATUS_ERROR, SL_ASPI_HOST_ERROR, 0, -1},
      {"host: bus busy, with status",
       kInquiry,
       {0, 2, 2, 0x08, FixedSense(6)},
       SL_ASPI_STATUS_ERROR,
       SL_ASPI_HOST_ERROR,
       SL_SCSI_STATUS_CHECK_CONDITION,
       6},
      {"driver error", kInquiry, {0, 0, 0, 0x01, {}}, SL_ASPI_STATUS_ERROR, SL_ASPI_HOST_ERROR, 0, -1},
      {"driver timeout with sense flag",
       kInquiry,
       {0, 0, 0, 0x0E, {}},
       SL_ASPI_STATUS_ERROR,
       SL_ASPI_HOST_ERROR,
       0,
       -1},
      {"driver: sense only", kInquiry, {0, 0, 0, 0x08, {}}, SL_ASPI_STATUS_COMPLETED, SL_ASPI_HOST_OK, 0, -1},
      {"driver: sense, suggestion bits",
       kInquiry,
       {0, 0, 0, 0x18, {}},
       SL_ASPI_STATUS_COMPLETED,
       SL_ASPI_HOST_OK,
       0,
       -1},
      {"ioctl failed",
       kInquiry,
       {EIO, 0, 0, 0, {}},
       SL_ASPI_STATUS_ERROR,
       SL_ASPI_HOST_ERROR,
       SL_SCSI_STATUS_GOOD,
       -1},
      {"node not openable",
       kInquiry,
       {EACCES, 0, 0, 0, {}},
       SL_ASPI_STATUS_ERROR,
       SL_ASPI_HOST_ERROR,
       SL_SCSI_STATUS_GOOD,
       -1},
      {"no node",
       kInquiry,
       {kNoDeviceNode, 0, 0, 0, {}},
       SL_ASPI_STATUS_NO_DEVICE,
       SL_ASPI_HOST_OK,
       SL_SCSI_STATUS_GOOD,
       -1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::uint8_t buffer[32] = {};
    SlAspiExecBlock b =
        Block(r.opcode, r.opcode == kInquiry ? 32 : 0, r.opcode == kInquiry ? buffer : nullptr);
    Script script;
    script.answers = {r.answer};
    EXPECT_EQ(RunCommand(b, script.Issue()), r.status);
    EXPECT_EQ(b.hostStatus, r.hostStatus);
    EXPECT_EQ(b.targetStatus, r.targetStatus);
    EXPECT_EQ(SenseKey(b), r.senseKey);
    EXPECT_EQ(script.seen.size(), 1u);
  }
}

TEST(SgCommand, SenseIsCutToWhatTheBlockAsked) {
  Script script;
  std::vector<unsigned char> sense(32);
  for (std::size_t i = 0; i < sense.size(); ++i) sense[i] = static_cast<unsigned char>(0x70 + i);
  script.answers = {{0, 2, 0, 0x08, sense}, {0, 2, 0, 0x08, {0x70, 0, 5, 0, 0}}};
  SlAspiExecBlock b = Block(kInquiry, 0, nullptr);
  b.flags = 0;
  std::memset(b.sense, 0xEE, sizeof b.sense);
  RunCommand(b, script.Issue());
  for (int i = 0; i < 14; ++i) EXPECT_EQ(b.sense[i], sense[static_cast<std::size_t>(i)]) << i;
  EXPECT_EQ(b.sense[14], 0xEE);  // beyond senseLength: untouched
  // Fewer bytes written than asked: only those are taken.
  std::memset(b.sense, 0xEE, sizeof b.sense);
  RunCommand(b, script.Issue());
  EXPECT_EQ(b.sense[2], 5);
  EXPECT_EQ(b.sense[5], 0xEE);
}

TEST(SgCommand, HeaderHandedToSgIoFollowsTheBlock) {
  Script script;
  std::uint8_t buffer[2048] = {};
  SlAspiExecBlock b = Block(0x43, sizeof buffer, buffer);
  b.cdbLength = 10;
  b.cdb[1] = 0x02;
  b.cdb[9] = 0x77;
  RunCommand(b, script.Issue());
  ASSERT_EQ(script.seen.size(), 1u);
  const sg_io_hdr_t& io = script.seen[0];
  EXPECT_EQ(io.interface_id, 'S');
  EXPECT_EQ(io.cmd_len, 10);
  EXPECT_EQ(script.firstCdb, (std::vector<unsigned char>{0x43, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x77}));
  EXPECT_EQ(io.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(io.dxfer_len, sizeof buffer);
  EXPECT_EQ(io.dxferp, buffer);
  EXPECT_EQ(io.timeout, kCommandTimeoutMs);
  EXPECT_GE(io.mx_sb_len, 14);

  SlAspiExecBlock tur = Block(kTestUnitReady, 0, nullptr);
  RunCommand(tur, script.Issue());
  EXPECT_EQ(script.seen.back().dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(script.seen.back().dxfer_len, 0u);
  EXPECT_EQ(script.seen.back().dxferp, nullptr);
}

TEST(SgCommand, MalformedBlocksNeverReachTheDrive) {
  std::uint8_t buffer[16] = {};
  struct Row {
    const char* name;
    void (*spoil)(SlAspiExecBlock&);
  };
  const Row rows[] = {
      {"no CDB", [](SlAspiExecBlock& b) { b.cdbLength = 0; }},
      {"CDB longer than 16", [](SlAspiExecBlock& b) { b.cdbLength = 17; }},
      {"transfer above 1 MiB", [](SlAspiExecBlock& b) { b.bufferLength = kMaxTransfer + 1; }},
      {"data without data-in", [](SlAspiExecBlock& b) { b.flags = 0; }},
      {"data without a buffer", [](SlAspiExecBlock& b) { b.buffer = nullptr; }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    SlAspiExecBlock b = Block(kInquiry, sizeof buffer, buffer);
    r.spoil(b);
    Script script;
    EXPECT_EQ(RunCommand(b, script.Issue()), SL_ASPI_STATUS_INVALID_REQUEST);
    EXPECT_TRUE(script.seen.empty());
    EXPECT_EQ(b.hostStatus, SL_ASPI_HOST_OK);
  }
  // The largest transfer and the longest CDB are still passed on.
  SlAspiExecBlock b = Block(kInquiry, sizeof buffer, buffer);
  b.cdbLength = 16;
  Script script;
  EXPECT_EQ(RunCommand(b, script.Issue()), SL_ASPI_STATUS_COMPLETED);
  std::vector<std::uint8_t> big(kMaxTransfer);
  SlAspiExecBlock large = Block(kInquiry, kMaxTransfer, big.data());
  EXPECT_EQ(RunCommand(large, script.Issue()), SL_ASPI_STATUS_COMPLETED);
  EXPECT_EQ(script.seen.size(), 2u);
}

// A drive answers the first command after a disc change with UNIT
// ATTENTION. A TEST UNIT READY that meets it is asked once more, so a
// freshly loaded disc does not read as "no disc"; nothing else is repeated.
TEST(SgCommand, TestUnitReadyIsAskedOnceMoreAfterUnitAttention) {
  struct Row {
    const char* name;
    unsigned char opcode;
    std::vector<Answer> answers;
    std::size_t calls;
    std::uint8_t targetStatus;
    int senseKey;
  };
  const Answer good{0, 0, 0, 0, {}};
  const Row rows[] = {
      {"attention, then ready",
       kTestUnitReady,
       {{0, 2, 0, 0x08, FixedSense(6)}, good},
       2,
       SL_SCSI_STATUS_GOOD,
       -1},
      {"attention (descriptor), then ready",
       kTestUnitReady,
       {{0, 2, 0, 0x08, DescriptorSense(6)}, good},
       2,
       SL_SCSI_STATUS_GOOD,
       -1},
      {"attention, then not ready",
       kTestUnitReady,
       {{0, 2, 0, 0x08, FixedSense(6)}, {0, 2, 0, 0x08, FixedSense(2)}},
       2,
       SL_SCSI_STATUS_CHECK_CONDITION,
       2},
      {"attention twice: asked once more only",
       kTestUnitReady,
       {{0, 2, 0, 0x08, FixedSense(6)}, {0, 2, 0, 0x08, FixedSense(6)}, good},
       2,
       SL_SCSI_STATUS_CHECK_CONDITION,
       6},
      {"not ready: not repeated",
       kTestUnitReady,
       {{0, 2, 0, 0x08, FixedSense(2)}, good},
       1,
       SL_SCSI_STATUS_CHECK_CONDITION,
       2},
      {"attention on INQUIRY: not repeated",
       kInquiry,
       {{0, 2, 0, 0x08, FixedSense(6)}, good},
       1,
       SL_SCSI_STATUS_CHECK_CONDITION,
       6},
      {"attention key without check condition",
       kTestUnitReady,
       {{0, 0, 0, 0x08, FixedSense(6)}, good},
       1,
       SL_SCSI_STATUS_GOOD,
       6},
      {"check condition without sense",
       kTestUnitReady,
       {{0, 2, 0, 0, {}}, good},
       1,
       SL_SCSI_STATUS_CHECK_CONDITION,
       -1},
      {"attention, host error",
       kTestUnitReady,
       {{0, 2, 7, 0x08, FixedSense(6)}, good},
       1,
       SL_SCSI_STATUS_CHECK_CONDITION,
       6},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::uint8_t buffer[32] = {};
    SlAspiExecBlock b =
        Block(r.opcode, r.opcode == kInquiry ? 32 : 0, r.opcode == kInquiry ? buffer : nullptr);
    Script script;
    script.answers.assign(r.answers.begin(), r.answers.end());
    RunCommand(b, script.Issue());
    EXPECT_EQ(script.seen.size(), r.calls);
    EXPECT_EQ(b.targetStatus, r.targetStatus);
    EXPECT_EQ(SenseKey(b), r.senseKey);
  }
}

}  // namespace
}  // namespace sl::aspisg
