// libwnaspi32-sim.so: an ASPI layer whose drives are described by a file
// (SONOLABEL_SIM_DRIVES; format in sim_drives.cpp). Without that variable the
// layer uses demo/drives.ini beside the library (a build tree) or in the
// installed data folder (share/sonolabel/demo/drives.ini of the prefix whose
// lib/sonolabel/ holds the layer) when there is one, else it has no drives.
//
// Commands answered: TEST UNIT READY, INQUIRY, READ TOC formats 0 (TOC) and
// 1 (session information), MSF or LBA addresses, and 5 (CD-Text, from the
// drive's cdtext key). Others end with CHECK
// CONDITION / ILLEGAL REQUEST. A command completes inside SendASPI32Command
// unless the drive has delay_ms (completed later by a worker thread) or
// never_complete for it (pending until aborted).
#include <dlfcn.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim_drives.h"
#include "sonolabel_aspi.h"

// The installed data folder seen from the installed layer folder; the build
// passes it from the layout it installs.
#ifndef SONOLABEL_PKGDATADIR_FROM_PKGLIBDIR
#define SONOLABEL_PKGDATADIR_FROM_PKGLIBDIR "../../share/sonolabel"
#endif

#define SL_EXPORT extern "C" __attribute__((visibility("default")))

namespace sl::aspisim {
namespace {

using Clock = std::chrono::steady_clock;

// The largest data transfer the layer accepts for one command.
constexpr std::uint32_t kMaxTransfer = 1u << 20;

void StoreStatus(std::uint8_t& field, std::uint8_t value) {
  std::atomic_ref<std::uint8_t>(field).store(value, std::memory_order_release);
}

void SetSense(SlAspiExecBlock& b, std::uint8_t key, std::uint8_t asc) {
  std::uint8_t sense[18] = {};
  sense[0] = 0x70;
  sense[2] = key;
  sense[7] = 10;
  sense[12] = asc;
  std::size_t n = std::min<std::size_t>({b.senseLength, sizeof b.sense, sizeof sense});
  std::memcpy(b.sense, sense, n);
}

void CheckCondition(SlAspiExecBlock& b, std::uint8_t key, std::uint8_t asc) {
  b.targetStatus = SL_SCSI_STATUS_CHECK_CONDITION;
  SetSense(b, key, asc);
}

// Copies a reply into the block's buffer, at most `allocation` bytes and at
// most the buffer's length. False when the block has no usable buffer.
bool Reply(SlAspiExecBlock& b, const std::vector<std::uint8_t>& data, std::size_t allocation) {
  std::size_t n = std::min({data.size(), allocation, static_cast<std::size_t>(b.bufferLength)});
  if (n == 0) return true;
  if (!b.buffer || !(b.flags & SL_ASPI_FLAG_DATA_IN)) return false;
  std::memcpy(b.buffer, data.data(), n);
  return true;
}

void PutAddress(std::vector<std::uint8_t>& out, const Msf& m, bool msf) {
  if (msf) {
    out.insert(out.end(), {0, static_cast<std::uint8_t>(m.minute), static_cast<std::uint8_t>(m.second),
                           static_cast<std::uint8_t>(m.frame)});
  } else {
    std::int32_t lba = (m.minute * 60 + m.second) * 75 + m.frame - 150;
    auto u = static_cast<std::uint32_t>(lba);
    out.insert(out.end(), {static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
                           static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u)});
  }
}

void PutLength(std::vector<std::uint8_t>& out) {
  std::size_t len = out.size() - 2;
  out[0] = static_cast<std::uint8_t>(len >> 8);
  out[1] = static_cast<std::uint8_t>(len);
}

std::vector<std::uint8_t> TocReply(const SimDrive& d, bool msf, int startTrack) {
  int tracks = static_cast<int>(d.toc.size()) - 1;
  std::vector<std::uint8_t> out = {0, 0, 1, static_cast<std::uint8_t>(tracks)};
  for (int k = 0; k <= tracks; ++k) {
    bool leadOut = k == tracks;
    int number = leadOut ? 0xAA : k + 1;
    if (!leadOut && number < startTrack) continue;
    out.insert(out.end(), {0, 0x10, static_cast<std::uint8_t>(number), 0});
    PutAddress(out, d.toc[static_cast<std::size_t>(k)], msf);
  }
  PutLength(out);
  return out;
}

std::vector<std::uint8_t> SessionReply(const SimDrive& d, bool msf) {
  int lastSession = d.lastSessionFirstTrack > 0 ? 2 : 1;
  int first = d.lastSessionFirstTrack > 0 ? d.lastSessionFirstTrack : 1;
  std::vector<std::uint8_t> out = {0, 0, 1, static_cast<std::uint8_t>(lastSession)};
  out.insert(out.end(), {0, 0x10, static_cast<std::uint8_t>(first), 0});
  PutAddress(out, d.toc[static_cast<std::size_t>(first - 1)], msf);
  PutLength(out);
  return out;
}

std::vector<std::uint8_t> InquiryReply(const SimDrive& d) {
  std::vector<std::uint8_t> out(36, 0);
  out[0] = static_cast<std::uint8_t>(d.deviceType);
  out[1] = 0x80;  // removable medium
  out[2] = 0x05;
  out[3] = 0x02;
  out[4] = 31;  // additional length: bytes 5 to 35
  if (!d.inquiryEmpty) {
    auto put = [&](std::size_t at, std::size_t width, const std::string& s) {
      for (std::size_t i = 0; i < width; ++i)
        out[at + i] = i < s.size() ? static_cast<std::uint8_t>(s[i]) : ' ';
    };
    put(8, 8, d.vendor);
    put(16, 16, d.product);
    put(32, 4, d.revision);
  }
  return out;
}

unsigned OpOf(const SlAspiExecBlock& b) {
  switch (b.cdb[0]) {
    case 0x00: return kOpTestUnitReady;
    case 0x12: return kOpInquiry;
    case 0x43:
      switch (b.cdb[2] & 0x0F) {
        case 1: return kOpSessionInfo;
        case 5: return kOpCdText;
        default: return kOpReadToc;
      }
    default: return 0;
  }
}

// Carries out one command on a drive: fills buffer, target status and sense.
// Returns the request status.
std::uint8_t Execute(const SimDrive& d, SlAspiExecBlock& b) {
  b.hostStatus = SL_ASPI_HOST_OK;
  b.targetStatus = SL_SCSI_STATUS_GOOD;
  if (b.cdbLength == 0 || b.cdbLength > SL_ASPI_CDB_SIZE || b.bufferLength > kMaxTransfer)
    return SL_ASPI_STATUS_INVALID_REQUEST;
  const std::uint8_t* cdb = b.cdb;
  bool ok = true;
  switch (cdb[0]) {
    case 0x00:                                        // TEST UNIT READY
      if (!d.Ready()) CheckCondition(b, 0x02, 0x3A);  // NOT READY, medium not present
      break;
    case 0x12: {  // INQUIRY
      if (d.inquiryFail) {
        b.hostStatus = SL_ASPI_HOST_ERROR;
        return SL_ASPI_STATUS_ERROR;
      }
      if (cdb[1] & 0x01) {  // vital product data pages are not offered
        CheckCondition(b, 0x05, 0x24);
        break;
      }
      std::size_t allocation = (std::size_t{cdb[3]} << 8) | cdb[4];
      ok = Reply(b, InquiryReply(d), allocation);
      break;
    }
    case 0x43: {  // READ TOC/PMA/ATIP
      bool msf = cdb[1] & 0x02;
      int format = cdb[2] & 0x0F;
      std::size_t allocation = (std::size_t{cdb[7]} << 8) | cdb[8];
      if (!d.HasDisc()) {
        CheckCondition(b, 0x02, 0x3A);
        break;
      }
      if (format == 0) {
        if (d.tocRequestStatus >= 0) return static_cast<std::uint8_t>(d.tocRequestStatus);
        if (d.tocFail) {
          CheckCondition(b, 0x03, 0x57);  // MEDIUM ERROR, unable to recover TOC
          break;
        }
        if (d.tocStatus >= 0) {
          b.targetStatus = static_cast<std::uint8_t>(d.tocStatus);
          break;
        }
        ok = Reply(b, d.hasRawToc ? d.rawToc : TocReply(d, msf, cdb[6] == 0 ? 1 : cdb[6]), allocation);
      } else if (format == 1) {
        if (d.sessionFail) {
          CheckCondition(b, 0x03, 0x57);
          break;
        }
        if (d.hasRawSession) ok = Reply(b, d.rawSession, allocation);
        else if (d.toc.empty()) CheckCondition(b, 0x03, 0x57);  // only a raw TOC was given
        else ok = Reply(b, SessionReply(d, msf), allocation);
      } else if (format == 5) {
        if (d.cdText.empty()) CheckCondition(b, 0x05, 0x24);  // the disc has no CD-Text
        else ok = Reply(b, d.cdText, allocation);
      } else {
        CheckCondition(b, 0x05, 0x24);  // ILLEGAL REQUEST, invalid field in CDB
      }
      break;
    }
    default:
      CheckCondition(b, 0x05, 0x20);  // ILLEGAL REQUEST, invalid command operation code
      break;
  }
  if (ok && d.reportLength >= 0 && (b.flags & SL_ASPI_FLAG_DATA_IN))
    b.bufferLength = static_cast<std::uint32_t>(d.reportLength);
  return ok ? SL_ASPI_STATUS_COMPLETED : SL_ASPI_STATUS_INVALID_REQUEST;
}

void Signal(int fd) {
  if (fd < 0) return;
  std::uint64_t one = 1;
  ssize_t r;
  do {
    r = write(fd, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

struct Pending {
  SlAspiExecBlock* block = nullptr;
  std::shared_ptr<const SimConfig> config;
  const SimDrive* drive = nullptr;
  std::optional<Clock::time_point> due;  // none: never completes
};

class Layer {
 public:
  ~Layer() {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  std::uint32_t SupportInfo() {
    auto cfg = std::make_shared<SimConfig>();
    std::string path = DrivesPath();
    int status = 1;
    if (!path.empty()) {
      std::string error;
      if (!LoadSimDrives(path, *cfg, error)) {
        std::fprintf(stderr, "libwnaspi32-sim: %s\n", error.c_str());
        cfg = std::make_shared<SimConfig>();
        cfg->supportStatus = SL_ASPI_STATUS_ERROR;
      }
      status = cfg->supportStatus;
    }
    std::lock_guard lock(mu_);
    config_ = cfg;
    return (static_cast<std::uint32_t>(status & 0xFF) << 8) |
           static_cast<std::uint32_t>(std::min(cfg->AdapterCount(), 255));
  }

  // The drives whose node "cannot be opened", as the real layer lists
  // the nodes it could not open.
  std::uint32_t DeviceProblems(char* buffer, std::uint32_t size) {
    auto cfg = Config();
    std::string text;
    for (const auto& d : cfg->drives) {
      if (d.openError == 0) continue;
      const std::string address =
          std::to_string(d.adapter) + ":" + std::to_string(d.target) + ":" + std::to_string(d.lun);
      text += "sim:" + address + "\t" + std::to_string(d.openError) + "\t" + address + "\n";
    }
    if (buffer && size > 0) {
      const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
      std::memcpy(buffer, text.data(), n);
      buffer[n] = '\0';
    }
    return static_cast<std::uint32_t>(text.size());
  }

  std::uint32_t Send(void* p) {
    if (!p) return SL_ASPI_STATUS_INVALID_REQUEST;
    auto* header = static_cast<SlAspiHeader*>(p);
    switch (header->command) {
      case SL_ASPI_CMD_GET_DEVICE_TYPE: return DeviceType(*static_cast<SlAspiDeviceTypeBlock*>(p));
      case SL_ASPI_CMD_EXECUTE_SCSI: return Exec(*static_cast<SlAspiExecBlock*>(p));
      case SL_ASPI_CMD_ABORT: return Abort(*static_cast<SlAspiAbortBlock*>(p));
      default: header->status = SL_ASPI_STATUS_INVALID_REQUEST; return SL_ASPI_STATUS_INVALID_REQUEST;
    }
  }

 private:
  static std::string DrivesPath() {
    // Loaded behind two fixed C entry points that carry no settings, the
    // layer reads its input itself: the program's configuration does not
    // reach it (the demo sets this variable for it).
    const char* env = std::getenv("SONOLABEL_SIM_DRIVES");
    if (env && *env) return env;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GetASPI32SupportInfo), &info) && info.dli_fname) {
      const auto here = std::filesystem::path(info.dli_fname).parent_path();
      for (const auto& data : {here, here / SONOLABEL_PKGDATADIR_FROM_PKGLIBDIR}) {
        std::error_code ec;
        const auto demo = (data / "demo" / "drives.ini").lexically_normal();
        if (std::filesystem::is_regular_file(demo, ec)) return demo.string();
      }
    }
    return "";
  }

  std::shared_ptr<const SimConfig> Config() {
    std::lock_guard lock(mu_);
    if (!config_) config_ = std::make_shared<SimConfig>();
    return config_;
  }

  std::uint32_t DeviceType(SlAspiDeviceTypeBlock& b) {
    auto cfg = Config();
    std::uint8_t status;
    if (b.hostAdapter >= cfg->AdapterCount()) {
      status = SL_ASPI_STATUS_INVALID_ADAPTER;
    } else if (const SimDrive* d = cfg->Find(b.hostAdapter, b.target, b.lun)) {
      b.deviceType = static_cast<std::uint8_t>(d->deviceType);
      status = SL_ASPI_STATUS_COMPLETED;
    } else {
      status = SL_ASPI_STATUS_NO_DEVICE;
    }
    b.status = status;
    return status;
  }

  std::uint32_t Exec(SlAspiExecBlock& b) {
    auto cfg = Config();
    int fd = (b.flags & SL_ASPI_FLAG_POST) ? static_cast<int>(b.post) : -1;
    const SimDrive* d =
        b.hostAdapter < cfg->AdapterCount() ? cfg->Find(b.hostAdapter, b.target, b.lun) : nullptr;
    if (!d) {
      std::uint8_t status =
          b.hostAdapter < cfg->AdapterCount() ? SL_ASPI_STATUS_NO_DEVICE : SL_ASPI_STATUS_INVALID_ADAPTER;
      StoreStatus(b.status, status);
      Signal(fd);
      return status;
    }
    if (d->openError != 0) {
      // As a real layer whose open() of the node failed: the request ends
      // at once with an error.
      b.hostStatus = SL_ASPI_HOST_ERROR;
      StoreStatus(b.status, SL_ASPI_STATUS_ERROR);
      Signal(fd);
      return SL_ASPI_STATUS_ERROR;
    }
    unsigned op = OpOf(b);
    bool never = (op & d->neverComplete) != 0;
    if (!never && d->delayMs == 0) {
      std::uint8_t status = Execute(*d, b);
      StoreStatus(b.status, status);
      Signal(fd);
      return status;
    }
    std::lock_guard lock(mu_);
    StoreStatus(b.status, SL_ASPI_STATUS_PENDING);
    Pending job{&b, cfg, d, std::nullopt};
    if (!never) job.due = Clock::now() + std::chrono::milliseconds(d->delayMs);
    pending_.push_back(job);
    if (job.due) {
      if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
      cv_.notify_all();
    }
    return SL_ASPI_STATUS_PENDING;
  }

  std::uint32_t Abort(SlAspiAbortBlock& b) {
    std::lock_guard lock(mu_);
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const Pending& p) { return p.block == b.request; });
    // A request that is not pending (finished, or never seen) is left alone:
    // the layer will not touch it again, which is all an abort promises.
    std::uint8_t status = SL_ASPI_STATUS_COMPLETED;
    if (it != pending_.end()) {
      if (it->drive->abortFails) {
        status = SL_ASPI_STATUS_ABORT_FAILED;
      } else {
        StoreStatus(it->block->status, SL_ASPI_STATUS_ABORTED);
        pending_.erase(it);
      }
    }
    b.status = status;
    return status;
  }

  // Completes delayed requests when they fall due. Completion happens under
  // the lock, so an abort either removes a request before it completes or
  // finds it gone, and the caller can free everything once Abort returns.
  void Work() {
    std::unique_lock lock(mu_);
    while (!stop_) {
      auto now = Clock::now();
      std::optional<Clock::time_point> next;
      for (std::size_t i = 0; i < pending_.size();) {
        Pending& p = pending_[i];
        if (p.due && *p.due <= now) {
          SlAspiExecBlock& b = *p.block;
          int fd = (b.flags & SL_ASPI_FLAG_POST) ? static_cast<int>(b.post) : -1;
          std::uint8_t status = Execute(*p.drive, b);
          StoreStatus(b.status, status);
          Signal(fd);
          pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
          continue;
        }
        if (p.due && (!next || *p.due < *next)) next = p.due;
        ++i;
      }
      if (next) cv_.wait_until(lock, *next);
      else cv_.wait(lock);
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::shared_ptr<const SimConfig> config_;
  std::vector<Pending> pending_;
  std::thread worker_;
  bool stop_ = false;
};

Layer& TheLayer() {
  static Layer layer;
  return layer;
}

}  // namespace
}  // namespace sl::aspisim

SL_EXPORT uint32_t GetASPI32SupportInfo(void) { return sl::aspisim::TheLayer().SupportInfo(); }

SL_EXPORT uint32_t SendASPI32Command(void* block) { return sl::aspisim::TheLayer().Send(block); }

SL_EXPORT uint32_t SlAspiDeviceProblems(char* buffer, uint32_t size) {
  return sl::aspisim::TheLayer().DeviceProblems(buffer, size);
}
