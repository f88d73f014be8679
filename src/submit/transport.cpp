// The submission POST through libcurl's multi interface, so the message
// pump runs while the request waits, and the reading of the server's answer.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "platform/codepage.h"
#include "platform/pump.h"
#include "submit/submit.h"

namespace sl::submit {

namespace {

// How long one wait for socket activity lasts before the pump runs again.
constexpr int kPollSliceMs = 10;
// Longest status text shown.
constexpr std::size_t kMaxStatusChars = 200;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

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

}  // namespace

PostResult PostSubmission(const PostRequest& request) {
  GlobalInit();
  PostResult result;
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!easy || !multi) {
    result.error = "libcurl could not be initialised";
    return result;
  }

  // Our own header lines go in the order given. Naming a header with nothing
  // after the colon keeps libcurl from adding its own: the body is not a
  // form, and a small POST needs no "Expect: 100-continue" round.
  std::unique_ptr<curl_slist, ListDeleter> headers;
  auto append = [&headers](const char* line) {
    curl_slist* next = curl_slist_append(headers.get(), line);
    if (next == nullptr) return false;
    (void)headers.release();  // next is the same list, one item longer
    headers.reset(next);
    return true;
  };
  bool listed = true;
  for (const std::string& line : request.headers) listed = listed && append(line.c_str());
  for (const char* off : {"Content-Type:", "Expect:"}) listed = listed && append(off);
  if (!listed) {
    result.error = "out of memory";
    return result;
  }

  char errorText[CURL_ERROR_SIZE] = {};
  Sink sink{&result.body};
  CURL* h = easy.get();
  const long timeoutMs = static_cast<long>(std::max<long long>(1, request.timeout.count()));
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
#endif
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_USERAGENT, kClientName);
  // An empty proxy text means a direct connection, even when the
  // environment names a proxy; a given proxy is used for every host.
  curl_easy_setopt(h, CURLOPT_PROXY, request.proxy.c_str());
  if (!request.proxy.empty()) curl_easy_setopt(h, CURLOPT_NOPROXY, "");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

  if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) {
    result.error = "libcurl could not start the request";
    return result;
  }
  // libcurl keeps its own time-out; this deadline only guards against a
  // transfer that never reports back.
  const auto deadline =
      std::chrono::steady_clock::now() + request.timeout + std::chrono::seconds(5);
  CURLcode code = CURLE_OK;
  bool done = false;
  while (!done) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) {
        code = msg->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      code = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    curl_multi_poll(multi.get(), nullptr, 0, kPollSliceMs, nullptr);
    platform::ProcessMessages();
  }
  curl_multi_remove_handle(multi.get(), h);

  long http = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &http);
  result.httpStatus = http;
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && sink.overflow)) {
    result.replied = http > 0;
    if (!result.replied) result.error = "no HTTP reply";
  } else {
    result.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
  }
  return result;
}

SubmitVerdict JudgeReply(const PostResult& result) {
  SubmitVerdict v;
  if (!result.replied) {
    v.noAnswer = true;
    v.status = "接続できません。";
    return v;
  }
  if (result.httpStatus != 200) {
    v.status = "接続できません。";
    return v;
  }
  const std::string_view body = result.body;
  const std::string line(body.substr(0, body.find_first_of("\r\n")));
  std::string text = platform::FromExternal(line);
  // Only printable text goes to the status bar.
  std::string shown;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size() && chars < kMaxStatusChars;) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    n = std::min(n, text.size() - i);
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
    v.status = "応答コードなし";
    return v;
  }
  v.status = shown;
  v.accepted = shown[0] == '2';
  return v;
}

}  // namespace sl::submit
