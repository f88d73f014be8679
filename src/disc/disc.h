// Disc access: the ASPI layer, CD-ROM drive discovery, the SCSI commands the
// program sends (TEST UNIT READY, INQUIRY, READ TOC), the table of contents,
// the CDDB disc ID and query text, and the local-database disc key. The
// CD-Text decoder is in disc/cdtext.h.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disc/aspi_loader.h"
#include "shell/model.h"
#include "sonolabel_aspi.h"

namespace sl::disc {

// An absolute disc address as the drive reports it (75 frames a second).
struct MsfAddress {
  std::int32_t Minute = 0, Second = 0, Frame = 0;
};

// The disc's table of contents. Entries[k] is the start of track k+1 and
// Entries[TrackCount] the start of the lead-out; entries beyond the lead-out
// keep whatever an earlier disc left there.
struct DiscToc {
  std::int32_t TrackCount = 0;
  std::array<MsfAddress, 100> Entries{};
  std::int32_t LastSessionFirstTrack = 0;  // 0: single session
};

struct DriveAddress {
  std::int32_t HaId = 0, Target = 0, Lun = 0;
};

inline constexpr int kMaxTracks = 99;
inline constexpr int kMaxDrives = 16;

int FrameOffset(const MsfAddress& a);  // (Minute*60 + Second)*75 + Frame
int Seconds(const MsfAddress& a);      // Minute*60 + Second
int DigitSum(int n);                   // 0 for n <= 0

// The CDDB disc ID of the first `trackCount` tracks of `toc` (0 when
// trackCount is not 1..99).
std::uint32_t CalcDiscId(const DiscToc& toc, int trackCount);
// The local-database disc key; sets the number of tracks it counted.
std::uint32_t CalcLocalDiscKey(const DiscToc& toc, std::int32_t& localKeyTrackCount);
// The disc as the query names it: the disc ID, the track count, each track's
// frame offset and the disc length in seconds, joined by `separator`:
// "23026203 3 150 18630 35212 612" with a blank (the line cd-discid prints),
// the same with "+" in the query. A TOC without tracks gives "00000000 0".
std::string DiscIdFields(const DiscToc& toc, char separator);
// "cmd=cddb+query+23026203+3+150+18630+35212+612"
std::string QueryCommandFor(const DiscToc& toc);
std::string DiscIdHex(std::uint32_t id);  // 8 upper-case hex digits

// A table of contents given as text, the form of the simulated drives file:
// "M:S:F ..." track starts, then the lead-out (1 to 99 tracks, strictly
// increasing), and the last session's first track (0: single session).
// nullopt with `why` naming the first bad item.
std::optional<DiscToc> ParseTocText(std::string_view text, int lastSessionFirstTrack, std::string& why);

// Gives the grid one row per track of `toc`, numbered, with empty titles.
void NumberRows(shell::TrackTitleTable& table, const DiscToc& toc);

// What the drive side reports while it loads the layer and looks for
// drives; the window decides how each is shown.
enum class DriveEvent {
  LayerNotLoaded,   // the layer's file could not be loaded
  LayerUnusable,    // an entry point is missing or the layer calls itself unusable
  DeviceFound,      // a device answered at an address being probed
  NoDevice,         // no device at an address being probed
  NodesUnopenable,  // device nodes the layer could not open (`problems`)
  DrivesChecked,    // the drive scan is over
  AbortFailed,      // the layer refused to abort a timed-out request
};
inline constexpr int kDriveEventCount = static_cast<int>(DriveEvent::AbortFailed) + 1;

struct DriveReport {
  DriveEvent event = DriveEvent::DrivesChecked;
  std::vector<std::pair<std::string, int>> problems;  // node and errno
};
using DriveHook = std::function<void(const DriveReport&)>;

// Checks a READ TOC (format 0, MSF) reply and, when it is a sound TOC of
// tracks 1..N (N <= 99) with a lead-out, stores TrackCount and Entries 0..N
// in `toc`. Anything else (short, garbage, first track other than 1, more
// than 99 tracks) leaves `toc` untouched and returns false.
bool ParseTocReply(std::span<const std::uint8_t> reply, DiscToc& toc);

// The drive's name from a standard INQUIRY reply: vendor and product
// identification (bytes 8 on, up to the additional length in byte 4), cut at
// the first byte that is not printable ASCII. "名称なし" when nothing is left.
std::string InquiryName(std::span<const std::uint8_t> reply);

// The first track of the last session from a READ TOC format 1 (session
// information) reply; 0 for a single-session disc or a reply that is short
// or names no valid track.
int LastSessionFirstTrack(std::span<const std::uint8_t> reply);

// The drive side of the main window: the loaded ASPI layer, the drive table,
// and the commands sent to a drive.
class DiscDrives {
 public:
  // `report` hears every DriveEvent; unset, they are dropped.
  DiscDrives(shell::ShellModel& model, DriveHook report);
  ~DiscDrives();  // unloads the layer
  DiscDrives(const DiscDrives&) = delete;
  DiscDrives& operator=(const DiscDrives&) = delete;

  // Loads the layer; reports LayerNotLoaded when the file cannot be loaded
  // and LayerUnusable when an entry point is missing or the layer reports
  // itself unusable.
  bool LoadAspiLayer(const std::string& layerPath);
  void UnloadAspiLayer();

  // Finds every CD-ROM drive (adapter, then LUN, then target fastest), names
  // it, fills the drive box and the drive table (first 16 drives), then
  // reports DrivesChecked. Device nodes the layer could not open (a user
  // not in the cdrom group) are reported together before that.
  void ScanDrives();

  std::uint16_t GetDeviceType(int haId, int target, int lun);  // 0xFFFF when absent
  std::string GetStandardInquiry(int haId, int target, int lun);
  bool UnitReady(int haId, int target, int lun);  // TEST UNIT READY passed

  // Runs `block` with a completion event and the command time-out. True when
  // the request finished (check its status and target status); false when
  // the event could not be made, there is no layer, or the wait timed out
  // (the request is then aborted). After a time-out whose abort failed the
  // layer may still write to `block` and its buffer, so they must outlive
  // the layer.
  bool ExecuteScsiCommand(SlAspiExecBlock& block);
  // Aborts `block`; reports AbortFailed when the layer refuses.
  void AbortStuckRequest(int haId, SlAspiExecBlock& block);
  static bool TargetStatusGood(std::uint8_t targetStatus);
  // Rounds up to the next multiple of 16, always moving by 1 to 16 bytes.
  static std::uintptr_t ConvParagraphBoundary(std::uintptr_t address);

  // Reads the session information into toc.LastSessionFirstTrack. False
  // when the drive was not ready (twice); toc is then unchanged.
  bool ReadTrackTable(int haId, int target, int lun, DiscToc& toc);

  // The drive part of reading a disc: TrackCount := 0; double TEST UNIT
  // READY (NotReady if either fails); READ TOC; on success the TOC is stored
  // in `toc`. A failed or unsound reply gives Failed with TrackCount 0. The
  // grid is the window's to fill from the result.
  enum class TocResult { NotReady, Failed, Ok };
  TocResult ReadToc(int haId, int target, int lun, DiscToc& toc);

  // READ TOC/PMA/ATIP format 5: the CD-Text packs of the disc in the drive,
  // the reply's bytes as the drive gave them (header included, cut to the
  // length its header announces when that is shorter; decode them with
  // DecodeCdText). A drive that answers with CHECK CONDITION (a disc
  // without CD-Text, a drive that cannot read it), or a reply without
  // packs, gives NoCdText; a request that failed or timed out gives Failed.
  // Neither shows anything: CD-Text is a bonus, its absence no error.
  struct CdTextReply {
    enum class Outcome { Read, NoCdText, Failed } outcome = Outcome::NoCdText;
    std::vector<std::uint8_t> bytes;
  };
  CdTextReply ReadCdText(int haId, int target, int lun);

  // The device node of a drive that the layer could not open (no
  // permission, gone, busy) and the errno it got; nullopt when the layer
  // names no such node for the drive.
  struct OpenFailure {
    std::string node;
    int error = 0;
  };
  std::optional<OpenFailure> OpenProblem(int haId, int target, int lun) const;

  int HostAdapterCount() const { return hostAdapterCount_; }
  int DriveCount() const { return driveCount_; }
  // The drive table entry of drive box item `index`; nullopt out of range.
  std::optional<DriveAddress> Drive(int index) const;

  // Bounds of the waits: the event wait of ExecuteScsiCommand and the status
  // polls of INQUIRY and the session information. Both 10 s by default.
  void SetCommandTimeout(std::chrono::milliseconds t) { commandTimeout_ = t; }
  void SetPollTimeout(std::chrono::milliseconds t) { pollTimeout_ = t; }

  struct Request;  // an execute block with its aligned data buffer

 private:
  bool RunWithEvent(SlAspiExecBlock& block, std::unique_ptr<Request>* owner);
  bool RunPolled(std::unique_ptr<Request>& request);
  bool AbortRequest(int haId, SlAspiExecBlock& block);
  void KeepAfterFailedAbort(std::unique_ptr<Request>* owner, int fd);
  void ReleaseOrphans(bool layerGone);
  void ReportDeviceProblems();
  // The layer's list of nodes it could not open: node, errno, and the
  // drive's "adapter:target:lun" when the layer gives it.
  struct NodeProblem {
    std::string node;
    int error = 0;
    std::string address;
  };
  std::vector<NodeProblem> NodeProblems() const;

  shell::ShellModel& model_;
  DriveHook report_;
  void Report(DriveEvent event) const {
    if (report_) report_({event, {}});
  }
  disc::AspiLibrary library_;
  int hostAdapterCount_ = -1;
  std::array<DriveAddress, kMaxDrives> driveTable_{};
  int driveCount_ = 0;
  std::chrono::milliseconds commandTimeout_{10000};
  std::chrono::milliseconds pollTimeout_{10000};
  // Requests (and their eventfds) a layer refused to abort: the layer may
  // still write to them, so they live until the layer is unloaded.
  std::vector<std::unique_ptr<Request>> orphanRequests_;
  std::vector<int> orphanFds_;
};

}  // namespace sl::disc
