// The submission's check, its xmcd entry and its header lines.
#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "submit/submit.h"
#include "text/codepage.h"
#include "text/utf8.h"

namespace sl::submit {

namespace {

// CR, LF or NUL would end the line the value stands on.
bool BreaksLine(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Whether text holds a character that takes two bytes in the external code
// page. Each character encodes to at least one byte, so text whose encoding
// is exactly as many bytes as it has characters holds none; only otherwise
// are its characters looked at one by one.
bool HasDoubleByteChar(std::string_view text) {
  if (sl::text::IsAscii(text)) return false;
  try {
    if (sl::text::ToExternal(text).size() == sl::text::CountChars(text)) return false;
  } catch (const sl::text::CodePageError&) {
    // A character the code page lacks; IsDoubleByteChar counts it as double.
  }
  for (std::size_t i = 0; i < text.size(); i += sl::text::AnnouncedLength(text, i)) {
    if (static_cast<unsigned char>(text[i]) < 0x80) continue;
    if (sl::text::IsDoubleByteChar(text.substr(i, sl::text::AnnouncedLength(text, i)))) return true;
  }
  return false;
}

// Key and value as one or more lines "KEY=part": a value too long for one
// line is continued on further lines with the same keyword, each cut
// between characters, never inside one and never inside a " / ".
void AppendValue(std::vector<std::string>& lines, const std::string& key, std::string_view value,
                 const Encoder& encode) {
  const std::string prefix = key + "=";
  const std::size_t room = kMaxLineBytes - 2 - prefix.size();  // 2: CR LF
  std::string bytes = encode(value);
  if (bytes.size() <= room) {
    lines.push_back(prefix + bytes);
    return;
  }
  // Each character with where it starts in the value and its bytes as sent.
  std::vector<std::pair<std::size_t, std::string>> chars;
  for (std::size_t i = 0; i < value.size();) {
    const std::size_t n = sl::text::AnnouncedLength(value, i);
    chars.emplace_back(i, encode(value.substr(i, n)));
    i += n;
  }
  // A cut before character k that falls inside " / " moves back to the
  // separator's start; its three bytes are single-byte characters, so the
  // line before keeps at least one character.
  auto insideSeparator = [&](std::size_t k, std::size_t back) {
    const std::size_t at = chars[k].first;
    return at >= back && value.compare(at - back, 3, " / ") == 0;
  };
  std::size_t first = 0;
  while (first < chars.size()) {
    std::size_t used = 0, k = first;
    while (k < chars.size() && (k == first || used + chars[k].second.size() <= room))
      used += chars[k++].second.size();
    if (k < chars.size()) {
      if (k - 1 > first && insideSeparator(k, 1)) k -= 1;
      else if (k - 2 > first && insideSeparator(k, 2)) k -= 2;
    }
    std::string line = prefix;
    for (std::size_t j = first; j < k; ++j) line += chars[j].second;
    lines.push_back(std::move(line));
    first = k;
  }
}

// The double-byte characters of text (each once, bounded) into `out`.
void CollectDoubleByte(std::string_view text, std::vector<std::string>& out) {
  for (std::size_t i = 0; i < text.size(); i += sl::text::AnnouncedLength(text, i)) {
    if (static_cast<unsigned char>(text[i]) < 0x80) continue;
    const std::string ch(text.substr(i, sl::text::AnnouncedLength(text, i)));
    if (!sl::text::IsDoubleByteChar(ch)) continue;
    if (out.size() < CheckResult::kMaxNamedCharacters && std::find(out.begin(), out.end(), ch) == out.end())
      out.push_back(ch);
  }
}

// The year as CDDB readers take it: nothing, or up to four digits.
bool IsCddbYear(std::string_view text) {
  return text.size() <= 4 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

Encoder ExternalEncoder() {
  return [](std::string_view utf8) { return sl::text::ToExternal(utf8); };
}

Encoder Utf8Encoder() {
  return [](std::string_view utf8) {
    if (!sl::text::IsValidUtf8(utf8)) throw sl::text::CodePageError("text is not valid UTF-8");
    return std::string(utf8);
  };
}

bool IsCddbCategory(std::string_view text) {
  return std::any_of(std::begin(kCategories), std::end(kCategories),
                     [text](const char* c) { return text == c; });
}

CheckResult CheckSubmitData(const shell::TrackTitleTable& table, int serverCode, const Encoder& encode,
                            const KeptText* kept) {
  CheckResult r;
  const bool singleByteOnly = serverCode < 2;

  // Every value that goes into the entry or a header line: it must stay on
  // its line and be representable in the bytes sent.
  auto sendable = [&](std::string_view text) {
    if (BreaksLine(text)) {
      r.ok = false;
      for (const char c : {'\r', '\n', '\0'}) {
        const std::string ch(1, c);
        if (text.find(c) != std::string_view::npos &&
            std::find(r.lineBreaks.begin(), r.lineBreaks.end(), ch) == r.lineBreaks.end())
          r.lineBreaks.push_back(ch);
      }
    }
    if (sl::text::IsAscii(text)) return;
    try {
      encode(text);
      return;
    } catch (const sl::text::CodePageError&) {
      r.ok = false;
    }
    for (std::size_t i = 0; i < text.size(); i += sl::text::AnnouncedLength(text, i)) {
      if (static_cast<unsigned char>(text[i]) < 0x80) continue;
      const std::string ch(text.substr(i, sl::text::AnnouncedLength(text, i)));
      try {
        encode(ch);
      } catch (const sl::text::CodePageError&) {
        if (r.unencodable.size() < CheckResult::kMaxNamedCharacters &&
            std::find(r.unencodable.begin(), r.unencodable.end(), ch) == r.unencodable.end())
          r.unencodable.push_back(ch);
      }
    }
  };
  auto singleByte = [&](std::string_view text) {
    if (singleByteOnly && HasDoubleByteChar(text)) {
      r.ok = false;
      CollectDoubleByte(text, r.doubleByte);
    }
  };

  if (table.Artist().empty()) r.ok = false;
  singleByte(table.Artist());
  if (table.Title().empty()) r.ok = false;
  singleByte(table.Title());
  for (int row = 1; row < table.RowCount(); ++row) {
    if (table.Cell(1, row).empty()) r.ok = false;
    singleByte(table.Cell(1, row));
    singleByte(table.Cell(2, row));
  }

  sendable(table.Category());
  sendable(table.Artist());
  sendable(table.Title());
  sendable(table.Year());
  sendable(table.Genre());
  for (int row = 1; row < table.RowCount(); ++row) {
    sendable(table.Cell(1, row));
    sendable(table.Cell(2, row));
  }
  if (kept) {
    sendable(kept->extd);
    for (const auto& text : kept->extt) sendable(text);
    sendable(kept->playorder);
  }

  if (!IsCddbYear(table.Year())) {
    r.ok = false;
    r.fieldProblems.push_back({CheckResult::FieldProblem::Field::Year, table.Year()});
  }
  if (!IsCddbCategory(table.Category())) {
    r.ok = false;
    r.fieldProblems.push_back({CheckResult::FieldProblem::Field::Category, table.Category()});
  }
  return r;
}

std::string SubmissionEntry::Text() const {
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const auto& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

SubmissionEntry BuildSubmissionEntry(const disc::DiscToc& toc, const shell::TrackTitleTable& table,
                                     const Encoder& encode, long long revision, const KeptText* kept) {
  // One row per track after the heading row; the table of contents holds at
  // most 99 tracks and the lead-out.
  const int tracks = std::clamp(table.RowCount() - 1, 0, disc::kMaxTracks);
  auto entry = [&toc](int k) { return toc.Entries[static_cast<std::size_t>(k)]; };

  SubmissionEntry e;
  auto& l = e.lines;
  l.reserve(2 * static_cast<std::size_t>(tracks) + 16);
  l.emplace_back("# xmcd");
  l.emplace_back("# ");
  l.emplace_back("# Track frame offsets:");
  for (int n = 0; n < tracks; ++n) l.push_back("#\t" + std::to_string(disc::FrameOffset(entry(n))));
  l.emplace_back("# ");
  l.push_back("# Disc length: " + std::to_string(disc::Seconds(entry(tracks))) + " seconds");
  l.emplace_back("# ");
  l.push_back("# Revision: " + std::to_string(revision));
  l.push_back(std::string("# Submitted via: ") + kClientName + " ver." + kClientVersion);
  l.emplace_back("# ");
  l.push_back("DISCID=" + disc::DiscIdHex(disc::CalcDiscId(toc, toc.TrackCount)));
  AppendValue(l, "DTITLE", table.Artist() + " / " + table.Title(), encode);
  AppendValue(l, "DYEAR", table.Year(), encode);
  AppendValue(l, "DGENRE", table.Genre(), encode);
  for (int n = 0; n < tracks; ++n) {
    const std::string& title = table.Cell(1, n + 1);
    const std::string& artist = table.Cell(2, n + 1);
    AppendValue(l, "TTITLE" + std::to_string(n), artist.empty() ? title : artist + " / " + title, encode);
  }
  const KeptText none;
  const KeptText& k = kept ? *kept : none;
  AppendValue(l, "EXTD", k.extd, encode);
  for (int n = 0; n < tracks; ++n) {
    const auto at = static_cast<std::size_t>(n);
    AppendValue(l, "EXTT" + std::to_string(n), at < k.extt.size() ? k.extt[at] : std::string(), encode);
  }
  AppendValue(l, "PLAYORDER", k.playorder, encode);
  return e;
}

std::vector<std::string> SubmissionHeaders(std::string_view category, std::string_view discId,
                                           std::string_view email, std::string_view mode,
                                           std::size_t contentLength, const Encoder& encode,
                                           std::string_view charset) {
  auto line = [&encode](const char* name, std::string_view value) {
    if (BreaksLine(value)) throw std::invalid_argument(std::string(name) + " holds a line break");
    return std::string(name) + encode(value);
  };
  std::vector<std::string> lines = {line("Category: ", category), line("Discid: ", discId),
                                    line("User-Email: ", email), line("Submit-Mode: ", mode)};
  if (!charset.empty()) lines.push_back(line("Charset: ", charset));
  lines.push_back("Content-Length: " + std::to_string(contentLength));
  return lines;
}

std::string ProxyText(std::string_view proxyIp, std::string_view proxyPort) {
  if (proxyIp.empty()) return {};
  return std::string(proxyIp) + ":" + std::string(proxyPort);
}

}  // namespace sl::submit
