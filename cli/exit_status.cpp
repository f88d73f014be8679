#include "exit_status.h"

namespace sl::cli {

int ExitStatusFor(mainform::CommandOutcome outcome) {
  using O = mainform::CommandOutcome;
  switch (outcome) {
    case O::Done: return kExitDone;
    case O::None:
    case O::Refused:
    case O::NotFound:
    case O::ChoiceCancelled:
    case O::ServerRefused:
    case O::Malformed:
    case O::ListNotSaved:
    case O::Unreachable:
    case O::MatchWithoutEntry:
    case O::TitlesNotSaved:
    case O::PlayerAbsent:
    case O::TransferIncomplete: return kExitFailed;
  }
  return kExitFailed;
}

}  // namespace sl::cli
