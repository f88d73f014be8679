// The command line's parser: both ways of giving a value, "--" ending the
// options, help and version wherever they stand, and every usage error in the
// program's own words.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace sl::cli {
namespace {

using Action = ParsedCommandLine::Action;

// Splits `line` at blanks (no quoting: the tests need none).
ParsedCommandLine Parse(const std::string& line) {
  std::vector<std::string> words{"sonolabel-cli"};
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, ValuesGivenEitherWayAndTheLastOfTwo) {
  for (const char* line : {"lookup --drive 2 --choose 1 --email a@b.c --server http://h:8080",
                           "lookup --drive=2 --choose=1 --email=a@b.c --server=http://h:8080",
                           "--demo lookup --drive=0 --choose 3 --drive 2 --choose=1 --email a@b.c "
                           "--server http://h:8080"}) {
    SCOPED_TRACE(line);
    const auto p = Parse(line);
    ASSERT_EQ(p.action, Action::Run) << p.error;
    EXPECT_EQ(p.line.command, "lookup");
    EXPECT_EQ(p.line.drive, 2);
    EXPECT_TRUE(p.line.driveGiven);
    EXPECT_EQ(p.line.choose, 1);
    EXPECT_EQ(p.line.email, "a@b.c");
    EXPECT_EQ(p.line.serverUrl, "http://h:8080/~cddb/cddb.cgi?");
  }
  // --demo anywhere, once.
  EXPECT_TRUE(Parse("--demo discid").line.demo);
  EXPECT_TRUE(Parse("player import --drive 1 --demo").line.demo);
  EXPECT_FALSE(Parse("discid").line.demo);
  // A value that starts like an option is still the option's value when it
  // is joined by "=".
  auto p = Parse("lookup --email=--drive");
  EXPECT_EQ(p.line.email, "--drive");
  EXPECT_FALSE(p.line.driveGiven);

  p = Parse("player export --fields=f.json --artists=yes --drive=1");
  ASSERT_EQ(p.action, Action::Run) << p.error;
  EXPECT_EQ(p.line.command, "player export");
  EXPECT_EQ(p.line.fieldsPath, "f.json");
  EXPECT_TRUE(p.line.artists);
  p = Parse("submit --fields f.json --dry-run --test");
  ASSERT_EQ(p.action, Action::Run) << p.error;
  EXPECT_TRUE(p.line.dryRun);
  EXPECT_TRUE(p.line.testMode);
  EXPECT_FALSE(Parse("submit --fields f.json").line.dryRun);
  p = Parse("lookup --toc=0:02:00,1:00:00 --lsft=0");
  EXPECT_EQ(p.action, Action::UsageError);  // the items are blank-separated
  EXPECT_NE(p.error.find("--toc: "), std::string::npos) << p.error;
}

TEST(CommandLine, HelpVersionAndTheEndOfOptions) {
  for (const char* line :
       {"-h", "--help", "help", "lookup --help", "lookup --drive -h", "nonsense -h", "help me"})
    EXPECT_EQ(Parse(line).action, Action::Help) << line;
  EXPECT_EQ(Parse("discid --version").action, Action::Version);
  // After "--" nothing is an option: not help, not a known option.
  auto p = Parse("discid -- --help");
  EXPECT_EQ(p.action, Action::UsageError);
  EXPECT_EQ(p.error, "unexpected argument '--help'");
  p = Parse("discid -- --drive 1");
  EXPECT_EQ(p.error, "unexpected argument '--drive'");
  p = Parse("discid --drive 1 --");
  ASSERT_EQ(p.action, Action::Run) << p.error;
  EXPECT_EQ(p.line.drive, 1);
  // A stray word before "--" is named first.
  EXPECT_EQ(Parse("discid --server x -- y").error, "'discid' takes no option --server");
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong) {
  const struct {
    const char* line;
    const char* error;
  } rows[] = {
      {"", "no command given"},
      {"nonsense", "unknown command 'nonsense'"},
      {"player", "'player' needs 'import' or 'export'"},
      {"player list", "'player' needs 'import' or 'export'"},
      {"--demo --demo discid", "--demo given twice"},
      {"discid --drive", "--drive needs a value"},
      {"submit --fields", "--fields needs a value"},
      {"discid --drive x", "--drive needs a drive number from 0, not 'x'"},
      {"discid --drive=-1", "--drive needs a drive number from 0, not '-1'"},
      {"discid --drive=", "--drive needs a value"},
      {"discid --drive 99999999999", "--drive needs a drive number from 0, not '99999999999'"},
      {"lookup --choose many", "--choose needs a row number (0 cancels), not 'many'"},
      {"lookup --lsft x --toc 0:02:00", "--lsft needs a track number (0: single session), not 'x'"},
      {"lookup --lsft 1", "--lsft belongs to --toc"},
      {"lookup --drive 0 --toc 0:02:00", "--toc and --drive name two discs; give one"},
      {"player export --artists maybe", "--artists needs yes or no, not 'maybe'"},
      {"lookup --server gnudb.org", "--server: "},
      {"lookup --dry-run", "'lookup' takes no option --dry-run"},
      {"disc --fields=x", "'disc' takes no option --fields"},
      {"drives --drive 0", "'drives' takes no option --drive"},
      {"player import --fields x", "'player import' takes no option --fields"},
      {"lookup stray", "unexpected argument 'stray'"},
      {"--drive 1 discid", "--drive must follow the command 'discid'"},
      {"submit", "submit needs --fields FILE"},
      {"submit --dry-run", "submit needs --fields FILE"},
  };
  for (const auto& row : rows) {
    const auto p = Parse(row.line);
    EXPECT_EQ(p.action, Action::UsageError) << row.line;
    EXPECT_EQ(p.error.rfind(row.error, 0), 0u) << row.line << ": " << p.error;
  }
}

// The title-source options: --source's three values and nothing else, on
// lookup only; mbid takes a drive or a table of contents.
TEST(CommandLine, SourceAndMusicBrainzId) {
  for (const char* source : {"cddb", "musicbrainz", "both"}) {
    const auto p = Parse(std::string("lookup --source=") + source);
    ASSERT_EQ(p.action, Action::Run) << p.error;
    EXPECT_EQ(p.line.source, source);
  }
  EXPECT_FALSE(Parse("lookup").line.source.has_value());
  auto p = Parse("lookup --source MusicBrainz");
  EXPECT_EQ(p.action, Action::UsageError);
  EXPECT_EQ(p.error, "--source needs cddb, musicbrainz or both, not 'MusicBrainz'");
  EXPECT_EQ(Parse("lookup --source").error, "--source needs a value");
  EXPECT_EQ(Parse("disc --source cddb").error, "'disc' takes no option --source");

  p = Parse("mbid --drive 2");
  ASSERT_EQ(p.action, Action::Run) << p.error;
  EXPECT_EQ(p.line.command, "mbid");
  EXPECT_EQ(p.line.drive, 2);
  EXPECT_EQ(Parse("mbid --toc 0:02:00,4:08:30 --drive 1").error,
            "--toc and --drive name two discs; give one");
  EXPECT_EQ(Parse("mbid --server http://h").error, "'mbid' takes no option --server");
}

}  // namespace
}  // namespace sl::cli
