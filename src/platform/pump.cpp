#include "platform/pump.h"

#include <utility>
#include <vector>

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
struct Hook {
  int id;
  std::function<void()> fn;
};
std::vector<Hook>& Hooks() {
  static std::vector<Hook> hooks;
  return hooks;
}
int& NextHookId() {
  static int next = 1;
  return next;
}

class DepthScope {
 public:
  DepthScope() { ++Depth(); }
  ~DepthScope() { --Depth(); }
  DepthScope(const DepthScope&) = delete;
  DepthScope& operator=(const DepthScope&) = delete;
};
}  // namespace

void SetMessagePump(MessagePump pump) { Pump() = std::move(pump); }

int AddPumpHook(std::function<void()> hook) {
  const int id = NextHookId()++;
  Hooks().push_back({id, std::move(hook)});
  return id;
}

void RemovePumpHook(int id) {
  auto& hooks = Hooks();
  for (auto it = hooks.begin(); it != hooks.end(); ++it) {
    if (it->id == id) {
      hooks.erase(it);
      return;
    }
  }
}

void ProcessMessages() {
  // Handlers run from the pump may themselves wait and pump again; a small
  // bound keeps that nesting finite.
  if (Depth() >= 8) return;
  if (!Pump() && Hooks().empty()) return;
  DepthScope depth;
  if (auto& pump = Pump()) pump();
  // A hook may add or remove hooks: run a copy of the list.
  const std::vector<Hook> hooks = Hooks();
  for (const auto& h : hooks) {
    if (h.fn) h.fn();
  }
}

}  // namespace sl::platform
