// Inside the inifile room only: what the line grammar (grammar.cpp), the
// scan for one section (scan.cpp), the splice of a write (splice.cpp), the
// parse cache (cache.cpp) and the profile functions (profile.cpp) share.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "inifile/profile.h"
#include "text/codepage.h"
#include "text/utf8.h"

namespace sl::inifile::detail {

inline constexpr std::string_view kBom = "\xEF\xBB\xBF";

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// A read buffer kept between reads on one thread, so that reading a large
// file again and again neither zero-fills nor faults in fresh memory.
struct Buffer {
  std::unique_ptr<char[]> data;
  std::size_t capacity = 0;
};

// The file's bytes, as read in one go.
class Image {
 public:
  // The buffer comes from, and goes back to, this thread's spare one.
  Image();
  ~Image();
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

// Case-insensitive (ASCII) comparison of two names in the file's encoding;
// the second byte of a two-byte character is compared exactly.
bool NamesEqual(std::string_view a, std::string_view b, const text::ByteClasses& bc);

// Position of the first CR or LF at or after pos (or s.size()).
inline std::size_t LineEnd(std::string_view s, std::size_t pos) {
  for (std::size_t i = pos; i < s.size(); ++i) {
    if (s[i] == '\r' || s[i] == '\n') return i;
  }
  return s.size();
}

// Start of the line after the line end at end.
inline std::size_t NextLine(std::string_view s, std::size_t end) {
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
std::size_t HeaderClose(std::string_view line, const text::ByteClasses& bc);

// Reads one line: blank, a section header or an entry (a key with or
// without "=" and a value).
ParsedLine ParseLine(std::string_view line, const text::ByteClasses& bc);

// The value without one matching pair of outer quotes.
std::string_view Unquote(std::string_view v);

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

// The first header at or after from, its line read with `bc`.
std::optional<Header> NextHeader(std::string_view s, std::size_t body, std::size_t from,
                                 const text::ByteClasses& bc);

// The lines of one section: [bodyStart, end).
struct Span {
  std::size_t headerLine = 0;  // start of the header line (bodyStart for the head)
  std::size_t bodyStart = 0;
  std::size_t end = 0;
};

// The first copy of the section with the given (encoded, trimmed) name. An
// empty name means the lines before the first header.
std::optional<Span> FindSection(std::string_view s, std::size_t body, std::string_view name,
                                const text::ByteClasses& bc);

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
bool HasCrlfLineEnds(std::string_view s, std::size_t body);

// Rewrites every line end (LF, CR LF, lone CR) as CR LF and ends the last
// line too.
std::string ToCrlf(std::string_view s, std::size_t body);

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

// Reads the open file `fd` from its start, looking for the first copy of
// the section `name` (in the file's encoding, trimmed; "" for the lines
// before the first header). `encode` turns the wanted name into the file's
// encoding once the byte-order mark is known (nullopt: no section can
// match). With `toEnd` the whole file is read (for its line ends and
// bytes), else reading stops at the end of the section. Returns 0 or an
// errno.
int ScanForSection(int fd, std::uint64_t sizeHint,
                   const std::function<std::optional<std::string>(bool utf8)>& encode, bool toEnd,
                   FoundSection& out);

// A validated, encoded write request for one section.
struct EncodedSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;  // key, value as stored
  std::vector<std::string> deletes;                       // keys to remove
};

// Value text as it goes into the file (before encoding): one line, quoted
// when the reading rules would otherwise change it.
std::string StoredValue(std::string_view value);

// Why a section or key name cannot be written, if it cannot.
std::optional<std::string> SectionNameProblem(std::string_view name);

std::optional<std::string> KeyNameProblem(std::string_view key);

// A change to the text: [begin, end) becomes text.
struct Splice {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string text;
};

// The text s with the splice applied.
std::string ApplySplice(std::string_view s, const Splice& sp);

// What writing one section's keys changes, given what the file holds of the
// section: `span` (offsets in the file; nullopt when the section is missing),
// `lines` its lines [span->bodyStart, span->end), and the file's size and
// whether its last line lacks a line end; nullopt when nothing changes. Only
// the section's own bytes are needed, so a caller that found the section
// without keeping the file can splice it.
std::optional<Splice> SectionSpliceAt(std::string_view sectionLines, const std::optional<Span>& span,
                                      std::size_t fileSize, bool lastLineOpen, const EncodedSection& sec,
                                      const text::ByteClasses& bc);

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
std::string FoldedName(std::string_view name, const text::ByteClasses& bc);

// Parses the file read as `img`: its bytes and the index of its sections.
std::shared_ptr<const Parsed> ParseImage(const Image& img);

// What answers reads of `section` of the file at path as it is now (null
// when it does not exist or cannot be read), from the parse cache.
std::shared_ptr<const Parsed> CachedParse(const std::string& path, std::string_view section);
// Drops what the cache holds of the file at path, before it is replaced.
void ForgetParse(const std::string& path);

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
                                     std::string_view& text, std::string& owned);

// The first problem with a section or key name of `sections`, if any.
std::optional<std::string> NamesProblem(const std::vector<Profile::SectionKeys>& sections);

// Encodes the names and values of `sections` as the file stores them into
// `encoded`; the reason when a value is too long or cannot be encoded.
std::optional<std::string> EncodeSections(const Codec& codec,
                                          const std::vector<Profile::SectionKeys>& sections,
                                          std::vector<EncodedSection>& encoded);

// Whether every name and value of `encoded` is plain ASCII.
bool AllAscii(const std::vector<EncodedSection>& encoded);

}  // namespace sl::inifile::detail
