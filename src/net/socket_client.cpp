#include "net/socket_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/resolver.h"
#include "platform/pump.h"

namespace sl::net {

// Runs the component's timer for the life of one operation and stops it on
// every way out, exceptions included.
class SocketClient::TimerScope {
 public:
  explicit TimerScope(SocketClient& owner) : owner_(owner) { owner_.StartTimer(); }
  ~TimerScope() { owner_.StopTimer(); }
  TimerScope(const TimerScope&) = delete;
  TimerScope& operator=(const TimerScope&) = delete;

 private:
  SocketClient& owner_;
};

SocketClient::SocketClient() {
  Report("Create", kLevelDetail);
  FTimer.SetEnabled(false);
  FTimer.SetOnTimer([this] { TimerTriggered(); });
  Report("Initializing Winsock", kLevelDetail);
  // The first socket closes with a reset rather than lingering: a dropped
  // exchange leaves nothing behind on either side.
  CreateSocket(true);
  if (FSocket < 0) throw SocketFailure("Initializaton of windows sockets failed");
}

SocketClient::~SocketClient() {
  try {
    Report("Destroy", kLevelDetail);
    // No handler runs from here on: the objects they refer to may already
    // be gone.
    destroying_ = true;
    SocketClient::Abort();
    Cancel();
    CloseSocket();
  } catch (...) {
    // Nothing may leave a destructor; the socket is closed in any case.
  }
  if (FSocket >= 0) ::close(FSocket);
}

void SocketClient::Report(std::string_view text, int level) {
  if (destroying_ || ReportLevel < level) return;
  FStatusText.assign(text);
  if (OnStatus) {
    try {
      OnStatus(FStatusText);
    } catch (...) {
      // A status handler must not break the operation that reports.
    }
  }
}

void SocketClient::CreateSocket(bool withLinger) {
  FSocketUsed = false;
  FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (FSocket < 0) return;
  if (withLinger) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  // A request goes out as two sends (header, then the blank line); without
  // this the second would wait for the first one's acknowledgement.
  int one = 1;
  ::setsockopt(FSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SocketClient::CloseSocket() {
  Report("Request Close Socket", kLevelSocket);
  FConnected = false;
  FBufPos = FBufLen = 0;
  if (FSocket < 0) return;
  int fd = FSocket;
  FSocket = -1;
  // On Linux the descriptor is released even when close() reports an error.
  int failed = ::close(fd) != 0 && errno != EINTR ? errno : 0;
  if (destroying_) return;
  CreateSocket(false);
  if (failed) SocketError(failed, kWsaEWouldBlock);
  if (OnDisconnect) OnDisconnect();
}

void SocketClient::Disconnect() {
  Report("Disconnecting", kLevelDetail);
  CloseSocket();
}

void SocketClient::Cancel() {
  Report("Canceling", kLevelDetail);
  FCanceled = true;
}

void SocketClient::Abort() {
  Report("Abort", kLevelDetail);
  Cancel();
}

void SocketClient::StartTimer() {
  Report("Timer On", kLevelDetail);
  FTimedOut = false;
  FTimer.SetInterval(TimeOut);
  FTimer.SetEnabled(true);
}

void SocketClient::StopTimer() {
  Report("Timer Off", kLevelDetail);
  FTimer.SetEnabled(false);
}

void SocketClient::TimerTriggered() {
  Report("Timer Triggered", kLevelDetail);
  StopTimer();
  FTimedOut = true;
  FLookupDone = true;
  Abort();
}

void SocketClient::SocketError(int err, int tolerated) {
  FLastError = WinsockCodeFromErrno(err);
  if (FLastError != tolerated && FLastError > 10000) RaiseCode(FLastError);
}

void SocketClient::RaiseCode(int code) {
  FLastError = code;
  Report("Looking Up Error Message" + FStatusText, kLevelDetail);
  throw SocketFailure(ErrorText(code));
}

void SocketClient::BeginTransferDeadline(int ms) {
  FHasDeadline = ms > 0;
  FDeadlineMs = ms;
  if (FHasDeadline) FDeadline = Clock::now() + std::chrono::milliseconds(ms);
}

void SocketClient::EndTransferDeadline() { FHasDeadline = false; }

void SocketClient::CheckTransferDeadline() {
  if (FHasDeadline && Clock::now() >= FDeadline) {
    FHasDeadline = false;
    throw SocketFailure("Reply not complete within " + std::to_string(FDeadlineMs) + " ms");
  }
}

int SocketClient::SliceMs() const {
  long long slice = kPollSliceMs;
  long long timer = FTimer.Remaining();
  if (timer >= 0) slice = std::min(slice, timer);
  if (FHasDeadline) {
    long long left = std::chrono::ceil<std::chrono::milliseconds>(FDeadline - Clock::now()).count();
    slice = std::min(slice, std::max(0LL, left));
  }
  return static_cast<int>(slice);
}

void SocketClient::WaitCycle(short events) {
  int slice = SliceMs();
  if (FSocket >= 0) {
    pollfd p{FSocket, events, 0};
    ::poll(&p, 1, slice);
  } else if (slice > 0) {
    ::poll(nullptr, 0, slice);
  }
  platform::ProcessMessages();
  FTimer.Check();
  CheckTransferDeadline();
}

void SocketClient::ResolveHost() {
  Report("Resolve Host", kLevelDetail);
  const std::string name = Proxy.empty() ? Host : Proxy;
  // A dotted address needs no lookup.
  in_addr dotted{};
  if (!name.empty() && ::inet_aton(name.c_str(), &dotted) != 0) {
    FAddress = dotted.s_addr;
    return;
  }
  FAddress = 0;
  bool finished = false;
  LookupResult result;
  {
    TimerScope timer(*this);
    FLookupDone = false;
    HostLookup lookup(name);
    while (!FLookupDone && !FTimedOut && !FCanceled) {
      if (lookup.WaitFor(std::chrono::milliseconds(SliceMs()))) {
        finished = true;
        FLookupDone = true;
      }
      platform::ProcessMessages();
      FTimer.Check();
    }
    if (finished) result = lookup.Result();
    // Leaving this scope drops our share of a lookup still running; its
    // thread ends by itself.
  }
  if (FTimedOut) throw SocketFailure("Host Lookup Timed Out");
  if (FCanceled) throw SocketFailure("Host Lookup Canceled");
  if (finished && result.ok && result.address != 0) {
    FAddress = result.address;
    if (OnHostResolved) OnHostResolved();
    return;
  }
  FLastError = finished ? result.error : 0;
  throw SocketFailure("Host Lookup Failed");
}

void SocketClient::ResolveRemoteAddress() {
  for (int attempt = 0;; ++attempt) {
    try {
      ResolveHost();
    } catch (const SocketFailure& e) {
      const std::string_view what = e.what();
      if (what == "Host Lookup Timed Out" || what == "Host Lookup Canceled") throw;
      // Any other lookup failure leaves the address empty: see below.
    }
    if (FAddress != 0) return;
    if (attempt == 0 && OnInvalidHost) {
      bool handled = false;
      OnInvalidHost(handled);
      if (handled) continue;
    }
    throw SocketFailure("Null Remote Address");
  }
}

void SocketClient::WaitForConnect() {
  TimerScope timer(*this);
  while (!FConnected && !FTimedOut && !FCanceled && FLastOpOk) {
    pollfd p{FSocket, POLLOUT, 0};
    if (FSocket >= 0 && ::poll(&p, 1, SliceMs()) > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0 && (p.revents & (POLLERR | POLLHUP))) err = ENOTCONN;
      if (err == 0) {
        FConnected = true;
        if (OnConnect) OnConnect();
      } else {
        FLastOpOk = false;
        FLastError = WinsockCodeFromErrno(err);
      }
    } else if (FSocket < 0) {
      FLastOpOk = false;
      FLastError = kWsaENotConn;
    }
    platform::ProcessMessages();
    FTimer.Check();
  }
}

void SocketClient::Connect() {
  Report("Connecting", kLevelDetail);
  FCanceled = false;
  if (FConnected) throw SocketFailure("Already connected");

  ResolveRemoteAddress();

  const int port = Proxy.empty() ? Port : ProxyPort;
  if (port < 0 || port > 65535) RaiseCode(10022);
  // A socket that already took part in a connect (failed or abandoned)
  // cannot start another one: give it up for a fresh socket.
  if (FSocket >= 0 && FSocketUsed) {
    ::close(FSocket);
    FSocket = -1;
  }
  if (FSocket < 0) {
    CreateSocket(false);
    if (FSocket < 0) SocketError(errno, 0);
  }

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = FAddress;
  FLookupDone = false;
  FLastOpOk = true;
  FSocketUsed = true;
  if (::connect(FSocket, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
    FConnected = true;
    if (OnConnect) OnConnect();
  } else if (errno != EINPROGRESS && errno != EINTR) {
    int err = errno;
    if (OnConnectionFailed) OnConnectionFailed();
    RaiseCode(WinsockCodeFromErrno(err));
  }

  WaitForConnect();
  if (!FTimedOut && !FCanceled && FLastOpOk) return;
  if (OnConnectionFailed) OnConnectionFailed();
  if (FTimedOut) throw SocketFailure("Connection Timed out");
  if (FCanceled) throw SocketFailure("Connection Canceled");
  throw SocketFailure("Connection Failed");
}

void SocketClient::SendBuffer(const char* data, std::size_t len) {
  Report("Sending Buffer", kLevelSocket);
  TimerScope timer(*this);
  if (!FCanceled) {
    if (len == 0) len = data ? ::strnlen(data, kBufferSize - 1) : 0;
    std::size_t sent = 0;
    while (sent < len && !FCanceled) {
      if (FSocket < 0) RaiseCode(kWsaENotConn);
      ssize_t n = ::send(FSocket, data + sent, len - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) break;
      int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        WaitCycle(POLLOUT);
        continue;
      }
      SocketError(err, kWsaEWouldBlock);
    }
  }
  if (FCanceled) {
    FCanceled = false;
    throw RequestAborted("Socket send aborted");
  }
}

void SocketClient::Write(const std::string& text) {
  Report("Write", kLevelDetail);
  // The text goes out as a C string: a NUL ends it.
  const std::size_t len = std::min(text.size(), text.find('\0'));
  if (len >= kBufferSize) {
    throw SocketFailure("Text too long to send (" + std::to_string(len) + " bytes, at most " +
                        std::to_string(kBufferSize - 1) + ")");
  }
  SendBuffer(text.c_str(), len);
}

void SocketClient::Writeln(const std::string& text) {
  Report("Writeln", kLevelDetail);
  Write(text + "\r\n");
}

SocketClient::Fill SocketClient::FillBuffer() {
  FBufPos = FBufLen = 0;
  if (FSocket < 0) {
    FLastError = kWsaENotConn;
    return Fill::NotConnected;
  }
  for (;;) {
    ssize_t n = ::recv(FSocket, FBuffer.data(), FBuffer.size(), 0);
    if (n > 0) {
      FBufLen = static_cast<std::size_t>(n);
      Report("Data Available", kLevelDetail);
      return Fill::Data;
    }
    if (n == 0) {
      // The server has closed and everything it sent has been taken: close
      // our side too and stand ready for the next connection.
      CloseSocket();
      return Fill::Closed;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return Fill::WouldBlock;
    if (err == ENOTCONN) {
      FLastError = kWsaENotConn;
      return Fill::NotConnected;
    }
    SocketError(err, kWsaEWouldBlock);
    return Fill::WouldBlock;
  }
}

std::string SocketClient::ReadLn() {
  Report("ReadLn", kLevelDetail);
  TimerScope timer(*this);
  std::string line;
  for (;;) {
    if (Buffered() > 0) {
      // Invariant: line.size() < kBufferSize here.
      const char* start = FBuffer.data() + FBufPos;
      const std::size_t span = std::min(Buffered(), kBufferSize - line.size());
      const void* lf = std::memchr(start, '\n', span);
      const std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1 : span;
      line.append(start, take);
      FBufPos += take;
      if (lf) break;
      if (line.size() >= kBufferSize) {
        throw SocketFailure("Line longer than " + std::to_string(kBufferSize) + " bytes");
      }
      continue;
    }
    if (FCanceled) break;
    const Fill f = FillBuffer();
    if (f == Fill::Data) continue;
    if (f == Fill::Closed || f == Fill::NotConnected) break;
    WaitCycle(POLLIN);
  }
  if (FCanceled) {
    FCanceled = false;
    throw RequestAborted("Socket readln aborted");
  }
  return line;
}

void SocketClient::CaptureLoop(long long limit, const std::function<void(const char*, std::size_t)>& sink) {
  TimerScope timer(*this);
  std::size_t total = 0;
  while (!FCanceled) {
    if (limit != -1 && static_cast<long long>(total) >= limit) break;
    if (Buffered() == 0) {
      const Fill f = FillBuffer();
      if (f == Fill::Closed || f == Fill::NotConnected) break;
      if (f == Fill::WouldBlock) {
        WaitCycle(POLLIN);
        continue;
      }
    }
    std::size_t n = Buffered();
    if (limit != -1) n = std::min<std::size_t>(n, static_cast<std::size_t>(limit) - total);
    if (total + n > kMaxCapture) {
      throw SocketFailure("Reply larger than " + std::to_string(kMaxCapture >> 20) + " MiB");
    }
    sink(FBuffer.data() + FBufPos, n);
    FBufPos += n;
    total += n;
    FBytesRecvd += static_cast<long long>(n);
    if (OnPacketRecvd) OnPacketRecvd();
    // The time-out counts from the last chunk.
    StartTimer();
    platform::ProcessMessages();
    CheckTransferDeadline();
  }
}

void SocketClient::CaptureString(std::string& text, long long limit) {
  Report("Capture String", kLevelDetail);
  text.clear();
  FBytesRecvd = 0;
  CaptureLoop(limit, [&text](const char* p, std::size_t n) { text.append(p, n); });
  if (FCanceled) {
    FCanceled = false;
    throw RequestAborted("Socket capture aborted");
  }
}

void SocketClient::CaptureFile(const std::string& name) {
  Report("CaptureFile", kLevelDetail);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "wb"), &std::fclose);
  if (!file) throw std::runtime_error("Cannot create file " + name);
  FBytesRecvd = 0;
  CaptureLoop(-1, [&](const char* p, std::size_t n) {
    if (std::fwrite(p, 1, n, file.get()) != n) throw std::runtime_error("Cannot write file " + name);
  });
  if (std::fclose(file.release()) != 0) throw std::runtime_error("Cannot write file " + name);
  if (FCanceled) {
    FCanceled = false;
    throw RequestAborted("Socket send aborted");
  }
}

}  // namespace sl::net
