// Reader of the simulated drives file.
//
// The file named by SONOLABEL_SIM_DRIVES describes one drive per section; the
// section name is the drive's address "adapter:target:lun" (adapter 0-31,
// target 0-7, LUN 0-7). Lines are "key = value"; text after ';' is a
// comment, as are lines starting with '#'. Key names are case-insensitive.
// Keys before the first section apply to the layer as a whole.
//
// Layer keys:
//   support_status = N   status (0-255) reported by GetASPI32SupportInfo
//                        (1 = usable; anything else makes the program
//                        report that the layer could not be initialised)
//
// Drive keys:
//   vendor  = TEXT       INQUIRY vendor, up to 8 printable ASCII characters
//                        (padded with blanks to 8)
//   product = TEXT       INQUIRY product, up to 16 (padded to 16)
//   revision = TEXT      INQUIRY revision, up to 4 (default "1.00")
//   device_type = N      peripheral device type (0-31, default 5 = CD-ROM)
//   toc = M:S:F ...      track starts, then the lead-out: 2 to 100 addresses
//                        (1 to 99 tracks), strictly increasing, second 0-59,
//                        frame 0-74. No toc (and no raw_toc): no disc, TEST
//                        UNIT READY and READ TOC end with CHECK CONDITION.
//   last_session_first_track = N
//                        0 or absent: single session; else the first track
//                        of the last of two sessions (1 to the track count)
//
// Fault-injection keys (all optional, per drive):
//   toc_fail = 1         READ TOC (format 0) ends with CHECK CONDITION
//   toc_status = N       READ TOC (format 0) ends with target status N
//   toc_request_status = N
//                        READ TOC (format 0) ends with request status N
//                        (e.g. 4 = error) instead of 1
//   session_fail = 1     READ TOC format 1 (session info) ends with CHECK
//                        CONDITION
//   delay_ms = N         every command completes N ms (0-60000) later from a
//                        worker thread instead of at once
//   never_complete = OPS a command that never finishes until aborted. OPS is
//                        "1" (= toc) or a list of: tur inquiry toc session
//                        cdtext all
//   abort_fails = 1      aborting a request of this drive fails
//   inquiry_empty = 1    INQUIRY vendor and product bytes are all zero
//   inquiry_fail = 1     INQUIRY ends with request status 4 (error)
//   raw_toc = HEX ...    READ TOC format 0 replies with exactly these bytes
//                        (up to 2048, hex pairs, blanks allowed between
//                        bytes); implies a disc is present
//   raw_session = HEX    the same for READ TOC format 1
//   cdtext = HEX         READ TOC format 5 (CD-Text) replies with exactly
//                        these bytes: the 4-byte header and the 18-byte
//                        packs, hex pairs, blanks allowed between bytes. The
//                        key may be given on several lines in a row (one pack
//                        a line reads best); their bytes join in order, up
//                        to 65535 in all. Without it the disc has no
//                        CD-Text: format 5 ends with CHECK CONDITION,
//                        ILLEGAL REQUEST (invalid field in CDB), as drives
//                        answer for such a disc.
//   report_length = N    after a command with data in, the layer writes N
//                        (0-4294967295) back into the block's buffer length,
//                        as a layer that misreports the transfer would
//   tur_ready = N        only the first N TEST UNIT READY commands pass; later
//                        ones report not ready (a disc ejected meanwhile)
//   open_error = N       the drive's device node cannot be opened, with errno
//                        N (1-4095; 13 = EACCES, a user not in the cdrom
//                        group): the drive is listed, every command to it
//                        ends with request status 4 (error), and the layer's
//                        SlAspiDeviceProblems names it as "sim:a:t:l"
//
// Anything else (unknown key or section, a bad address, a value out of
// range, a line over 4096 bytes, a file over 1 MiB or unreadable, more than
// 256 sections) is an error naming the file and line; the layer then reports
// itself unusable.
#include "sim_drives.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

namespace sl::aspisim {
namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxLineBytes = 4096;
constexpr std::size_t kMaxSections = 256;
constexpr std::size_t kMaxRawBytes = 2048;
constexpr std::size_t kMaxCdTextBytes = 0xFFFF;  // READ TOC's allocation length is 16 bits
constexpr int kMaxAdapter = 31;

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A whole decimal (or 0x hex) number in [lo, hi].
bool ParseInt(const std::string& s, int lo, int hi, int& out) {
  if (s.empty()) return false;
  int base = 10;
  std::size_t start = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    start = 2;
  }
  long v = 0;
  auto r = std::from_chars(s.data() + start, s.data() + s.size(), v, base);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  if (v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseFlag(const std::string& s, bool& out) {
  int v = 0;
  if (!ParseInt(s, 0, 1, v)) return false;
  out = v != 0;
  return true;
}

bool ParseMsf(const std::string& s, Msf& out) {
  // M:S:F with one to three digits per field.
  int parts[3] = {0, 0, 0};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    std::size_t end = i < 2 ? s.find(':', pos) : s.size();
    if (end == std::string::npos) return false;
    std::string field = s.substr(pos, end - pos);
    if (field.empty() || field.size() > 3 ||
        !std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    parts[i] = std::stoi(field);
    pos = end + 1;
  }
  if (parts[0] > 255 || parts[1] > 59 || parts[2] > 74) return false;
  out = {parts[0], parts[1], parts[2]};
  return true;
}

// Appends the bytes of hex pairs to out, which may hold at most `max`.
bool ParseHex(const std::string& s, std::vector<std::uint8_t>& out, std::string& why,
              std::size_t max = kMaxRawBytes) {
  int half = -1;
  for (char c : s) {
    if (c == ' ' || c == '\t') {
      if (half >= 0) {
        why = "odd number of hex digits in a byte";
        return false;
      }
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else {
      why = "not a hex digit: '" + std::string(1, c) + "'";
      return false;
    }
    if (half < 0) {
      half = v;
    } else {
      if (out.size() >= max) {
        why = "more than " + std::to_string(max) + " bytes";
        return false;
      }
      out.push_back(static_cast<std::uint8_t>(half * 16 + v));
      half = -1;
    }
  }
  if (half >= 0) {
    why = "odd number of hex digits";
    return false;
  }
  return true;
}

bool ParseOps(const std::string& s, unsigned& out) {
  if (s == "1") {
    out = kOpReadToc;
    return true;
  }
  if (s == "0") {
    out = 0;
    return true;
  }
  std::istringstream words(s);
  std::string w;
  out = 0;
  while (words >> w) {
    w = Lower(w);
    if (w == "tur") out |= kOpTestUnitReady;
    else if (w == "inquiry") out |= kOpInquiry;
    else if (w == "toc") out |= kOpReadToc;
    else if (w == "session") out |= kOpSessionInfo;
    else if (w == "cdtext") out |= kOpCdText;
    else if (w == "all") out |= kOpAll;
    else return false;
  }
  return out != 0;
}

bool PrintableAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

bool ParseSectionName(const std::string& name, int& a, int& t, int& l) {
  std::size_t c1 = name.find(':');
  std::size_t c2 = c1 == std::string::npos ? c1 : name.find(':', c1 + 1);
  if (c2 == std::string::npos) return false;
  return ParseInt(name.substr(0, c1), 0, kMaxAdapter, a) &&
         ParseInt(name.substr(c1 + 1, c2 - c1 - 1), 0, 7, t) && ParseInt(name.substr(c2 + 1), 0, 7, l);
}

// Applies one drive key; returns an error text or "".
std::string ApplyDriveKey(SimDrive& d, const std::string& key, const std::string& value) {
  auto range = [](const char* what) { return std::string(what) + " out of range or not a number"; };
  if (key == "vendor" || key == "product" || key == "revision") {
    std::size_t max = key == "vendor" ? 8 : key == "product" ? 16 : 4;
    if (value.size() > max) return key + " longer than " + std::to_string(max) + " characters";
    if (!PrintableAscii(value)) return key + " must be printable ASCII";
    (key == "vendor" ? d.vendor : key == "product" ? d.product : d.revision) = value;
    return "";
  }
  if (key == "device_type") return ParseInt(value, 0, 31, d.deviceType) ? "" : range("device_type");
  if (key == "toc") {
    std::istringstream words(value);
    std::string w;
    d.toc.clear();
    while (words >> w) {
      Msf m;
      if (!ParseMsf(w, m)) return "bad M:S:F address '" + w + "'";
      if (d.toc.size() >= 100) return "more than 99 tracks";
      if (!d.toc.empty()) {
        const Msf& p = d.toc.back();
        if (std::tie(m.minute, m.second, m.frame) <= std::tie(p.minute, p.second, p.frame))
          return "addresses must increase ('" + w + "')";
      }
      d.toc.push_back(m);
    }
    if (d.toc.size() < 2) return "toc needs at least one track and the lead-out";
    return "";
  }
  if (key == "last_session_first_track")
    return ParseInt(value, 0, 99, d.lastSessionFirstTrack) ? "" : range(key.c_str());
  if (key == "toc_fail") return ParseFlag(value, d.tocFail) ? "" : "toc_fail must be 0 or 1";
  if (key == "toc_status") return ParseInt(value, 0, 255, d.tocStatus) ? "" : range("toc_status");
  if (key == "toc_request_status")
    return ParseInt(value, 0, 255, d.tocRequestStatus) ? "" : range("toc_request_status");
  if (key == "session_fail") return ParseFlag(value, d.sessionFail) ? "" : "session_fail must be 0 or 1";
  if (key == "delay_ms") return ParseInt(value, 0, 60000, d.delayMs) ? "" : range("delay_ms");
  if (key == "never_complete")
    return ParseOps(value, d.neverComplete)
               ? ""
               : "never_complete: 1, 0 or a list of tur inquiry toc session cdtext all";
  if (key == "abort_fails") return ParseFlag(value, d.abortFails) ? "" : "abort_fails must be 0 or 1";
  if (key == "inquiry_empty") return ParseFlag(value, d.inquiryEmpty) ? "" : "inquiry_empty must be 0 or 1";
  if (key == "inquiry_fail") return ParseFlag(value, d.inquiryFail) ? "" : "inquiry_fail must be 0 or 1";
  if (key == "report_length") {
    long long v = 0;
    const auto* end = value.data() + value.size();
    auto [p, ec] = std::from_chars(value.data(), end, v);
    if (ec != std::errc() || p != end || v < 0 || v > 0xFFFFFFFFLL) return range("report_length");
    d.reportLength = v;
    return "";
  }
  if (key == "open_error") return ParseInt(value, 1, 4095, d.openError) ? "" : range("open_error");
  if (key == "tur_ready") return ParseInt(value, 0, 1000000, d.turReady) ? "" : range("tur_ready");
  if (key == "raw_toc" || key == "raw_session") {
    std::string why;
    auto& bytes = key == "raw_toc" ? d.rawToc : d.rawSession;
    bytes.clear();
    if (!ParseHex(value, bytes, why)) return key + ": " + why;
    (key == "raw_toc" ? d.hasRawToc : d.hasRawSession) = true;
    return "";
  }
  if (key == "cdtext") {
    std::string why;
    if (!ParseHex(value, d.cdText, why, kMaxCdTextBytes)) return key + ": " + why;
    return "";
  }
  return "unknown key '" + key + "'";
}

}  // namespace

int SimConfig::AdapterCount() const {
  int highest = -1;
  for (const auto& d : drives) highest = std::max(highest, d.adapter);
  return highest + 1;
}

const SimDrive* SimConfig::Find(int adapter, int target, int lun) const {
  for (const auto& d : drives)
    if (d.adapter == adapter && d.target == target && d.lun == lun) return &d;
  return nullptr;
}

bool ParseSimDrives(const std::string& text, const std::string& name, SimConfig& out, std::string& error) {
  SimConfig cfg;
  std::set<std::string> keysSeen;  // of the current section
  std::string lastKey;             // of the line before, in the current section
  SimDrive* drive = nullptr;
  std::size_t lineNo = 0, pos = 0;
  auto fail = [&](const std::string& what) {
    error = name + ":" + std::to_string(lineNo) + ": " + what;
    return false;
  };
  cfg.drives.reserve(kMaxSections);  // pointers into it stay valid
  while (pos < text.size()) {
    ++lineNo;
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (end - pos > kMaxLineBytes) return fail("line longer than 4096 bytes");
    std::string_view raw(text.data() + pos, end - pos);
    pos = end + 1;
    if (raw.find('\0') != std::string_view::npos) return fail("NUL byte in the file");
    std::size_t semi = raw.find(';');
    std::string line = Trim(raw.substr(0, semi));
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail("section line without ']'");
      std::string sec = Trim(std::string_view(line).substr(1, line.size() - 2));
      int a, t, l;
      if (!ParseSectionName(sec, a, t, l))
        return fail("bad section name [" + sec +
                    "] (want adapter:target:lun, adapter 0-31, target and LUN 0-7)");
      if (cfg.Find(a, t, l)) return fail("drive [" + sec + "] appears twice");
      if (cfg.drives.size() >= kMaxSections) return fail("more than 256 drives");
      cfg.drives.emplace_back();
      drive = &cfg.drives.back();
      drive->adapter = a;
      drive->target = t;
      drive->lun = l;
      keysSeen.clear();
      lastKey.clear();
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected 'key = value' or '[adapter:target:lun]'");
    std::string key = Lower(Trim(std::string_view(line).substr(0, eq)));
    std::string value = Trim(std::string_view(line).substr(eq + 1));
    if (key.empty()) return fail("empty key");
    // cdtext goes on over lines in a row; any other key, once.
    const bool continues = key == "cdtext" && lastKey == key;
    if (!keysSeen.insert(key).second && !continues) return fail("key '" + key + "' given twice");
    lastKey = key;
    if (!drive) {
      if (key != "support_status") return fail("key '" + key + "' outside a drive section");
      if (!ParseInt(value, 0, 255, cfg.supportStatus))
        return fail("support_status out of range or not a number");
      continue;
    }
    std::string why = ApplyDriveKey(*drive, key, value);
    if (!why.empty()) return fail(why);
  }
  for (const auto& d : cfg.drives) {
    int tracks = static_cast<int>(d.toc.size()) - 1;
    if (d.lastSessionFirstTrack > 0 && (d.toc.empty() || d.lastSessionFirstTrack > tracks)) {
      lineNo = 0;
      return fail("drive " + std::to_string(d.adapter) + ":" + std::to_string(d.target) + ":" +
                  std::to_string(d.lun) + ": last_session_first_track beyond the last track");
    }
  }
  out = std::move(cfg);
  return true;
}

bool LoadSimDrives(const std::string& path, SimConfig& out, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = path + ":0: no such drives file (or not a regular file)";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ":0: cannot open the drives file";
    return false;
  }
  // Read in pieces up to one byte past the bound: a drives file is a few
  // KiB, and zeroing a 1 MiB buffer for it cost more than the whole parse.
  std::string text;
  char piece[16384];
  while (text.size() <= kMaxFileBytes && in.read(piece, sizeof piece).gcount() > 0) {
    text.append(piece, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) {
    error = path + ":0: cannot read the drives file";
    return false;
  }
  if (text.size() > kMaxFileBytes) {
    error = path + ":0: drives file larger than 1 MiB";
    return false;
  }
  return ParseSimDrives(text, path, out, error);
}

}  // namespace sl::aspisim
