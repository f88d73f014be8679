// The bounded JSON reader and the writer: round trips in member order, every
// kind of malformed input with its offset, the bounds, names given twice and
// ill-formed UTF-8 on the way out.
#include "platform/bounded_json.h"

#include <gtest/gtest.h>

namespace sl::platform {
namespace {

TEST(BoundedJson, ReadsAndWritesBackTheSameDocument) {
  const std::string text =
      "{\"discid\":\"23026203\",\"n\":-12,\"f\":0.5,\"big\":4294967296,\"ok\":true,\"no\":false,\"nil\":null,"
      "\"tracks\":[{\"title\":\"月島 "
      "\\\"ソラ\\\"\",\"artist\":\"a\\\\b\\n\"},{}],\"emoji\":\"\\ud83c\\udfb5\"}";
  const auto r = ReadJson(text);
  ASSERT_TRUE(r.value) << r.error;
  const Json& v = *r.value;
  EXPECT_EQ(JsonText(v, "discid"), "23026203");
  EXPECT_EQ(JsonInt(v, "n"), -12);
  EXPECT_EQ(JsonInt(v, "f", 7), 7);    // not a whole number
  EXPECT_EQ(JsonInt(v, "big", 7), 7);  // beyond int32
  EXPECT_EQ(JsonInt(v, "discid", 7), 7);
  EXPECT_TRUE(JsonBool(v, "ok"));
  EXPECT_TRUE(JsonBool(v, "n", true));  // no boolean: the fallback
  EXPECT_TRUE(JsonMember(v, "nil")->is_null());
  EXPECT_EQ(JsonMember(v, "missing"), nullptr);
  EXPECT_EQ(JsonMember(Json::array(), "discid"), nullptr);
  EXPECT_EQ(JsonText(v["tracks"][0], "title"), "月島 \"ソラ\"");
  EXPECT_EQ(JsonText(v["tracks"][0], "artist"), "a\\b\n");
  EXPECT_EQ(JsonText(v, "emoji"), "\U0001F3B5");
  EXPECT_EQ(JsonText(v, "missing", "def"), "def");
  // Members in file order, non-ASCII text as it is.
  EXPECT_EQ(WriteJson(v),
            "{\"discid\":\"23026203\",\"n\":-12,\"f\":0.5,\"big\":4294967296,\"ok\":true,\"no\":false,"
            "\"nil\":null,\"tracks\":[{\"title\":\"月島 \\\"ソラ\\\"\",\"artist\":\"a\\\\b\\n\"},{}],"
            "\"emoji\":\"\U0001F3B5\"}");
  EXPECT_EQ(JsonIntValue(Json(3.0)), 3);
  EXPECT_EQ(JsonIntValue(Json(-2147483649.0), 9), 9);
}

// What the program writes cannot fail on text that is not UTF-8: each
// ill-formed byte (a member name's too) becomes U+FFFD, control characters
// are escaped.
TEST(BoundedJson, WritesIllFormedUtf8AsReplacementCharacters) {
  Json doc = Json::object();
  doc["title"] = std::string("A\xE3\x81 B\xFF");
  doc[std::string("k\xC3")] = Json::array({std::string("\x80"), "ok\x01"});
  EXPECT_EQ(WriteJson(doc),
            "{\"title\":\"A\xEF\xBF\xBD\xEF\xBF\xBD B\xEF\xBF\xBD\","
            "\"k\xEF\xBF\xBD\":[\"\xEF\xBF\xBD\",\"ok\\u0001\"]}");
  // The document itself is left as it was.
  EXPECT_EQ(doc["title"], std::string("A\xE3\x81 B\xFF"));
}

TEST(BoundedJson, MalformedInputIsAnErrorAtItsOffset) {
  struct Row {
    std::string text;
    std::size_t offset;
    const char* error;
  } rows[] = {
      {"", 0, "value expected"},
      {"{", 1, "member name expected"},
      {"{\"a\" 1}", 5, "':' expected"},
      {"{\"a\":1,}", 7, "member name expected"},
      {"{\"a\":1 \"b\":2}", 7, "',' or '}' expected"},
      {"[1 2]", 3, "',' or ']' expected"},
      {"[1,]", 3, "value expected"},
      {"\"open", 5, "unterminated string"},
      {"\"bad \\x escape\"", 6, "bad escape"},
      {"\"\\u12\"", 5, "bad \\u escape"},
      {"\"\\ud800 alone\"", 7, "unpaired surrogate"},
      {"\"\\udc00\"", 6, "unpaired surrogate"},
      {"\"tab\there\"", 4, "control character in string"},
      {"01", 1, "text after the value"},
      {"-", 1, "bad number"},
      {"1.", 2, "bad number"},
      {"1e", 2, "bad number"},
      {"tru", 3, "unknown literal"},
      {"1e999", 0, "number out of range"},
      {"{} x", 3, "text after the value"},
      {"{} {}", 3, "text after the value"},
      {std::string("\"\xff\""), 1, "string is not valid UTF-8"},
      {std::string("{\"a\":\"ok\xC3\"}"), 9, "string is not valid UTF-8"},  // where the sequence breaks
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const auto r = ReadJson(row.text);
    EXPECT_FALSE(r.value);
    EXPECT_EQ(r.error, row.error);
    EXPECT_EQ(r.offset, row.offset);
  }
}

TEST(BoundedJson, BoundsAreEnforced) {
  JsonLimits limits;
  limits.maxDepth = 4;
  EXPECT_TRUE(ReadJson("[[[[1]]]]", limits).value);
  EXPECT_TRUE(ReadJson("{\"a\":{\"b\":[{}]}}", limits).value);
  auto r = ReadJson("[[[[[1]]]]]", limits);
  EXPECT_EQ(r.error, "nesting too deep");
  EXPECT_EQ(r.offset, 4u);  // the fifth bracket
  // Deep nesting far past the default bound fails instead of exhausting the
  // stack or the memory.
  r = ReadJson(std::string(100000, '['));
  EXPECT_EQ(r.error, "nesting too deep");
  EXPECT_EQ(r.offset, 64u);
  limits = JsonLimits{};
  limits.maxBytes = 10;
  EXPECT_EQ(ReadJson("[1,2,3,4,5,6]", limits).error, "file too large");
  EXPECT_TRUE(ReadJson("[1,2,3,4]", limits).value);
  limits = JsonLimits{};
  limits.maxValues = 3;
  EXPECT_EQ(ReadJson("[1,2,3]", limits).error, "too many values");
  EXPECT_TRUE(ReadJson("[1,2]", limits).value);
  EXPECT_TRUE(ReadJson("\xEF\xBB\xBF{}").value);  // byte-order mark
}

// A name given twice in one object is refused, naming it: which of the two
// was meant cannot be known. The same name in two objects is fine.
TEST(BoundedJson, NameGivenTwiceIsRefused) {
  auto r = ReadJson(R"({"artist":"A","title":"T","artist":"B"})");
  EXPECT_FALSE(r.value);
  EXPECT_EQ(r.error, "member \"artist\" given twice");
  EXPECT_EQ(r.offset, 33u);  // the closing quote of the second name
  r = ReadJson(R"({"t":[{"a":1},{"a":2}],"u":{"a":{"a":3}}})");
  ASSERT_TRUE(r.value) << r.error;
  EXPECT_EQ(WriteJson(*r.value), R"({"t":[{"a":1},{"a":2}],"u":{"a":{"a":3}}})");
}

}  // namespace
}  // namespace sl::platform
