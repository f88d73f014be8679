#include "net/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/errors.h"

namespace sl::net {
namespace {

std::mutex& ResolverMutex() {
  static std::mutex m;
  return m;
}
HostResolver& InstalledResolver() {
  static HostResolver r;
  return r;
}

// Constant-initialised, so a helper thread that ends during process exit
// still finds it intact.
std::atomic<int> gRunning{0};

}  // namespace

LookupResult SystemResolve(const std::string& name) {
  LookupResult r;
  if (name.empty()) {
    r.error = 11001;
    return r;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    r.error = rc == EAI_SYSTEM ? WinsockCodeFromErrno(errno) : WinsockCodeFromGaiError(rc);
    if (r.error == 0) r.error = 11003;
    return r;
  }
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr && a->ai_addrlen >= sizeof(sockaddr_in)) {
      r.ok = true;
      r.address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(list);
  if (!r.ok) r.error = 11004;
  return r;
}

void SetHostResolver(HostResolver resolver) {
  std::lock_guard<std::mutex> lock(ResolverMutex());
  InstalledResolver() = std::move(resolver);
}

struct HostLookup::State {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  LookupResult result;
};

HostLookup::HostLookup(const std::string& name) : state_(std::make_shared<State>()) {
  HostResolver resolver;
  {
    std::lock_guard<std::mutex> lock(ResolverMutex());
    resolver = InstalledResolver();
  }
  if (!resolver) resolver = SystemResolve;

  auto finish = [](State& s, LookupResult r) {
    std::lock_guard<std::mutex> lock(s.m);
    s.result = r;
    s.done = true;
    s.cv.notify_all();
  };

  if (gRunning.fetch_add(1) >= kMaxLookupThreads) {
    gRunning.fetch_sub(1);
    finish(*state_, LookupResult{false, 0, 10055});
    return;
  }
  try {
    // The thread holds its own reference to the state and the resolver; the
    // caller may drop its reference at any time.
    std::thread([state = state_, resolver = std::move(resolver), name, finish]() {
      LookupResult r;
      try {
        r = resolver(name);
      } catch (...) {
        r = LookupResult{false, 0, 11003};
      }
      finish(*state, r);
      gRunning.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    gRunning.fetch_sub(1);
    finish(*state_, LookupResult{false, 0, 10055});
  }
}

HostLookup::~HostLookup() = default;

bool HostLookup::WaitFor(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(state_->m);
  return state_->cv.wait_for(lock, wait, [this] { return state_->done; });
}

LookupResult HostLookup::Result() const {
  std::lock_guard<std::mutex> lock(state_->m);
  return state_->result;
}

int HostLookup::Running() { return gRunning.load(); }

}  // namespace sl::net
