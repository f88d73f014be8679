// UTF-8 for the whole program: one decoder that says whether a character is
// well-formed, one encoder, and the few ways of stepping through text that
// the rooms need. Inside the program every string is UTF-8; these helpers
// never throw and never read outside the text they are given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sl::text {

// U+FFFD, what an ill-formed byte becomes where text must be well-formed.
inline constexpr char32_t kReplacementChar = 0xFFFD;
inline constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
// At most this many offsets of ill-formed bytes are noted per call.
inline constexpr std::size_t kMaxUndecodableOffsets = 64;

// True when no byte of text is 0x80 or above.
bool IsAscii(std::string_view text);

// 10xxxxxx: a byte that continues a character and starts none.
constexpr bool IsContinuationByte(unsigned char b) { return (b & 0xC0) == 0x80; }

// One character decoded strictly: overlong forms, encoded surrogates
// (U+D800 to U+DFFF), code points above U+10FFFF and sequences cut short
// (by the text's end or by a byte that is no continuation byte) are
// ill-formed, and so are stray continuation bytes and the bytes C0, C1 and
// F5 to FF.
struct Utf8Char {
  char32_t codePoint = 0;
  std::size_t length = 0;  // bytes taken; 0: ill-formed at this position
};
// The character at text[at]; `at` must be inside text.
Utf8Char DecodeUtf8(std::string_view text, std::size_t at);

// Appends the UTF-8 form of `codePoint` (any value below 0x110000; a
// surrogate or a larger value appends U+FFFD).
void AppendUtf8(std::string& out, char32_t codePoint);

// Ways of stepping over text that may be ill-formed, for code that only
// needs to move from one character to the next and must always move on.
//
// The length the byte at text[at] announces as a lead byte (2 for C0 to DF,
// 3 for E0 to EF, 4 for F0 to FF, else 1), cut to the end of the text. The
// bytes it covers are not looked at.
std::size_t AnnouncedLength(std::string_view text, std::size_t at);
// The byte at text[at] and every continuation byte that follows it.
std::size_t RunLength(std::string_view text, std::size_t at);
// The largest n <= limit at which text may be cut without splitting a
// character: n is 0 or text[n] is no continuation byte (n == text.size()
// is always a cut point).
std::size_t CutPointAtOrBefore(std::string_view text, std::size_t limit);
// How many characters text holds, stepping by AnnouncedLength.
std::size_t CountChars(std::string_view text);

// True when text is well-formed UTF-8 throughout.
bool IsValidUtf8(std::string_view text);
// Replaces every byte where no well-formed character starts, and every
// byte of a sequence cut short, by U+FFFD: one replacement per such byte.
// Well-formed text is returned as it is. With `undecodable` set, the
// offsets of the replaced bytes are added to it (the first
// kMaxUndecodableOffsets of them).
std::string SanitizeUtf8(std::string_view text, std::vector<std::size_t>* undecodable = nullptr);

// UTF-8 <-> UTF-16, for text that crosses to the player as UTF-16 strings.
// Ill-formed UTF-8 bytes (one U+FFFD each) and unpaired surrogates become
// U+FFFD; nothing else changes, so well-formed text makes the round trip
// unchanged.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Notes `offset` in `undecodable` (when set) while it holds fewer than
// kMaxUndecodableOffsets entries.
void NoteUndecodable(std::vector<std::size_t>* undecodable, std::size_t offset);

}  // namespace sl::text
