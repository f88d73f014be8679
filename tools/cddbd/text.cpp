// Text helpers: URL decoding, byte escaping for the log and the fault rules,
// word splitting and the number forms of the CDDB commands.
#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "cddbd.h"

namespace sl::cddbd {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string PercentDecode(std::string_view text, bool plusIsBlank) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plusIsBlank && c == '+' ? ' ' : c);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseQueryString(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view piece = query.substr(start, end - start);
    if (!piece.empty()) {
      const std::size_t eq = piece.find('=');
      if (eq == std::string_view::npos) {
        pairs.emplace_back(PercentDecode(piece, true), std::string());
      } else {
        pairs.emplace_back(PercentDecode(piece.substr(0, eq), true),
                           PercentDecode(piece.substr(eq + 1), true));
      }
    }
    start = end + 1;
  }
  return pairs;
}

std::string EscapeBytes(std::string_view raw) {
  std::string out;
  out.reserve(raw.size() + raw.size() / 8);
  for (const char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out.push_back(ch);
        } else {
          char buf[5];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          out += buf;
        }
    }
  }
  return out;
}

std::optional<std::string> UnescapeBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\': out.push_back('\\'); break;
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case 'x': {
        if (i + 2 >= text.size()) return std::nullopt;
        const int hi = HexValue(text[i + 1]);
        const int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  return out;
}

std::vector<std::string> SplitWords(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::uint32_t> ParseDiscId(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  std::uint32_t id = 0;
  for (const char c : text) {
    const int v = HexValue(c);
    if (v < 0) return std::nullopt;
    id = id * 16 + static_cast<std::uint32_t>(v);
  }
  return id;
}

std::optional<long> ParseDecimal(std::string_view text, long max) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

std::string FormatDiscId(std::uint32_t id) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", id);
  return buf;
}

namespace {

// The code point at text[i] and its length; length 0 for a malformed one.
std::pair<char32_t, std::size_t> NextUtf8(std::string_view text, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return {c, 1};
  std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || c > 0xF4 || i + n > text.size()) return {0, 0};
  char32_t cp = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return {0, 0};
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  const char32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
  return {cp, n};
}

std::optional<std::string> Iconv(std::string_view in, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 4 + 16, '\0');
  char* inp = const_cast<char*>(in.data());
  std::size_t inLeft = in.size();
  char* outp = out.data();
  std::size_t outLeft = out.size();
  const std::size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  const bool ok = r != static_cast<std::size_t>(-1) &&
                  iconv(cd, nullptr, nullptr, &outp, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

bool IsLatin1Name(const std::string& charset) {
  return EqualsIgnoreCase(charset, "ISO-8859-1") || EqualsIgnoreCase(charset, "latin1") ||
         EqualsIgnoreCase(charset, "ISO8859-1");
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto [cp, n] = NextUtf8(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::optional<std::string> Utf8To(std::string_view utf8, const std::string& charset) {
  if (!IsLatin1Name(charset)) return Iconv(utf8, charset.c_str(), "UTF-8");
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto [cp, n] = NextUtf8(utf8, i);
    if (n == 0 || cp > 0xFF) return std::nullopt;
    out.push_back(static_cast<char>(cp));
    i += n;
  }
  return out;
}

std::optional<std::string> ToUtf8(std::string_view bytes, const std::string& charset) {
  if (!IsLatin1Name(charset)) return Iconv(bytes, "UTF-8", charset.c_str());
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

long EntryRevision(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    std::string_view rest(line);
    if (rest.empty() || rest.front() != '#') continue;
    rest.remove_prefix(1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.size() < 9 || !EqualsIgnoreCase(rest.substr(0, 9), "revision:")) continue;
    rest.remove_prefix(9);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    std::size_t digits = 0;
    // Up to 18 digits: every revision a 32-bit server counter reaches, and
    // more, is compared as written.
    while (digits < rest.size() && digits < 18 && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    return digits == 0 ? 0 : std::stol(std::string(rest.substr(0, digits)));
  }
  return 0;
}

}  // namespace sl::cddbd
