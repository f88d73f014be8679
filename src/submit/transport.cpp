// The submission POST through libcurl's multi interface, so the message
// pump runs while the request waits, and the reading of the server's answer.
//
// libcurl is loaded when the first submission is posted, not linked (see
// platform/curl_library.h).
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/curl_library.h"
#include "submit/submit.h"
#include "text/codepage.h"
#include "text/utf8.h"

namespace sl::submit {

namespace {

// Longest status text shown.
constexpr std::size_t kMaxStatusChars = 200;

using platform::Curl;

struct Sink {
  std::string* body;
  bool overflow = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t n = size * count;
  const std::size_t room = PostResult::kMaxReplyBytes - sink->body->size();
  if (n > room) {
    // Enough of the answer is here; its first line is what counts.
    sink->body->append(data, room);
    sink->overflow = true;
    return 0;
  }
  sink->body->append(data, n);
  return n;
}

// Our own header lines in the order given, then the ones that keep libcurl
// from adding its own. Naming a header with nothing after the colon keeps
// libcurl from adding it: the body is not a form, and a small POST needs no
// "Expect: 100-continue" round. False when memory ran out.
bool ListHeaders(const platform::CurlLibrary& curl, const std::vector<std::string>& lines,
                 platform::CurlList& headers) {
  auto append = [&headers, &curl](const char* line) {
    curl_slist* next = curl.slist_append(headers.get(), line);
    if (next == nullptr) return false;
    (void)headers.release();  // next is the same list, one item longer
    headers.reset(next);
    return true;
  };
  bool listed = true;
  for (const std::string& line : lines) {
    // libcurl drops a header whose value is empty ("User-Email: " for an
    // empty address); "Name;" is its way to send the line with no value.
    const auto colon = line.find(':');
    const bool empty =
        colon != std::string::npos && line.find_first_not_of(' ', colon + 1) == std::string::npos;
    listed = listed && append(empty ? (line.substr(0, colon) + ";").c_str() : line.c_str());
  }
  for (const char* off : {"Content-Type:", "Expect:"}) listed = listed && append(off);
  return listed;
}

// Sets `h` up to post `request` with `headers`, the reply going to `sink`.
void SetPostOptions(const platform::CurlLibrary& curl, CURL* h, const PostRequest& request,
                    curl_slist* headers, Sink& sink, char* errorText) {
  const long timeoutMs = static_cast<long>(std::max<long long>(1, request.timeout.count()));
  curl.easy_setopt(h, CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  curl.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
#endif
  curl.easy_setopt(h, CURLOPT_POST, 1L);
  curl.easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
  curl.easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl.easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl.easy_setopt(h, CURLOPT_USERAGENT, kClientName);
  // An empty proxy text means a direct connection, even when the
  // environment names a proxy; a given proxy is used for every host.
  curl.easy_setopt(h, CURLOPT_PROXY, request.proxy.c_str());
  if (!request.proxy.empty()) curl.easy_setopt(h, CURLOPT_NOPROXY, "");
  curl.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl.easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl.easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl.easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl.easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl.easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
}

}  // namespace

PostResult PostSubmission(const PostRequest& request) {
  PostResult result;
  const platform::CurlLibrary& curl = Curl();
  if (!curl.error.empty()) {
    result.error = curl.error;
    return result;
  }
  platform::CurlEasy easy(curl.easy_init());
  platform::CurlMulti multi(curl.multi_init());
  if (!easy || !multi) {
    result.error = "libcurl could not be initialised";
    return result;
  }
  platform::CurlList headers;
  if (!ListHeaders(curl, request.headers, headers)) {
    result.error = "out of memory";
    return result;
  }

  char errorText[CURL_ERROR_SIZE] = {};
  Sink sink{&result.body};
  CURL* h = easy.get();
  SetPostOptions(curl, h, request, headers.get(), sink, errorText);
  if (curl.multi_add_handle(multi.get(), h) != CURLM_OK) {
    result.error = "libcurl could not start the request";
    return result;
  }
  // libcurl keeps its own time-out; this deadline only guards against a
  // transfer that never reports back.
  const auto deadline = std::chrono::steady_clock::now() + request.timeout + std::chrono::seconds(5);
  const CURLcode code = platform::RunPumped(multi.get(), h, deadline).code;

  long http = 0;
  curl.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &http);
  result.httpStatus = http;
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && sink.overflow)) {
    result.replied = http > 0;
    if (!result.replied) result.error = "no HTTP reply";
  } else {
    result.error = errorText[0] != '\0' ? errorText : curl.easy_strerror(code);
  }
  return result;
}

SubmitVerdict JudgeReply(const PostResult& result) {
  SubmitVerdict v;
  if (!result.replied) return v;
  if (result.httpStatus != 200) {
    v.reply = SubmitReply::HttpFailed;
    return v;
  }
  const std::string_view body = result.body;
  const std::string line(body.substr(0, body.find_first_of("\r\n")));
  std::string text = text::FromExternal(line);
  // Only printable text goes to the status bar.
  std::string shown;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size() && chars < kMaxStatusChars;) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    const std::size_t n = sl::text::AnnouncedLength(text, i);
    if (b >= 0x20 && b != 0x7F) {
      shown.append(text, i, n);
      ++chars;
    }
    i += n;
  }
  const bool hasCode = shown.size() >= 3 && std::isdigit(static_cast<unsigned char>(shown[0])) &&
                       std::isdigit(static_cast<unsigned char>(shown[1])) &&
                       std::isdigit(static_cast<unsigned char>(shown[2]));
  if (!hasCode) {
    v.reply = SubmitReply::NoStatusCode;
    return v;
  }
  v.reply = SubmitReply::Answered;
  v.accepted = shown[0] == '2';
  v.line = std::move(shown);
  return v;
}

}  // namespace sl::submit
