// Shared pieces of the network tests: a counting message pump that can run
// a handler inside every wait, scripted host lookups, and a stopwatch.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/resolver.h"
#include "platform/pump.h"

namespace sl::net::testing {

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetMessagePump([this] {
      ++pumps;
      if (duringPump) duringPump();
    });
  }
  void TearDown() override {
    platform::SetMessagePump({});
    SetHostResolver({});
  }

  int pumps = 0;
  std::function<void()> duringPump;  // runs inside every wait cycle
};

// A gate a scripted lookup waits at (never longer than five seconds, so a
// failed test cannot leave a thread behind for long).
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  void Open() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    cv.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(5), [this] { return open; });
  }
};

// Waits (bounded) until no lookup thread is left running.
inline bool LookupThreadsGone() {
  for (int i = 0; i < 500 && HostLookup::Running() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return HostLookup::Running() == 0;
}

class Stopwatch {
 public:
  long long Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Runs fn, expecting an exception of type E whose text is exactly text.
template <class E, class Fn>
void ExpectThrowText(Fn&& fn, const std::string& text) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected \"" << text << "\"";
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception type, text \"" << e.what() << "\", expected \"" << text << "\"";
  }
}

}  // namespace sl::net::testing
