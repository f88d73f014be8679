#include "platform/pump.h"

#include <utility>

namespace sl::platform {
namespace {
MessagePump& Pump() {
  static MessagePump pump;
  return pump;
}
int& Depth() {
  static int depth = 0;
  return depth;
}
}  // namespace

void SetMessagePump(MessagePump pump) { Pump() = std::move(pump); }

void ProcessMessages() {
  auto& pump = Pump();
  // Handlers run from the pump may themselves wait and pump again; a small
  // bound keeps that nesting finite.
  if (!pump || Depth() >= 8) return;
  ++Depth();
  try {
    pump();
  } catch (...) {
    --Depth();
    throw;
  }
  --Depth();
}

}  // namespace sl::platform
