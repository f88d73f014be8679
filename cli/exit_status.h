// The command line's exit status for what a window command came to.
#pragma once

#include "mainform/mainform.h"

namespace sl::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;

// 0 when the command did all it was asked, 1 for every other outcome.
int ExitStatusFor(mainform::CommandOutcome outcome);

}  // namespace sl::cli
