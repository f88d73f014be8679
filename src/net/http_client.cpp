#include "net/http_client.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>
#include <stdexcept>

#include "platform/scoped_flag.h"

namespace sl::net {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The line without its CR LF or LF.
std::string WithoutLineEnd(std::string s) {
  if (!s.empty() && s.back() == '\n') s.pop_back();
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The status code of a status line: its second space-separated field as a
// decimal number, 0 when it is none.
int StatusCode(const std::string& statusLine) {
  const std::string line = WithoutLineEnd(statusLine);
  const std::size_t first = line.find(' ');
  if (first == std::string::npos) return 0;
  const std::size_t end = line.find(' ', first + 1);
  const std::string field =
      line.substr(first + 1, end == std::string::npos ? std::string::npos : end - first - 1);
  if (!AllDigits(field) || field.size() > 5) return 0;
  const int value = std::stoi(field);
  return value <= 65535 ? value : 0;
}

// Digits after "ENGTH:" with leading blanks skipped; 0 when there are none.
long long ContentLengthValue(const std::string& upperLine) {
  std::size_t i = upperLine.find("ENGTH:");
  if (i == std::string::npos) return 0;
  i += 6;
  while (i < upperLine.size() && (upperLine[i] == ' ' || upperLine[i] == '\t')) ++i;
  long long value = 0;
  for (; i < upperLine.size() && upperLine[i] >= '0' && upperLine[i] <= '9'; ++i) {
    if (value > (LLONG_MAX - 9) / 10) return LLONG_MAX;  // absurd: keep the largest
    value = value * 10 + (upperLine[i] - '0');
  }
  return value;
}

// The port after the colon of a host part.
int PortNumber(const std::string& text) {
  if (!AllDigits(text)) throw std::runtime_error("'" + text + "' is not a valid integer value");
  if (text.size() > 5 || std::stoi(text) > 65535) {
    throw std::runtime_error("'" + text + "' is not a valid port number");
  }
  return std::stoi(text);
}

std::string Base64(const std::string& in) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) | static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Replaces the header line called name (compared without regard to case),
// or appends one: the list then holds exactly one such line.
void SetHeaderLine(std::vector<std::string>& lines, const std::string& name, const std::string& value) {
  const std::string key = Lower(name);
  for (auto& line : lines) {
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == key) {
      line = name + ": " + value;
      return;
    }
  }
  lines.push_back(name + ": " + value);
}

}  // namespace

bool ReplyHeaders::AddLine(const std::string& line) {
  Bytes += line.size();
  if (++Lines == 1) {
    // The status line. An empty one (the peer closed at once) leaves the
    // status at 0; the next read then ends the header.
    if (!line.empty()) ReplyNumber = StatusCode(line);
    return false;
  }
  if (Lines > kMaxLines || Bytes > kMaxBytes) {
    throw SocketFailure("Reply header too long (more than " + std::to_string(kMaxLines) + " lines or " +
                        std::to_string(kMaxBytes) + " bytes)");
  }
  const std::string upper = Upper(line);
  const std::string field = WithoutLineEnd(upper.substr(0, upper.find(' ')));
  if (field == "SET-COOKIE:") {
    SetCookie =
        WithoutLineEnd(line.size() > 12 ? line.substr(12) : std::string()).substr(0, kMaxCookieLength);
  } else if (field == "LOCATION:") {
    // Kept whole (the header's own bounds limit it): a redirected query
    // of a disc with many tracks is far longer than any fixed cut.
    Location = WithoutLineEnd(line.size() > 10 ? line.substr(10) : std::string());
  } else if (field == "CONTENT-LENGTH:") {
    ContentLength = ContentLengthValue(upper);
    HasContentLength = true;
  } else if (field == "TRANSFER-ENCODING:") {
    // A server or proxy may answer in HTTP/1.1's chunks even though the
    // request was HTTP/1.0; the body is then decoded, not taken raw.
    Chunked = upper.find("CHUNKED") != std::string::npos;
  }
  return line.empty() || line == "\n" || line == "\r\n";
}

const std::string* RequestHeaders::CookieFor(const std::string& hostKey) const {
  for (const auto& [host, cookie] : ServerCookies)
    if (host == hostKey) return &cookie;
  return nullptr;
}

void RequestHeaders::KeepCookie(const std::string& hostKey, std::string cookie) {
  for (auto& [host, kept] : ServerCookies) {
    if (host == hostKey) {
      kept = std::move(cookie);
      return;
    }
  }
  if (ServerCookies.size() >= kMaxCookieServers) ServerCookies.erase(ServerCookies.begin());
  ServerCookies.emplace_back(hostKey, std::move(cookie));
}

std::string HttpClient::HostKey() const { return Lower(Host) + ":" + std::to_string(Port); }

void HttpClient::Abort() {
  SetLookupDone();
  Cancel();
}

void HttpClient::ParseUrl() {
  if (FUrl.empty()) throw std::runtime_error("Empty URL");
  // The URL goes into the request line: a line break would forge headers.
  if (FUrl.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    throw std::runtime_error("URL contains a control character");
  }
  if (Port == 0) Port = 80;

  // "scheme://host/..." or "//host/...": the URL names a host when "//"
  // comes before any other "/". A "//" further on is part of the path.
  const std::size_t firstSlash = FUrl.find('/');
  const bool hasAuthority = firstSlash != std::string::npos && FUrl.compare(firstSlash, 2, "//") == 0;

  // The path, from the third "/" (with a host) or the first "/" on. It is
  // sent whole: a CDDB query of a disc with many tracks is far longer than
  // any fixed cut would allow.
  std::size_t pathStart = std::string::npos;
  if (hasAuthority) {
    pathStart = FUrl.find('/', firstSlash + 2);
  } else {
    pathStart = firstSlash;
  }
  FPath = pathStart == std::string::npos ? std::string() : FUrl.substr(pathStart);

  // The scheme decides the default port. A colon after the first "/" is
  // part of the path (a relative URL), not a scheme.
  const std::size_t colon = FUrl.find(':');
  if (colon != std::string::npos && (firstSlash == std::string::npos || colon < firstSlash)) {
    const std::string scheme = Lower(FUrl.substr(0, colon));
    if (scheme == "gopher") {
      Port = 70;
    } else if (scheme == "ftp") {
      Port = 21;
    } else if (scheme == "https") {
      throw std::runtime_error("HTTP Secure Socket is not supported");
    } else {
      Port = 80;
    }
  }

  std::string host;
  if (hasAuthority) {
    const std::size_t start = firstSlash + 2;
    host = FUrl.substr(start, pathStart == std::string::npos ? std::string::npos : pathStart - start);
  } else if (firstSlash != 0) {
    host = FUrl.substr(0, firstSlash);
  }
  const std::size_t portColon = host.find(':');
  if (portColon != std::string::npos) {
    Port = PortNumber(host.substr(portColon + 1));
    host.resize(portColon);
  }
  if (!host.empty()) Host = host;

  if (FPath.empty()) {
    FPath = "/";
    FUrl += "/";
  }
}

void HttpClient::BuildRequest() {
  FRequestLines.clear();
  FRequestLines.push_back("GET " + (Proxy.empty() ? FPath : FUrl) + " HTTP/1.0");
  if (!Proxy.empty()) {
    FRequestLines.push_back("Proxy-Connection: Keep-Alive");
    FRequestLines.push_back("Host: " + Host);
  }
  SetHeaderLine(FRequestLines, "Host", Host);
  FRequestLines.push_back("Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff");
  FRequestLines.push_back("Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript");
  const RequestHeaders& h = HeaderInfo;
  if (!h.LocalProgram.empty()) FRequestLines.push_back("User-Agent: " + h.LocalProgram);
  if (!h.LocalMailAddress.empty()) FRequestLines.push_back("From: " + h.LocalMailAddress);
  if (const std::string* own = h.CookieFor(HostKey())) FRequestLines.push_back("Cookie: " + *own);
  else if (!h.Cookie.empty()) FRequestLines.push_back("Cookie: " + h.Cookie);
  if (!h.Referer.empty()) FRequestLines.push_back("Referer: " + h.Referer);
  if (!h.UserId.empty())
    FRequestLines.push_back("Authorization: Basic " + Base64(h.UserId + ":" + h.Password));
  FRequestLines.push_back("Content-type: application/x-www-form-urlencoded");

  for (const auto& line : FRequestLines) {
    if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      throw std::runtime_error("Request header contains a control character: " +
                               line.substr(0, line.find_first_of(std::string("\r\n\0", 3))));
    }
  }
}

void HttpClient::SendRequest() {
  std::string text;
  for (const auto& line : FRequestLines) {
    text += line;
    text += "\r\n";
  }
  FLastRequest = text + "\r\n";
  Write(text);
  Writeln("");
}

void HttpClient::ReadReplyHeader() {
  FContentLength = 0;
  FHasContentLength = false;
  FChunked = false;
  FSetCookie.clear();
  FLocation.clear();
  std::ofstream file;
  if (OutputFileMode) {
    file.open(Header, std::ios::binary | std::ios::trunc);
    if (!file) throw std::runtime_error("Cannot create file " + Header);
  } else {
    Header.clear();
  }
  auto keep = [&](const std::string& line) {
    if (!OutputFileMode) {
      Header += line;
    } else if (!file.write(line.data(), static_cast<std::streamsize>(line.size()))) {
      throw std::runtime_error("Cannot write file " + Header);
    }
  };

  ReplyHeaders reply;
  for (bool done = false; !done;) {
    const std::string line = ReadLn();
    done = reply.AddLine(line);
    keep(line);
  }
  FReplyNumber = reply.ReplyNumber;
  FLocation = std::move(reply.Location);
  FSetCookie = std::move(reply.SetCookie);
  FContentLength = reply.ContentLength;
  FHasContentLength = reply.HasContentLength;
  FChunked = reply.Chunked;
  if (OutputFileMode) {
    file.close();
    if (!file) throw std::runtime_error("Cannot write file " + Header);
  }
}

std::optional<long long> ChunkSize(std::string_view line) {
  long long value = 0;
  std::size_t i = 0;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (i >= 15) return std::nullopt;
    value = value * 16 + digit;
  }
  if (i == 0) return std::nullopt;
  const std::string_view rest = line.substr(i);
  const std::size_t end = rest.find_first_not_of(" \t");
  if (end == std::string_view::npos || rest[end] == ';' || rest.substr(end) == "\r\n" ||
      rest.substr(end) == "\n")
    return value;
  return std::nullopt;
}

void HttpClient::ReadChunkedBody(std::string& out) {
  out.clear();
  std::string part;
  for (;;) {
    const std::string line = ReadLn();
    if (line.empty()) throw SocketFailure("Connection closed inside a chunked reply");
    const auto size = ChunkSize(line);
    if (!size) throw SocketFailure("Reply chunk without a size: " + WithoutLineEnd(line).substr(0, 40));
    if (*size == 0) break;
    if (*size > static_cast<long long>(kMaxCapture - out.size())) {
      throw SocketFailure("Reply larger than " + std::to_string(kMaxCapture >> 20) + " MiB");
    }
    CaptureString(part, *size);
    if (static_cast<long long>(part.size()) < *size)
      throw SocketFailure("Connection closed inside a chunked reply");
    out += part;
    const std::string end = ReadLn();
    if (end != "\r\n" && end != "\n") throw SocketFailure("Reply chunk longer than its size");
  }
  // The trailer: header lines up to a blank line (or the peer's close).
  for (int lines = 0;; ++lines) {
    const std::string line = ReadLn();
    if (line.empty() || line == "\n" || line == "\r\n") break;
    if (lines >= ReplyHeaders::kMaxLines) throw SocketFailure("Reply trailer too long");
  }
}

void HttpClient::ReadBody() {
  if (FChunked) {
    std::string body;
    ReadChunkedBody(body);
    if (!InputFileMode) {
      Body = std::move(body);
      return;
    }
    std::ofstream file(Body, std::ios::binary | std::ios::trunc);
    if (!file || !file.write(body.data(), static_cast<std::streamsize>(body.size())) ||
        (file.close(), !file)) {
      throw std::runtime_error("Cannot write file " + Body);
    }
    return;
  }
  if (InputFileMode) {
    CaptureFile(Body);
    return;
  }
  // A fresh text sized for the announced length (never beyond the capture
  // bound): no regrowth while a large body arrives, and no capacity kept
  // from an earlier, larger reply.
  std::string().swap(Body);
  if (!FHasContentLength) {
    CaptureString(Body, -1);
    return;
  }
  // With a length given the body ends there, whether or not the peer closes:
  // a proxy or server keeping the connection alive would otherwise hold the
  // reply until the time-out.
  if (FContentLength > static_cast<long long>(kMaxCapture)) {
    throw SocketFailure("Reply larger than " + std::to_string(kMaxCapture >> 20) + " MiB");
  }
  Body.reserve(static_cast<std::size_t>(FContentLength));
  CaptureString(Body, FContentLength);
  if (static_cast<long long>(Body.size()) < FContentLength) {
    throw SocketFailure("Connection closed with " +
                        std::to_string(FContentLength - static_cast<long long>(Body.size())) +
                        " bytes of the reply missing");
  }
}

void HttpClient::JudgeStatus() {
  if (FReplyNumber < 299) {
    if (OnSuccess) OnSuccess(FCmd);
    Report("Transaction Completed", kLevelTransaction);
  } else if (FReplyNumber >= 300 && FReplyNumber <= 302) {
    FUrl = FLocation;
  } else {
    // 299 and 303 to 399 are neither a reply to use nor a redirect this
    // client follows: the request has failed, and its caller must hear so.
    if (OnFailure) OnFailure(FCmd);
  }
}

void HttpClient::Get(const std::string& url) {
  // A handler that runs during a wait must not start a second exchange on
  // the same component: it would take over the socket under the first.
  if (FBusy) throw std::runtime_error("A request is already in progress");
  platform::ScopedFlag busy(FBusy);
  FCmd = 0;
  FUrl = url;
  const long long replyLimit =
      TimeOut > 0 ? std::min<long long>(static_cast<long long>(TimeOut) * kReplyTimeOuts, INT_MAX) : 0;

  for (int redirects = 0;; ++redirects) {
    ParseUrl();
    BuildRequest();
    if (OnAboutToSend) OnAboutToSend();
    try {
      Connect();
      BeginTransferDeadline(static_cast<int>(replyLimit));
      SendRequest();
      FReplyNumber = 0;
      ReadReplyHeader();
      ReadBody();
      EndTransferDeadline();
      JudgeStatus();
    } catch (...) {
      EndTransferDeadline();
      try {
        Disconnect();
      } catch (...) {
        // The first failure is the one to report.
      }
      throw;
    }
    Disconnect();

    bool again = false;
    if (FReplyNumber >= 300 && FReplyNumber <= 398) {
      // A cookie set with a redirect goes back to the server that set it,
      // and to no other: only its name and value, not its attributes.
      if (!FSetCookie.empty()) {
        HeaderInfo.KeepCookie(HostKey(), FSetCookie.substr(0, FSetCookie.find(';')));
      }
      bool handled = false;
      if (OnRedirect) OnRedirect(handled);
      if (handled) return;
      // A bare name is taken on the same server. The port goes into the
      // URL too: "http://" alone would send the repeat to port 80.
      if (!FUrl.empty() && FUrl.find('/') == std::string::npos) {
        FUrl = "http://" + Host + (Port == 80 ? std::string() : ":" + std::to_string(Port)) + "/" + FUrl;
      }
      again = FReplyNumber <= 302;
    }
    if (FReplyNumber == 401 && OnAuthenticationNeeded) OnAuthenticationNeeded();
    if (!again) return;
    if (redirects >= kMaxRedirects) {
      throw std::runtime_error("Too many redirects (more than " + std::to_string(kMaxRedirects) + ")");
    }
  }
}

}  // namespace sl::net
