// Unattended runs for measuring and documenting the window, switched on by
// environment variables that the configuration holds (nothing happens when
// none is set):
//   SONOLABEL_STARTUP_PROBE=1   when the main window is first on screen,
//                               print "startup_ms=<since process start>
//                               main_ms=<since main> vmhwm_kb=<peak RSS>"
//                               and end the process.
//   SONOLABEL_PICK_DRIVE=N      once shown, pick drive box item N, as a user
//                               would.
//   SONOLABEL_LOOKUP=1          after the pick, run the lookup command; its
//                               message boxes (and a first start's e-mail
//                               prompt, with the address it suggests) are
//                               answered with OK and the
//                               match dialog with row SONOLABEL_MATCH_ROW
//                               (default 1), after a PNG of the dialog is
//                               saved to SONOLABEL_MATCH_SCREENSHOT if set.
//   SONOLABEL_SCREENSHOT=FILE   once shown (and after the pick and lookup), wait
//                               SONOLABEL_SCREENSHOT_DELAY ms (default 500),
//                               save a PNG of the main window and close it.
//   SONOLABEL_SCREENSHOT_SCREEN=FILE
//                               SONOLABEL_SCREENSHOT_DELAY ms after start-up,
//                               whatever is up then (a first start's e-mail
//                               prompt too), save a PNG of the whole screen
//                               and end the process (0, or 1 when the file
//                               could not be saved).
#pragma once

#include <chrono>

#include "config/config.h"

namespace sl::app {

class Program;

// Arms whatever `automation` asks for; call before showing the window.
// `mainEntered` is when main() began.
void InstallAutomation(Program& program, const config::WindowAutomation& automation,
                       std::chrono::steady_clock::time_point mainEntered);

// Milliseconds since the process started (10 ms resolution), or -1.
double MillisecondsSinceProcessStart();

// Peak resident set size of this process in kB (VmHWM), or -1.
long PeakResidentKb();

}  // namespace sl::app
