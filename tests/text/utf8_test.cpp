#include "text/utf8.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "text/codepage.h"

namespace sl::text {
namespace {

// Sets SONOLABEL_CODEPAGE for one test and puts the old value back.
class CodePageSetting {
 public:
  explicit CodePageSetting(const char* value) {
    if (const char* old = std::getenv("SONOLABEL_CODEPAGE")) old_ = old;
    setenv("SONOLABEL_CODEPAGE", value, 1);
  }
  ~CodePageSetting() {
    if (old_) {
      setenv("SONOLABEL_CODEPAGE", old_->c_str(), 1);
    } else {
      unsetenv("SONOLABEL_CODEPAGE");
    }
  }

 private:
  std::optional<std::string> old_;
};

std::string Repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Ill-formed sequences, each with the number of bytes in it that start no
// well-formed character (each becomes one U+FFFD).
struct BadSequence {
  const char* what;
  std::string bytes;
  std::size_t replaced;
};

std::vector<BadSequence> BadSequences() {
  std::vector<BadSequence> all = {
      {"encoded surrogate D800", "\xED\xA0\x80", 3},
      {"encoded surrogate DFFF", "\xED\xBF\xBF", 3},
      {"overlong slash in two bytes", "\xC0\xAF", 2},
      {"overlong slash in three bytes", "\xE0\x80\xAF", 3},
      {"overlong slash in four bytes", "\xF0\x80\x80\xAF", 4},
      {"U+110000", "\xF4\x90\x80\x80", 4},
      {"lone continuation byte", "\x80", 1},
      {"three-byte character cut short", "\xE3\x81", 2},
      {"four-byte character cut short", "\xF0\x9F\x98", 3},
  };
  for (unsigned lead = 0xF5; lead <= 0xFF; ++lead) {
    all.push_back({"lead byte F5 to FF", std::string(1, static_cast<char>(lead)) + "\x80\x80\x80", 4});
  }
  return all;
}

// Every ill-formed sequence is refused or replaced the same way by each
// function that reads UTF-8, wherever it stands: at the end of the text or
// with ASCII after it (which must survive: a cut-short character never
// swallows the byte after it).
TEST(Utf8, IllFormedSequencesAreNeverPassedOn) {
  const std::string fffd(kReplacementUtf8);
  for (const auto& bad : BadSequences()) {
    for (const std::string& after : {std::string(), std::string("z")}) {
      const std::string text = "a" + bad.bytes + after;
      SCOPED_TRACE(std::string(bad.what) + (after.empty() ? " at the end" : " before ASCII"));
      EXPECT_FALSE(IsValidUtf8(text));
      EXPECT_FALSE(IsValidUtf8(bad.bytes));

      std::vector<std::size_t> offsets;
      EXPECT_EQ(SanitizeUtf8(text, &offsets), "a" + Repeat(fffd, bad.replaced) + after);
      ASSERT_EQ(offsets.size(), bad.replaced);
      EXPECT_EQ(offsets.front(), 1u);
      EXPECT_TRUE(IsValidUtf8(SanitizeUtf8(text)));

      const std::u16string wide = Utf8ToUtf16(text);
      EXPECT_EQ(wide, u"a" + std::u16string(bad.replaced, u'\xFFFD') + (after.empty() ? u"" : u"z"));
      for (char16_t unit : wide) EXPECT_FALSE(unit >= 0xD800 && unit <= 0xDFFF);

      EXPECT_EQ(DecodeUtf8(text, 1).length, 0u);
      for (const char* codePage : {"CP932", "UTF-8"}) {
        const CodePageSetting setting(codePage);
        EXPECT_THROW(ToExternal(text), CodePageError) << codePage;
      }
    }
  }
}

// The well-formed neighbours of the refused forms decode, at each length's
// smallest and largest code point.
TEST(Utf8, BoundaryCodePointsDecodeAndEncodeBack) {
  for (char32_t cp :
       {0x00u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFDu, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    SCOPED_TRACE(static_cast<unsigned>(cp));
    std::string bytes;
    AppendUtf8(bytes, cp);
    const Utf8Char c = DecodeUtf8(bytes, 0);
    EXPECT_EQ(c.codePoint, cp);
    EXPECT_EQ(c.length, bytes.size());
    EXPECT_TRUE(IsValidUtf8(bytes));
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(bytes)), bytes);
  }
  // What no well-formed text holds is written as U+FFFD.
  for (char32_t cp : {0xD800u, 0xDFFFu, 0x110000u}) {
    std::string bytes;
    AppendUtf8(bytes, cp);
    EXPECT_EQ(bytes, kReplacementUtf8);
  }
  // So is an unpaired surrogate coming from UTF-16.
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800"
                        u"b\xDC00"),
            "a" + std::string(kReplacementUtf8) + "b" + std::string(kReplacementUtf8));
  EXPECT_EQ(Utf16ToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
}

// The ways of stepping over text that may be ill-formed differ on purpose
// where the text is ill-formed; each room relies on its own.
TEST(Utf8, SteppingOverIllFormedTextDiffersByWay) {
  // A cut-short character before ASCII.
  const std::string cut =
      "\xE3\x81"
      "A";
  EXPECT_EQ(AnnouncedLength(cut, 0), 3u);  // takes the "A" along
  EXPECT_EQ(RunLength(cut, 0), 2u);        // stops before it
  EXPECT_EQ(DecodeUtf8(cut, 0).length, 0u);
  // A lead byte followed by more continuation bytes than it announces.
  const std::string extra = "\xC3\xA9\xA9";
  EXPECT_EQ(AnnouncedLength(extra, 0), 2u);
  EXPECT_EQ(RunLength(extra, 0), 3u);
  EXPECT_EQ(DecodeUtf8(extra, 0).length, 2u);
  // A lead byte announcing more than the text holds, and stray bytes.
  EXPECT_EQ(AnnouncedLength("\xF0\x9F", 0), 2u);
  EXPECT_EQ(AnnouncedLength("\xFF"
                            "abc",
                            0),
            4u);
  EXPECT_EQ(AnnouncedLength("\x80"
                            "a",
                            0),
            1u);
  EXPECT_EQ(RunLength("\x80\x80"
                      "a",
                      0),
            2u);

  EXPECT_EQ(CountChars("a\xC3\xA9\xE6\x9C\x88\xF0\x9F\x98\x80"), 4u);
  EXPECT_EQ(CountChars("\xE3\x81"
                       "A"),
            1u);
  EXPECT_EQ(CountChars(""), 0u);

  // Cut points: never inside a character; a text of continuation bytes only
  // is cut to nothing.
  const std::string e =
      "a\xC3\xA9"
      "b";
  EXPECT_EQ(CutPointAtOrBefore(e, 1), 1u);
  EXPECT_EQ(CutPointAtOrBefore(e, 2), 1u);
  EXPECT_EQ(CutPointAtOrBefore(e, 3), 3u);
  EXPECT_EQ(CutPointAtOrBefore(e, 99), e.size());
  EXPECT_EQ(CutPointAtOrBefore("\x80\x80\x80", 2), 0u);

  EXPECT_TRUE(IsAscii("plain\r\n"));
  EXPECT_FALSE(IsAscii("caf\xC3\xA9"));
}

}  // namespace
}  // namespace sl::text
