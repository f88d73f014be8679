#include "net/deadline_timer.h"

#include <utility>

namespace sl::net {

void DeadlineTimer::SetEnabled(bool enabled) {
  enabled_ = enabled;
  Rearm();
}

void DeadlineTimer::SetInterval(int ms) {
  interval_ = ms;
  Rearm();
}

void DeadlineTimer::SetOnTimer(std::function<void()> onTimer) {
  onTimer_ = std::move(onTimer);
  Rearm();
}

void DeadlineTimer::Rearm() {
  armed_ = enabled_ && interval_ > 0 && onTimer_;
  if (armed_) due_ = Clock::now() + std::chrono::milliseconds(interval_);
}

void DeadlineTimer::Check() {
  if (!armed_ || Clock::now() < due_) return;
  due_ = Clock::now() + std::chrono::milliseconds(interval_);
  // Copy: the handler may replace OnTimer.
  auto handler = onTimer_;
  handler();
}

long long DeadlineTimer::Remaining() const {
  if (!armed_) return -1;
  // Rounded up, so a wait that sleeps this long finds the timer due.
  auto left = std::chrono::ceil<std::chrono::milliseconds>(due_ - Clock::now()).count();
  return left < 0 ? 0 : left;
}

}  // namespace sl::net
