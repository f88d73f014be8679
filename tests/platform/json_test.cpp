// The JSON reader and writer: round trips, every kind of malformed input with
// its offset, and the bounds.
#include "platform/json.h"

#include <gtest/gtest.h>

namespace sl::platform::json {
namespace {

TEST(Json, ReadsAndWritesBackTheSameDocument) {
  const std::string text =
      "{\"discid\":\"23026203\",\"n\":-12,\"f\":0.5,\"e\":1e3,\"ok\":true,\"no\":false,\"nil\":null,"
      "\"tracks\":[{\"title\":\"月島 \\\"ソラ\\\"\",\"artist\":\"a\\\\b\\n\"},{}],\"emoji\":\"\\ud83c\\udfb5\"}";
  const auto r = Parse(text);
  ASSERT_TRUE(r.value) << r.error;
  const Value& v = *r.value;
  EXPECT_EQ(v.GetString("discid"), "23026203");
  EXPECT_EQ(v.GetInt("n"), -12);
  EXPECT_EQ(v.GetInt("f", 7), 7);  // not an integer
  EXPECT_EQ(v.GetInt("e"), 1000);
  EXPECT_TRUE(v.GetBool("ok"));
  EXPECT_TRUE(v.Find("nil")->IsNull());
  EXPECT_EQ(v.Find("tracks")->AsArray()[0].GetString("title"), "月島 \"ソラ\"");
  EXPECT_EQ(v.Find("tracks")->AsArray()[0].GetString("artist"), "a\\b\n");
  EXPECT_EQ(v.GetString("emoji"), "\U0001F3B5");
  EXPECT_EQ(v.GetString("missing", "def"), "def");
  const auto again = Parse(Write(v));
  ASSERT_TRUE(again.value);
  EXPECT_EQ(Write(*again.value), Write(v));
  // Copies do not share changes.
  Value copy = v;
  copy.Set("discid", Value("changed"));
  EXPECT_EQ(v.GetString("discid"), "23026203");
  EXPECT_EQ(Quote("a\x01"), "\"a\\u0001\"");
}

TEST(Json, MalformedInputIsAnErrorAtItsOffset) {
  struct Row {
    std::string text;
    std::size_t offset;
  } rows[] = {
      {"", 0},
      {"{", 1},
      {"{\"a\" 1}", 5},
      {"{\"a\":1,}", 7},
      {"[1 2]", 3},
      {"\"open", 5},
      {"\"bad \\x escape\"", 7},
      {"\"\\ud800 alone\"", 7},
      {"\"\\udc00\"", 7},
      {"\"tab\there\"", 4},
      {"01", 1},
      {"-", 1},
      {"1.", 2},
      {"1e", 2},
      {"tru", 0},
      {"1e999", 5},
      {"{} x", 3},
      {std::string("\"\xff\""), 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const auto r = Parse(row.text);
    EXPECT_FALSE(r.value);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(r.offset, row.offset);
  }
}

TEST(Json, BoundsAreEnforced) {
  Limits limits;
  limits.maxDepth = 4;
  EXPECT_TRUE(Parse("[[[[1]]]]", limits).value);
  EXPECT_FALSE(Parse("[[[[[1]]]]]", limits).value);
  // Deep nesting far past the default bound fails instead of overflowing the stack.
  EXPECT_FALSE(Parse(std::string(100000, '[')).value);
  limits = Limits{};
  limits.maxBytes = 10;
  EXPECT_FALSE(Parse("[1,2,3,4,5,6]", limits).value);
  limits = Limits{};
  limits.maxValues = 3;
  EXPECT_FALSE(Parse("[1,2,3]", limits).value);
  EXPECT_TRUE(Parse("\xEF\xBB\xBF{}").value);  // byte-order mark
}

}  // namespace
}  // namespace sl::platform::json
