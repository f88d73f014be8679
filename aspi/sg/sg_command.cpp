#include "sg_command.h"

#include <algorithm>
#include <cstring>

namespace sl::aspisg {

std::uint8_t RunSgIo(SlAspiExecBlock& b, const SgIssue& issue) {
  b.hostStatus = SL_ASPI_HOST_OK;
  b.targetStatus = SL_SCSI_STATUS_GOOD;
  const bool dataIn = (b.flags & SL_ASPI_FLAG_DATA_IN) != 0;
  if (b.cdbLength == 0 || b.cdbLength > SL_ASPI_CDB_SIZE || b.bufferLength > kMaxTransfer)
    return SL_ASPI_STATUS_INVALID_REQUEST;
  // Only commands that read from the device (or move no data) are passed on.
  if (b.bufferLength > 0 && (!dataIn || !b.buffer)) return SL_ASPI_STATUS_INVALID_REQUEST;
  unsigned char sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.cmd_len = b.cdbLength;
  io.cmdp = b.cdb;
  io.dxfer_direction = b.bufferLength > 0 ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
  io.dxfer_len = b.bufferLength;
  io.dxferp = b.bufferLength > 0 ? b.buffer : nullptr;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.timeout = kCommandTimeoutMs;
  const int failed = issue(io);
  if (failed == kNoDeviceNode) return SL_ASPI_STATUS_NO_DEVICE;
  if (failed != 0) {
    b.hostStatus = SL_ASPI_HOST_ERROR;
    return SL_ASPI_STATUS_ERROR;
  }
  b.targetStatus = io.status;
  const std::size_t senseBytes = std::min<std::size_t>({io.sb_len_wr, b.senseLength, sizeof b.sense});
  std::memcpy(b.sense, sense, senseBytes);
  constexpr unsigned kDidTimeOut = 0x03;
  if (io.host_status != 0) {
    b.hostStatus = io.host_status == kDidTimeOut ? SL_ASPI_HOST_TIMEOUT : SL_ASPI_HOST_ERROR;
    return SL_ASPI_STATUS_ERROR;
  }
  if ((io.driver_status & 0x07) != 0) {  // a driver error other than "sense data present"
    b.hostStatus = SL_ASPI_HOST_ERROR;
    return SL_ASPI_STATUS_ERROR;
  }
  return SL_ASPI_STATUS_COMPLETED;
}

int SenseKey(const SlAspiExecBlock& b) {
  const std::uint8_t code = b.sense[0] & 0x7F;
  if (code == 0x70 || code == 0x71) return b.sense[2] & 0x0F;
  if (code == 0x72 || code == 0x73) return b.sense[1] & 0x0F;
  return -1;
}

std::uint8_t RunCommand(SlAspiExecBlock& b, const SgIssue& issue) {
  constexpr std::uint8_t kTestUnitReady = 0x00;
  constexpr std::uint8_t kCheckCondition = 0x02;
  constexpr int kUnitAttention = 0x06;
  std::uint8_t status = RunSgIo(b, issue);
  if (status == SL_ASPI_STATUS_COMPLETED && b.cdb[0] == kTestUnitReady && b.targetStatus == kCheckCondition &&
      SenseKey(b) == kUnitAttention) {
    std::memset(b.sense, 0, sizeof b.sense);
    status = RunSgIo(b, issue);
  }
  return status;
}

}  // namespace sl::aspisg
