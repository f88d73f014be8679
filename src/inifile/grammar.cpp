// The line grammar of an INI file as Windows' profile functions read it:
// lines and their ends, section headers, entries, names compared as those
// functions compare them, the checks of names written, a value as it is
// stored, and the integer a value reads as.
#include <algorithm>
#include <charconv>
#include <cstdint>

#include "inifile/internal.h"

namespace sl::inifile::detail {

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

std::optional<Header> NextHeader(std::string_view s, std::size_t body, std::size_t from,
                                 const text::ByteClasses& bc) {
  return NextHeaderWith(s, body, from, [&bc](std::string_view) -> const text::ByteClasses& { return bc; });
}

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

}  // namespace sl::inifile::detail

namespace sl::inifile {

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

}  // namespace sl::inifile
