// sonolabel-mbsim: a stand-in for the MusicBrainz web service's disc-ID
// lookup on loopback, for tests, benchmarks and the demo. It answers
// GET /ws/2/discid/{id}?... from a routes file that says, per disc ID, which
// answer the service would give: a JSON file, an HTTP status, a busy server,
// an answer cut short or one too large to take.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sl::mbsim {

// One line of the routes file: "ID ACTION ARGS...".
//   json FILE            200 with FILE (application/json)
//   status CODE [FILE]   CODE with FILE as body (a JSON error otherwise)
//   busy N SECONDS FILE  503 with "Retry-After: SECONDS" for the first N
//                        requests for ID (N = 0: every one), then 200 with FILE
//   cut FILE             announces FILE's length, sends half of it, closes
//   huge BYTES [chunked] 200 with BYTES bytes of JSON-looking filler;
//                        "chunked": no length announced, sent in chunks
// An ID without a route answers 404 with the service's error object.
struct Route {
  std::string action;
  std::vector<std::string> args;
};

// Reads "ID ACTION ARGS" lines ("#" comments, blank lines skipped). False
// with `why` naming the first bad line.
bool ReadRoutes(const std::string& text, std::map<std::string, Route>& routes, std::string& why);

// One request as the server saw it.
struct RequestRecord {
  std::chrono::steady_clock::time_point at;
  std::string target;     // "/ws/2/discid/...?..."
  std::string userAgent;  // "" when the request had none
};

class Server {
 public:
  // `dataDir` holds routes.txt and the files it names.
  explicit Server(std::string dataDir);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1:port (0: any free port). False with `why`.
  bool Listen(int port, std::string& why);
  int Port() const { return port_; }
  // Serves connections one after another until Stop() (from any thread or a
  // signal handler through StopFd()) or `idleExit` without a connection.
  void Run(std::chrono::seconds idleExit = std::chrono::seconds(3600));
  void Stop();
  int StopFd() const { return wakeFds_[1]; }

  std::vector<RequestRecord> Requests() const;

  static constexpr std::size_t kMaxRequestBytes = 16384;
  static constexpr std::size_t kMaxRecorded = 1024;
  static constexpr int kClientTimeoutMs = 10000;

 private:
  void Serve(int fd);
  std::string Load(const std::string& name) const;

  std::string dataDir_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<RequestRecord> requests_;
  std::map<std::string, int> busyCounts_;
};

}  // namespace sl::mbsim
