// Kills a process that saves one section of an INI file with SIGKILL at
// random moments, round after round, and checks the file after each kill:
// it still reads, every other section is byte for byte as before the round,
// no section is lost, and the saved section is whole (the caller says what
// whole means: all keys from one and the same save).
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "inifile/profile.h"

namespace sl::test {

struct KillRounds {
  std::string path;     // the file saved
  std::string section;  // the section the child saves
  // Runs in the child: the save of generation `generation` (0, 1, 2, ...).
  // False ends the child with a failure.
  std::function<bool(int generation)> save;
  // Whether the saved section, as read after a kill, is whole: as it was
  // before the round or exactly as one save wrote it.
  std::function<bool(const std::optional<inifile::Profile::KeyValues>&)> whole;
};

struct KillResult {
  int rounds = 0;
  int killed = 0;         // rounds in which the child was still saving when killed
  int killedMidSave = 0;  // rounds that left a temporary file: killed between create and rename
  int saveFailures = 0;
  int tornFiles = 0;        // the file no longer read, or lost its CR LF line ends
  int changedSections = 0;  // another section not byte for byte as before, or gone
  int brokenSections = 0;   // the saved section neither whole old nor whole new
};

// Plays `rounds` rounds (each a fresh child killed after a random delay of
// up to a few save times) and counts what each check found.
KillResult PlayKillRounds(const KillRounds& plan, int rounds, unsigned seed);

// Expects rounds that lost nothing (no failed save, no torn file, every
// section whole) in which some kills did fall into a save, and prints the
// counts for the crash script's report.
void ExpectNothingLost(const KillResult& r);

// The raw text of each section ("[name]" line to the next header), keyed by
// its header line; the lines before the first header under "".
std::map<std::string, std::string> SectionTexts(const std::string& bytes);

// The round count for kill and race tests: SONOLABEL_CRASH_ROUNDS when set
// (scripts/crash.sh sets 1000), else `def`.
int CrashRounds(int def);

}  // namespace sl::test
