#include "disc/disc.h"

#include "disc/cdtext.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/pump.h"

namespace sl::disc {

namespace {

// The length a READ TOC reply's header gives: the bytes after its own two.
std::size_t ReplyDataLength(std::span<const std::uint8_t> reply) {
  return (std::size_t{reply[0]} << 8) | reply[1];
}

}  // namespace

// ---------------------------------------------------------------------------
// Disc ID, query text and local key

int FrameOffset(const MsfAddress& a) {
  // Wide arithmetic, so that garbage addresses wrap instead of overflowing.
  std::int64_t v = (std::int64_t{a.Minute} * 60 + a.Second) * 75 + a.Frame;
  return static_cast<int>(v);
}

int Seconds(const MsfAddress& a) { return static_cast<int>(std::int64_t{a.Minute} * 60 + a.Second); }

int DigitSum(int n) {
  int sum = 0;
  while (n > 0) {
    sum += n % 10;
    n /= 10;
  }
  return sum;
}

std::uint32_t CalcDiscId(const DiscToc& toc, int trackCount) {
  if (trackCount <= 0 || trackCount > kMaxTracks) return 0;
  const auto n = static_cast<std::size_t>(trackCount);
  std::uint32_t sum = 0;
  for (std::size_t k = 0; k < n; ++k) sum += static_cast<std::uint32_t>(DigitSum(Seconds(toc.Entries[k])));
  auto length = static_cast<std::uint32_t>(Seconds(toc.Entries[n])) -
                static_cast<std::uint32_t>(Seconds(toc.Entries[0]));
  return ((sum % 255u) << 24) | (length << 8) | static_cast<std::uint32_t>(trackCount);
}

std::uint32_t CalcLocalDiscKey(const DiscToc& toc, std::int32_t& localKeyTrackCount) {
  int count = toc.LastSessionFirstTrack > 0 ? toc.LastSessionFirstTrack : toc.TrackCount;
  // The key reads Entries[count]: keep the count inside the table.
  count = std::clamp(count, 0, kMaxTracks);
  localKeyTrackCount = count;
  std::uint32_t key = 0;
  for (int t = 1; t <= count; ++t) {
    const MsfAddress& a = toc.Entries[static_cast<std::size_t>(t - 1)];
    key += static_cast<std::uint32_t>(a.Minute) * 65536u + static_cast<std::uint32_t>(a.Second) * 256u +
           static_cast<std::uint32_t>(a.Frame);
  }
  if (count < 3) {
    std::uint32_t firstFrame = count == 2 ? static_cast<std::uint32_t>(toc.Entries[0].Frame) : 0u;
    key +=
        firstFrame + (static_cast<std::uint32_t>(FrameOffset(toc.Entries[static_cast<std::size_t>(count)])) -
                      static_cast<std::uint32_t>(FrameOffset(toc.Entries[0])));
  }
  return key;
}

std::string DiscIdHex(std::uint32_t id) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(id));
  return buf;
}

std::string DiscIdFields(const DiscToc& toc, char separator) {
  const int n = (toc.TrackCount > 0 && toc.TrackCount <= kMaxTracks) ? toc.TrackCount : 0;
  std::string out = DiscIdHex(CalcDiscId(toc, n));
  out += separator;
  out += std::to_string(n);
  if (n == 0) return out;
  for (int k = 0; k < n; ++k) {
    out += separator;
    out += std::to_string(FrameOffset(toc.Entries[static_cast<std::size_t>(k)]));
  }
  out += separator;
  out += std::to_string(FrameOffset(toc.Entries[static_cast<std::size_t>(n)]) / 75);
  return out;
}

std::string QueryCommandFor(const DiscToc& toc) { return "cmd=cddb+query+" + DiscIdFields(toc, '+'); }

bool ParseTocReply(std::span<const std::uint8_t> reply, DiscToc& toc) {
  if (reply.size() < 4) return false;
  const std::size_t dataLength = ReplyDataLength(reply);
  const int first = reply[2], last = reply[3];
  if (first != 1 || last < 1 || last > kMaxTracks) return false;
  // Header, one descriptor per track and one for the lead-out; the drive's
  // length field (which leaves out its own two bytes) must cover them too.
  const std::size_t need = 4 + 8 * (static_cast<std::size_t>(last) + 1);
  if (reply.size() < need || dataLength + 2 < need) return false;
  std::array<MsfAddress, 100> entries{};
  for (int k = 0; k <= last; ++k) {
    const std::uint8_t* d = reply.data() + 4 + 8 * k;
    const int number = d[2];
    if (number != (k == last ? 0xAA : k + 1)) return false;
    MsfAddress a{d[5], d[6], d[7]};
    if (d[4] != 0 || a.Second > 59 || a.Frame > 74) return false;
    if (k > 0 && FrameOffset(a) < FrameOffset(entries[static_cast<std::size_t>(k - 1)])) return false;
    entries[static_cast<std::size_t>(k)] = a;
  }
  toc.TrackCount = last;
  std::copy_n(entries.begin(), last + 1, toc.Entries.begin());
  return true;
}

std::string InquiryName(std::span<const std::uint8_t> reply) {
  // Vendor and product identification (bytes 8-31), up to the first control
  // character. Bytes outside printable ASCII end the name too: they are not
  // valid identification text and the name must stay valid UTF-8.
  if (reply.size() <= 8) return "名称なし";
  std::size_t last = std::min<std::size_t>(std::size_t{reply[4]} + 5, reply.size() - 1);
  std::string name;
  for (std::size_t i = 8; i <= last; ++i) {
    std::uint8_t c = reply[i];
    if (c < 0x20 || c > 0x7E) break;
    name.push_back(static_cast<char>(c));
  }
  return name.empty() ? "名称なし" : name;
}

int LastSessionFirstTrack(std::span<const std::uint8_t> reply) {
  if (reply.size() < 7) return 0;
  const std::size_t dataLength = ReplyDataLength(reply);
  // Only a complete reply naming a second session and a valid track counts.
  if (dataLength >= 10 && reply[3] >= 2 && reply[6] >= 1 && reply[6] <= kMaxTracks) return reply[6];
  return 0;
}

// ---------------------------------------------------------------------------
// Drives and commands

namespace {

constexpr std::uint32_t kReplyBufferSize = 2048;
// READ TOC's allocation length is 16 bits; no request asks for more.
constexpr std::uint32_t kLargestReply = 0xFFFF;
// A CD-Text read asks for the largest sound reply (eight full blocks).
constexpr auto kCdTextAllocation = static_cast<std::uint32_t>(kCdTextMaxReply);
static_assert(kCdTextAllocation <= kLargestReply);
constexpr std::uint8_t kSenseLength = 14;
constexpr std::uint16_t kNoDevice = 0xFFFF;
constexpr auto kPollInterval = std::chrono::milliseconds(1);

std::uint8_t LoadStatus(std::uint8_t& field) {
  return std::atomic_ref<std::uint8_t>(field).load(std::memory_order_acquire);
}

}  // namespace

struct DiscDrives::Request {
  SlAspiExecBlock block{};
  // A data area 16 bytes larger than the reply asked for, so that the
  // buffer can start on a 16-byte boundary inside it. Zero-filled: what the
  // drive did not write reads as zeros.
  std::vector<std::uint8_t> area;

  std::uint8_t* Buffer() {
    auto p = ConvParagraphBoundary(reinterpret_cast<std::uintptr_t>(area.data()));
    return area.data() + (p - reinterpret_cast<std::uintptr_t>(area.data()));
  }

  // A data-in (or no-data) request for the drive at (haId, target, lun).
  static std::unique_ptr<Request> Make(int haId, int target, int lun, std::uint32_t bufferLength,
                                       std::initializer_list<std::uint8_t> cdb) {
    auto r = std::make_unique<Request>();
    r->requested = std::min(bufferLength, kLargestReply);
    r->area.assign(r->requested + 16, 0);
    SlAspiExecBlock& b = r->block;
    b.command = SL_ASPI_CMD_EXECUTE_SCSI;
    b.hostAdapter = static_cast<std::uint8_t>(haId);
    b.target = static_cast<std::uint8_t>(target);
    b.lun = static_cast<std::uint8_t>(lun);
    if (bufferLength > 0) {
      b.flags = SL_ASPI_FLAG_DATA_IN;
      b.bufferLength = r->requested;
      b.buffer = r->Buffer();
    }
    b.senseLength = kSenseLength;
    b.cdbLength = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), b.cdb);
    return r;
  }

  std::uint8_t Status() { return LoadStatus(block.status); }
  // The reply area as requested. The layer may write the block's length and
  // buffer fields back with anything; only what was asked for is read.
  std::span<const std::uint8_t> Reply() { return {Buffer(), requested}; }

  std::uint32_t requested = 0;
};

DiscDrives::DiscDrives(shell::ShellModel& model, DriveHook report)
    : model_(model), report_(std::move(report)) {}

DiscDrives::~DiscDrives() { UnloadAspiLayer(); }

bool DiscDrives::LoadAspiLayer(const std::string& layerPath) {
  UnloadAspiLayer();
  if (!library_.Load(layerPath)) {
    hostAdapterCount_ = -1;
    Report(DriveEvent::LayerNotLoaded);
    return false;
  }
  std::uint32_t info = 0;
  bool usable = library_.supportInfo && library_.sendCommand;
  if (usable) {
    info = library_.supportInfo();
    usable = SL_ASPI_SUPPORT_STATUS(info) == SL_ASPI_STATUS_COMPLETED;
  }
  if (!usable) {
    library_.Unload();
    hostAdapterCount_ = -1;
    Report(DriveEvent::LayerUnusable);
    return false;
  }
  hostAdapterCount_ = static_cast<int>(SL_ASPI_SUPPORT_ADAPTERS(info));
  return true;
}

void DiscDrives::UnloadAspiLayer() {
  const std::string path = library_.Path();
  library_.Unload();
  hostAdapterCount_ = -1;
  ReleaseOrphans(!library_.IsResident(path));
}

void DiscDrives::ReleaseOrphans(bool layerGone) {
  if (orphanRequests_.empty() && orphanFds_.empty()) return;
  if (!layerGone) {
    // The layer is still mapped (another user holds it, or it cannot be
    // unloaded) and may yet complete these requests: hand them to a list
    // that lives as long as the process.
    static std::mutex mu;
    static std::vector<std::unique_ptr<Request>> keptRequests;
    std::lock_guard lock(mu);
    for (auto& r : orphanRequests_) keptRequests.push_back(std::move(r));
    orphanRequests_.clear();
    orphanFds_.clear();  // left open on purpose
    return;
  }
  // With the layer gone nothing can write to these any more.
  for (int fd : orphanFds_) close(fd);
  orphanFds_.clear();
  orphanRequests_.clear();
}

void DiscDrives::ScanDrives() {
  model_.ClearDriveItems();
  driveCount_ = 0;
  for (int ha = 0; ha < hostAdapterCount_; ++ha) {
    for (int lun = 0; lun < 8; ++lun) {
      for (int target = 0; target < 8; ++target) {
        if (GetDeviceType(ha, target, lun) != SL_SCSI_TYPE_CDROM) continue;
        // The drive table has room for 16 drives; further ones are not listed.
        if (driveCount_ >= kMaxDrives) continue;
        std::string name = GetStandardInquiry(ha, target, lun);
        // A drive whose node cannot be opened answers no INQUIRY: it is
        // listed under its node, marked, rather than as an empty item.
        if (name.empty()) {
          if (const auto problem = OpenProblem(ha, target, lun)) name = problem->node + "（開けません）";
        }
        int index = model_.AddDriveItem(std::move(name));
        if (index >= 0 && index < kMaxDrives) {
          driveTable_[static_cast<std::size_t>(index)] = {ha, target, lun};
          driveCount_ = index + 1;
        }
      }
    }
  }
  ReportDeviceProblems();
  Report(DriveEvent::DrivesChecked);
}

std::vector<DiscDrives::NodeProblem> DiscDrives::NodeProblems() const {
  std::vector<NodeProblem> problems;
  if (!library_.deviceProblems) return problems;
  char buffer[4096];
  library_.deviceProblems(buffer, sizeof buffer);
  buffer[sizeof buffer - 1] = '\0';
  std::string_view text(buffer);
  while (!text.empty() && problems.size() < 16) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    const auto tab = line.find('\t');
    if (tab != std::string_view::npos && tab > 0) {
      NodeProblem p;
      p.node = std::string(line.substr(0, tab));
      const std::string_view rest = line.substr(tab + 1);
      std::from_chars(rest.data(), rest.data() + rest.size(), p.error);
      const auto second = rest.find('\t');
      if (second != std::string_view::npos) p.address = std::string(rest.substr(second + 1));
      problems.push_back(std::move(p));
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return problems;
}

std::optional<DiscDrives::OpenFailure> DiscDrives::OpenProblem(int haId, int target, int lun) const {
  const std::string address = std::to_string(haId) + ":" + std::to_string(target) + ":" + std::to_string(lun);
  for (const auto& p : NodeProblems())
    if (p.address == address) return OpenFailure{p.node, p.error};
  return std::nullopt;
}

void DiscDrives::ReportDeviceProblems() {
  std::vector<std::pair<std::string, int>> problems;
  for (const auto& p : NodeProblems()) problems.emplace_back(p.node, p.error);
  if (!problems.empty() && report_) report_({DriveEvent::NodesUnopenable, std::move(problems)});
}

std::uint16_t DiscDrives::GetDeviceType(int haId, int target, int lun) {
  SlAspiDeviceTypeBlock b{};
  b.command = SL_ASPI_CMD_GET_DEVICE_TYPE;
  b.hostAdapter = static_cast<std::uint8_t>(haId);
  b.target = static_cast<std::uint8_t>(target);
  b.lun = static_cast<std::uint8_t>(lun);
  if (library_.sendCommand && library_.sendCommand(&b) == SL_ASPI_STATUS_COMPLETED) {
    Report(DriveEvent::DeviceFound);
    return b.deviceType;
  }
  Report(DriveEvent::NoDevice);
  return kNoDevice;
}

std::string DiscDrives::GetStandardInquiry(int haId, int target, int lun) {
  constexpr std::uint32_t kInquiryLength = 32;
  auto r = Request::Make(haId, target, lun, kInquiryLength, {0x12, 0, 0, 0, kInquiryLength, 0});
  if (!RunPolled(r) || r->Status() != SL_ASPI_STATUS_COMPLETED) return "";
  return InquiryName(r->Reply());
}

bool DiscDrives::UnitReady(int haId, int target, int lun) {
  auto r = Request::Make(haId, target, lun, 0, {0, 0, 0, 0, 0, 0});
  if (!RunWithEvent(r->block, &r)) return false;
  return r->Status() == SL_ASPI_STATUS_COMPLETED && TargetStatusGood(r->block.targetStatus);
}

bool DiscDrives::ExecuteScsiCommand(SlAspiExecBlock& block) { return RunWithEvent(block, nullptr); }

bool DiscDrives::RunWithEvent(SlAspiExecBlock& block, std::unique_ptr<Request>* owner) {
  if (!library_.sendCommand) return false;
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return false;
  block.flags |= SL_ASPI_FLAG_POST;
  block.post = static_cast<std::uintptr_t>(fd);
  if (library_.sendCommand(&block) != SL_ASPI_STATUS_PENDING) {
    close(fd);
    return true;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + commandTimeout_;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (n > 0) {
      close(fd);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && Clock::now() < deadline) continue;
    break;  // timed out (or the wait itself failed: treat it the same way)
  }
  if (AbortRequest(block.hostAdapter, block)) {
    close(fd);
  } else {
    KeepAfterFailedAbort(owner, fd);
  }
  return false;
}

bool DiscDrives::RunPolled(std::unique_ptr<Request>& request) {
  if (!library_.sendCommand) return false;
  SlAspiExecBlock& b = request->block;
  std::uint32_t result = library_.sendCommand(&b);
  if (result != SL_ASPI_STATUS_PENDING) {
    // Finished inside the call; a layer that only returned the status still
    // gets it recorded in the block.
    if (LoadStatus(b.status) == SL_ASPI_STATUS_PENDING) b.status = static_cast<std::uint8_t>(result);
    return true;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + pollTimeout_;
  while (LoadStatus(b.status) == SL_ASPI_STATUS_PENDING) {
    if (Clock::now() >= deadline) {
      if (!AbortRequest(b.hostAdapter, b)) KeepAfterFailedAbort(&request, -1);
      return false;
    }
    platform::ProcessMessages();
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

void DiscDrives::KeepAfterFailedAbort(std::unique_ptr<Request>* owner, int fd) {
  if (owner && *owner) orphanRequests_.push_back(std::move(*owner));
  if (fd >= 0) orphanFds_.push_back(fd);
}

bool DiscDrives::AbortRequest(int haId, SlAspiExecBlock& block) {
  SlAspiAbortBlock a{};
  a.command = SL_ASPI_CMD_ABORT;
  a.hostAdapter = static_cast<std::uint8_t>(haId);
  a.request = &block;
  if (library_.sendCommand && library_.sendCommand(&a) == SL_ASPI_STATUS_COMPLETED) return true;
  Report(DriveEvent::AbortFailed);
  return false;
}

void DiscDrives::AbortStuckRequest(int haId, SlAspiExecBlock& block) { AbortRequest(haId, block); }

bool DiscDrives::TargetStatusGood(std::uint8_t targetStatus) { return targetStatus == SL_SCSI_STATUS_GOOD; }

std::uintptr_t DiscDrives::ConvParagraphBoundary(std::uintptr_t address) {
  return (address + 16) & ~std::uintptr_t{15};
}

bool DiscDrives::ReadTrackTable(int haId, int target, int lun, DiscToc& toc) {
  if (!UnitReady(haId, target, lun) || !UnitReady(haId, target, lun)) return false;
  // READ TOC format 1 (session information), MSF. The allocation length
  // matches the buffer, so the drive can never be invited to write past it.
  auto r = Request::Make(haId, target, lun, kReplyBufferSize,
                         {0x43, 0x02, 0x01, 0, 0, 0, 0, kReplyBufferSize >> 8, kReplyBufferSize & 0xFF, 0});
  int first = 0;
  if (RunPolled(r) && r->Status() == SL_ASPI_STATUS_COMPLETED && TargetStatusGood(r->block.targetStatus)) {
    first = LastSessionFirstTrack(r->Reply());
  }
  toc.LastSessionFirstTrack = first;
  return true;
}

DiscDrives::TocResult DiscDrives::ReadToc(int haId, int target, int lun, DiscToc& toc) {
  toc.TrackCount = 0;
  if (!UnitReady(haId, target, lun) || !UnitReady(haId, target, lun)) return TocResult::NotReady;
  auto r =
      Request::Make(haId, target, lun, kReplyBufferSize,
                    {0x43, 0x02, 0x00, 0, 0, 0, 0x01, kReplyBufferSize >> 8, kReplyBufferSize & 0xFF, 0});
  if (!RunWithEvent(r->block, &r)) return TocResult::Failed;
  if (r->Status() != SL_ASPI_STATUS_COMPLETED || !TargetStatusGood(r->block.targetStatus))
    return TocResult::Failed;
  // A reply that is not a sound TOC of tracks 1..99 counts as a failed read.
  if (!ParseTocReply(r->Reply(), toc)) return TocResult::Failed;
  return TocResult::Ok;
}

DiscDrives::CdTextReply DiscDrives::ReadCdText(int haId, int target, int lun) {
  using Outcome = CdTextReply::Outcome;
  // READ TOC format 5 asking for `allocation` bytes: the reply as far as its
  // header's length and the allocation go.
  auto read = [&](std::uint32_t allocation) -> CdTextReply {
    auto r = Request::Make(haId, target, lun, allocation,
                           {0x43, 0x00, 0x05, 0, 0, 0, 0, static_cast<std::uint8_t>(allocation >> 8),
                            static_cast<std::uint8_t>(allocation & 0xFF), 0});
    if (!RunWithEvent(r->block, &r)) return {Outcome::Failed, {}};
    if (r->Status() != SL_ASPI_STATUS_COMPLETED) return {Outcome::Failed, {}};
    // CHECK CONDITION (ILLEGAL REQUEST for a disc without CD-Text, or any
    // other sense): nothing to read, and nothing to tell the user.
    if (!TargetStatusGood(r->block.targetStatus)) return {Outcome::NoCdText, {}};
    const auto reply = r->Reply();
    const std::size_t whole = ReplyDataLength(reply) + 2;
    if (whole < 4 + kCdTextPackSize) return {Outcome::NoCdText, {}};
    const std::size_t length = std::min(reply.size(), whole);
    return {Outcome::Read, {reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length)}};
  };
  // The four-byte header first: a disc without CD-Text (most discs) is
  // answered without a 36 KiB reply area, and a disc with it is read for
  // the length its header gives, within the bound.
  constexpr std::uint32_t kHeaderSize = 4;
  CdTextReply header = read(kHeaderSize);
  if (header.outcome != Outcome::Read) return header;
  const std::size_t whole = ReplyDataLength(header.bytes) + 2;
  return read(static_cast<std::uint32_t>(std::min<std::size_t>(whole, kCdTextAllocation)));
}

void NumberRows(shell::TrackTitleTable& table, const DiscToc& toc) {
  table.SetRowCount(toc.TrackCount + 1);
  for (int k = 1; k <= toc.TrackCount; ++k) {
    table.SetCell(0, k, std::to_string(k));
    table.SetCell(1, k, "");
  }
}

std::optional<DiscToc> ParseTocText(std::string_view text, int lastSessionFirstTrack, std::string& why) {
  DiscToc toc;
  std::vector<MsfAddress> addresses;
  std::size_t i = 0;
  int item = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= text.size()) break;
    std::size_t end = i;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    const std::string_view word = text.substr(i, end - i);
    i = end;
    ++item;
    if (addresses.size() > static_cast<std::size_t>(kMaxTracks)) {
      why = "more than 99 tracks (item " + std::to_string(item) + ")";
      return std::nullopt;
    }
    int parts[3] = {-1, -1, -1};
    std::size_t at = 0;
    bool ok = true;
    for (int k = 0; k < 3 && ok; ++k) {
      const auto r = std::from_chars(word.data() + at, word.data() + word.size(), parts[k]);
      ok = r.ec == std::errc() && r.ptr != word.data() + at;
      at = static_cast<std::size_t>(r.ptr - word.data());
      if (ok && k < 2) ok = at < word.size() && word[at++] == ':';
    }
    ok = ok && at == word.size() && parts[0] >= 0 && parts[0] <= 99 && parts[1] >= 0 && parts[1] <= 59 &&
         parts[2] >= 0 && parts[2] <= 74;
    const MsfAddress a{parts[0], parts[1], parts[2]};
    if (ok && !addresses.empty() && FrameOffset(a) <= FrameOffset(addresses.back())) {
      why = "'" + std::string(word) + "' (item " + std::to_string(item) +
            ") does not come after the item before it";
      return std::nullopt;
    }
    if (!ok) {
      why = "'" + std::string(word) + "' (item " + std::to_string(item) +
            ") is not M:S:F (minutes 0-99, seconds 0-59, frames 0-74)";
      return std::nullopt;
    }
    addresses.push_back(a);
  }
  if (addresses.size() < 2) {
    why = "a table of contents needs at least one track start and the lead-out";
    return std::nullopt;
  }
  toc.TrackCount = static_cast<std::int32_t>(addresses.size() - 1);
  std::copy(addresses.begin(), addresses.end(), toc.Entries.begin());
  if (lastSessionFirstTrack < 0 || lastSessionFirstTrack > toc.TrackCount) {
    why = "the last session's first track " + std::to_string(lastSessionFirstTrack) + " is not 0 to " +
          std::to_string(toc.TrackCount);
    return std::nullopt;
  }
  toc.LastSessionFirstTrack = lastSessionFirstTrack;
  return toc;
}

std::optional<DriveAddress> DiscDrives::Drive(int index) const {
  if (index < 0 || index >= driveCount_) return std::nullopt;
  return driveTable_[static_cast<std::size_t>(index)];
}

}  // namespace sl::disc
