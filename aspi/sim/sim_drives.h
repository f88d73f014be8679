// The simulated drives of libwnaspi32-sim.so and the reader of the file that
// describes them (format and keys: see sim_drives.cpp).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sl::aspisim {

struct Msf {
  int minute = 0, second = 0, frame = 0;
};

// Commands that fault keys can name.
enum SimOp : unsigned {
  kOpTestUnitReady = 1u << 0,
  kOpInquiry = 1u << 1,
  kOpReadToc = 1u << 2,
  kOpSessionInfo = 1u << 3,
  kOpCdText = 1u << 4,
  kOpAll = kOpTestUnitReady | kOpInquiry | kOpReadToc | kOpSessionInfo | kOpCdText,
};

struct SimDrive {
  int adapter = 0, target = 0, lun = 0;
  int deviceType = 5;
  std::string vendor, product, revision = "1.00";
  std::vector<Msf> toc;  // track starts, then the lead-out; empty: no disc
  int lastSessionFirstTrack = 0;
  // Fault injection.
  bool tocFail = false;
  int tocStatus = -1;         // target status of READ TOC (format 0); -1: not set
  int tocRequestStatus = -1;  // request status of READ TOC (format 0); -1: not set
  bool sessionFail = false;
  int delayMs = 0;
  unsigned neverComplete = 0;  // SimOp bits
  bool abortFails = false;
  bool inquiryEmpty = false;
  bool inquiryFail = false;
  bool hasRawToc = false;
  std::vector<std::uint8_t> rawToc;
  bool hasRawSession = false;
  std::vector<std::uint8_t> rawSession;
  std::vector<std::uint8_t> cdText;  // READ TOC format 5 reply; empty: the disc has no CD-Text
  std::int64_t reportLength = -1;    // buffer length written back after a data-in command
  int turReady = -1;                 // TEST UNIT READYs that pass before the drive says not ready
  int openError = 0;                 // errno of a device node that cannot be opened; 0: opens
  // TEST UNIT READYs answered so far (shared by the copies of the drive).
  std::shared_ptr<std::atomic<int>> turSeen = std::make_shared<std::atomic<int>>(0);

  bool HasDisc() const { return !toc.empty() || hasRawToc; }
  // TEST UNIT READY passes: a disc is there and the drive has not gone not-ready.
  bool Ready() const { return HasDisc() && (turReady < 0 || turSeen->fetch_add(1) < turReady); }
};

struct SimConfig {
  std::vector<SimDrive> drives;
  int supportStatus = 1;
  int AdapterCount() const;
  const SimDrive* Find(int adapter, int target, int lun) const;
};

// Reads a drives file. On failure returns false and sets `error` to
// "<path>:<line>: <what>" (line 0 when the file as a whole is at fault).
bool LoadSimDrives(const std::string& path, SimConfig& out, std::string& error);

// The same, from text already in memory (`name` is used in messages).
bool ParseSimDrives(const std::string& text, const std::string& name, SimConfig& out, std::string& error);

}  // namespace sl::aspisim
