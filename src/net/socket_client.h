// SocketClient: a TCP client with blocking-style operations (connect, send a
// text, read a line, receive until the server closes) for the user-interface
// thread. The socket is non-blocking; every wait polls it with a short
// time-out and runs the message pump between polls, so the window stays live
// and handlers run in the middle of an operation. Cancel() (or Abort(), which
// the time-out calls) ends any wait in progress.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/deadline_timer.h"
#include "net/errors.h"

namespace sl::net {

class SocketClient {
 public:
  // Size of the component's input/output buffer; also the longest line
  // ReadLn() takes and the longest text Write() sends.
  static constexpr std::size_t kBufferSize = 65536;
  // Most bytes CaptureString() and CaptureFile() take in one call.
  static constexpr std::size_t kMaxCapture = std::size_t{64} << 20;
  // Longest sleep of one wait cycle, in milliseconds.
  static constexpr int kPollSliceMs = 10;

  SocketClient();
  virtual ~SocketClient();
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  std::string Host;     // server name or dotted IPv4 address
  int Port = 0;         // server TCP port
  int TimeOut = 0;      // milliseconds for each wait; 0 = never time out
  int ReportLevel = 1;  // status texts of this level or lower are reported
  std::string Proxy;    // proxy host; empty = direct connection
  int ProxyPort = 0;

  std::function<void()> OnConnect, OnDisconnect, OnHostResolved, OnConnectionFailed, OnPacketRecvd;
  // Host lookup failed: the handler may correct Host and set handled to ask
  // for one more attempt.
  std::function<void(bool& handled)> OnInvalidHost;
  std::function<void(const std::string& status)> OnStatus;

  // Resolves Proxy (when set) or Host and connects to ProxyPort or Port.
  // Raises SocketFailure.
  void Connect();
  // Closes the connection and puts a fresh socket in its place.
  void Disconnect();
  // Makes the wait in progress (or the next one) end with its cancel outcome.
  void Cancel();
  // Called by the time-out; cancels.
  virtual void Abort();

  // Sends len bytes (len 0: the C-string length of data, at most 65,535).
  void SendBuffer(const char* data, std::size_t len);
  // Sends the text up to its first NUL; 65,536 bytes or more raise SocketFailure.
  void Write(const std::string& text);
  // Sends the text and CR LF.
  void Writeln(const std::string& text);
  // One line with its own line end (CR LF or LF). When the server closes
  // before the line end, the bytes received so far (possibly none). A line
  // of more than kBufferSize bytes raises SocketFailure.
  std::string ReadLn();
  // Receives into text until the server closes (limit -1) or text holds
  // limit bytes. The time-out counts from the last chunk received. More
  // than kMaxCapture bytes raise SocketFailure.
  void CaptureString(std::string& text, long long limit = -1);
  // Receives into a file created anew, until the server closes.
  void CaptureFile(const std::string& name);

  bool Connected() const { return FConnected; }
  int LastError() const { return FLastError; }
  const std::string& StatusText() const { return FStatusText; }
  long long BytesRecvd() const { return FBytesRecvd; }

 protected:
  // Status levels.
  static constexpr int kLevelTransaction = 2;
  static constexpr int kLevelSocket = 4;
  static constexpr int kLevelDetail = 8;

  // Stores the text and calls OnStatus when ReportLevel >= level.
  void Report(std::string_view text, int level);
  void SetLookupDone() { FLookupDone = true; }

  // A bound on a whole exchange: every wait from now on raises SocketFailure
  // once ms milliseconds have passed (ms <= 0: no bound). Guards against a
  // server that trickles its reply so slowly that the per-wait time-out
  // never runs out.
  void BeginTransferDeadline(int ms);
  void EndTransferDeadline();

 private:
  using Clock = std::chrono::steady_clock;
  class TimerScope;

  void CreateSocket(bool withLinger);
  void CloseSocket();
  void ResolveHost();
  // Resolves the host (or proxy), letting OnInvalidHost fix the name once;
  // throws when no address results.
  void ResolveRemoteAddress();
  // Waits for a started connect to complete, fail, time out or be
  // cancelled.
  void WaitForConnect();
  void StartTimer();
  void StopTimer();
  void TimerTriggered();
  // Raises SocketFailure with the error table's text for the errno of the
  // failed call, unless it maps to the tolerated code.
  void SocketError(int err, int tolerated);
  [[noreturn]] void RaiseCode(int code);
  // One wait cycle: poll the socket for events (sleeping at most a slice, or
  // until the timer is due), run the pump, check the timer and the deadline.
  void WaitCycle(short events);
  // How long one wait cycle may sleep: a slice, shortened so that the timer
  // and the transfer deadline are seen on time.
  int SliceMs() const;
  void CheckTransferDeadline();

  enum class Fill { Data, Closed, WouldBlock, NotConnected };
  // Receives into the empty buffer. Raises on errors other than those listed.
  Fill FillBuffer();
  std::size_t Buffered() const { return FBufLen - FBufPos; }
  // Shared loop of CaptureString and CaptureFile: hands every chunk to sink.
  void CaptureLoop(long long limit, const std::function<void(const char*, std::size_t)>& sink);

  int FSocket = -1;
  bool FSocketUsed = false;    // a connect was tried on the current socket
  std::uint32_t FAddress = 0;  // remote IPv4 address, network order; 0 = none
  bool FCanceled = false, FTimedOut = false, FLastOpOk = false, FLookupDone = false;
  bool FConnected = false, destroying_ = false;
  int FLastError = 0;
  std::string FStatusText;
  long long FBytesRecvd = 0;
  DeadlineTimer FTimer;
  bool FHasDeadline = false;
  int FDeadlineMs = 0;
  Clock::time_point FDeadline{};
  // Bytes received but not yet handed out: FBuffer[FBufPos, FBufLen).
  std::size_t FBufPos = 0, FBufLen = 0;
  std::array<char, kBufferSize> FBuffer;
};

}  // namespace sl::net
