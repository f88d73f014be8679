// The external code page: the byte encoding of text where it leaves or enters
// the program (CDDB replies and submissions, the settings file,
// "cdplayer.ini"). Inside the program every string is UTF-8.
//
// The code page is CP932 (Shift-JIS) unless the program's configuration (SONOLABEL_CODEPAGE) names another
// iconv encoding. It must be ASCII-compatible: every byte below 0x80 that is
// not the second byte of a two-byte character stands for that ASCII
// character (true of CP932, EUC-JP, GBK, Big5, UTF-8, the Windows single-byte
// pages; not of stateful encodings such as ISO-2022-JP).
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace sl::text {

class CodePageError : public std::runtime_error {
 public:
  using runtime_error::runtime_error;
};

// Puts the configured code page into effect for every thread; the program
// calls it once at start-up. An empty name means "CP932".
void SetExternalCodePage(const std::string& name);

// The code page in effect: the last one set, else "CP932".
std::string ExternalCodePageName();

// UTF-8 -> external code page. Throws CodePageError naming the first
// character that the code page cannot represent (or the first byte that is
// not valid UTF-8), so no text is ever lost silently.
std::string ToExternal(std::string_view utf8);

// External code page -> UTF-8. Never throws: a byte sequence that does not
// decode becomes U+FFFD (one per undecodable byte) and decoding goes on.
// With `undecodable` set, the offsets of the bytes that did not decode are
// added to it (the first kMaxUndecodableOffsets of them).
std::string FromExternal(std::string_view bytes, std::vector<std::size_t>* undecodable = nullptr);

// Bytes in the named iconv encoding (whatever the external code page is:
// text whose encoding a disc or a peer fixes) -> UTF-8, with undecodable
// bytes as in FromExternal. nullopt when iconv does not know the encoding.
std::optional<std::string> FromCodePage(std::string_view bytes, const std::string& codePage,
                                        std::vector<std::size_t>* undecodable = nullptr);

// True when the first character of utf8Char takes more than one byte in the
// external code page (a "double-byte character"). ASCII is never double-byte.
// A character the code page cannot encode at all counts as double-byte: it is
// certainly not a single-byte character.
bool IsDoubleByteChar(std::string_view utf8Char);

// Byte classes of a two-byte code page, for code that scans encoded text
// without decoding it (the profile reader). lead[b] is set when b starts a
// two-byte character whose second byte may lie in the ASCII range (CP932's
// 0x81-0x9F and 0xE0-0xFC); trail[t] when t can be such a second byte. For
// code pages whose multi-byte characters never contain ASCII bytes (UTF-8,
// EUC-JP, single-byte pages) no byte is a lead: byte-wise scanning is safe.
struct ByteClasses {
  std::array<bool, 256> lead{};
  std::array<bool, 256> trail{};
  // Length in bytes (1 or 2) of the character starting at p[0] of [p, end).
  std::size_t CharLength(const char* p, const char* end) const {
    if (lead[static_cast<unsigned char>(*p)] && end - p >= 2 && trail[static_cast<unsigned char>(p[1])]) {
      return 2;
    }
    return 1;
  }
};

// Classes of the current external code page (all clear when it cannot be
// opened).
const ByteClasses& ExternalByteClasses();

// The classes of the named code page as its iconv converter takes byte
// pairs, worked out pair by pair (milliseconds); nullopt when iconv does
// not know it. ExternalByteClasses gives these, from a table for CP932.
std::optional<ByteClasses> ProbeByteClasses(const std::string& codePage);

// "U+00E9": the code point of the first character of utf8Char.
std::string CodePointName(std::string_view utf8Char);

}  // namespace sl::text
