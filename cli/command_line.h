// The command line of sonolabel-cli: which command, with which options,
// checked before anything is touched. A fault of the line is a usage error
// with its message; the caller prints it and exits 2.
#pragma once

#include <optional>
#include <string>

#include "disc/disc.h"

namespace sl::cli {

// The usage text `--help` prints.
extern const char* const kUsageText;

struct CommandLine {
  // "drives", "discid", "mbid", "disc", "lookup", "sites", "submit",
  // "player import" or "player export".
  std::string command;
  bool demo = false;
  int drive = 0;
  bool driveGiven = false;
  std::optional<disc::DiscToc> toc;      // --toc (with --lsft), checked
  std::optional<std::string> serverUrl;  // --server, normalised
  std::optional<int> choose;             // --choose: the match dialog's row, 0 cancels
  std::optional<std::string> source;     // --source: "cddb", "musicbrainz" or "both"
  std::optional<std::string> email;      // --email
  std::optional<std::string> fieldsPath;
  bool artists = false;  // --artists yes
  bool dryRun = false;
  bool testMode = false;
};

struct ParsedCommandLine {
  enum class Action { Run, Help, Version, UsageError };
  Action action = Action::UsageError;
  CommandLine line;   // for Run
  std::string error;  // for UsageError
};

// Options take their value as "--opt value" or "--opt=value"; "--" ends the
// options; "--demo" may stand anywhere; "-h", "--help" or "--version"
// anywhere before "--" asks for the usage text or the version. An option
// given twice takes its last value.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace sl::cli
