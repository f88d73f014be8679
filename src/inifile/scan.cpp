// Reading a file through in blocks for one section, without keeping the
// rest of it.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inifile/internal.h"

namespace sl::inifile::detail {

using text::IsAscii;

namespace {

// Block size of the scan: large enough that the system calls cost little,
// small enough to stay in the processor's cache.
constexpr std::size_t kScanBlockBytes = std::size_t{256} << 10;

// The end of the last whole line of what was read: a CR at the very end may
// be the first half of a CR LF. 0 while no line has ended; at the end of the
// file everything read counts.
std::size_t WholeLinesEnd(std::string_view read, bool eof) {
  if (eof) return read.size();
  for (std::size_t i = read.size(); i > 0; --i) {
    const char c = read[i - 1];
    if (c == '\n' || (c == '\r' && i < read.size())) return i;
  }
  return 0;
}

// Finds the section in the blocks of whole lines fed to it, one after the
// other, and keeps its lines and offsets in `out`.
class SectionCollector {
 public:
  explicit SectionCollector(FoundSection& out) : out_(out) {}

  // Whether the section was found and has ended (or cannot be found).
  bool Done() const { return done_; }
  // Learns the wanted name in the file's encoding once the byte-order mark
  // is known; nullopt: no section can match.
  void SetName(std::optional<std::string> name) {
    name_ = std::move(name);
    if (!name_) done_ = true;
  }
  // One block `s` of whole lines at file offset `base`; its lines start at
  // `body` (after a byte-order mark in the first block).
  void Feed(std::string_view s, std::size_t body, std::uint64_t base) {
    const auto classesFor = [this](std::string_view line) -> const text::ByteClasses& {
      return ClassesFor(line);
    };
    std::size_t from = body;
    if (!done_ && !collecting_ && name_) {
      if (name_->empty() && base == 0) {
        out_.span = Span{body, body, 0};
        collecting_ = true;
      } else if (!name_->empty()) {
        for (auto h = NextHeaderWith(s, body, from, classesFor); h;
             h = NextHeaderWith(s, body, h->bodyStart, classesFor)) {
          if (NamesEqual(h->name, *name_, classesFor(h->name))) {
            out_.span = Span{static_cast<std::size_t>(base + h->lineStart),
                             static_cast<std::size_t>(base + h->bodyStart), 0};
            collecting_ = true;
            from = h->bodyStart;
            break;
          }
        }
      }
    }
    if (collecting_) {
      const auto next = NextHeaderWith(s, body, from, classesFor);
      const std::size_t stop = next ? next->lineStart : s.size();
      out_.lines.append(s.substr(from, stop - from));
      if (next) {
        out_.span->end = static_cast<std::size_t>(base + stop);
        collecting_ = false;
        done_ = true;
      }
    }
  }
  // The file ended at `size`: a section still open ends there.
  void End(std::uint64_t size) {
    if (collecting_) out_.span->end = static_cast<std::size_t>(size);
  }

 private:
  FoundSection& out_;
  std::optional<std::string> name_;
  bool collecting_ = false;  // inside the section: its lines go to out.lines
  bool done_ = false;        // the section ended
  // A header line of ASCII text reads the same in every code page; the code
  // page's two-byte classes (found once per process, at a cost) are asked
  // for only for a line that is not.
  const text::ByteClasses& ClassesFor(std::string_view line) const {
    static const text::ByteClasses kSingleBytes;
    return out_.utf8 || IsAscii(line) ? kSingleBytes : text::ExternalByteClasses();
  }
};

}  // namespace

int ScanForSection(int fd, std::uint64_t sizeHint,
                   const std::function<std::optional<std::string>(bool utf8)>& encode, bool toEnd,
                   FoundSection& out) {
  out = FoundSection{};
  // A small file needs no more than its size (and a byte to see its end).
  std::string buf;
  buf.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kScanBlockBytes, sizeHint + 1)));
  std::size_t used = 0;    // bytes in buf
  std::uint64_t base = 0;  // file offset of buf[0]
  SectionCollector section(out);
  bool lastEndsLine = true;  // the last byte read ended a line
  for (;;) {
    if (used == buf.size()) {
      // A line longer than the buffer: the buffer grows, within the bound.
      if (buf.size() > Profile::kMaxFileBytes) return EFBIG;
      buf.resize(std::min(std::max(buf.size() * 2, kScanBlockBytes), Profile::kMaxFileBytes + 1));
    }
    const ssize_t n = ::pread(fd, buf.data() + used, buf.size() - used, static_cast<off_t>(base + used));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    const bool eof = n == 0;
    used += static_cast<std::size_t>(n);
    if (base + used > Profile::kMaxFileBytes) return EFBIG;
    // Only whole lines are looked at.
    const std::size_t complete = WholeLinesEnd(std::string_view(buf.data(), used), eof);
    if (complete == 0 && !eof) continue;  // no line end yet: read more
    const std::string_view s(buf.data(), complete);
    std::size_t body = 0;
    if (base == 0) {
      out.utf8 = s.substr(0, kBom.size()) == kBom;
      body = out.utf8 ? kBom.size() : 0;
      section.SetName(encode(out.utf8));
    }
    if (!s.empty()) lastEndsLine = s.back() == '\n' || s.back() == '\r';
    if (toEnd && out.crlf) out.crlf = HasCrlfLineEnds(s, body);
    section.Feed(s, body, base);
    base += complete;
    // The unfinished line moves to the front.
    std::memmove(buf.data(), buf.data() + complete, used - complete);
    used -= complete;
    if (eof || (section.Done() && !toEnd)) break;
  }
  out.size = base;
  section.End(base);
  if (!lastEndsLine) out.crlf = false;
  return 0;
}

}  // namespace sl::inifile::detail
