// The texts of the CDDB protocol: reply lines, percent-encoding of request
// pieces, server URLs, a server's status line as shown, and the keys of a
// database entry.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>

#include "cddb/cddb.h"
#include "cddb/internal.h"

namespace sl::cddb {

using detail::EqualsNoCase;

std::string_view RawLines(std::string_view text, std::size_t maxLines) {
  // Counting the line-end bytes (memchr from one to the next) is a fast
  // pass; most replies stop here.
  std::size_t ends = 0;
  for (const char c : {'\n', '\r'}) {
    for (const char* at = text.data(); ends < maxLines;) {
      const void* hit = std::memchr(at, c, static_cast<std::size_t>(text.data() + text.size() - at));
      if (!hit) break;
      ++ends;
      at = static_cast<const char*>(hit) + 1;
    }
  }
  if (ends < maxLines) return text;
  std::size_t lines = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    if (++lines == maxLines) return text.substr(0, i + 1);
  }
  return text;
}

std::vector<std::string> SplitLines(std::string_view text, std::size_t maxLines) {
  std::vector<std::string> lines;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t pos = 0;
  // Line by line with memchr: the next LF, and any lone CR before it.
  while (pos < n && lines.size() < maxLines) {
    const void* lf = std::memchr(p + pos, '\n', n - pos);
    const std::size_t lfAt = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - p) : n;
    const void* cr = std::memchr(p + pos, '\r', lfAt - pos);
    if (cr) {
      const auto crAt = static_cast<std::size_t>(static_cast<const char*>(cr) - p);
      lines.emplace_back(text.substr(pos, crAt - pos));
      pos = crAt + 1;
      if (pos < n && p[pos] == '\n') ++pos;
    } else {
      lines.emplace_back(text.substr(pos, lfAt - pos));
      pos = lfAt + 1;
    }
  }
  return lines;
}

namespace {
// Percent-encodes every byte for which `escape` says so.
template <typename Pred>
std::string PercentEncode(std::string_view text, Pred escape) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (escape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool UnsafeInRequestLine(unsigned char c) { return c <= 0x20 || c >= 0x7F; }
}  // namespace

std::string EncodeUnsafe(std::string_view text) { return PercentEncode(text, UnsafeInRequestLine); }

std::string EncodeHelloPart(std::string_view text) {
  return PercentEncode(text, [](unsigned char c) {
    return UnsafeInRequestLine(c) || c == '+' || c == '&' || c == '#' || c == '%' || c == '=' || c == '?';
  });
}

bool HostHasPort(std::string_view host) {
  std::size_t colon;
  if (!host.empty() && host.front() == '[') {
    // An IPv6 literal: a port can only follow the closing bracket.
    const auto close = host.find(']');
    if (close == std::string_view::npos || close + 1 >= host.size() || host[close + 1] != ':') return false;
    colon = close + 1;
  } else {
    colon = host.rfind(':');
    if (colon == std::string_view::npos) return false;
  }
  const std::string_view port = host.substr(colon + 1);
  return !port.empty() && std::all_of(port.begin(), port.end(),
                                      [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::string HostWithPort(std::string_view host) {
  std::string out(host);
  if (!HostHasPort(host)) out += ":80";
  return out;
}

std::optional<std::string> NormalizeServerUrl(std::string_view url, std::string& why) {
  constexpr std::string_view kScheme = "http://";
  if (url.size() > 4096) {
    why = "the URL is too long";
    return std::nullopt;
  }
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F) {
      why = "the URL holds a blank or a control character";
      return std::nullopt;
    }
  }
  const auto schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) {
    why = "'" + std::string(url) + "' is not an http:// URL";
    return std::nullopt;
  }
  if (!EqualsNoCase(url.substr(0, schemeEnd + 3), kScheme)) {
    why = "only http:// servers are supported, not '" + std::string(url.substr(0, schemeEnd)) + "'";
    return std::nullopt;
  }
  std::string_view rest = url.substr(kScheme.size());
  const auto slash = rest.find_first_of("/?");
  std::string_view host = rest.substr(0, slash);
  std::string path(slash == std::string_view::npos ? std::string_view() : rest.substr(slash));
  // The HTTP client connects over IPv4 only: an IPv6 literal would pass
  // here and fail only when the request is made.
  if (!host.empty() && host.front() == '[') {
    why =
        "IPv6 addresses are not supported ('" + std::string(host) + "'): give a host name or an IPv4 address";
    return std::nullopt;
  }
  // The host, with an optional port of 1 to 65535.
  std::string_view name = host;
  if (HostHasPort(host)) {
    const auto colon = host.rfind(':');
    const std::string_view port = host.substr(colon + 1);
    long value = 0;
    for (char c : port) value = value * 10 + (c - '0');
    if (port.size() > 5 || value < 1 || value > 65535) {
      why = "the port in '" + std::string(host) + "' is not 1 to 65535";
      return std::nullopt;
    }
    name = host.substr(0, colon);
  } else if (host.find(':') != std::string_view::npos && host.front() != '[') {
    why = "the port in '" + std::string(host) + "' is not a number";
    return std::nullopt;
  }
  if (name.empty() || name == "[]" || name.find('@') != std::string_view::npos) {
    why = "no server host in '" + std::string(url) + "'";
    return std::nullopt;
  }
  // A lone "/" names no script any more than no path does.
  if (path == "/" || path.rfind("/?", 0) == 0) path.erase(0, 1);
  if (path.empty() || path[0] == '?') path = "/~cddb/cddb.cgi" + path;
  const auto q = path.find('?');
  if (q == std::string::npos) path += '?';
  else if (path.back() != '?' && path.back() != '&') path += '&';
  return "http://" + std::string(host) + path;
}

std::string ShownServerLine(std::string_view line) {
  std::string out;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < line.size();) {
    const auto c = static_cast<unsigned char>(line[i]);
    std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    len = std::min(len, line.size() - i);
    if (chars == kMaxShownLineChars) {
      out += "…";
      break;
    }
    // C0 controls, DEL and the C1 controls (U+0080 to U+009F): a terminal
    // would act on them, a box would show nothing useful.
    const bool c1 = c == 0xC2 && len == 2 && static_cast<unsigned char>(line[i + 1]) < 0xA0;
    if (c < 0x20 || c == 0x7F || c1) out += ' ';
    else out.append(line.substr(i, len));
    i += len;
    ++chars;
  }
  return out;
}

bool NamesUnknownClient(std::string_view line) {
  std::string lower(line.substr(0, 4096));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.find("unknown developer email") != std::string::npos) return true;
  const bool fiveHundred = lower.size() >= 3 && lower[0] == '5' &&
                           std::isdigit(static_cast<unsigned char>(lower[1])) &&
                           std::isdigit(static_cast<unsigned char>(lower[2]));
  return fiveHundred &&
         (lower.find("developer") != std::string::npos || lower.find("client") != std::string::npos);
}

long long EntryRevision(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    std::string_view rest(line);
    if (rest.empty() || rest.front() != '#') continue;
    rest.remove_prefix(1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    constexpr std::string_view kKey = "revision:";
    if (rest.size() < kKey.size() || !EqualsNoCase(rest.substr(0, kKey.size()), kKey)) continue;
    rest.remove_prefix(kKey.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
    if (rest.empty() || !std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return 0;
    long long value = 0;
    const auto r = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    // Too many digits for any counter: still a number no server can take,
    // never a 0 that would pass for a new entry.
    if (r.ec == std::errc::result_out_of_range) return std::numeric_limits<long long>::max();
    return value;
  }
  return 0;
}

std::map<std::string, std::string> EntryValues(const std::vector<std::string>& lines) {
  std::map<std::string, std::string> values;
  for (const auto& line : lines) {
    if (!line.empty() && line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string& value = values[std::move(key)];
    const std::size_t room = kMaxValueBytes - std::min(kMaxValueBytes, value.size());
    value.append(line, eq + 1, room);
  }
  return values;
}

std::string EntryValue(const std::vector<std::string>& lines, std::string_view key) {
  std::string value;
  for (const auto& line : lines) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (EqualsNoCase(std::string_view(line).substr(0, eq), key))
      value.append(line, eq + 1, kMaxValueBytes - std::min(kMaxValueBytes, value.size()));
  }
  return value;
}

}  // namespace sl::cddb
