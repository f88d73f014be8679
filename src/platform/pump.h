// The message pump seam. Long waits in the core (network, drive commands)
// call ProcessMessages() between polls so the face that owns the event loop
// can repaint and take input. The face installs its pump at start-up; with
// none installed only the hooks below run.
#pragma once

#include <functional>

namespace sl::platform {

using MessagePump = std::function<void()>;

// Installs the pump the face provides (Qt: process pending events). Passing
// an empty function removes it.
void SetMessagePump(MessagePump pump);

// Work the pump runs on every pass besides the face's own pump: the local
// IPC delivers the messages that arrived for this process's windows. Hooks
// run even when no face pump is installed (the command line, tests), so a
// wait anywhere in the core keeps delivering them. Returns an id for
// RemovePumpHook.
int AddPumpHook(std::function<void()> hook);
void RemovePumpHook(int id);

// Runs the installed pump once, then the hooks. Re-entrant calls made from inside the pump
// itself return at once, so a handler that waits while another wait is
// pumping cannot recurse without bound.
void ProcessMessages();

}  // namespace sl::platform
