// One SCSI command of the SG_IO layer, apart from the device node it goes
// to: the checks of the request block, the SG_IO header built from it, and
// the reading of what SG_IO answered (SCSI status, host and driver status,
// sense data) into the block's statuses. The layer hands in the function
// that issues the SG_IO request on the drive's node; tests hand in one that
// scripts the answers, so the mapping is tested without a drive.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <functional>

#include "sonolabel_aspi.h"

namespace sl::aspisg {

// Issues one SG_IO request: 0 when the ioctl ran (its answers are in io), the
// errno of the open or ioctl that failed, or kNoDeviceNode when the device
// has no node to send it to.
using SgIssue = std::function<int(sg_io_hdr_t& io)>;
inline constexpr int kNoDeviceNode = -1;

// SG_IO's own time-out for one command, in milliseconds.
inline constexpr unsigned kCommandTimeoutMs = 10000;
// Largest data transfer passed on.
inline constexpr std::uint32_t kMaxTransfer = 1u << 20;

// Runs the command of `b` once through `issue`; fills its host and target
// status and sense data and returns its ASPI status.
std::uint8_t RunSgIo(SlAspiExecBlock& b, const SgIssue& issue);

// RunSgIo, and a TEST UNIT READY that meets a UNIT ATTENTION (a disc was
// just put in, or the drive was reset) is asked once more.
std::uint8_t RunCommand(SlAspiExecBlock& b, const SgIssue& issue);

// The sense key of the block's sense data (fixed or descriptor format), or
// -1 without usable sense data.
int SenseKey(const SlAspiExecBlock& b);

}  // namespace sl::aspisg
