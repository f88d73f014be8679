// A CDDB server that refuses every command as gnudb.org refuses a client
// whose name it has not registered: each request gets the CDDB line
// "500 Unknown developer email" (HTTP 200), whatever it asks.
#pragma once

#include <string>

#include "support/loopback_server.h"

namespace sl::test {

inline constexpr const char* kUnknownDeveloperLine = "500 Unknown developer email";

// The script of every connection (the server plays its last script for all
// further connections).
inline ServerScript UnknownDeveloperScript() {
  return ServerScript().Send(HttpReply(200, std::string(kUnknownDeveloperLine) + "\r\n"));
}

// A loopback server answering every request so, for at most lifetimeMs.
class RefusingCddbServer : public LoopbackServer {
 public:
  explicit RefusingCddbServer(int lifetimeMs = 30000)
      : LoopbackServer(UnknownDeveloperScript(), lifetimeMs) {}
  // "http://127.0.0.1:<port>/~cddb/cddb.cgi?"
  std::string CgiUrl() const { return Url("/~cddb/cddb.cgi?"); }
};

}  // namespace sl::test
