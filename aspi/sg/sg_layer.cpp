// libwnaspi32-sg.so: the ASPI layer for real drives. SCSI devices are found
// in sysfs (/sys/class/scsi_device/H:C:T:L); every distinct host:channel pair
// becomes one host adapter, numbered in ascending order, and the device's
// target and LUN are its ASPI target and LUN. Commands go to the device's
// block node (/dev/srN) or, failing that, its generic node (/dev/sgN) through
// the SG_IO ioctl and complete inside SendASPI32Command.
//
// SONOLABEL_SG_SYSFS replaces "/sys" and SONOLABEL_SG_DEV replaces "/dev"
// (tests point them at folder trees of their own).
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sg_command.h"
#include "sonolabel_aspi.h"

#define SL_EXPORT extern "C" __attribute__((visibility("default")))

namespace sl::aspisg {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxSysfsEntries = 4096;

struct Device {
  int adapter = 0, target = 0, lun = 0;
  int type = 0;
  std::string node;  // full path of the device node; empty: none
};

// The layer is loaded behind two fixed C entry points that carry no
// settings, so it reads its own variables (where sysfs and the device nodes
// are) itself; the program's configuration does not reach it.
std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

// "H:C:T:L" with four decimal numbers.
bool ParseHctl(const std::string& s, unsigned long (&out)[4]) {
  const char* p = s.data();
  const char* end = s.data() + s.size();
  for (int i = 0; i < 4; ++i) {
    auto r = std::from_chars(p, end, out[i]);
    if (r.ec != std::errc() || r.ptr == p) return false;
    p = r.ptr;
    if (i < 3) {
      if (p == end || *p != ':') return false;
      ++p;
    }
  }
  return p == end;
}

std::optional<int> ReadType(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  char buf[16] = {};
  in.read(buf, sizeof buf - 1);
  std::string text(buf, static_cast<std::size_t>(in.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  int v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v < 0 || v > 31) return std::nullopt;
  return v;
}

// The first entry of `dir` (sorted by name), if any: "sr0" under device/block.
std::string FirstEntry(const fs::path& dir) {
  std::error_code ec;
  std::vector<std::string> names;
  fs::directory_iterator it(dir, ec), end;
  for (std::size_t n = 0; !ec && it != end && n < 64; it.increment(ec), ++n) {
    std::string name = it->path().filename().string();
    if (!name.empty() && name[0] != '.') names.push_back(name);
  }
  if (names.empty()) return "";
  return *std::min_element(names.begin(), names.end());
}

std::vector<Device> Scan() {
  fs::path root = EnvOr("SONOLABEL_SG_SYSFS", "/sys");
  fs::path dev = EnvOr("SONOLABEL_SG_DEV", "/dev");
  struct Found {
    unsigned long hctl[4];
    int type;
    std::string node;
  };
  std::vector<Found> found;
  std::error_code ec;
  fs::directory_iterator it(root / "class" / "scsi_device", ec), end;
  for (std::size_t n = 0; !ec && it != end && n < kMaxSysfsEntries; it.increment(ec), ++n) {
    Found f{};
    if (!ParseHctl(it->path().filename().string(), f.hctl)) continue;
    if (f.hctl[2] > 255 || f.hctl[3] > 255) continue;  // not addressable through one byte
    fs::path device = it->path() / "device";
    auto type = ReadType(device / "type");
    if (!type) continue;
    f.type = *type;
    std::string node = FirstEntry(device / "block");
    if (node.empty()) node = FirstEntry(device / "scsi_generic");
    if (!node.empty()) f.node = (dev / node).string();
    found.push_back(std::move(f));
  }
  // Adapters: distinct host:channel pairs in ascending order.
  std::vector<std::pair<unsigned long, unsigned long>> adapters;
  adapters.reserve(found.size());
  for (const auto& f : found) adapters.emplace_back(f.hctl[0], f.hctl[1]);
  std::sort(adapters.begin(), adapters.end());
  adapters.erase(std::unique(adapters.begin(), adapters.end()), adapters.end());
  std::vector<Device> out;
  for (const auto& f : found) {
    auto pos = std::lower_bound(adapters.begin(), adapters.end(), std::make_pair(f.hctl[0], f.hctl[1]));
    auto index = pos - adapters.begin();
    if (index > 254) continue;  // the adapter count is one byte
    out.push_back(
        {static_cast<int>(index), static_cast<int>(f.hctl[2]), static_cast<int>(f.hctl[3]), f.type, f.node});
  }
  std::sort(out.begin(), out.end(), [](const Device& a, const Device& b) {
    return std::tie(a.adapter, a.lun, a.target) < std::tie(b.adapter, b.lun, b.target);
  });
  return out;
}

int AdapterCount(const std::vector<Device>& devices) {
  int highest = -1;
  for (const auto& d : devices) highest = std::max(highest, d.adapter);
  return highest + 1;
}

void Signal(int fd) {
  if (fd < 0) return;
  std::uint64_t one = 1;
  ssize_t r;
  do {
    r = write(fd, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

void StoreStatus(std::uint8_t& field, std::uint8_t value) {
  std::atomic_ref<std::uint8_t>(field).store(value, std::memory_order_release);
}

// Device nodes that could not be opened, and why (typically a missing
// permission: the user is not in the group owning /dev/srN). The program
// asks for them through SlAspiDeviceProblems and tells the user.
struct Problem {
  std::string node;
  int error = 0;
  std::string address;  // "adapter:target:lun" of the drive
};
std::mutex gProblemsMutex;
std::vector<Problem> gProblems;

void NoteProblem(const Device& d, int error) {
  std::lock_guard lock(gProblemsMutex);
  for (auto& p : gProblems) {
    if (p.node == d.node) {
      p.error = error;
      return;
    }
  }
  if (gProblems.size() >= 64) return;
  gProblems.push_back(
      {d.node, error,
       std::to_string(d.adapter) + ":" + std::to_string(d.target) + ":" + std::to_string(d.lun)});
}

// A node that opens again (a permission given meanwhile) is no problem any
// more.
void ForgetProblem(const std::string& node) {
  std::lock_guard lock(gProblemsMutex);
  std::erase_if(gProblems, [&](const Problem& p) { return p.node == node; });
}

std::uint32_t DeviceProblems(char* buffer, std::uint32_t size) {
  std::string text;
  {
    std::lock_guard lock(gProblemsMutex);
    for (const auto& p : gProblems) text += p.node + "\t" + std::to_string(p.error) + "\t" + p.address + "\n";
  }
  if (buffer && size > 0) {
    const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<std::uint32_t>(text.size());
}

// Issues one SG_IO request on a device node.
int IssueOnNode(const Device& d, sg_io_hdr_t& io) {
  const std::string& node = d.node;
  if (node.empty()) return kNoDeviceNode;
  const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    NoteProblem(d, error);
    return error;
  }
  ForgetProblem(node);
  int r;
  do {
    r = ioctl(fd, SG_IO, &io);
  } while (r < 0 && errno == EINTR);
  const int error = r < 0 ? errno : 0;
  close(fd);
  return r < 0 ? (error != 0 ? error : EIO) : 0;
}

class Layer {
 public:
  std::uint32_t SupportInfo() {
    std::vector<Device> devices = Scan();
    std::lock_guard lock(mu_);
    devices_ = std::move(devices);
    scanned_ = true;
    return (std::uint32_t{SL_ASPI_STATUS_COMPLETED} << 8) |
           static_cast<std::uint32_t>(AdapterCount(devices_));
  }

  std::uint32_t Send(void* p) {
    if (!p) return SL_ASPI_STATUS_INVALID_REQUEST;
    auto* header = static_cast<SlAspiHeader*>(p);
    switch (header->command) {
      case SL_ASPI_CMD_GET_DEVICE_TYPE: {
        auto& b = *static_cast<SlAspiDeviceTypeBlock*>(p);
        int count = 0;
        auto d = Find(b.hostAdapter, b.target, b.lun, count);
        if (b.hostAdapter >= count) b.status = SL_ASPI_STATUS_INVALID_ADAPTER;
        else if (!d) b.status = SL_ASPI_STATUS_NO_DEVICE;
        else {
          b.deviceType = static_cast<std::uint8_t>(d->type);
          b.status = SL_ASPI_STATUS_COMPLETED;
        }
        return b.status;
      }
      case SL_ASPI_CMD_EXECUTE_SCSI: {
        auto& b = *static_cast<SlAspiExecBlock*>(p);
        int fd = (b.flags & SL_ASPI_FLAG_POST) ? static_cast<int>(b.post) : -1;
        int count = 0;
        auto d = Find(b.hostAdapter, b.target, b.lun, count);
        std::uint8_t status;
        if (b.hostAdapter >= count) status = SL_ASPI_STATUS_INVALID_ADAPTER;
        else if (!d) status = SL_ASPI_STATUS_NO_DEVICE;
        else status = RunCommand(b, [&](sg_io_hdr_t& io) { return IssueOnNode(*d, io); });
        StoreStatus(b.status, status);
        Signal(fd);
        return status;
      }
      case SL_ASPI_CMD_ABORT: {
        // Every request finishes inside SendASPI32Command, so nothing is
        // ever left running to abort.
        auto& b = *static_cast<SlAspiAbortBlock*>(p);
        b.status = SL_ASPI_STATUS_COMPLETED;
        return b.status;
      }
      default: header->status = SL_ASPI_STATUS_INVALID_REQUEST; return SL_ASPI_STATUS_INVALID_REQUEST;
    }
  }

 private:
  std::optional<Device> Find(int adapter, int target, int lun, int& adapterCount) {
    std::lock_guard lock(mu_);
    if (!scanned_) {
      devices_ = Scan();
      scanned_ = true;
    }
    adapterCount = AdapterCount(devices_);
    for (const auto& d : devices_)
      if (d.adapter == adapter && d.target == target && d.lun == lun) return d;
    return std::nullopt;
  }

  std::mutex mu_;
  std::vector<Device> devices_;
  bool scanned_ = false;
};

Layer& TheLayer() {
  static Layer layer;
  return layer;
}

}  // namespace
}  // namespace sl::aspisg

SL_EXPORT uint32_t GetASPI32SupportInfo(void) { return sl::aspisg::TheLayer().SupportInfo(); }

SL_EXPORT uint32_t SendASPI32Command(void* block) { return sl::aspisg::TheLayer().Send(block); }

SL_EXPORT uint32_t SlAspiDeviceProblems(char* buffer, uint32_t size) {
  return sl::aspisg::DeviceProblems(buffer, size);
}
