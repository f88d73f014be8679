#include "command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "cddb/cddb.h"

namespace sl::cli {

const char* const kUsageText =
    "usage: sonolabel-cli COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  drives                       list the CD-ROM drives: index, adapter:target:lun, name\n"
    "                               (exit 1 when a drive cannot be opened; stderr says why)\n"
    "  discid [--drive N]           print the disc's ID, track count, frame offsets and\n"
    "                               length in seconds (the line cd-discid prints)\n"
    "  mbid [--drive N | --toc TOC [--lsft K]]\n"
    "                               print the disc's MusicBrainz ID, then the address where\n"
    "                               it can be attached to a release on MusicBrainz\n"
    "  disc [--drive N]             read the disc and print the window's fields as JSON\n"
    "                               (\"source\":\"cd-text\" when they came from the disc's CD-Text)\n"
    "  lookup [--drive N | --toc TOC [--lsft K]] [--server URL] [--source SRC] [--choose K]\n"
    "         [--email ADDR]        look the disc up on a CDDB server or MusicBrainz; print JSON\n"
    "  sites [--server URL] [--email ADDR]\n"
    "                               fetch the server's mirror list; print the stored hosts\n"
    "  player import [--drive N]    take the titles of the DSMP player's play list; print JSON\n"
    "  player export [--drive N] [--fields FILE] [--artists yes|no]\n"
    "                               put FILE's fields into the window, then fill in the play\n"
    "                               list's missing titles (and artists with --artists yes)\n"
    "  submit [--drive N] --fields FILE [--dry-run] [--test]\n"
    "                               put FILE's fields into the window and submit the entry\n"
    "                               to the selected server; print the server's reply\n"
    "  help, -h, --help             print this text\n"
    "  --version                    print the version\n"
    "\n"
    "options (a value follows as \"--drive 1\" or \"--drive=1\"; \"--\" ends the options):\n"
    "  --demo         run the command on the demo: simulated drives from the demo\n"
    "                 drives file, a local CDDB server with the demo entries and\n"
    "                 dsmp-sim with the demo play list; settings, titles and play\n"
    "                 list in $XDG_STATE_HOME/sonolabel-demo\n"
    "  --drive N      drive box item N, from 0 (default 0)\n"
    "  --server URL   CDDB server for this run: http://host[:port][/path] ; the path\n"
    "                 defaults to /~cddb/cddb.cgi and a trailing \"?\" may be left out\n"
    "  --toc TOC      look up this table of contents instead of a drive's: track\n"
    "                 starts then the lead-out, \"M:S:F M:S:F ...\"\n"
    "  --lsft K       the last session's first track of --toc (0: single session)\n"
    "  --source SRC   where lookup asks: cddb, musicbrainz, or both (the CDDB server,\n"
    "                 then MusicBrainz when it has no match; MusicBrainz first when\n"
    "                 the settings say so). Default: the settings' [musicbrainz] use.\n"
    "                 The JSON then names the \"source\" of the titles, and from\n"
    "                 MusicBrainz the disc's \"mbid\" and the \"release\"\n"
    "  --choose K     answer the match dialog with row K (from 1); 0 cancels\n"
    "  --email ADDR   answer the e-mail prompt of a first start\n"
    "  --fields FILE  window fields as JSON, as disc and lookup print them: discid,\n"
    "                 category, genre, artist, title, year, tracks [{title, artist}, ...]\n"
    "                 (rows from 1; keys it lacks leave their field as it was); a file\n"
    "                 for another disc, with more tracks than the disc, or naming a\n"
    "                 key twice is refused.\n"
    "                 With \"revision\" N (a correction, as lookup prints it) submit\n"
    "                 sends N + 1 and the file's extd, extt and playorder; without\n"
    "                 it, revision 0 and empty lines (a new entry)\n"
    "  --artists yes|no  answer the export's question (default no)\n"
    "  --dry-run      print the entry's bytes exactly as they would be sent; send nothing\n"
    "  --test         send the entry with \"Submit-Mode: test\"\n"
    "\n"
    "exit status: 0 done, 1 the operation failed, 2 usage error\n"
    "environment: SONOLABEL_ASPI, SONOLABEL_SIM_DRIVES, SONOLABEL_INI, SONOLABEL_WINDIR,\n"
    "             SONOLABEL_CODEPAGE, SONOLABEL_DSMP (the player program),\n"
    "             XDG_RUNTIME_DIR (where the player is found)\n";

namespace {

ParsedCommandLine Usage(std::string message) {
  ParsedCommandLine r;
  r.action = ParsedCommandLine::Action::UsageError;
  r.error = std::move(message);
  return r;
}

bool ParseInt(const std::string& text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < -1000000 || v > 1000000) return false;
  value = static_cast<int>(v);
  return true;
}

// The options as the line gave them, before they are checked.
struct GivenOptions {
  std::map<std::string, std::string> values;  // option name -> last value
  bool dryRun = false;
  bool testMode = false;
};

// The options each command takes.
const std::vector<std::pair<std::string, std::vector<std::string>>>& CommandOptions() {
  static const std::vector<std::pair<std::string, std::vector<std::string>>> table = {
      {"drives", {}},
      {"discid", {"--drive"}},
      {"mbid", {"--drive", "--toc", "--lsft"}},
      {"disc", {"--drive"}},
      {"lookup", {"--drive", "--toc", "--lsft", "--server", "--source", "--choose", "--email"}},
      {"sites", {"--server", "--email"}},
      {"submit", {"--drive", "--fields", "--dry-run", "--test"}},
      {"player import", {"--drive"}},
      {"player export", {"--drive", "--fields", "--artists"}},
  };
  return table;
}

void AddOptions(CLI::App& command, const std::vector<std::string>& names, GivenOptions& given) {
  // Unknown words are collected, not refused, so the message can say what
  // the user did wrong in this program's words; options unknown here are
  // offered to the main line ("--demo").
  command.allow_extras();
  command.fallthrough();
  for (const auto& name : names) {
    if (name == "--dry-run") {
      command.add_flag(name, given.dryRun);
    } else if (name == "--test") {
      command.add_flag(name, given.testMode);
    } else {
      command.add_option(name, given.values[name])->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
  }
}

// The command the line names: its first word that is a command's name
// ("player" with the word after it) or "help", before "--".
std::string NamedCommand(const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size() && words[i] != "--"; ++i) {
    if (words[i] == "player") return i + 1 < words.size() ? "player " + words[i + 1] : "";
    if (words[i] == "help") return words[i];
    for (const auto& command : CommandOptions())
      if (command.first == words[i]) return words[i];
  }
  return {};
}

// The message for the first word no command took.
std::string StrayWordMessage(const std::string& word, bool afterDoubleDash, const CLI::App& command,
                             const std::string& commandName) {
  if (afterDoubleDash || word.size() < 2 || word[0] != '-') return "unexpected argument '" + word + "'";
  const std::string name = word.substr(0, word.find('='));
  if (command.get_option_no_throw(name) != nullptr)
    return name + " must follow the command '" + commandName + "'";
  return "'" + commandName + "' takes no option " + name;
}

// Checks the values and fills the command line; "" when all is well.
std::string CheckValues(const GivenOptions& given, const CLI::App& command, CommandLine& line) {
  const auto value = [&](const char* name) -> const std::string* {
    const CLI::Option* option = command.get_option_no_throw(name);
    if (option == nullptr || option->count() == 0) return nullptr;
    return &given.values.at(name);
  };
  if (const std::string* v = value("--drive")) {
    if (!ParseInt(*v, line.drive) || line.drive < 0)
      return "--drive needs a drive number from 0, not '" + *v + "'";
    line.driveGiven = true;
  }
  int lsft = 0;
  const std::string* lsftText = value("--lsft");
  if (lsftText != nullptr && (!ParseInt(*lsftText, lsft) || lsft < 0))
    return "--lsft needs a track number (0: single session), not '" + *lsftText + "'";
  if (const std::string* v = value("--server")) {
    std::string why;
    line.serverUrl = cddb::NormalizeServerUrl(*v, why);
    if (!line.serverUrl) return "--server: " + why;
  }
  if (const std::string* v = value("--choose")) {
    int k = 0;
    if (!ParseInt(*v, k) || k < 0) return "--choose needs a row number (0 cancels), not '" + *v + "'";
    line.choose = k;
  }
  if (const std::string* v = value("--source")) {
    if (*v != "cddb" && *v != "musicbrainz" && *v != "both")
      return "--source needs cddb, musicbrainz or both, not '" + *v + "'";
    line.source = *v;
  }
  if (const std::string* v = value("--email")) line.email = *v;
  if (const std::string* v = value("--fields")) line.fieldsPath = *v;
  if (const std::string* v = value("--artists")) {
    if (*v != "yes" && *v != "no") return "--artists needs yes or no, not '" + *v + "'";
    line.artists = *v == "yes";
  }
  line.dryRun = given.dryRun;
  line.testMode = given.testMode;
  if (const std::string* v = value("--toc")) {
    if (line.driveGiven) return "--toc and --drive name two discs; give one";
    std::string why;
    line.toc = disc::ParseTocText(*v, lsft, why);
    if (!line.toc) return "--toc: " + why;
  } else if (lsftText != nullptr) {
    return "--lsft belongs to --toc";
  }
  if (line.command == "submit" && !line.fieldsPath) return "submit needs --fields FILE";
  return {};
}

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  // Help and the version win wherever they stand, as someone stuck in the
  // middle of a long line expects.
  for (const auto& w : words) {
    if (w == "--") break;
    if (w == "--help" || w == "-h") return {ParsedCommandLine::Action::Help, {}, {}};
    if (w == "--version") return {ParsedCommandLine::Action::Version, {}, {}};
  }

  // Only the command the line names is built, with its options: building
  // commands and options is most of what the parser costs at start-up.
  const std::string named = NamedCommand(words);
  if (named == "help") return {ParsedCommandLine::Action::Help, {}, {}};
  CLI::App app("", "sonolabel-cli");
  app.set_help_flag();  // the usage text above instead of the generated one
  app.allow_extras();
  int demoCount = 0;
  app.add_flag("--demo", demoCount);
  CLI::App* player = app.add_subcommand("player");
  player->allow_extras();
  player->fallthrough();
  GivenOptions given;
  CLI::App* chosen = nullptr;
  for (const auto& [name, options] : CommandOptions()) {
    if (name != named) continue;
    const bool ofPlayer = name.rfind("player ", 0) == 0;
    chosen = ofPlayer ? player->add_subcommand(name.substr(7)) : app.add_subcommand(name);
    AddOptions(*chosen, options, given);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ArgumentMismatch& e) {
    // "--fields: 1 required TEXT missing": an option at the end of the line
    // or followed by another option.
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(':'));
    return Usage(name.rfind("--", 0) == 0 ? name + " needs a value" : what);
  } catch (const CLI::ParseError& e) {
    return Usage(e.what());
  }
  if (demoCount > 1) return Usage("--demo given twice");

  ParsedCommandLine result;
  result.action = ParsedCommandLine::Action::Run;
  CommandLine& line = result.line;
  line.demo = demoCount == 1;
  if (chosen != nullptr && chosen->parsed()) {
    line.command = named;
  } else {
    chosen = nullptr;
  }
  // Words no command took: the main line's and each level's own.
  std::vector<std::string> stray = app.remaining();
  for (const CLI::App* level : {static_cast<const CLI::App*>(player), static_cast<const CLI::App*>(chosen)}) {
    if (level == nullptr) continue;
    const auto more = level->remaining();
    stray.insert(stray.end(), more.begin(), more.end());
  }
  if (chosen == nullptr) {
    if (player->parsed()) return Usage("'player' needs 'import' or 'export'");
    if (stray.empty()) return Usage("no command given");
    return Usage("unknown command '" + stray.front() + "'");
  }
  if (!stray.empty()) {
    // Everything after "--" is a stray argument; what no command took
    // before it comes first.
    const auto dashes = std::find(words.begin(), words.end(), "--");
    const auto afterDashes = static_cast<std::size_t>(dashes == words.end() ? 0 : words.end() - dashes - 1);
    return Usage(StrayWordMessage(stray.front(), stray.size() <= afterDashes, *chosen, line.command));
  }
  if (std::string why = CheckValues(given, *chosen, line); !why.empty()) return Usage(why);
  return result;
}

}  // namespace sl::cli
