#include "inifile/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "inifile/replace.h"
#include "platform/pump.h"
#include "text/codepage.h"
#include "text/utf8.h"

namespace sl::inifile {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// A read buffer kept between reads on one thread, so that reading a large
// file again and again neither zero-fills nor faults in fresh memory.
struct Buffer {
  std::unique_ptr<char[]> data;
  std::size_t capacity = 0;
};
constexpr std::size_t kKeptBufferBytes = std::size_t{16} << 20;
thread_local Buffer tSpareBuffer;

// The file's bytes, as read in one go.
class Image {
 public:
  Image() : buf_(std::move(tSpareBuffer)) { tSpareBuffer = Buffer{}; }
  ~Image() {
    if (buf_.capacity <= kKeptBufferBytes && buf_.capacity > tSpareBuffer.capacity) {
      tSpareBuffer = std::move(buf_);
    }
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // Reads the whole file. Returns 0, or the errno of a failure other than
  // the file not existing (which leaves an empty, non-existing image).
  int Load(const std::string& path);
  // Reads the whole of an open file from its start.
  int Load(int fd);

  std::string_view Bytes() const { return {buf_.data.get(), used_}; }
  bool Exists() const { return exists_; }
  bool TooLarge() const { return tooLarge_; }
  std::size_t Body() const { return body_; }  // offset after a byte-order mark
  bool Utf8() const { return utf8_; }         // the file starts with a UTF-8 byte-order mark
  const struct stat& Stat() const { return st_; }

 private:
  void Reserve(std::size_t n) {
    if (n <= buf_.capacity) return;
    auto bigger = std::make_unique_for_overwrite<char[]>(n);
    if (used_ > 0) std::memcpy(bigger.get(), buf_.data.get(), used_);
    buf_.data = std::move(bigger);
    buf_.capacity = n;
  }
  Buffer buf_;
  std::size_t used_ = 0;
  bool exists_ = false;
  bool tooLarge_ = false;
  std::size_t body_ = 0;
  bool utf8_ = false;
  struct stat st_ {};
};

int Image::Load(const std::string& path) {
  // O_NONBLOCK: opening a FIFO put in the file's place must not hang.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  const int err = Load(fd);
  ::close(fd);
  return err;
}

int Image::Load(int fd) {
  used_ = 0;
  int err = 0;
  if (::fstat(fd, &st_) != 0) {
    err = errno;
  } else if (S_ISDIR(st_.st_mode)) {
    err = EISDIR;
  } else if (!S_ISREG(st_.st_mode)) {
    err = EINVAL;
  } else if (static_cast<std::uint64_t>(st_.st_size) > Profile::kMaxFileBytes) {
    tooLarge_ = true;
    err = EFBIG;
  } else {
    // One byte more than the size tells whether the file grew meanwhile.
    Reserve(static_cast<std::size_t>(st_.st_size) + 1);
    for (;;) {
      if (used_ == buf_.capacity) {
        if (used_ > Profile::kMaxFileBytes) {
          tooLarge_ = true;
          err = EFBIG;
          break;
        }
        Reserve(std::min(buf_.capacity * 2, Profile::kMaxFileBytes + 1));
      }
      const ssize_t n =
          ::pread(fd, buf_.data.get() + used_, buf_.capacity - used_, static_cast<off_t>(used_));
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      if (n == 0) break;
      used_ += static_cast<std::size_t>(n);
    }
  }
  if (err != 0) {
    used_ = 0;
    return err;
  }
  exists_ = true;
  if (Bytes().substr(0, kBom.size()) == kBom) {
    utf8_ = true;
    body_ = kBom.size();
  }
  return 0;
}

// How names and values are encoded in one particular file.
class Codec {
 public:
  // `asciiText`: the text this codec will walk (the file, and what is
  // written into it) holds no byte above 0x7F, so no byte of it can start
  // or end a two-byte character whatever the code page.
  explicit Codec(bool utf8, bool asciiText = false) : utf8_(utf8), asciiText_(asciiText) {}
  // The code page's lead and trail bytes are found once per process by
  // probing the converter, which costs more than a whole small run; they
  // are asked for only when a file with such bytes is really parsed (a
  // name looked up in an ASCII file can match no line of it that holds a
  // byte above 0x7F, with or without them).
  const text::ByteClasses& Classes() const {
    static const text::ByteClasses kSingleBytes;
    if (utf8_ || asciiText_) return kSingleBytes;
    if (!classes_) classes_ = text::ExternalByteClasses();
    return *classes_;
  }
  // Throws text::CodePageError.
  std::string Encode(std::string_view text) const {
    if (!utf8_) return sl::text::ToExternal(text);
    if (!sl::text::IsValidUtf8(text)) throw sl::text::CodePageError("テキストが正しいUTF-8ではありません");
    return std::string(text);
  }
  std::optional<std::string> TryEncode(std::string_view text) const {
    try {
      return Encode(text);
    } catch (const sl::text::CodePageError&) {
      return std::nullopt;
    }
  }
  std::string Decode(std::string_view bytes) const {
    return utf8_ ? text::SanitizeUtf8(bytes) : text::FromExternal(bytes);
  }

 private:
  bool utf8_;
  bool asciiText_;
  mutable std::optional<text::ByteClasses> classes_;
};

using text::IsAscii;

// Case-insensitive (ASCII) comparison of two names in the file's encoding;
// the second byte of a two-byte character is compared exactly.
bool NamesEqual(std::string_view a, std::string_view b, const text::ByteClasses& bc) {
  if (a.size() != b.size()) return false;
  const char* p = a.data();
  const char* end = p + a.size();
  const char* q = b.data();
  while (p < end) {
    const std::size_t n = bc.CharLength(p, end);
    if (n == 2) {
      if (p[0] != q[0] || p[1] != q[1]) return false;
    } else if (FoldAscii(*p) != FoldAscii(*q)) {
      return false;
    }
    p += n;
    q += n;
  }
  return true;
}

// Position of the first CR or LF at or after pos (or s.size()).
std::size_t LineEnd(std::string_view s, std::size_t pos) {
  for (std::size_t i = pos; i < s.size(); ++i) {
    if (s[i] == '\r' || s[i] == '\n') return i;
  }
  return s.size();
}

// Start of the line after the line end at end.
std::size_t NextLine(std::string_view s, std::size_t end) {
  if (end >= s.size()) return s.size();
  if (s[end] == '\r' && end + 1 < s.size() && s[end + 1] == '\n') return end + 2;
  return end + 1;
}

enum class LineKind { Blank, Header, Entry };

struct ParsedLine {
  LineKind kind = LineKind::Blank;
  std::string_view name;   // header: the section name
  std::string_view key;    // entry: the key, trimmed
  std::string_view value;  // entry: the value, trimmed (quotes still on)
  bool hasValue = false;
};

// Where "]" closes a header starting with "[" at line[0]: the last "]" that
// is a character of its own. npos when there is none.
std::size_t HeaderClose(std::string_view line, const text::ByteClasses& bc) {
  std::size_t close = std::string_view::npos;
  const char* begin = line.data();
  const char* end = begin + line.size();
  for (const char* p = begin + 1; p < end;) {
    const std::size_t n = bc.CharLength(p, end);
    if (n == 1 && *p == ']') close = static_cast<std::size_t>(p - begin);
    p += n;
  }
  return close;
}

ParsedLine ParseLine(std::string_view line, const text::ByteClasses& bc) {
  ParsedLine out;
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
  if (line.empty()) return out;
  if (line.front() == '[') {
    const std::size_t close = HeaderClose(line, bc);
    if (close != std::string_view::npos) {
      out.kind = LineKind::Header;
      out.name = Trim(line.substr(1, close - 1));
      return out;
    }
  }
  out.kind = LineKind::Entry;
  const char* begin = line.data();
  const char* end = begin + line.size();
  for (const char* p = begin; p < end;) {
    const std::size_t n = bc.CharLength(p, end);
    if (n == 1 && *p == '=') {
      const auto eq = static_cast<std::size_t>(p - begin);
      out.key = Trim(line.substr(0, eq));
      out.value = Trim(line.substr(eq + 1));
      out.hasValue = true;
      return out;
    }
    p += n;
  }
  out.key = line;
  return out;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

// One section header found in the text.
struct Header {
  std::size_t lineStart = 0;  // start of the header's line
  std::size_t bodyStart = 0;  // start of the line after it
  std::string_view name;
};

// The first header at or after from. Headers are found by looking for "["
// and checking that only blanks lie between it and the start of its line, so
// the scan over a large file never splits it into lines. A "[" that is the
// second byte of a two-byte character is preceded by its first byte and so
// is never taken for a header.
// `classesFor(line)` gives the byte classes to read a candidate header line
// with.
template <typename ClassesFor>
std::optional<Header> NextHeaderWith(std::string_view s, std::size_t body, std::size_t from,
                                     ClassesFor&& classesFor) {
  std::size_t pos = from;
  while (pos < s.size()) {
    const void* hit = std::memchr(s.data() + pos, '[', s.size() - pos);
    if (hit == nullptr) return std::nullopt;
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - s.data());
    std::size_t start = at;
    while (start > body && IsBlank(s[start - 1])) --start;
    const bool atLineStart = start == body || s[start - 1] == '\r' || s[start - 1] == '\n';
    if (atLineStart) {
      const std::size_t end = LineEnd(s, at);
      const std::string_view line = s.substr(at, end - at);
      const std::size_t close = HeaderClose(line, classesFor(line));
      if (close != std::string_view::npos) {
        Header h;
        h.lineStart = start;
        h.bodyStart = NextLine(s, end);
        h.name = Trim(line.substr(1, close - 1));
        return h;
      }
    }
    pos = at + 1;
  }
  return std::nullopt;
}

std::optional<Header> NextHeader(std::string_view s, std::size_t body, std::size_t from,
                                 const text::ByteClasses& bc) {
  return NextHeaderWith(s, body, from, [&bc](std::string_view) -> const text::ByteClasses& { return bc; });
}

// The lines of one section: [bodyStart, end).
struct Span {
  std::size_t headerLine = 0;  // start of the header line (bodyStart for the head)
  std::size_t bodyStart = 0;
  std::size_t end = 0;
};

// The first copy of the section with the given (encoded, trimmed) name. An
// empty name means the lines before the first header.
std::optional<Span> FindSection(std::string_view s, std::size_t body, std::string_view name,
                                const text::ByteClasses& bc) {
  if (name.empty()) {
    const auto first = NextHeader(s, body, body, bc);
    return Span{body, body, first ? first->lineStart : s.size()};
  }
  std::size_t pos = body;
  while (auto h = NextHeader(s, body, pos, bc)) {
    if (NamesEqual(h->name, name, bc)) {
      const auto next = NextHeader(s, body, h->bodyStart, bc);
      return Span{h->lineStart, h->bodyStart, next ? next->lineStart : s.size()};
    }
    pos = h->bodyStart;
  }
  return std::nullopt;
}

// Calls fn(parsedLine) for every line of [begin, end); stops when fn returns
// false.
template <typename Fn>
void ForEachLine(std::string_view s, std::size_t begin, std::size_t end, const text::ByteClasses& bc,
                 Fn&& fn) {
  std::size_t pos = begin;
  while (pos < end) {
    const std::size_t e = std::min(LineEnd(s, pos), end);
    if (!fn(ParseLine(s.substr(pos, e - pos), bc))) return;
    pos = NextLine(s, e);
  }
}

// True when every line of s (after the byte-order mark) ends with CR LF:
// as many CRs as LFs as CR LF pairs, and a CR LF at the end. Counted in
// fixed blocks so that the compiler can vectorise the loop; a large file is
// checked in well under a millisecond.
bool HasCrlfLineEnds(std::string_view s, std::size_t body) {
  if (s.size() == body) return true;
  if (s.size() < body + 2 || s[s.size() - 2] != '\r' || s.back() != '\n') return false;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + body;
  const std::size_t n = s.size() - body;
  std::size_t cr = 0, lf = 0, pairs = 0;
  std::size_t i = 0;
  constexpr std::size_t kBlock = 64;  // block sums fit in an unsigned char
  for (; i + kBlock + 1 <= n; i += kBlock) {
    unsigned char bcr = 0, blf = 0, bpairs = 0;
    for (std::size_t j = 0; j < kBlock; ++j) {
      const unsigned char x = p[i + j];
      const unsigned char y = p[i + j + 1];
      bcr = static_cast<unsigned char>(bcr + (x == '\r'));
      blf = static_cast<unsigned char>(blf + (x == '\n'));
      bpairs = static_cast<unsigned char>(bpairs + ((x == '\r') & (y == '\n')));
    }
    cr += bcr;
    lf += blf;
    pairs += bpairs;
  }
  for (; i < n; ++i) {
    cr += p[i] == '\r';
    lf += p[i] == '\n';
    pairs += p[i] == '\r' && i + 1 < n && p[i + 1] == '\n';
  }
  return cr == lf && lf == pairs;
}

// Rewrites every line end (LF, CR LF, lone CR) as CR LF and ends the last
// line too.
std::string ToCrlf(std::string_view s, std::size_t body) {
  std::string out;
  out.reserve(s.size() + s.size() / 16 + 2);
  out.append(s.substr(0, body));
  std::size_t pos = body;
  while (pos < s.size()) {
    const std::size_t e = LineEnd(s, pos);
    out.append(s.substr(pos, e - pos));
    out += "\r\n";
    pos = NextLine(s, e);
  }
  return out;
}

// One section of a file found by reading the file through in blocks,
// without keeping the rest of it: a process that wants one disc of a large
// database reads past the others once and parses nothing but the lines of
// that disc.
struct FoundSection {
  bool utf8 = false;         // the file starts with a UTF-8 byte-order mark
  bool crlf = true;          // every line ends with CR LF, the last one too (toEnd only)
  std::uint64_t size = 0;    // bytes read (the whole file when read to its end)
  std::optional<Span> span;  // offsets in the file
  std::string lines;         // the section's lines [span->bodyStart, span->end)
};

// Block size of the scan: large enough that the system calls cost little,
// small enough to stay in the processor's cache.
constexpr std::size_t kScanBlockBytes = std::size_t{256} << 10;

// Reads the open file `fd` from its start, looking for the first copy of
// the section `name` (in the file's encoding, trimmed; "" for the lines
// before the first header). `encode` turns the wanted name into the file's
// encoding once the byte-order mark is known (nullopt: no section can
// match). With `toEnd` the whole file is read (for its line ends and
// bytes), else reading stops at the end of the section. Returns 0 or an
// errno.
template <typename Encode>
int ScanForSection(int fd, std::uint64_t sizeHint, Encode&& encode, bool toEnd, FoundSection& out) {
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

// A validated, encoded write request for one section.
struct EncodedSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;  // key, value as stored
  std::vector<std::string> deletes;                       // keys to remove
};

// Value text as it goes into the file (before encoding): one line, quoted
// when the reading rules would otherwise change it.
std::string StoredValue(std::string_view value) {
  std::string v(value);
  for (char& c : v) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  // Only what a reader would change is quoted: blanks at either end (they
  // are trimmed) and one matching pair of outer quotes (it is removed). An
  // "=" or ";" inside a value reads back as it is, and other programs
  // reading the file would see the quotes.
  const bool quote =
      !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) ||
                     (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()));
  if (quote) return '"' + v + '"';
  return v;
}

std::optional<std::string> SectionNameProblem(std::string_view name) {
  if (name.empty()) return "セクション名が空です";
  if (name.size() > Profile::kMaxNameBytes) return "セクション名が長すぎます";
  if (name.find_first_of(std::string_view("]\r\n\0", 4)) != std::string_view::npos) {
    return "セクション名「" + std::string(name) + "」に「]」、改行またはNULが含まれています";
  }
  return std::nullopt;
}

std::optional<std::string> KeyNameProblem(std::string_view key) {
  if (key.empty()) return "キー名が空です";
  if (key.size() > Profile::kMaxNameBytes) return "キー名が長すぎます";
  if (key.find_first_of(std::string_view("=\r\n\0", 4)) != std::string_view::npos || key.front() == '[' ||
      key.front() == ';') {
    return "キー名「" + std::string(key) +
           "」に「=」、改行またはNULが含まれているか、「[」か「;」で始まっています";
  }
  return std::nullopt;
}

// A change to the text: [begin, end) becomes text.
struct Splice {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string text;
};

std::string ApplySplice(std::string_view s, const Splice& sp) {
  std::string out;
  out.reserve(s.size() - (sp.end - sp.begin) + sp.text.size());
  out.append(s.substr(0, sp.begin));
  out.append(sp.text);
  out.append(s.substr(sp.end));
  return out;
}

// What writing one section's keys changes in the text s (whole file, body
// after the byte-order mark); nullopt when nothing changes. Only the
// section's own lines are looked at, so a large file costs little more than
// finding the section.
// The same, given what the file holds of the section: `span` (offsets in the
// file; nullopt when the section is missing), `lines` its lines
// [span->bodyStart, span->end), and the file's size and whether its last
// line lacks a line end. Only the section's own bytes are needed, so a
// caller that found the section without keeping the file can splice it.
std::optional<Splice> SectionSpliceAt(std::string_view sectionLines, const std::optional<Span>& span,
                                      std::size_t fileSize, bool lastLineOpen, const EncodedSection& sec,
                                      const text::ByteClasses& bc);

std::optional<Splice> SectionSplice(std::string_view s, std::size_t body, const EncodedSection& sec,
                                    const text::ByteClasses& bc) {
  if (sec.keys.empty() && sec.deletes.empty()) return std::nullopt;
  const auto span = FindSection(s, body, sec.name, bc);
  const bool lastLineOpen = s.size() > body && s.back() != '\n' && s.back() != '\r';
  const std::string_view lines =
      span ? s.substr(span->bodyStart, span->end - span->bodyStart) : std::string_view();
  return SectionSpliceAt(lines, span, s.size(), lastLineOpen, sec, bc);
}

std::optional<Splice> SectionSpliceAt(std::string_view sectionLines, const std::optional<Span>& span,
                                      std::size_t fileSize, bool lastLineOpen, const EncodedSection& sec,
                                      const text::ByteClasses& bc) {
  if (sec.keys.empty() && sec.deletes.empty()) return std::nullopt;
  if (!span && sec.keys.empty()) return std::nullopt;  // nothing to remove
  const std::string_view s = sectionLines;

  struct Line {
    std::string text;
    std::string key;  // entries only
    bool entry = false;
    bool comment = false;
  };
  std::vector<Line> lines;
  if (span) {
    std::size_t pos = 0;
    while (pos < s.size()) {
      const std::size_t e = LineEnd(s, pos);
      Line l;
      l.text.assign(s.substr(pos, e - pos));
      const ParsedLine p = ParseLine(l.text, bc);
      if (p.kind == LineKind::Entry) {
        l.entry = true;
        l.key.assign(p.key);
        l.comment = !p.key.empty() && p.key.front() == ';';
      }
      lines.push_back(std::move(l));
      pos = NextLine(s, e);
    }
  }
  // New keys go after the last entry of the section, before any blank or
  // comment lines that separate it from the next one.
  std::size_t insertAt = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].entry && !lines[i].comment) insertAt = i + 1;
  }
  for (const auto& kv : sec.keys) {
    // Named, not bound: older compilers cannot capture a structured binding.
    const std::string& key = kv.first;
    const std::string& value = kv.second;
    auto it = std::find_if(lines.begin(), lines.end(),
                           [&](const Line& l) { return l.entry && NamesEqual(l.key, key, bc); });
    if (it != lines.end()) {
      it->text = it->key + "=" + value;  // the stored spelling of the key stays
    } else {
      Line l;
      l.text = key + "=" + value;
      l.key = key;
      l.entry = true;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(l));
      ++insertAt;
    }
  }

  for (const auto& key : sec.deletes) {
    auto it = std::find_if(lines.begin(), lines.end(), [&](const Line& l) {
      return l.entry && !l.comment && NamesEqual(l.key, key, bc);
    });
    if (it != lines.end()) lines.erase(it);
  }

  Splice sp;
  for (const Line& l : lines) {
    sp.text += l.text;
    sp.text += "\r\n";
  }
  if (span) {
    sp.begin = span->bodyStart;
    sp.end = span->end;
    if (s == sp.text) return std::nullopt;
    // A header that is the file's last line may lack its line end.
    if (sp.begin == fileSize && lastLineOpen) sp.text.insert(0, "\r\n");
  } else {
    sp.begin = sp.end = fileSize;
    sp.text.insert(0, "[" + sec.name + "]\r\n");
    if (lastLineOpen) sp.text.insert(0, "\r\n");
  }
  return sp;
}

using detail::ErrnoText;
using detail::FileLock;
using detail::Piece;
using detail::ReplaceFile;
using detail::ResolveTarget;
using detail::WriteScope;

// ---------------------------------------------------------------------------
// Parsed files kept between reads

// A file's bytes with an index of its sections, made once and reused while
// the file stays the same: every key read would otherwise read and scan the
// whole file again, which on a large file makes each read cost as much as
// the first.
struct Parsed {
  std::string bytes;
  std::size_t body = 0;  // offset after a byte-order mark
  bool utf8 = false;
  bool ascii = false;  // no byte above 0x7F
  // Only the lines of the one section that was asked for (they are all of
  // `bytes`); every other section reads as missing.
  bool onlySection = false;
  // Folded name -> the first copy of that section; "" -> the lines before
  // the first header.
  std::unordered_map<std::string, Span> sections;
};

// The section name as the index keys it: ASCII letters folded, the bytes of
// two-byte characters kept as they are (as NamesEqual compares).
std::string FoldedName(std::string_view name, const text::ByteClasses& bc) {
  std::string out(name);
  const char* begin = name.data();
  const char* end = begin + name.size();
  for (const char* p = begin; p < end;) {
    const std::size_t n = bc.CharLength(p, end);
    if (n == 1) out[static_cast<std::size_t>(p - begin)] = FoldAscii(*p);
    p += n;
  }
  return out;
}

std::shared_ptr<const Parsed> ParseImage(const Image& img) {
  auto parsed = std::make_shared<Parsed>();
  parsed->bytes.assign(img.Bytes());
  parsed->body = img.Body();
  parsed->utf8 = img.Utf8();
  parsed->ascii = IsAscii(img.Bytes());
  const Codec codec(parsed->utf8, parsed->ascii);
  const text::ByteClasses& bc = codec.Classes();
  const std::string_view s = parsed->bytes;
  std::optional<Header> h = NextHeader(s, parsed->body, parsed->body, bc);
  parsed->sections.emplace("", Span{parsed->body, parsed->body, h ? h->lineStart : s.size()});
  while (h) {
    const auto next = NextHeader(s, parsed->body, h->bodyStart, bc);
    // An empty name ("[]") is a section no name reaches.
    if (!h->name.empty()) {
      parsed->sections.emplace(FoldedName(h->name, bc),
                               Span{h->lineStart, h->bodyStart, next ? next->lineStart : s.size()});
    }
    h = next;
  }
  return parsed;
}

// What tells one state of a file from another: where it is, its size and
// its change times. Every write of ours renames a new file into place, so
// its identity changes with each write.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  bool operator==(const Identity& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

Identity IdentityOf(const struct stat& st) {
  return Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// A change within the same tick of a coarse clock (whole seconds on some
// file systems) would not show in the times: such a file is trusted only
// once it has been left alone for a while, as Windows' own profile
// functions do.
bool TimesAreTrustworthy(const Identity& id) {
  if (id.ctime.tv_nsec != 0 || id.mtime.tv_nsec != 0) return true;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - id.ctime.tv_sec >= 2;
}

class ParseCache {
 public:
  static ParseCache& Instance() {
    static ParseCache cache;
    return cache;
  }

  // What answers reads of `section` of the file at path as it is now; null
  // when it does not exist or cannot be read. Each process sees a file for
  // the first time once (a window start, a command-line run): that first
  // read goes through the file for the one section asked for and keeps
  // nothing. A second read of the same unchanged file parses it whole and
  // keeps the parse, so that the many reads of a running window cost no
  // further pass over the file.
  std::shared_ptr<const Parsed> Get(const std::string& path, std::string_view section) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Load(path, nullptr);
    const Identity id = IdentityOf(st);
    bool seen = false;
    {
      std::lock_guard lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->path == path && it->id == id && TimesAreTrustworthy(id)) {
          if (!it->parsed) {
            seen = true;
            break;
          }
          // Most recently used first.
          std::rotate(entries_.begin(), it, it + 1);
          return entries_.front().parsed;
        }
      }
    }
    if (seen) return Load(path, &id);
    auto found = ScanOne(path, section);
    if (found && TimesAreTrustworthy(id)) {
      std::lock_guard lock(mutex_);
      std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
      entries_.insert(entries_.begin(), Entry{path, id, nullptr});
      if (entries_.size() > kEntries) entries_.pop_back();
    }
    return found;
  }

  void Forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
  }

 private:
  struct Entry {
    std::string path;
    Identity id;
    std::shared_ptr<const Parsed> parsed;
  };
  static constexpr std::size_t kEntries = 4;

  std::shared_ptr<const Parsed> Load(const std::string& path, const Identity* statted) {
    Image img;
    if (img.Load(path) != 0 || !img.Exists()) {
      Forget(path);
      return nullptr;
    }
    auto parsed = ParseImage(img);
    const Identity id = IdentityOf(img.Stat());
    // Kept only when the file read is the one statted a moment ago (not
    // replaced in between) and its times can be trusted.
    if (statted && *statted == id && TimesAreTrustworthy(id)) {
      std::lock_guard lock(mutex_);
      std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
      entries_.insert(entries_.begin(), Entry{path, id, parsed});
      if (entries_.size() > kEntries) entries_.pop_back();
    }
    return parsed;
  }

  // The lines of one section, read through the file once, as a parse that
  // answers for that section only.
  static std::shared_ptr<const Parsed> ScanOne(const std::string& path, std::string_view section) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st {};
    FoundSection found;
    const std::string_view name = Trim(section);
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    static_cast<std::uint64_t>(st.st_size) <= Profile::kMaxFileBytes &&
                    ScanForSection(
                        fd, static_cast<std::uint64_t>(st.st_size),
                        [&](bool utf8) { return Codec(utf8).TryEncode(name); }, false, found) == 0;
    ::close(fd);
    if (!ok) return nullptr;
    auto parsed = std::make_shared<Parsed>();
    parsed->utf8 = found.utf8;
    parsed->bytes = std::move(found.lines);
    parsed->ascii = IsAscii(parsed->bytes);
    parsed->onlySection = true;
    if (found.span) {
      const Codec codec(parsed->utf8, parsed->ascii);
      if (const auto encoded = codec.TryEncode(name)) {
        parsed->sections.emplace(FoldedName(*encoded, codec.Classes()), Span{0, 0, parsed->bytes.size()});
      }
    }
    return parsed;
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace

std::optional<int> ParseProfileInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::uint32_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
    if (negative) v = 0u - v;
    return static_cast<int>(static_cast<std::int32_t>(v));
  }
  std::uint64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
  constexpr std::uint64_t kMax = 2147483647u;
  if (v > kMax + (negative ? 1 : 0)) return std::nullopt;
  return negative ? static_cast<int>(-static_cast<std::int64_t>(v)) : static_cast<int>(v);
}

Profile::Profile(std::string path) : path_(std::move(path)) {}

namespace {

// Reads of one parsed file.
class ParsedView {
 public:
  explicit ParsedView(std::shared_ptr<const Parsed> parsed)
      : parsed_(std::move(parsed)), codec_(parsed_ && parsed_->utf8, parsed_ && parsed_->ascii) {}

  bool Exists() const { return parsed_ != nullptr; }

  // The first copy of a section, by its (trimmed, not yet encoded) name.
  std::optional<Span> Find(std::string_view section) const {
    if (!parsed_) return std::nullopt;
    const auto name = codec_.TryEncode(Trim(section));
    if (!name) return std::nullopt;
    const auto it = parsed_->sections.find(FoldedName(*name, codec_.Classes()));
    if (it == parsed_->sections.end()) return std::nullopt;
    return it->second;
  }

  std::optional<std::string> Value(std::string_view section, std::string_view key) const {
    const auto span = Find(section);
    if (!span) return std::nullopt;
    const auto wanted = codec_.TryEncode(Trim(key));
    if (!wanted) return std::nullopt;
    std::optional<std::string> found;
    ForEachLine(parsed_->bytes, span->bodyStart, span->end, codec_.Classes(), [&](const ParsedLine& l) {
      if (l.kind != LineKind::Entry || !NamesEqual(l.key, *wanted, codec_.Classes())) return true;
      if (l.hasValue) found = codec_.Decode(Unquote(l.value));
      return false;  // the first line with this key decides
    });
    return found;
  }

  // Whether a section of this name, already in the file's encoding, exists.
  bool HasEncoded(std::string_view encodedName) const {
    return parsed_ && parsed_->sections.count(FoldedName(encodedName, codec_.Classes())) != 0;
  }

  template <typename Fn>
  void Lines(const Span& span, Fn&& fn) const {
    ForEachLine(parsed_->bytes, span.bodyStart, span.end, codec_.Classes(), fn);
  }
  const Codec& codec() const { return codec_; }

 private:
  std::shared_ptr<const Parsed> parsed_;
  Codec codec_;
};

// Splices every section of `encoded` into the file read as `img`. `text`
// (at first the file's bytes) ends as the text the last splice applies to,
// kept in `owned` when it is no longer the file's; the last splice is
// returned, nullopt when nothing changes.
std::optional<Splice> SpliceSections(const Image& img, const ParsedView& view,
                                     const std::vector<EncodedSection>& encoded, const text::ByteClasses& bc,
                                     std::string_view& text, std::string& owned) {
  // The usual case, one section, ends as three pieces written straight from
  // the file as read: text before the section, the section's new lines, text
  // after it. Further sections work on the text with the earlier changes.
  //
  // Sections new to the file (a merged server list adds hundreds) are
  // gathered in `tail` and go after everything in one piece, so the cost
  // stays linear in the file and the number of sections: each of them would
  // otherwise mean a search through, and a copy of, the whole text.
  std::optional<Splice> pending;
  std::string tail;
  std::unordered_set<std::string> inTail;  // folded names of the sections in `tail`
  std::unordered_set<std::string> added;   // ... and of every section this change added
  const bool many = encoded.size() > 1;
  for (const auto& e : encoded) {
    // Only several sections need the bookkeeping by name.
    const std::string folded = many ? FoldedName(e.name, bc) : std::string();
    const bool isNew = many && !e.name.empty() && !view.HasEncoded(e.name);
    if (isNew && !e.keys.empty() && added.insert(folded).second) {
      // The section as it would be added to an empty file, header and all.
      inTail.insert(folded);
      tail += SectionSplice({}, 0, e, bc)->text;
      continue;
    }
    if (pending) {
      owned = ApplySplice(text, *pending);
      text = owned;
      pending.reset();
    }
    if (inTail.count(folded) != 0) {
      // A second change to a section gathered in `tail`: the text takes the
      // tail first, so that the change finds the section.
      if (text.data() != owned.data()) owned.assign(text);
      if (owned.size() > img.Body() && owned.back() != '\n' && owned.back() != '\r') owned += "\r\n";
      owned += tail;
      text = owned;
      tail.clear();
      inTail.clear();
    }
    if (isNew) added.insert(folded);
    pending = SectionSplice(text, img.Body(), e, bc);
    if (!pending && text.data() != img.Bytes().data()) pending = Splice{0, 0, {}};
  }
  if (!tail.empty()) {
    if (pending) {
      owned = ApplySplice(text, *pending);
      text = owned;
    }
    const bool open = text.size() > img.Body() && text.back() != '\n' && text.back() != '\r';
    pending = Splice{text.size(), text.size(), (open ? "\r\n" : "") + tail};
  }
  return pending;
}

// The first problem with a section or key name of `sections`, if any.
std::optional<std::string> NamesProblem(const std::vector<Profile::SectionKeys>& sections) {
  for (const auto& sec : sections) {
    if (auto p = SectionNameProblem(Trim(sec.section))) return p;
    for (const auto& kv : sec.keys) {
      if (auto p = KeyNameProblem(Trim(kv.first))) return p;
    }
    for (const auto& key : sec.deleteKeys) {
      if (auto p = KeyNameProblem(Trim(key))) return p;
    }
  }
  return std::nullopt;
}

// Encodes the names and values of `sections` as the file stores them into
// `encoded`; the reason when a value is too long or cannot be encoded.
std::optional<std::string> EncodeSections(const Codec& codec,
                                          const std::vector<Profile::SectionKeys>& sections,
                                          std::vector<EncodedSection>& encoded) {
  try {
    for (const auto& sec : sections) {
      EncodedSection e;
      e.name = codec.Encode(Trim(sec.section));
      for (const auto& [key, value] : sec.keys) {
        std::string storedValue = codec.Encode(StoredValue(value));
        if (storedValue.size() > Profile::kMaxValueBytes) {
          return "キー「" + key + "」の値が " + std::to_string(Profile::kMaxValueBytes) +
                 " バイトを超えています";
        }
        e.keys.emplace_back(codec.Encode(Trim(key)), std::move(storedValue));
      }
      for (const auto& key : sec.deleteKeys) e.deletes.push_back(codec.Encode(Trim(key)));
      encoded.push_back(std::move(e));
    }
  } catch (const text::CodePageError& ex) {
    return std::string(ex.what());
  }
  return std::nullopt;
}

// Whether every name and value of `encoded` is plain ASCII.
bool AllAscii(const std::vector<EncodedSection>& encoded) {
  bool ascii = true;
  for (const auto& e : encoded) {
    ascii = ascii && IsAscii(e.name);
    for (const auto& [key, value] : e.keys) ascii = ascii && IsAscii(key) && IsAscii(value);
    for (const auto& key : e.deletes) ascii = ascii && IsAscii(key);
  }
  return ascii;
}

}  // namespace

std::string Profile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  const ParsedView view(ParseCache::Instance().Get(path_, section));
  return view.Value(section, key).value_or(std::string(def));
}

int Profile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  return ParseProfileInteger(ReadString(section, key, "")).value_or(def);
}

bool Profile::HasSection(std::string_view section) const {
  const ParsedView view(ParseCache::Instance().Get(path_, section));
  const auto span = view.Find(section);
  if (!span) return false;
  if (!Trim(section).empty()) return true;
  // The lines before the first header count as a section when they hold
  // an entry.
  bool any = false;
  view.Lines(*span, [&](const ParsedLine& l) {
    any = l.kind == LineKind::Entry;
    return !any;
  });
  return any;
}

std::optional<Profile::KeyValues> Profile::ReadSection(std::string_view section) const {
  const ParsedView view(ParseCache::Instance().Get(path_, section));
  const auto span = view.Find(section);
  if (!span) return std::nullopt;
  KeyValues out;
  view.Lines(*span, [&](const ParsedLine& l) {
    if (l.kind == LineKind::Entry && (l.key.empty() || l.key.front() != ';')) {
      out.emplace_back(view.codec().Decode(l.key),
                       l.hasValue ? view.codec().Decode(Unquote(l.value)) : std::string());
    }
    return true;
  });
  if (Trim(section).empty() && out.empty()) return std::nullopt;
  return out;
}

bool Profile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  return WriteSections({SectionKeys{std::string(section), {{std::string(key), std::string(value)}}}});
}

bool Profile::WriteInteger(std::string_view section, std::string_view key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool Profile::WriteKeys(std::string_view section, const KeyValues& keys) {
  return WriteSections({SectionKeys{std::string(section), keys}});
}

bool Profile::DeleteKey(std::string_view section, std::string_view key) {
  return WriteSections({SectionKeys{std::string(section), {}, {std::string(key)}}});
}

bool Profile::Fail(std::string message) {
  lastError_ = std::move(message);
  return false;
}

bool Profile::WriteSections(const std::vector<SectionKeys>& sections) {
  return Transact([&](const Reader&, std::vector<SectionKeys>& out, std::string&) {
    out = sections;
    return true;
  });
}

// Reads of the file as a transaction found it, under its lock.
// The file is read whole and parsed on the first read only: a change that
// just writes (or only asks what the encoding can hold) costs neither on a
// large file.
class Profile::Reader::Impl {
 public:
  // fd: the locked file, or -1 when there is none.
  Impl(int fd, bool utf8) : fd_(fd), codec_(utf8) {}
  // Reads the whole file once; 0 or an errno.
  int Load() const {
    if (!loaded_) {
      loaded_ = true;
      loadError_ = fd_ >= 0 ? img_.Load(fd_) : 0;
    }
    return loadError_;
  }
  bool Loaded() const { return loaded_; }
  const Image& Img() const {
    Load();
    return img_;
  }
  const ParsedView& View() const {
    if (!view_) view_.emplace(Img().Exists() ? ParseImage(img_) : nullptr);
    return *view_;
  }
  const Codec& codec() const { return codec_; }

 private:
  int fd_;
  Codec codec_;
  mutable Image img_;
  mutable bool loaded_ = false;
  mutable int loadError_ = 0;
  mutable std::optional<ParsedView> view_;
};

Profile::Reader::Reader(const Impl& impl) : impl_(impl) {}

std::string Profile::Reader::ReadString(std::string_view section, std::string_view key,
                                        std::string_view def) const {
  return impl_.View().Value(section, key).value_or(std::string(def));
}

std::optional<std::string> Profile::Reader::Find(std::string_view section, std::string_view key) const {
  return impl_.View().Value(section, key);
}

bool Profile::Reader::Storable(std::string_view value) const {
  return impl_.codec().TryEncode(value).has_value();
}

bool Profile::Transact(const Change& change) {
  lastError_.clear();
  if (WriteScope::Active()) return Fail("別の書き込みがまだ終わっていません");
  WriteScope scope;
  if (path_.empty()) return Fail("ファイル名がありません");

  const std::string target = ResolveTarget(path_);
  const std::filesystem::path tp(target);
  const std::string base = tp.filename().string();
  const std::string dir = tp.has_parent_path() ? tp.parent_path().string() : ".";
  if (base.empty()) return Fail("「" + path_ + "」はファイル名ではありません");

  FileLock lock;
  std::string error;
  if (!lock.Acquire(target, dir, error)) return Fail(error);

  // Under the lock, the file as it is now (another process may have just
  // replaced it).
  const int fd = lock.FileFd();
  struct stat st {};
  bool utf8 = false;
  if (fd >= 0) {
    if (::fstat(fd, &st) != 0) return Fail(target + " を読み込めません: " + ErrnoText(errno));
    if (!S_ISREG(st.st_mode))
      return Fail(target + " を読み込めません: " + ErrnoText(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes)
      return Fail("ファイル " + target + " が大きすぎます");
    char head[3];
    utf8 = ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           std::string_view(head, sizeof head) == kBom;
  }
  auto loadFailure = [&](int err) {
    if (err == EFBIG) return Fail("ファイル " + target + " が大きすぎます");
    return Fail(target + " を読み込めません: " + ErrnoText(err));
  };

  std::vector<SectionKeys> sections;
  const Reader::Impl readerImpl(fd, utf8);
  if (!change(Reader(readerImpl), sections, error))
    return Fail(error.empty() ? "変更できませんでした" : error);
  if (sections.empty()) return true;

  // Names are checked before anything touches the disk.
  if (auto problem = NamesProblem(sections)) return Fail(*problem);
  if (fd >= 0 && ((st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)) {
    return Fail("ファイル " + target + " は読み取り専用です");
  }

  std::vector<EncodedSection> encoded;
  if (auto problem = EncodeSections(Codec(utf8), sections, encoded)) return Fail(*problem);
  auto asciiChanges = [&] { return AllAscii(encoded); };

  // The usual change, keys of one section: the file is read through once
  // to find the section and keep its lines, and the new file is the old
  // one's bytes before the section, the section's new lines and the old
  // bytes after it, the old bytes copied file to file by the kernel. A file
  // with other line ends than CR LF is rewritten whole below.
  if (encoded.size() == 1 && !readerImpl.Loaded()) {
    FoundSection found;
    if (fd >= 0) {
      const std::string& name = encoded.front().name;
      const int err = ScanForSection(
          fd, static_cast<std::uint64_t>(st.st_size), [&](bool) { return std::optional<std::string>(name); },
          true, found);
      if (err != 0) return loadFailure(err);
    }
    if (found.crlf && found.utf8 == utf8) {
      // Only the section's own lines are parsed.
      const Codec splicing(utf8, IsAscii(found.lines) && asciiChanges());
      const auto sp =
          SectionSpliceAt(found.lines, found.span, found.size, false, encoded.front(), splicing.Classes());
      if (!sp) return true;  // nothing changes
      const std::uint64_t total = found.size - (sp->end - sp->begin) + sp->text.size();
      if (total > kMaxFileBytes) return Fail("ファイル " + target + " が大きくなりすぎます");
      std::vector<Piece> pieces;
      if (sp->begin > 0) pieces.push_back(Piece{{}, fd, 0, sp->begin});
      pieces.push_back(Piece{sp->text});
      if (found.size > sp->end) pieces.push_back(Piece{{}, fd, sp->end, found.size - sp->end});
      ParseCache::Instance().Forget(path_);
      if (!ReplaceFile(target, dir, base, pieces, fd >= 0 ? &st : nullptr, error)) return Fail(error);
      return true;
    }
  }

  if (const int err = readerImpl.Load(); err != 0) return loadFailure(err);
  const Image& img = readerImpl.Img();
  // The text the changes are spliced into: the file with the new lines.
  // Only a small file is scanned for it: on a large one the scan would cost
  // more than finding the code page's two-byte classes once.
  constexpr std::size_t kAsciiScanBytes = 1 << 20;
  const bool asciiText = img.Bytes().size() <= kAsciiScanBytes && IsAscii(img.Bytes()) && asciiChanges();
  const Codec splicing(img.Utf8(), asciiText);

  std::string_view text = img.Bytes();
  std::string owned;
  const std::optional<Splice> pending =
      SpliceSections(img, readerImpl.View(), encoded, splicing.Classes(), text, owned);
  if (!pending) return true;  // nothing changes

  std::vector<Piece> pieces = {Piece{text.substr(0, pending->begin)}, Piece{pending->text},
                               Piece{text.substr(pending->end)}};
  std::string normalised;
  if (!HasCrlfLineEnds(text, img.Body())) {
    // Line ends other than CR LF anywhere: the whole file is rewritten.
    normalised = ToCrlf(ApplySplice(text, *pending), img.Body());
    pieces = {Piece{normalised}};
  }
  std::size_t total = 0;
  for (const Piece& piece : pieces) total += piece.bytes.size();
  if (total > kMaxFileBytes) return Fail("ファイル " + target + " が大きくなりすぎます");

  ParseCache::Instance().Forget(path_);
  if (!ReplaceFile(target, dir, base, pieces, img.Exists() ? &img.Stat() : nullptr, error))
    return Fail(error);
  return true;
}

}  // namespace sl::inifile
