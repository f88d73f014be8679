// The message pump seam. Long waits in the core (network, drive commands)
// call ProcessMessages() between polls so the face that owns the event loop
// can repaint and take input. The face installs its pump at start-up; with
// none installed the call does nothing.
#pragma once

#include <functional>

namespace sl::platform {

using MessagePump = std::function<void()>;

// Installs the pump the face provides (Qt: process pending events). Passing
// an empty function removes it.
void SetMessagePump(MessagePump pump);

// Runs the installed pump once. Re-entrant calls made from inside the pump
// itself return at once, so a handler that waits while another wait is
// pumping cannot recurse without bound.
void ProcessMessages();

}  // namespace sl::platform
