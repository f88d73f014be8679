// The command line's exit status: only a command that did all it was asked
// ends with 0; every other outcome of the window's last command is a failure.
#include <gtest/gtest.h>

#include "cli/exit_status.h"

namespace sl::cli {
namespace {

TEST(ExitStatus, OnlyADoneCommandSucceeds) {
  for (int i = 0; i < mainform::kCommandOutcomeCount; ++i) {
    const auto outcome = static_cast<mainform::CommandOutcome>(i);
    EXPECT_EQ(ExitStatusFor(outcome), outcome == mainform::CommandOutcome::Done ? kExitDone : kExitFailed)
        << i;
  }
}

}  // namespace
}  // namespace sl::cli
