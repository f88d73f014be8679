// Where the program finds its own files. In a build tree everything sits
// beside the executables (build/bin/); an installed program keeps its drive
// layers and helper programs in lib/sonolabel/ and its data in
// share/sonolabel/ of its prefix. Both are found relative to the folder of
// the running executable, so a prefix works wherever it is, and the build
// tree's copy wins when both exist.
#pragma once

#include <string>
#include <vector>

namespace sl::platform {

enum class ProgramDir {
  Lib,   // drive layers and helper programs
  Data,  // demo data
};

// The running executable (/proc/self/exe), or "" when it cannot be told.
std::string RunningExecutable();

// The installed folder of `kind` for a program in `exeDir`, normalised:
// "/usr/bin" gives "/usr/lib/sonolabel" and "/usr/share/sonolabel".
std::string InstalledDir(const std::string& exeDir, ProgramDir kind);

// Where `name` is looked for, in order: beside the executable, then in the
// installed folder of `kind`.
std::vector<std::string> CandidatePaths(const std::string& exeDir, ProgramDir kind, const std::string& name);

// The first of CandidatePaths that exists, or "".
std::string FindProgramFile(const std::string& exeDir, ProgramDir kind, const std::string& name);

}  // namespace sl::platform
