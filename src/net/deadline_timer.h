// The socket component's time-out timer. There is no timer message here:
// the timer is a deadline that every wait of the owning component checks
// between polls, so it fires on the waiting thread, inside the wait.
#pragma once

#include <chrono>
#include <functional>

namespace sl::net {

class DeadlineTimer {
 public:
  using Clock = std::chrono::steady_clock;

  DeadlineTimer() = default;

  // Changing any of the three re-arms the timer: it is due Interval
  // milliseconds from now when Enabled, Interval > 0 and OnTimer is set.
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  int Interval() const { return interval_; }
  void SetInterval(int ms);
  void SetOnTimer(std::function<void()> onTimer);

  // Calls OnTimer when the timer is due, then arms it again for the next
  // interval (the handler usually disables it).
  void Check();

  // Milliseconds until the timer is due (0 when overdue); -1 when not armed.
  long long Remaining() const;

 private:
  void Rearm();

  bool enabled_ = true;
  int interval_ = 1000;
  std::function<void()> onTimer_;
  bool armed_ = false;
  Clock::time_point due_{};
};

}  // namespace sl::net
