#include "text/codepage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/scoped_settings.h"

namespace sl::text {
namespace {

// Puts a code page into effect for one test and the old one back.
using test::ScopedCodePage;

TEST(CodePage, Cp932RoundTripsJapaneseText) {
  ScopedCodePage codePage(nullptr);
  EXPECT_EQ(ExternalCodePageName(), "CP932");
  // "ー" and "ソ" have the second bytes "[" and "\"; the full-width blank is
  // 81 40; half-width katakana is one byte.
  const std::string text = "曲名ー ソ　ｱ abc";
  const std::string sjis = ToExternal(text);
  EXPECT_EQ(sjis,
            "\x8B\xC8\x96\xBC\x81\x5B\x20\x83\x5C\x81\x40\xB1\x20"
            "abc");
  EXPECT_EQ(FromExternal(sjis), text);
  // Plain ASCII passes both ways unchanged, including "\" and "~".
  EXPECT_EQ(ToExternal("a\\b~c"), "a\\b~c");
  EXPECT_EQ(FromExternal("a\\b~c"), "a\\b~c");
  EXPECT_EQ(ToExternal(""), "");
  // The wave dash most Linux input methods produce is CP932's 81 60.
  EXPECT_EQ(ToExternal("〜"), "\x81\x60");
}

TEST(CodePage, TextTheCodePageLacksIsAClearError) {
  ScopedCodePage codePage(nullptr);
  try {
    ToExternal("abc😀def");
    FAIL() << "no error";
  } catch (const CodePageError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("U+1F600"), std::string::npos) << what;
    EXPECT_NE(what.find("CP932"), std::string::npos) << what;
  }
  EXPECT_THROW(ToExternal("caf\xC3\xA9"), CodePageError);  // é is not in CP932
  // Input that is not UTF-8 at all is refused too, with its offset.
  try {
    ToExternal("ab\xFF");
    FAIL() << "no error";
  } catch (const CodePageError& e) {
    EXPECT_NE(std::string(e.what()).find("2 バイト目"), std::string::npos) << e.what();
  }
  EXPECT_THROW(ToExternal("\xED\xA0\x80"), CodePageError);  // a UTF-16 surrogate
}

TEST(CodePage, UndecodableBytesBecomeReplacementCharacters) {
  ScopedCodePage codePage(nullptr);
  // A0 and FD are not CP932; a lead byte at the very end has no second byte.
  EXPECT_EQ(FromExternal("a\xA0"
                         "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(FromExternal("\xFD\xFE"
                         "x"),
            "\xEF\xBF\xBD\xEF\xBF\xBD"
            "x");
  EXPECT_EQ(FromExternal("\x8B\xC8\x81"), "曲\xEF\xBF\xBD");
  EXPECT_EQ(SanitizeUtf8("ok\xC3"), "ok\xEF\xBF\xBD");
  EXPECT_TRUE(IsValidUtf8("曲名"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));  // overlong "/"
}

TEST(CodePage, DoubleByteCharactersAreJudgedOnTheEncodedBytes) {
  {
    ScopedCodePage codePage(nullptr);
    EXPECT_FALSE(IsDoubleByteChar(""));
    EXPECT_FALSE(IsDoubleByteChar("A"));
    EXPECT_FALSE(IsDoubleByteChar("ｱ"));  // one byte in CP932, three in UTF-8
    EXPECT_TRUE(IsDoubleByteChar("あ"));
    EXPECT_TRUE(IsDoubleByteChar("あA"));  // only the first character counts
    EXPECT_TRUE(IsDoubleByteChar("😀"));    // not encodable: not single-byte either
  }
  {
    ScopedCodePage codePage("CP1252");
    EXPECT_FALSE(IsDoubleByteChar("\xC3\xA9"));  // é is one byte in CP1252
    EXPECT_EQ(ToExternal("caf\xC3\xA9"), "caf\xE9");
    EXPECT_EQ(FromExternal("caf\xE9"), "caf\xC3\xA9");
  }
  {
    ScopedCodePage codePage("UTF-8");
    EXPECT_TRUE(IsDoubleByteChar("\xC3\xA9"));
    EXPECT_EQ(ToExternal("😀"), "😀");
  }
  {
    ScopedCodePage codePage("NO-SUCH-CODEPAGE");
    EXPECT_THROW(ToExternal("あ"), CodePageError);
    EXPECT_EQ(ToExternal("ascii"), "ascii");
    EXPECT_EQ(FromExternal("a\x82\xA0"), "a\xEF\xBF\xBD\xEF\xBF\xBD");  // never throws
  }
}

TEST(CodePage, ByteClassesFollowTheCodePage) {
  {
    ScopedCodePage codePage(nullptr);
    const ByteClasses& c = ExternalByteClasses();
    for (int b : {0x81, 0x9F, 0xE0, 0xFC}) EXPECT_TRUE(c.lead[b]) << b;
    for (int b : {0x41, 0x80, 0xA0, 0xA1, 0xDF, 0xFD}) EXPECT_FALSE(c.lead[b]) << b;
    for (int t : {0x40, 0x41, 0x5B, 0x5C, 0x5D, 0x61, 0x7E, 0x80, 0xFC}) EXPECT_TRUE(c.trail[t]) << t;
    for (int t : {0x0A, 0x0D, 0x20, 0x3B, 0x3D, 0x7F}) EXPECT_FALSE(c.trail[t]) << t;
    const char s[] = "\x83\x5D]";
    EXPECT_EQ(c.CharLength(s, s + 3), 2u);
    EXPECT_EQ(c.CharLength(s + 2, s + 3), 1u);
    EXPECT_EQ(c.CharLength(s, s + 1), 1u);  // a lead byte cut off by the end
  }
  // The default code page's classes come from a table: it must say what
  // the converter says, pair by pair.
  {
    ScopedCodePage codePage(nullptr);
    const auto probed = ProbeByteClasses("CP932");
    ASSERT_TRUE(probed.has_value());
    EXPECT_EQ(ExternalByteClasses().lead, probed->lead);
    EXPECT_EQ(ExternalByteClasses().trail, probed->trail);
  }
  EXPECT_FALSE(ProbeByteClasses("NO-SUCH-CODEPAGE").has_value());
  for (const char* cp : {"UTF-8", "EUC-JP"}) {
    ScopedCodePage codePage(cp);
    const ByteClasses& c = ExternalByteClasses();
    int leads = 0;
    for (bool l : c.lead) leads += l ? 1 : 0;
    EXPECT_EQ(leads, 0) << cp;  // their multi-byte characters hold no ASCII bytes
  }
}

}  // namespace
}  // namespace sl::text
