// Asynchronous IPv4 host lookup. Each lookup runs on a helper thread that
// owns its share of the state, so a caller that stops waiting (time-out,
// cancel, destruction) simply lets go: the thread finishes on its own and
// frees what it holds. Nothing ever blocks on a lookup that outlives its wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace sl::net {

struct LookupResult {
  bool ok = false;
  std::uint32_t address = 0;  // IPv4 address in network byte order
  int error = 0;              // Winsock code when !ok (11001 "Host not found", ...)
};

// Turns a name into the first IPv4 address it has. Runs on a helper thread.
using HostResolver = std::function<LookupResult(const std::string& name)>;

// The system's lookup: getaddrinfo() restricted to AF_INET.
LookupResult SystemResolve(const std::string& name);

// Replaces the resolver used by lookups started from now on (tests use this
// to script slow or failing lookups); an empty function restores the
// system's. A lookup already running keeps the resolver it started with.
void SetHostResolver(HostResolver resolver);

// At most this many lookups run at once; beyond that a lookup fails at once
// (10055 "No buffer space available") instead of starting yet another thread.
inline constexpr int kMaxLookupThreads = 16;

// One lookup in flight.
class HostLookup {
 public:
  explicit HostLookup(const std::string& name);
  ~HostLookup();
  HostLookup(const HostLookup&) = delete;
  HostLookup& operator=(const HostLookup&) = delete;

  // Waits at most `wait` for the result; true once the lookup has finished.
  bool WaitFor(std::chrono::milliseconds wait);
  // The outcome; meaningful once WaitFor() returned true.
  LookupResult Result() const;

  // Helper threads still running (for tests).
  static int Running();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace sl::net
