// The --fields reader: JSON text in, window fields out, and every malformed
// input or wrong shape refused with a message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <optional>
#include <string>
#include <vector>

#include "cli/fields.h"

namespace sl::cli {
namespace {

// A file in the temporary folder for the life of the object.
struct TempFile {
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/fields-XXXXXX";
    const int fd = ::mkstemp(name);
    path = name;
    if (fd >= 0) {
      (void)!::write(fd, text.data(), text.size());
      ::close(fd);
    }
  }
  ~TempFile() { std::remove(path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string path;
};

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

// What a correction carries: the revision (up to the highest a server keeps)
// with the disc it belongs to, and the entry's own text.
TEST(Fields, RevisionAndTheEntrysOwnText) {
  std::string why;
  auto f = ParseFields(R"({"discid":"23026203","revision":2147483647,"extd":"a\\nb",)"
                       R"("extt":["x","","z"],"playorder":"2,1,0"})",
                       why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->revision, 2147483647);
  EXPECT_EQ(SubmissionRevision(*f), 2147483648LL);
  EXPECT_EQ(f->extd, "a\\nb");
  EXPECT_EQ(f->extt, (std::vector<std::string>{"x", "", "z"}));
  EXPECT_EQ(f->playorder, "2,1,0");
  f = ParseFields(R"({"discid":"23026203"})", why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(SubmissionRevision(*f), std::nullopt);

  const struct {
    const char* json;
    const char* message;
  } refused[] = {
      {R"({"discid":"23026203","revision":2147483648})", "not 2147483648"},
      {R"({"discid":"23026203","revision":99999999999})", "not 99999999999"},
      {R"({"discid":"23026203","revision":1e300})", "from 0 to 2147483647"},
      {R"({"discid":"23026203","revision":-1})", "from 0 to 2147483647"},
      {R"({"discid":"23026203","revision":"7"})", "from 0 to 2147483647"},
      {R"({"discid":"23026203","revision":1.5})", "from 0 to 2147483647"},
      {R"({"revision":3})", "needs the \"discid\""},
      {R"({"extt":"x"})", "\"extt\" must be an array of strings"},
      {R"({"extt":[null]})", "\"extt\" must be an array of strings"},
      {R"({"extd":[]})", "\"extd\" must be a string"},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(ParseFields(r.json, why)) << r.json;
    EXPECT_NE(why.find(r.message), std::string::npos) << r.json << ": " << why;
  }
}

// Fields go only into the window of the disc they name, and only as many
// tracks as it has.
TEST(Fields, ForeignFieldsNameBothDiscs) {
  std::string why;
  const struct {
    const char* json;
    int tracks;
    const char* message;  // "" : they fit
  } rows[] = {
      {R"({"discid":"23026203","tracks":[{},{},{}]})", 3, ""},
      {R"({"discid":"23026203","tracks":[{}]})", 3, ""},
      {R"({"discid":"23026203"})", 3, ""},
      {R"({"tracks":[{},{},{}]})", 3, ""},
      {R"({"discid":"990C360C"})", 3, "the fields file is for disc 990C360C, but the disc is 23026203"},
      {R"({"discid":""})", 3, "the fields file is for disc , but the disc is 23026203"},
      {R"({"tracks":[{},{},{},{}]})", 3, "the fields file has 4 tracks, but disc 23026203 has 3"},
      {R"({"extt":["","","",""]})", 3, "the fields file has 4 tracks, but disc 23026203 has 3"},
      {R"({"tracks":[{}]})", 0, "the fields file has 1 tracks, but disc 23026203 has 0"},
  };
  for (const auto& r : rows) {
    const auto f = ParseFields(r.json, why);
    ASSERT_TRUE(f) << why;
    EXPECT_EQ(ForeignFields(*f, "23026203", r.tracks), r.message) << r.json;
  }
  const auto lower = ParseFields(R"({"discid":"2302620a"})", why);
  EXPECT_EQ(ForeignFields(*lower, "2302620A", 3), "");
}

// A fields file a user wrote by hand: a key given twice, nesting past any
// shape the fields have, text that is not UTF-8. Each is refused with the
// file, what is wrong and where; none crashes or picks one of two titles.
TEST(Fields, HandWrittenFilesThatCannotBeTaken) {
  TempFile dup(R"({"discid":"23026203","tracks":[{"title":"One","title":"Uno"}]})");
  TempFile deep("{\"tracks\":" + std::string(200000, '[') + std::string(200000, ']') + "}");
  TempFile latin1("{\"artist\":\"Bj\xF6rk\"}");
  TempFile bom("\xEF\xBB\xBF{\"artist\":\"A\"}");
  const struct {
    const TempFile& file;
    std::string message;
  } rows[] = {
      {dup, "member \"title\" given twice at byte 52"},
      {deep, "nesting too deep at byte 17"},
      {latin1, "string is not valid UTF-8 at byte 13"},
  };
  for (const auto& row : rows) {
    std::string why;
    EXPECT_FALSE(ReadFieldsFile(row.file.path, why)) << row.file.path;
    EXPECT_EQ(why, row.file.path + ": " + row.message);
  }
  std::string why;
  const auto f = ReadFieldsFile(bom.path, why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->artist, "A");
  // Not one title of the same track twice, but the same key in two tracks.
  EXPECT_TRUE(ParseFields(R"({"tracks":[{"title":"One"},{"title":"Two"}]})", why)) << why;
}

}  // namespace
}  // namespace sl::cli
