// The --fields reader: JSON text in, window fields out, and every malformed
// input or wrong shape refused with a message.
#include <gtest/gtest.h>

#include <string>

#include "cli/fields.h"

namespace sl::cli {
namespace {

TEST(Fields, WhatAFileSetsAndLeaves) {
  std::string why;
  const auto f = ParseFields(
      R"({"discid":"23026203","category":"rock","artist":"A","year":1999,"genre":null,
          "tracks":[{"title":"One"},{"artist":"G"},{"title":"Three","artist":"C"},{"title":"Four"}],
          "status":"x","revision":3})",
      why);
  ASSERT_TRUE(f) << why;
  shell::TrackTitleTable t;
  t.SetRowCount(4);
  t.SetGenre("kept");
  t.SetTitle("kept title");
  t.SetCell(1, 2, "kept two");
  EXPECT_EQ(ApplyFields(*f, t), 1);  // the fourth track has no row
  EXPECT_EQ(t.RowCount(), 4);
  EXPECT_EQ(t.Category(), "rock");
  EXPECT_EQ(t.Artist(), "A");
  EXPECT_EQ(t.Year(), "1999");
  EXPECT_EQ(t.Genre(), "kept");
  EXPECT_EQ(t.Title(), "kept title");
  EXPECT_EQ(t.Cell(1, 1), "One");
  EXPECT_EQ(t.Cell(1, 2), "kept two");
  EXPECT_EQ(t.Cell(2, 2), "G");
  EXPECT_EQ(t.Cell(1, 3), "Three");
  EXPECT_EQ(t.Cell(2, 3), "C");
}

TEST(Fields, WrongShapesAreRefused) {
  struct Row {
    std::string json;
    const char* message;
  } rows[] = {
      {"[]", "one JSON object"},
      {"\"text\"", "one JSON object"},
      {R"({"artist":["A"]})", "\"artist\" must be a string"},
      {R"({"year":true})", "\"year\" must be a string"},
      {R"({"year":19.5})", "\"year\" must be a string"},
      {R"({"a":1,})", "member name expected at byte 7"},
      {"{\"artist\":\"\xC3\"}", "not valid UTF-8"},
      {R"({"tracks":[)" + std::string(20, '[') + "]}", "nesting too deep"},
      {R"({"tracks":{"title":"x"}})", "\"tracks\" must be an array"},
      {R"({"tracks":["x"]})", "track 1: each track must be an object"},
      {R"({"tracks":[{},{"title":{}}]})", "track 2: \"title\" must be a string"},
  };
  for (const auto& r : rows) {
    std::string why;
    EXPECT_FALSE(ParseFields(r.json, why)) << r.json;
    EXPECT_NE(why.find(r.message), std::string::npos) << r.json << ": " << why;
  }
  std::string why;
  EXPECT_FALSE(ReadFieldsFile("/no/such/fields.json", why));
  EXPECT_NE(why.find("cannot open /no/such/fields.json"), std::string::npos) << why;
}

}  // namespace
}  // namespace sl::cli
