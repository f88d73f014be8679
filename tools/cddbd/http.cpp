// HTTP/1.0 framing: finding and parsing a request head, and building
// replies. Requests of HTTP/1.1 are accepted too; every reply is HTTP/1.0
// with "Connection: close", so one connection carries one request.
#include <algorithm>
#include <cstdio>

#include "cddbd.h"

namespace sl::cddbd {
namespace {

constexpr std::size_t kMaxHeaders = 100;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsTokenChar(unsigned char c) {
  if (c <= 0x20 || c >= 0x7f) return false;
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
  return kSeparators.find(static_cast<char>(c)) == std::string_view::npos;
}

bool HasControlBytes(std::string_view s) {
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::string HtmlEscape(std::string_view s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace

const std::string* RequestHead::Header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (EqualsIgnoreCase(n, name)) return &v;
  }
  return nullptr;
}

HeadScan ScanHead(std::string_view buffer, std::size_t maxHead, std::size_t& scanFrom,
                  std::size_t& headLength) {
  // A head ends with an empty line after at least one line: "\n\n" or
  // "\n\r\n". Only line ends at or after scanFrom are new; the look-back
  // reaches at most two bytes before them.
  const std::size_t limit = std::min(buffer.size(), maxHead);
  for (std::size_t p = scanFrom; p < limit; ++p) {
    if (buffer[p] != '\n') continue;
    const bool emptyLine =
        (p >= 1 && buffer[p - 1] == '\n') || (p >= 2 && buffer[p - 1] == '\r' && buffer[p - 2] == '\n');
    if (emptyLine) {
      headLength = p + 1;
      scanFrom = p + 1;
      return HeadScan::Complete;
    }
  }
  scanFrom = limit;
  return buffer.size() >= maxHead ? HeadScan::TooLarge : HeadScan::Incomplete;
}

std::optional<RequestHead> ParseHead(std::string_view head, int& errorStatus) {
  errorStatus = 400;
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  // One empty line before the request line is tolerated, as HTTP allows.
  std::size_t i = 0;
  if (i < lines.size() && lines[i].empty()) ++i;
  if (i >= lines.size() || lines[i].empty()) return std::nullopt;

  RequestHead req;
  const std::string_view requestLine = lines[i++];
  if (HasControlBytes(requestLine)) return std::nullopt;
  const std::size_t sp1 = requestLine.find(' ');
  const std::size_t sp2 = requestLine.rfind(' ');
  if (sp1 == std::string_view::npos || sp1 == sp2) return std::nullopt;  // no version: HTTP/0.9
  req.method = std::string(requestLine.substr(0, sp1));
  if (req.method.empty() || req.method.size() > 16) return std::nullopt;
  for (const char c : req.method) {
    if (c < 'A' || c > 'Z') return std::nullopt;
  }
  req.version = std::string(requestLine.substr(sp2 + 1));
  if (req.version.rfind("HTTP/", 0) != 0) return std::nullopt;
  if (req.version != "HTTP/1.0" && req.version != "HTTP/1.1") {
    errorStatus = 505;
    return std::nullopt;
  }
  // The target is everything between the method and the version, so a
  // client that puts raw blanks into its URL is still understood.
  req.target = std::string(Trim(requestLine.substr(sp1 + 1, sp2 - sp1 - 1)));
  if (req.target.empty()) return std::nullopt;

  for (; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') return std::nullopt;  // folded line
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view name = line.substr(0, colon);
    for (const char c : name) {
      if (!IsTokenChar(static_cast<unsigned char>(c))) return std::nullopt;
    }
    if (req.headers.size() >= kMaxHeaders) {
      errorStatus = 431;
      return std::nullopt;
    }
    req.headers.emplace_back(std::string(name), std::string(Trim(line.substr(colon + 1))));
  }

  // Absolute-form targets (as sent to a proxy) are reduced to their path,
  // so the server can stand in for a proxy in tests.
  std::string_view target = req.target;
  if (target.size() >= 7 && EqualsIgnoreCase(target.substr(0, 7), "http://")) {
    target.remove_prefix(7);
    const std::size_t rest = target.find_first_of("/?");
    target = rest == std::string_view::npos ? std::string_view("/") : target.substr(rest);
  }
  if (target.empty()) return std::nullopt;
  std::string pathPart;
  if (target.front() == '?') {
    pathPart = "/";
    req.query = std::string(target.substr(1));
  } else if (target.front() == '/') {
    const std::size_t q = target.find('?');
    pathPart = std::string(target.substr(0, q));
    if (q != std::string_view::npos) req.query = std::string(target.substr(q + 1));
  } else {
    return std::nullopt;
  }
  req.path = PercentDecode(pathPart, false);
  return req;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

Reply HtmlError(int status, std::string_view detail) {
  Reply reply;
  reply.httpStatus = status;
  reply.contentType = "text/html";
  const std::string title = std::to_string(status) + " " + ReasonPhrase(status);
  reply.body = "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n<html><head>\n<title>" + title +
               "</title>\n</head><body>\n<h1>" + ReasonPhrase(status) + "</h1>\n";
  if (!detail.empty()) reply.body += "<p>" + HtmlEscape(detail) + "</p>\n";
  reply.body += "</body></html>\n";
  return reply;
}

std::string BuildResponse(const Reply& reply, bool headOnly) {
  if (reply.rawResponse) return reply.body;
  std::string out =
      "HTTP/1.0 " + std::to_string(reply.httpStatus) + " " + ReasonPhrase(reply.httpStatus) + "\r\n";
  out += std::string("Server: ") + kServerName + "/" + kServerVersion + "\r\n";
  out += "Content-Type: " + reply.contentType + "\r\n";
  out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  for (const auto& [name, value] : reply.extraHeaders) out += name + ": " + value + "\r\n";
  out += "Connection: close\r\n\r\n";
  if (!headOnly) out += reply.body;
  return out;
}

}  // namespace sl::cddbd
