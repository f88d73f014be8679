// HttpClient: the HTTP/1.0 client on top of SocketClient. Get() runs a whole
// exchange (connect, request, reply header, body, events, redirects) and
// returns only after the reply's events have run; while it waits the message
// pump keeps running. Transport failures leave Get() as exceptions, HTTP
// status codes arrive as events.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/socket_client.h"

namespace sl::net {

// Optional request header values; each is sent only when set.
struct RequestHeaders {
  std::string LocalMailAddress;  // "From: "
  std::string LocalProgram;      // "User-Agent: "
  std::string Cookie;            // "Cookie: " to every server without one of its own
  // Cookies set by the servers' redirects: one per server ("host:port"),
  // each sent back to the server that set it and to no other. At most
  // kMaxCookieServers; when a new server's comes, the oldest is dropped.
  std::vector<std::pair<std::string, std::string>> ServerCookies;
  static constexpr std::size_t kMaxCookieServers = 32;
  // The cookie kept for `hostKey`, or nullptr.
  const std::string* CookieFor(const std::string& hostKey) const;
  // Keeps `cookie` as the one of `hostKey`, replacing that server's earlier one.
  void KeepCookie(const std::string& hostKey, std::string cookie);
  std::string Referer;           // "Referer: "
  std::string UserId, Password;  // "Authorization: Basic " when UserId is set
};

// What the client takes from a reply header. The client reads the header a
// line at a time and hands each line, with its line end, to AddLine: first
// the status line, then the header lines. AddLine returns true once the
// header is over (a blank line, or an empty read after the status line: the
// peer closed) and raises SocketFailure when the header grows past its bounds.
struct ReplyHeaders {
  // Bounds on a reply header: lines (status line included) and bytes.
  static constexpr int kMaxLines = 256;
  static constexpr std::size_t kMaxBytes = 65536;
  // Longest Set-Cookie value kept (the size browsers keep for one cookie).
  static constexpr std::size_t kMaxCookieLength = 4096;

  int ReplyNumber = 0;              // the status line's second field as a number; 0 when none
  std::string Location, SetCookie;  // without their line ends
  long long ContentLength = 0;
  bool HasContentLength = false;
  bool Chunked = false;  // Transfer-Encoding: chunked (the body comes in chunks)
  int Lines = 0;
  std::size_t Bytes = 0;

  bool AddLine(const std::string& line);
};

// The size of the chunk a chunked body's size line announces (hexadecimal,
// optionally followed by ";extensions" and the line end). nullopt for a line
// that is no size line or a size of more than 15 hexadecimal digits.
std::optional<long long> ChunkSize(std::string_view line);

class HttpClient : public SocketClient {
 public:
  // Redirects (300 to 302) followed by one Get() before it gives up.
  static constexpr int kMaxRedirects = 10;
  static constexpr int kMaxHeaderLines = ReplyHeaders::kMaxLines;
  static constexpr std::size_t kMaxHeaderBytes = ReplyHeaders::kMaxBytes;
  static constexpr std::size_t kMaxCookieLength = ReplyHeaders::kMaxCookieLength;
  // A whole reply (header and body) must arrive within this many TimeOut
  // periods, however steadily it trickles in.
  static constexpr int kReplyTimeOuts = 10;

  // After a request: the reply body; in file mode the name of its file.
  std::string Body = "Default.htm";
  // After a request: the status line and header lines, each with its line
  // end; in file mode the name of their file.
  std::string Header = "Head.txt";
  RequestHeaders HeaderInfo;
  bool InputFileMode = false;   // reply body to the file named by Body
  bool OutputFileMode = false;  // reply header to the file named by Header

  std::function<void()> OnAboutToSend, OnAuthenticationNeeded, OnPacketSent;
  // OnSuccess for a status below 299; OnFailure for 299 and every status
  // above 302 (the client follows only 300 to 302).
  std::function<void(int cmd)> OnSuccess, OnFailure;
  std::function<void(bool& handled)> OnRedirect;  // status 300 to 398

  // HTTP/1.0 GET of url, directly or through Proxy:ProxyPort. Raises the
  // socket layer's exceptions when no reply could be had, std::runtime_error
  // for a URL it cannot use ("Empty URL", "HTTP Secure Socket is not
  // supported", a bad port), for too many redirects, and when called again
  // from a handler while a request is running.
  void Get(const std::string& url);

  int ReplyNumber() const { return FReplyNumber; }
  const std::string& Url() const { return FUrl; }
  const std::string& Path() const { return FPath; }
  const std::string& Location() const { return FLocation; }
  const std::string& SetCookie() const { return FSetCookie; }
  long long ContentLength() const { return FContentLength; }
  // The exact request text of the last request sent.
  const std::string& LastRequest() const { return FLastRequest; }

  // Marks the lookup as over, then cancels.
  void Abort() override;

 private:
  void ParseUrl();
  void BuildRequest();
  void SendRequest();
  void ReadReplyHeader();
  void ReadBody();
  // The body of a reply in chunks, decoded, up to its last chunk and trailer.
  void ReadChunkedBody(std::string& out);
  void JudgeStatus();
  std::string HostKey() const;  // "host:port" of the current request

  std::string FUrl, FPath, FLocation, FSetCookie, FLastRequest;
  std::vector<std::string> FRequestLines;
  int FReplyNumber = 0;
  int FCmd = 0;
  long long FContentLength = 0;
  bool FHasContentLength = false;
  bool FChunked = false;
  bool FBusy = false;
};

}  // namespace sl::net
