// Exceptions of the network transport and the Winsock-style error codes it
// reports. The codes keep their Winsock numbers (10061 for a refused
// connection) so that texts and LastError() values read the same whatever
// the system underneath calls them.
#pragma once

#include <stdexcept>
#include <string>

namespace sl::net {

// A socket operation failed: host lookup, connect, a system call, a reply the
// client cannot take in.
class SocketFailure : public std::runtime_error {
 public:
  using runtime_error::runtime_error;
};

// A send or read ended because Cancel() or Abort() was called, or because
// the time-out ran out.
class RequestAborted : public std::runtime_error {
 public:
  using runtime_error::runtime_error;
};

// Winsock codes the transport itself refers to.
inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaENotConn = 10057;

// "10061:Connection refused"; a code outside the table gives
// "Unknown Error No. " and the code.
std::string ErrorText(int winsockCode);

// The Winsock code for a system errno value. 0 stays 0. An errno without a
// Winsock counterpart becomes 20000 + errno: still above 10000, so it is
// reported as an error (as "Unknown Error No. 200nn"), never taken for success.
int WinsockCodeFromErrno(int err);

// The Winsock code for a getaddrinfo() result (EAI_*); 0 stays 0.
int WinsockCodeFromGaiError(int gaiError);

}  // namespace sl::net
