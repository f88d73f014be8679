#include "inifile/profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pump.h"
#include "support/recorder.h"
#include "text/codepage.h"

namespace sl::inifile {
namespace {

using platform::SetMessagePump;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using text::ToExternal;

// Builds file bytes from UTF-8 lines, each encoded in CP932 and followed by
// its own line end.
std::string Lines(const std::vector<std::pair<std::string, std::string>>& lines) {
  std::string out;
  for (const auto& [text, end] : lines) out += ToExternal(text) + end;
  return out;
}

// A file as Windows programs leave them: comments, blank lines, keys before
// any section, mixed line ends, duplicates, odd headers, no final line end.
const std::vector<std::pair<std::string, std::string>> kForeign = {
    {"head=before any section", "\r\n"},
    {"; a comment by another program", "\r\n"},
    {"", "\r\n"},
    {"[Disc]", "\r\n"},
    {"  Artist  =  オフコース  ", "\r\n"},
    {"title=\"  padded  \"", "\r\n"},
    {"k=a=b=c", "\n"},
    {";k=commented", "\r\n"},
    {"#h=hash", "\r"},
    {"trail=1 ; trailing", "\r\n"},
    {"dup=first", "\r\n"},
    {"DUP=second", "\r\n"},
    {"novalue", "\r\n"},
    {"[Unclosed", "\r\n"},
    {"after=still disc", "\r\n"},
    {"empty=", "\r\n"},
    {"blank=   ", "\r\n"},
    {"=noname", "\r\n"},
    {"unbal=\"unbalanced", "\r\n"},
    {"two=\"a\" \"b\"", "\r\n"},
    {"wide=　全角　", "\r\n"},
    {"ア=katakana a", "\r\n"},
    {"", "\r\n"},
    {"[ Spaced ]junk", "\r\n"},
    {"x=1", "\r\n"},
    {"[]", "\r\n"},
    {"nameless=1", "\r\n"},
    {"[disc]", "\r\n"},
    {"onlyhere=second copy", "\r\n"},
    {"[ゾ]", "\r\n"},  // "ゾ" is 83 5D: its second byte is "]"
    {"zo=ok", "\r\n"},
    {"[ゾ", "\r\n"},  // no "]" of its own: not a header
    {"inzo=still in ゾ", "\r\n"},
    {"[Tail]", "\r\n"},
    {"last=no line end", ""},
};

TEST(Profile, ReadsFilesAsWindowsDoes) {
  TempDir dir;
  const std::string path = dir.File("foreign.ini");
  WriteFileBytes(path, Lines(kForeign));
  const Profile p(path);

  EXPECT_EQ(p.ReadString("", "head", "def"), "before any section");
  EXPECT_EQ(p.ReadString("DISC", "ARTIST", "def"), "オフコース");
  EXPECT_EQ(p.ReadString("disc", "title", "def"), "  padded  ");
  EXPECT_EQ(p.ReadString("disc", "k", "def"), "a=b=c");
  EXPECT_EQ(p.ReadString("disc", ";k", "def"), "commented");
  EXPECT_EQ(p.ReadString("disc", "#h", "def"), "hash");
  EXPECT_EQ(p.ReadString("disc", "trail", "def"), "1 ; trailing");
  EXPECT_EQ(p.ReadString("disc", "dup", "def"), "first");
  EXPECT_EQ(p.ReadString("disc", "novalue", "def"), "def");
  EXPECT_EQ(p.ReadString("disc", "after", "def"), "still disc");
  EXPECT_EQ(p.ReadString("disc", "empty", "def"), "");
  EXPECT_EQ(p.ReadString("disc", "blank", "def"), "");
  EXPECT_EQ(p.ReadString("disc", "", "def"), "noname");
  EXPECT_EQ(p.ReadString("disc", "unbal", "def"), "\"unbalanced");
  EXPECT_EQ(p.ReadString("disc", "two", "def"), "a\" \"b");
  EXPECT_EQ(p.ReadString("disc", "wide", "def"), "　全角　");
  EXPECT_EQ(p.ReadString("disc", "ア", "def"), "katakana a");
  // ヂ is 83 61, ア 83 41: second bytes differing only in ASCII case.
  EXPECT_EQ(p.ReadString("disc", "ヂ", "def"), "def");
  EXPECT_EQ(p.ReadString("disc", "onlyhere", "def"), "def");  // second copy unseen
  EXPECT_EQ(p.ReadString("disc", "missing", "def"), "def");
  EXPECT_EQ(p.ReadString(" Spaced ", " x ", "def"), "1");
  EXPECT_EQ(p.ReadString("ゾ", "zo", "def"), "ok");
  EXPECT_EQ(p.ReadString("ゾ", "inzo", "def"), "still in ゾ");
  EXPECT_EQ(p.ReadString("tail", "last", "def"), "no line end");
  EXPECT_EQ(p.ReadString("", "nameless", "def"), "def");
  EXPECT_EQ(p.ReadString("nosuch", "x", "def"), "def");
  EXPECT_EQ(p.ReadString("disc", "😀", "def"), "def");  // not encodable: cannot exist

  EXPECT_TRUE(p.HasSection(""));
  EXPECT_TRUE(p.HasSection("DiSc"));
  EXPECT_TRUE(p.HasSection("spaced"));
  EXPECT_TRUE(p.HasSection("ゾ"));
  EXPECT_FALSE(p.HasSection("Unclosed"));
  EXPECT_FALSE(p.HasSection("[Unclosed"));
  EXPECT_FALSE(p.HasSection("nosuch"));

  const auto sec = p.ReadSection("disc");
  ASSERT_TRUE(sec.has_value());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Artist", "オフコース"},
      {"title", "  padded  "},
      {"k", "a=b=c"},
      {"#h", "hash"},
      {"trail", "1 ; trailing"},
      {"dup", "first"},
      {"DUP", "second"},
      {"novalue", ""},
      {"[Unclosed", ""},
      {"after", "still disc"},
      {"empty", ""},
      {"blank", ""},
      {"", "noname"},
      {"unbal", "\"unbalanced"},
      {"two", "a\" \"b"},
      {"wide", "　全角　"},
      {"ア", "katakana a"},
  };
  EXPECT_EQ(*sec, expected);
  EXPECT_FALSE(p.ReadSection("nosuch").has_value());
  EXPECT_FALSE(Profile(dir.File("missing.ini")).ReadSection("disc").has_value());
  EXPECT_EQ(Profile(dir.File("missing.ini")).ReadString("a", "b", "def"), "def");
}

TEST(Profile, IntegersAreWholeDecimalOrHexText) {
  EXPECT_EQ(ParseProfileInteger("42"), 42);
  EXPECT_EQ(ParseProfileInteger("-5"), -5);
  EXPECT_EQ(ParseProfileInteger("+7"), 7);
  EXPECT_EQ(ParseProfileInteger("010"), 10);
  EXPECT_EQ(ParseProfileInteger("0x1F"), 31);
  EXPECT_EQ(ParseProfileInteger("0x00000001"), 1);              // eight digits
  EXPECT_EQ(ParseProfileInteger("0x000000001"), std::nullopt);  // nine, even with leading zeros
  EXPECT_EQ(ParseProfileInteger("0X1f"), 31);
  EXPECT_EQ(ParseProfileInteger("0xFFFFFFFF"), -1);
  EXPECT_EQ(ParseProfileInteger("2147483647"), INT_MAX);
  EXPECT_EQ(ParseProfileInteger("-2147483648"), INT_MIN);
  for (const char* bad : {"", "-", "12abc", " 12", "3.9", "abc", "0x", "0x123456789", "2147483648",
                          "4294967297", "0xG", "--1", "1e3"}) {
    EXPECT_FALSE(ParseProfileInteger(bad).has_value()) << bad;
  }

  TempDir dir;
  const std::string path = dir.File("n.ini");
  WriteFileBytes(path, "[N]\r\nport=8080\r\nbad=abc\r\nempty=\r\nhex=0x50\r\nq=\"12\"\r\n");
  const Profile p(path);
  // One key read as text in one place and as an integer in another.
  EXPECT_EQ(p.ReadString("n", "port", ""), "8080");
  EXPECT_EQ(p.ReadInteger("n", "port", 80), 8080);
  EXPECT_EQ(p.ReadInteger("n", "bad", 80), 80);
  EXPECT_EQ(p.ReadString("n", "bad", ""), "abc");
  EXPECT_EQ(p.ReadInteger("n", "empty", 80), 80);
  EXPECT_EQ(p.ReadInteger("n", "missing", 80), 80);
  EXPECT_EQ(p.ReadInteger("n", "hex", 0), 80);
  EXPECT_EQ(p.ReadInteger("n", "q", 0), 12);  // quotes come off first
}

TEST(Profile, WritesKeepEverythingTheyDoNotChange) {
  TempDir dir;
  const std::string path = dir.File("foreign.ini");
  WriteFileBytes(path, Lines(kForeign));
  Profile p(path);

  ASSERT_TRUE(p.WriteString("DISC", "ARTIST", "New")) << p.LastError();
  EXPECT_EQ(p.LastError(), "");
  ASSERT_TRUE(p.WriteString("disc", "dup", "1"));
  ASSERT_TRUE(p.WriteString("disc", "newkey", "v"));
  ASSERT_TRUE(p.WriteString("New Section", "k", "v"));
  ASSERT_TRUE(p.WriteString("TAIL", "other", "2"));

  // The same file with CR LF everywhere and exactly these changes.
  std::vector<std::pair<std::string, std::string>> want;
  for (const auto& [text, end] : kForeign) {
    std::string t = text;
    if (t == "  Artist  =  オフコース  ") t = "Artist=New";  // stored spelling kept
    if (t == "dup=first") t = "dup=1";                       // first of two changed
    want.emplace_back(t, "\r\n");
    if (t == "ア=katakana a") want.emplace_back("newkey=v", "\r\n");  // after the last entry
  }
  want.emplace_back("other=2", "\r\n");  // the last line gained its line end
  want.emplace_back("[New Section]", "\r\n");
  want.emplace_back("k=v", "\r\n");
  const std::string expected = Lines(want);
  EXPECT_EQ(ReadFileBytes(path), expected);

  // A write that changes nothing leaves the file alone (same inode).
  struct stat before {
  }, after{};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  ASSERT_TRUE(p.WriteString("disc", "NEWKEY", "v"));
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);

  // A header that is the file's last line, without a line end.
  const std::string edge = dir.File("edge.ini");
  WriteFileBytes(edge, "a=1\n[S]");
  Profile e(edge);
  ASSERT_TRUE(e.WriteString("s", "k", "v"));
  EXPECT_EQ(ReadFileBytes(edge), "a=1\r\n[S]\r\nk=v\r\n");
  // A new file.
  Profile fresh(dir.File("fresh.ini"));
  ASSERT_TRUE(fresh.WriteKeys("S", {{"a", "1"}, {"b", "2"}, {"A", "3"}}));
  EXPECT_EQ(ReadFileBytes(dir.File("fresh.ini")), "[S]\r\na=3\r\nb=2\r\n");
  ASSERT_TRUE(fresh.WriteSections({{"T", {{"x", "1"}}}, {"S", {{"c", "4"}}}}));
  EXPECT_EQ(ReadFileBytes(dir.File("fresh.ini")), "[S]\r\na=3\r\nb=2\r\nc=4\r\n[T]\r\nx=1\r\n");
  // Several sections where only some change: the others stay as they were.
  ASSERT_TRUE(fresh.WriteSections({{"S", {{"a", "3"}}}, {"T", {{"x", "2"}}}}));
  EXPECT_EQ(ReadFileBytes(dir.File("fresh.ini")), "[S]\r\na=3\r\nb=2\r\nc=4\r\n[T]\r\nx=2\r\n");
  ASSERT_TRUE(fresh.WriteSections({{"s", {{"A", "5"}}}, {"t", {{"X", "2"}}}, {"U", {}}}));
  EXPECT_EQ(ReadFileBytes(dir.File("fresh.ini")), "[S]\r\na=5\r\nb=2\r\nc=4\r\n[T]\r\nx=2\r\n");
  EXPECT_TRUE(fresh.WriteKeys("S", {}));  // nothing to write
}

// One write of many sections ends as the same bytes as writing them one at
// a time, whatever mix of new, existing, repeated and emptied sections it
// holds and however the file ends.
TEST(Profile, ManySectionsInOneWriteEqualOneAtATime) {
  TempDir dir;
  const std::vector<std::string> starts = {"", "a=1\r\n", "[S]\r\nk=1\r\n; note\r\n\r\n[T]\r\nx=2",
                                           "\xEF\xBB\xBF[S]\r\nk=1\r\n", "[S]\nk=1\n"};
  const std::vector<Profile::SectionKeys> change = {
      {"N1", {{"host", "a"}, {"path", "/p"}, {"HOST", "b"}}},
      {"S", {{"k", "2"}, {"new", "3"}}},
      {"N2", {{"host", "c"}}},
      {"n1", {{"code", "0"}}},      // again, in other case: joins the first N1
      {"N3", {{"x", "1"}}, {"x"}},  // written and removed in one go
      {"N4", {}, {"gone"}},         // nothing to remove in a missing section
      {"T", {{"x", "9"}}},
      {"N2", {{"host", "d"}}, {"nokey"}},
      {"N5", {{"last", "1"}}},
  };
  for (std::size_t i = 0; i < starts.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string together = dir.File("together" + std::to_string(i) + ".ini");
    const std::string apart = dir.File("apart" + std::to_string(i) + ".ini");
    if (!starts[i].empty()) {
      WriteFileBytes(together, starts[i]);
      WriteFileBytes(apart, starts[i]);
    }
    ASSERT_TRUE(Profile(together).WriteSections(change));
    Profile one(apart);
    for (const auto& sec : change) ASSERT_TRUE(one.WriteSections({sec}));
    EXPECT_EQ(ReadFileBytes(together), ReadFileBytes(apart));
  }
}

// A file of plain ASCII is read without the code page's two-byte classes;
// names whose second bytes are "]", "\\" or "=" in Shift-JIS must still be
// found, written and read back once such text goes in.
TEST(Profile, TwoByteNamesInAndOutOfAnAsciiFile) {
  TempDir dir;
  const std::string path = dir.File("a.ini");
  WriteFileBytes(path, "[S]\r\nk=v\r\n");
  Profile p(path);
  EXPECT_EQ(p.ReadString("ゾ", "k", "none"), "none");
  EXPECT_EQ(p.ReadString("S", "ソ", "none"), "none");
  ASSERT_TRUE(p.WriteKeys("ゾ", {{"ソ", "表=示"}, {"k", "2"}})) << p.LastError();
  EXPECT_EQ(p.ReadString("ゾ", "ソ", ""), "表=示");
  EXPECT_EQ(p.ReadString("ゾ", "K", ""), "2");
  EXPECT_EQ(p.ReadString("S", "k", ""), "v");
  ASSERT_TRUE(p.WriteString("ゾ", "ソ", "2"));
  EXPECT_EQ(p.ReadSection("ゾ")->size(), 2u);
  // "ア" and "ヂ" differ only in a second byte that is a letter ('A', 'a'):
  // no case folding may join them.
  ASSERT_TRUE(p.WriteString("ア", "k", "1"));
  EXPECT_EQ(p.ReadString("ヂ", "k", "none"), "none");
  ASSERT_TRUE(p.WriteString("ヂ", "k", "2"));
  EXPECT_EQ(p.ReadString("ア", "k", ""), "1");
}

TEST(Profile, EveryValueReadsBackAsWritten) {
  TempDir dir;
  const std::string path = dir.File("v.ini");
  Profile p(path);
  const std::vector<std::string> values = {
      "plain",
      "  padded  ",
      " lead",
      "trail\t",
      "\"quoted\"",
      "'single'",
      "\"",
      "'x",
      "a=b",
      "x;y",
      ";",
      "=",
      "",
      " ",
      "[not a header]",
      "曲名　",
      "ー\\ソ[ゾ]",
      "\"a\" \"b\"",
      std::string(Profile::kMaxValueBytes, 'z'),
  };
  Profile::KeyValues keys;
  for (std::size_t i = 0; i < values.size(); ++i) keys.emplace_back("k" + std::to_string(i), values[i]);
  ASSERT_TRUE(p.WriteKeys("S", keys)) << p.LastError();
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(p.ReadString("S", "k" + std::to_string(i), "def"), values[i]) << i;
  }
  EXPECT_EQ(p.ReadSection("S"), keys);
  // Only what the reading rules would change is quoted; other programs see
  // "=" and ";" values as they are.
  const std::string bytes = ReadFileBytes(path);
  for (const char* line : {"k1=\"  padded  \"\r\n", "k4=\"\"quoted\"\"\r\n", "k8=a=b\r\n", "k9=x;y\r\n",
                           "k10=;\r\n", "k11==\r\n", "k7='x\r\n"}) {
    EXPECT_NE(bytes.find(line), std::string::npos) << line;
  }

  // Line ends can never start a new key or section: they become blanks.
  ASSERT_TRUE(p.WriteString("S", "evil", "one\r\n[Evil]\nk0=x\rend"));
  EXPECT_EQ(p.ReadString("S", "evil", ""), "one  [Evil] k0=x end");
  EXPECT_FALSE(p.HasSection("Evil"));
  EXPECT_EQ(p.ReadString("S", "k0", ""), "plain");
  EXPECT_EQ(p.ReadSection("S")->size(), keys.size() + 1);
  ASSERT_TRUE(p.WriteString("S", "nul", std::string("a\0b", 3)));
  EXPECT_EQ(p.ReadString("S", "nul", ""), "a b");
}

TEST(Profile, UnsafeNamesAndUnencodableTextAreRefused) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  WriteFileBytes(path, "[S]\r\nk=v\r\n");
  Profile p(path);
  const std::vector<std::pair<std::string, std::string>> badNames = {
      {"S", "a=b"},
      {"S", "[k"},
      {"S", ";k"},
      {"S", ""},
      {"S", "  "},
      {"S", "a\nb"},
      {"a]b", "k"},
      {"", "k"},
      {"  ", "k"},
      {"x\ry", "k"},
      {"S", std::string(Profile::kMaxNameBytes + 1, 'k')},
  };
  for (const auto& [section, key] : badNames) {
    EXPECT_FALSE(p.WriteString(section, key, "v")) << section << "/" << key;
    EXPECT_FALSE(p.LastError().empty());
  }
  EXPECT_FALSE(p.WriteString("S", "long", std::string(Profile::kMaxValueBytes + 1, 'x')));
  EXPECT_NE(p.LastError().find("バイトを超えています"), std::string::npos) << p.LastError();

  // Text CP932 lacks: a clear error and nothing written, also for the other
  // keys of the same write.
  EXPECT_FALSE(p.WriteKeys("S", {{"a", "ok"}, {"b", "smile 😀"}}));
  EXPECT_NE(p.LastError().find("U+1F600"), std::string::npos) << p.LastError();
  EXPECT_FALSE(p.WriteString("S😀", "k", "v"));
  EXPECT_EQ(ReadFileBytes(path), "[S]\r\nk=v\r\n");

  // Blanks around a key name are not part of it, as when reading.
  ASSERT_TRUE(p.WriteString(" S ", "  spaced key  ", "v2"));
  EXPECT_EQ(p.ReadString("s", "spaced key", ""), "v2");
  EXPECT_EQ(ReadFileBytes(path), "[S]\r\nk=v\r\nspaced key=v2\r\n");
  EXPECT_EQ(p.LastError(), "");
}

TEST(Profile, Utf8FilesWithByteOrderMarkStayUtf8) {
  TempDir dir;
  const std::string path = dir.File("bom.ini");
  WriteFileBytes(path, "\xEF\xBB\xBF[S]\nk=caf\xC3\xA9\n");
  Profile p(path);
  EXPECT_EQ(p.ReadString("s", "k", ""), "caf\xC3\xA9");
  ASSERT_TRUE(p.WriteString("S", "e", "😀 曲")) << p.LastError();  // fine in UTF-8
  EXPECT_EQ(ReadFileBytes(path), "\xEF\xBB\xBF[S]\r\nk=caf\xC3\xA9\r\ne=😀 曲\r\n");
  EXPECT_EQ(p.ReadString("S", "e", ""), "😀 曲");
  // Broken UTF-8 in such a file reads as replacement characters.
  WriteFileBytes(path, "\xEF\xBB\xBF[S]\r\nk=a\xFF\r\n");
  EXPECT_EQ(p.ReadString("S", "k", ""), "a\xEF\xBF\xBD");
  // Without the mark the same bytes are CP932.
  WriteFileBytes(path, "[S]\r\nk=\x83\x5C\r\n");
  EXPECT_EQ(p.ReadString("S", "k", ""), "ソ");
}

// Runs write() where the folder is read-only for it: as an ordinary user
// with the folder's write permission taken away, or, when the tests run as
// root (who may write anyway), in a child process that gives up root.
bool WriteInReadOnlyFolder(const std::string& folder, const std::function<bool()>& write) {
  if (::geteuid() != 0) {
    ::chmod(folder.c_str(), 0555);
    const bool ok = write();
    ::chmod(folder.c_str(), 0755);
    return ok;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    ::_exit(write() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 3) << "could not drop privileges";
  return WEXITSTATUS(status) == 0;
}

TEST(Profile, ReadOnlyFilesAndFoldersAreLeftAlone) {
  TempDir dir;
  ::chmod(dir.Path().c_str(), 0755);
  const std::string path = dir.File("ro.ini");
  const std::string original = "[S]\r\nk=v\r\n";
  WriteFileBytes(path, original);

  ::chmod(path.c_str(), 0444);
  Profile p(path);
  EXPECT_FALSE(p.WriteString("S", "k", "new"));
  EXPECT_NE(p.LastError().find("読み取り専用"), std::string::npos) << p.LastError();
  EXPECT_EQ(ReadFileBytes(path), original);
  ::chmod(path.c_str(), 0644);

  std::string childError;
  EXPECT_FALSE(WriteInReadOnlyFolder(dir.Path(), [&] {
    Profile q(path);
    const bool ok = q.WriteString("S", "k", "new");
    childError = q.LastError();
    return ok && q.LastError().empty();
  }));
  EXPECT_EQ(ReadFileBytes(path), original);
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(name, "ro.ini");  // no lock file, no temporary
  }

  // A folder that does not exist, and a folder where the file should be.
  Profile nofolder(dir.File("no/such/folder.ini"));
  EXPECT_FALSE(nofolder.WriteString("S", "k", "v"));
  EXPECT_FALSE(nofolder.LastError().empty());
  std::filesystem::create_directory(dir.File("adir.ini"));
  Profile isdir(dir.File("adir.ini"));
  EXPECT_FALSE(isdir.WriteString("S", "k", "v"));
  EXPECT_EQ(isdir.ReadString("S", "k", "def"), "def");
  EXPECT_FALSE(Profile("").WriteString("S", "k", "v"));
}

TEST(Profile, ReplacementKeepsPermissionsLinksAndCleansUp) {
  TempDir dir;
  const std::string real = dir.File("real.ini");
  const std::string link = dir.File("link.ini");
  WriteFileBytes(real, "[S]\r\nk=v\r\n");
  ::chmod(real.c_str(), 0640);
  std::filesystem::create_symlink("real.ini", link);
  // A temporary file a killed writer left behind.
  WriteFileBytes(dir.File(".real.ini.tmp-1-dead"), "[S]\r\nk=torn");

  Profile p(link);
  ASSERT_TRUE(p.WriteString("S", "k", "new")) << p.LastError();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(real), "[S]\r\nk=new\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(dir.File(".real.ini.tmp-1-dead")));
  // The lock was on the file itself: nothing else is left in the folder.
  EXPECT_FALSE(std::filesystem::exists(dir.File("real.ini.lock")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("link.ini.lock")));

  // A file beyond the size bound reads as empty and is not rewritten.
  const std::string big = dir.File("big.ini");
  {
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(Profile::kMaxFileBytes + 1)), 0);
    ::close(fd);
  }
  Profile b(big);
  EXPECT_EQ(b.ReadString("S", "k", "def"), "def");
  EXPECT_FALSE(b.WriteString("S", "k", "v"));
  EXPECT_NE(b.LastError().find("大きすぎます"), std::string::npos) << b.LastError();
}

TEST(Profile, WriteWaitsForAnotherWritersLockAndKeepsTheWindowLive) {
  TempDir dir;
  const std::string path = dir.File("w.ini");
  // While the file does not exist, writers lock its folder.
  const int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  std::thread holder([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::flock(fd, LOCK_UN);
  });

  int pumps = 0;
  bool nestedResult = true;
  std::string nestedError;
  SetMessagePump([&] {
    if (pumps++ == 0) {
      // A handler run from the pump that writes too fails at once instead of
      // waiting on its own lock.
      Profile nested(path);
      nestedResult = nested.WriteString("S", "nested", "1");
      nestedError = nested.LastError();
    }
  });
  Profile p(path);
  const auto start = std::chrono::steady_clock::now();
  const bool ok = p.WriteString("S", "k", "v");
  const auto waited = std::chrono::steady_clock::now() - start;
  SetMessagePump({});
  holder.join();
  ::close(fd);

  EXPECT_TRUE(ok) << p.LastError();
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_GT(pumps, 0);
  EXPECT_FALSE(nestedResult);
  EXPECT_NE(nestedError.find("まだ終わっていません"), std::string::npos) << nestedError;
  EXPECT_EQ(ReadFileBytes(path), "[S]\r\nk=v\r\n");
}

// Bytes this process has read from files so far.
long long BytesRead() {
  const std::string io = ReadFileBytes("/proc/self/io");
  const auto at = io.find("rchar: ");
  return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
}

// A file is parsed once and the parse reused while the file stays the same;
// any change, by us or by another program, is seen at the next read.
TEST(Profile, ParsedOnceWhileUnchangedAndChangesAreSeen) {
  TempDir dir;
  const std::string path = dir.File("big.ini");
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += "[svr" + std::to_string(i) + "]\r\nhost=h" + std::to_string(i) + "\r\npath=/p\r\n" +
            std::string(400, ';') + "\r\n";
  WriteFileBytes(path, text);
  ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
  Profile p(path);
  // The first read goes through the file for its one section; the second
  // of the unchanged file parses it whole, once for all later reads.
  EXPECT_EQ(p.ReadString("svr0", "host", ""), "h0");
  EXPECT_EQ(p.ReadString("svr1", "host", ""), "h1");
  const long long before = BytesRead();
  if (before < 0) GTEST_SKIP() << "no /proc/self/io";
  for (int i = 0; i < 2000; ++i)
    ASSERT_EQ(p.ReadString("SVR" + std::to_string(i), "HOST", ""), "h" + std::to_string(i));
  EXPECT_LT(BytesRead() - before, static_cast<long long>(text.size())) << "the file was read again";

  // Our own write replaces the file: the next read sees it.
  ASSERT_TRUE(p.WriteString("svr5", "host", "changed"));
  EXPECT_EQ(p.ReadString("svr5", "host", ""), "changed");
  // Another program rewrites it in place, same size, and puts the old
  // modification time back: the change time still tells.
  std::string other = ReadFileBytes(path);
  const auto at = other.find("host=h7\r\n");
  ASSERT_NE(at, std::string::npos);
  other[at + 6] = '8';
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
    ::close(fd);
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  EXPECT_EQ(p.ReadString("svr7", "host", ""), "h8");
  // Removed: defaults again.
  ::unlink(path.c_str());
  EXPECT_EQ(p.ReadString("svr7", "host", "gone"), "gone");
  EXPECT_FALSE(p.HasSection("svr7"));
}

// A read-modify-write sees the file under its lock and writes all or nothing.
TEST(Profile, TransactionReadsUnderTheLockAndWritesAllOrNothing) {
  TempDir dir;
  const std::string path = dir.File("t.ini");
  WriteFileBytes(path, "[a]\r\nn=1\r\n");
  Profile p(path);
  ASSERT_TRUE(p.Transact([](const Profile::Reader& f, std::vector<Profile::SectionKeys>& out, std::string&) {
    const int n = std::stoi(f.ReadString("a", "n", "0"));
    out.push_back({"a", {{"n", std::to_string(n + 1)}}});
    out.push_back({"b", {{"seen", f.Find("a", "missing") ? "yes" : "no"}}});
    return true;
  }));
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\nn=2\r\n[b]\r\nseen=no\r\n");
  EXPECT_FALSE(
      p.Transact([](const Profile::Reader& f, std::vector<Profile::SectionKeys>& out, std::string& why) {
        out.push_back({"a", {{"n", "99"}}});
        EXPECT_FALSE(f.Storable("\xF0\x9F\x98\x80"));
        why = "refused";
        return false;
      }));
  EXPECT_EQ(p.LastError(), "refused");
  EXPECT_EQ(ReadFileBytes(path), "[a]\r\nn=2\r\n[b]\r\nseen=no\r\n");
}

// Files that test the reading rules, the blocks of the one-pass scan
// (lines across block ends, a line longer than a block) and the encodings.
std::vector<std::pair<std::string, std::string>> TrickyFiles() {
  // The first block of the scan ends between the CR and the LF of a line.
  std::string big = "; head\r\n;" + std::string((std::size_t{256} << 10) - 9, 'p') + "\r\n";
  for (int i = 0; i < 3000; ++i) {
    big += "[S" + std::to_string(i) + "]\r\nk=" + std::to_string(i) + "\r\n" +
           std::string(static_cast<std::size_t>(i % 97), 'x') + "=pad\r\n";
    if (i == 1234) big += "long=" + std::string(700000, 'L') + "\r\n";
  }
  std::string lf = big;
  for (std::size_t at = 0; (at = lf.find("\r\n", at)) != std::string::npos;) lf.erase(at, 1);
  return {
      {"plain", "[A]\r\nk=1\r\n[B]\r\nx=2\r\n"},
      {"head", "top=1\r\n; note\r\n[A]\r\nk=v\r\n"},
      {"duplicates", "[A]\r\nk=1\r\nk=one\r\n[a]\r\nk=2\r\nz=3\r\n"},
      {"blanks", "  [ Disc ]junk\r\n  key1 =  value one  \r\n[A]\r\n\r\n k = \"  q  \" \r\n"},
      {"unclosed", "[A]\r\n[Unclosed\r\nk=v\r\n[]\r\nk=hidden\r\n[B]\r\n"},
      {"mixed ends", "[A]\nk=1\r[B]\rk=2\n[Disc]\r\nkey1=d"},
      {"open end", "[A]\r\nk=1\r\n[B]\r\nk=2"},
      {"header last", "[A]\r\nk=1\r\n[B]"},
      {"bom", "\xEF\xBB\xBF[A]\r\nk=caf\xC3\xA9\r\n[\xE6\x9B\xB2]\r\nk=x\r\n"},
      {"comments", "[A]\r\n;k=commented\r\nk=real\r\n#h=hash\r\n"},
      {"two-byte", "[A]\r\nk=" + ToExternal("ゾ]") + "\r\n[" + ToExternal("アゼ") +
                       "]\r\nk=" + ToExternal("ソ") + "\r\n[B]\r\nk=b\r\n"},
      {"empty", ""},
      {"big", big},
      {"big, LF", lf},
  };
}

// The first read of a file in a process goes through it for one section;
// later reads use a whole parse. Both answer every read alike.
TEST(Profile, FirstReadOfOneSectionAnswersAsTheWholeParse) {
  TempDir dir;
  const std::vector<std::string> sections = {"A",        "a",     " B ",          "Disc",  "",
                                             "Unclosed", "Z",     "S0",           "S1234", "s1235",
                                             "S2999",    "S3000", "\xE6\x9B\xB2", "アゼ",  "アぜ"};
  const std::vector<std::string> keys = {"k", "K", "x", "top", "key1", "z", ";k", "#h", "long", "missing"};
  int links = 0;
  for (const auto& [what, text] : TrickyFiles()) {
    SCOPED_TRACE(what);
    const std::string path = dir.File("whole.ini");
    WriteFileBytes(path, text);
    const Profile whole(path);
    (void)whole.ReadString("A", "k", "");
    (void)whole.ReadString("B", "k", "");  // the second read parses the file whole
    auto fresh = [&] {
      // Another name for the same file is a file this process has not read.
      const std::string link = dir.File("link" + std::to_string(++links) + ".ini");
      std::filesystem::create_hard_link(path, link);
      return Profile(link);
    };
    const bool large = text.size() > 100000;
    for (const auto& section : sections) {
      if (large && section.size() < 2 && !section.empty()) continue;
      SCOPED_TRACE("section [" + section + "]");
      EXPECT_EQ(fresh().HasSection(section), whole.HasSection(section));
      EXPECT_EQ(fresh().ReadSection(section), whole.ReadSection(section));
      for (const auto& key : keys) {
        if (large && key != "k" && key != "long" && key != "missing") continue;
        EXPECT_EQ(fresh().ReadString(section, key, "def"), whole.ReadString(section, key, "def")) << key;
      }
    }
  }
}

// A write that only writes finds its section in one pass and copies the
// rest of the file; a write that reads first works on the whole file. Both
// give the same file.
TEST(Profile, WriteThatOnlyWritesGivesTheSameFileAsOneThatReads) {
  TempDir dir;
  struct Change {
    const char* section;
    Profile::KeyValues keys;
    std::vector<std::string> deletes;
  };
  const std::vector<Change> changes = {
      {"A", {{"k", "new"}}, {}},
      {"a", {{"added", " padded "}}, {}},
      {"B", {{"k", "2"}, {"x", "y"}}, {}},
      {"Disc", {}, {"key1"}},
      {"New", {{"n", "1"}}, {}},
      {"S1234", {{"k", "changed"}, {"more", "v"}}, {}},
      {"S2999", {{"k", "last"}}, {"missing"}},
      {"アゼ", {{"k", "ソ"}}, {}},
  };
  for (const auto& [what, text] : TrickyFiles()) {
    for (const auto& c : changes) {
      SCOPED_TRACE(std::string(what) + " / " + c.section);
      const std::string direct = dir.File("direct.ini");
      const std::string reading = dir.File("reading.ini");
      WriteFileBytes(direct, text);
      WriteFileBytes(reading, text);
      const Profile::SectionKeys change{c.section, c.keys, c.deletes};
      Profile d(direct);
      const bool directOk = d.WriteSections({change});
      Profile r(reading);
      const bool readingOk =
          r.Transact([&](const Profile::Reader& f, std::vector<Profile::SectionKeys>& out, std::string&) {
            (void)f.Find(c.section, "k");
            out.push_back(change);
            return true;
          });
      EXPECT_EQ(directOk, readingOk) << d.LastError() << " / " << r.LastError();
      EXPECT_EQ(ReadFileBytes(direct), ReadFileBytes(reading));
    }
  }
}

// Writers lock the file itself and, once they hold the lock, check that it
// is still the file at the path: a writer that waited on a file which a
// rename has since replaced must not write from the old one. Three
// processes that each add keys and count one counter up lose nothing.
TEST(Profile, ProcessesRacingOnOneFileLoseNoChange) {
  TempDir dir;
  const std::string path = dir.File("race.ini");
  WriteFileBytes(path, "[c]\r\nn=0\r\n");
  constexpr int kWriters = 3;
  constexpr int kRounds = 40;
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (int who = 0; who < kWriters; ++who) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      char ch;
      while (::read(start[0], &ch, 1) > 0) {
      }
      Profile p(path);
      for (int i = 0; i < kRounds; ++i) {
        // A write that reads (the counter) and one that only writes.
        const bool counted =
            p.Transact([](const Profile::Reader& f, std::vector<Profile::SectionKeys>& out, std::string&) {
              out.push_back({"c", {{"n", std::to_string(std::stoi(f.ReadString("c", "n", "0")) + 1)}}});
              return true;
            });
        const bool added = p.WriteString("w" + std::to_string(who), "k" + std::to_string(i), "v");
        if (!counted || !added) ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Profile p(path);
  EXPECT_EQ(p.ReadInteger("c", "n", -1), kWriters * kRounds);
  for (int who = 0; who < kWriters; ++who) {
    const auto keys = p.ReadSection("w" + std::to_string(who));
    ASSERT_TRUE(keys.has_value()) << who;
    EXPECT_EQ(keys->size(), static_cast<std::size_t>(kRounds)) << who;
  }
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    EXPECT_EQ(e.path().filename().string(), "race.ini");
  }
}

}  // namespace
}  // namespace sl::inifile

namespace sl::inifile {
namespace {

TEST(ProfileDelete, RemovesOneKeyAndKeepsEverythingElse) {
  test::TempDir dir;
  const std::string path = dir.File("dsmp.ini");
  const std::string before =
      "; tools\r\n[Tool]\r\nA=1\r\nb=2\r\n;c=3\r\nA=dup\r\n\r\n[DSMP]\r\nDesign=x.dsk\r\n";
  struct Row {
    const char* section;
    const char* key;
    std::string after;
    bool ok = true;
  } rows[] = {
      {"Tool", "B", "; tools\r\n[Tool]\r\nA=1\r\n;c=3\r\nA=dup\r\n\r\n[DSMP]\r\nDesign=x.dsk\r\n"},
      // The first of duplicates goes; the next one is then the one read.
      {"tool", "a", "; tools\r\n[Tool]\r\nb=2\r\n;c=3\r\nA=dup\r\n\r\n[DSMP]\r\nDesign=x.dsk\r\n"},
      {"Tool", ";c", before, false},  // comments are no keys: refused
      {"Tool", "missing", before},    // nothing to remove
      {"Nowhere", "A", before},       // no such section
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.section) + "/" + row.key);
    test::WriteFileBytes(path, before);
    Profile p(path);
    EXPECT_EQ(p.DeleteKey(row.section, row.key), row.ok) << p.LastError();
    EXPECT_EQ(test::ReadFileBytes(path), row.after);
  }
  Profile p(path);
  EXPECT_FALSE(p.DeleteKey("Tool", "a=b"));  // not a key name
  EXPECT_TRUE(Profile(dir.File("new.ini")).DeleteKey("Tool", "A"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("new.ini")));
}

}  // namespace
}  // namespace sl::inifile
