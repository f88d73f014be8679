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
  std::optional<std::string> name;
  bool nameKnown = false;
  bool collecting = false;   // inside the section: its lines go to out.lines
  bool done = false;         // the section ended
  bool lastEndsLine = true;  // the last byte read ended a line
  static const text::ByteClasses kSingleBytes;
  // A header line of ASCII text reads the same in every code page; the code
  // page's two-byte classes (found once per process, at a cost) are asked
  // for only for a line that is not.
  const auto classesFor = [&](std::string_view line) -> const text::ByteClasses& {
    return out.utf8 || IsAscii(line) ? kSingleBytes : text::ExternalByteClasses();
  };
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
    // Only whole lines are looked at; a CR at the end of what was read may
    // be the first half of a CR LF.
    std::size_t complete = used;
    if (!eof) {
      complete = 0;
      for (std::size_t i = used; i > 0; --i) {
        const char c = buf[i - 1];
        if (c == '\n' || (c == '\r' && i < used)) {
          complete = i;
          break;
        }
      }
      if (complete == 0) continue;  // no line end yet: read more
    }
    const std::string_view s(buf.data(), complete);
    std::size_t body = 0;
    if (base == 0) {
      out.utf8 = s.substr(0, kBom.size()) == kBom;
      body = out.utf8 ? kBom.size() : 0;
    }
    if (!nameKnown) {
      name = encode(out.utf8);
      nameKnown = true;
      if (!name) done = true;
    }
    if (!s.empty()) lastEndsLine = s.back() == '\n' || s.back() == '\r';
    if (toEnd && out.crlf) out.crlf = HasCrlfLineEnds(s, body);
    std::size_t from = body;
    if (!done && !collecting && name) {
      if (name->empty() && base == 0) {
        out.span = Span{body, body, 0};
        collecting = true;
      } else if (!name->empty()) {
        for (auto h = NextHeaderWith(s, body, from, classesFor); h;
             h = NextHeaderWith(s, body, h->bodyStart, classesFor)) {
          if (NamesEqual(h->name, *name, classesFor(h->name))) {
            out.span = Span{static_cast<std::size_t>(base + h->lineStart),
                            static_cast<std::size_t>(base + h->bodyStart), 0};
            collecting = true;
            from = h->bodyStart;
            break;
          }
        }
      }
    }
    if (collecting) {
      const auto next = NextHeaderWith(s, body, from, classesFor);
      const std::size_t stop = next ? next->lineStart : s.size();
      out.lines.append(s.substr(from, stop - from));
      if (next) {
        out.span->end = static_cast<std::size_t>(base + stop);
        collecting = false;
        done = true;
      }
    }
    base += complete;
    // The unfinished line moves to the front.
    std::memmove(buf.data(), buf.data() + complete, used - complete);
    used -= complete;
    if (eof || (done && !toEnd)) break;
  }
  out.size = base;
  if (collecting) out.span->end = static_cast<std::size_t>(base);
  if (!lastEndsLine) out.crlf = false;
  return 0;
}

}  // namespace sl::inifile::detail
