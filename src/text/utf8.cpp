#include "text/utf8.h"

#include <algorithm>

namespace sl::text {

bool IsAscii(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

Utf8Char DecodeUtf8(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(at);
  if (b0 < 0x80) return {b0, 1};
  std::size_t len;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return {};
  }
  if (text.size() - at < len) return {};
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(at + k);
    if (!IsContinuationByte(b)) return {};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  return {cp, len};
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacementChar;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t AnnouncedLength(std::string_view text, std::size_t at) {
  const unsigned char b = static_cast<unsigned char>(text[at]);
  const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
  return std::min(n, text.size() - at);
}

std::size_t RunLength(std::string_view text, std::size_t at) {
  std::size_t n = 1;
  while (at + n < text.size() && IsContinuationByte(static_cast<unsigned char>(text[at + n]))) ++n;
  return n;
}

std::size_t CutPointAtOrBefore(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  std::size_t n = limit;
  while (n > 0 && IsContinuationByte(static_cast<unsigned char>(text[n]))) --n;
  return n;
}

std::size_t CountChars(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); i += AnnouncedLength(text, i)) ++n;
  return n;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8(text, i);
    if (c.length == 0) return false;
    i += c.length;
  }
  return true;
}

void NoteUndecodable(std::vector<std::size_t>* undecodable, std::size_t offset) {
  if (undecodable && undecodable->size() < kMaxUndecodableOffsets) undecodable->push_back(offset);
}

std::string SanitizeUtf8(std::string_view text, std::vector<std::size_t>* undecodable) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8(text, i);
    if (c.length == 0) {
      out += kReplacementUtf8;
      NoteUndecodable(undecodable, i);
      ++i;
    } else {
      out.append(text.substr(i, c.length));
      i += c.length;
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const Utf8Char c = DecodeUtf8(utf8, i);
    if (c.length == 0) {
      out.push_back(static_cast<char16_t>(kReplacementChar));
      ++i;
      continue;
    }
    i += c.length;
    if (c.codePoint >= 0x10000) {
      const char32_t v = c.codePoint - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c.codePoint));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3 / 2 + 4);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (utf16[i + 1] - 0xDC00));
      ++i;
    } else {
      // An unpaired surrogate becomes U+FFFD in AppendUtf8.
      AppendUtf8(out, u);
    }
  }
  return out;
}

}  // namespace sl::text
