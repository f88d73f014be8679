// The disc-ID lookup: one GET through libcurl's multi interface, polled in
// short slices with the message pump run between them, spaced at least a
// second from the process's previous request, retried while the service
// answers 503 for as long as the busy wait allows.
#include <poll.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

#include "musicbrainz/musicbrainz.h"
#include "platform/curl_library.h"
#include "platform/pump.h"

#ifndef SONOLABEL_VERSION
#define SONOLABEL_VERSION "1.311"
#endif

namespace sl::musicbrainz {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait lasts before the pump runs again.
constexpr int kPollSliceMs = 10;
// Requests one lookup sends at most, 503 answers included.
constexpr int kMaxAttempts = 32;

// ---------------------------------------------------------------------------
// The process-wide request clock

std::mutex clockMutex;
std::optional<Clock::time_point> lastRequest;

// Claims the next request slot if it is due; otherwise says when it will be.
std::optional<Clock::time_point> ClaimRequestSlot() {
  std::lock_guard<std::mutex> lock(clockMutex);
  const Clock::time_point now = Clock::now();
  if (!lastRequest || now >= *lastRequest + kRequestSpacing) {
    lastRequest = now;
    return std::nullopt;
  }
  return *lastRequest + kRequestSpacing;
}

// Sleeps in short slices until `until`, running the pump between them. False
// when an abort was asked for meanwhile.
bool WaitPumping(Clock::time_point until, const bool& abortRequested) {
  while (!abortRequested) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return true;
    ::poll(nullptr, 0, static_cast<int>(std::min<long long>(left, kPollSliceMs)));
    platform::ProcessMessages();
  }
  return false;
}

// ---------------------------------------------------------------------------
// One transfer

struct Sink {
  std::string body;
  bool overflow = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t n = size * count;
  if (n > kMaxReplyBytes - sink->body.size()) {
    // Refused without reading the rest: ending the transfer here.
    sink->overflow = true;
    return 0;
  }
  sink->body.append(data, n);
  return n;
}

struct Transfer {
  CURLcode code = CURLE_OK;
  long httpStatus = 0;
  long long retryAfterSeconds = -1;  // -1: the answer named no wait
  bool overflow = false;
  bool aborted = false;
  std::string body;
  std::string error;
};

Transfer RunTransfer(const platform::CurlLibrary& curl, const std::string& url, const std::string& userAgent,
                     std::chrono::milliseconds timeout, const bool& abortRequested) {
  Transfer t;
  platform::CurlEasy easy(curl.easy_init());
  platform::CurlMulti multi(curl.multi_init());
  platform::CurlList headers(curl.slist_append(nullptr, "Accept: application/json"));
  if (!easy || !multi || !headers) {
    t.code = CURLE_OUT_OF_MEMORY;
    t.error = "libcurl could not be initialised";
    return t;
  }
  Sink sink;
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* h = easy.get();
  const long timeoutMs = static_cast<long>(std::max<long long>(1, timeout.count()));
  curl.easy_setopt(h, CURLOPT_URL, url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  curl.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl.easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#endif
  curl.easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl.easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl.easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str());
  curl.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl.easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl.easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
  curl.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl.easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl.easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl.easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl.easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl.easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  if (curl.multi_add_handle(multi.get(), h) != CURLM_OK) {
    t.code = CURLE_FAILED_INIT;
    t.error = "libcurl could not start the request";
    return t;
  }
  // libcurl keeps the time-out itself; this deadline only guards against a
  // transfer that never reports back.
  const Clock::time_point deadline = Clock::now() + timeout + std::chrono::seconds(5);
  const platform::PumpedTransfer run = platform::RunPumped(multi.get(), h, deadline, &abortRequested);
  if (run.aborted) {
    t.aborted = true;
  } else {
    t.code = run.code;
  }
  curl.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &t.httpStatus);
#if LIBCURL_VERSION_NUM >= 0x074200
  curl_off_t retryAfter = 0;
  if (curl.easy_getinfo(h, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK && retryAfter > 0)
    t.retryAfterSeconds = static_cast<long long>(retryAfter);
#endif
  t.overflow = sink.overflow || t.code == CURLE_FILESIZE_EXCEEDED;
  t.body = std::move(sink.body);
  if (t.code != CURLE_OK) t.error = errorText[0] != '\0' ? errorText : curl.easy_strerror(t.code);
  return t;
}

// The outcome of a transfer that did not end with an HTTP answer.
LookupOutcome TransportOutcome(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return LookupOutcome::TimedOut;
    case CURLE_PARTIAL_FILE:  // fewer bytes than the answer announced
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_WEIRD_SERVER_REPLY: return LookupOutcome::BadReply;
    case CURLE_TOO_MANY_REDIRECTS: return LookupOutcome::HttpError;
    default: return LookupOutcome::CannotConnect;
  }
}

std::string TrimmedServer(std::string server) {
  while (!server.empty() && server.back() == '/') server.pop_back();
  return server;
}

// The server stayed busy for every request, or for longer than allowed.
void SetBusy(LookupResult& result) {
  result.outcome = LookupOutcome::Busy;
  result.detail = "the server is busy (503) after " + std::to_string(result.attempts) + " requests";
}

// A transfer that came to no answer: aborted, too large or failed. True,
// with the outcome set, when it did.
bool TransferFailed(const Transfer& t, LookupResult& result) {
  if (t.aborted) {
    result.outcome = LookupOutcome::Aborted;
    return true;
  }
  if (t.overflow) {
    result.outcome = LookupOutcome::TooLarge;
    result.detail = "the answer is larger than " + std::to_string(kMaxReplyBytes) + " bytes";
    return true;
  }
  if (t.code != CURLE_OK) {
    result.outcome = TransportOutcome(t.code);
    result.detail = t.error;
    return true;
  }
  return false;
}

// What an answer other than "busy" means: not found, an HTTP error, a reply
// that cannot be read, or the releases found.
void JudgeAnswer(const Transfer& t, LookupResult& result) {
  if (t.httpStatus == 404) {
    result.outcome = LookupOutcome::NotFound;
    return;
  }
  if (t.httpStatus != 200) {
    result.outcome = LookupOutcome::HttpError;
    result.detail = "HTTP status " + std::to_string(t.httpStatus);
    return;
  }
  std::string why;
  std::optional<ParsedReply> reply = ParseDiscReply(t.body, why);
  if (!reply) {
    result.outcome = LookupOutcome::BadReply;
    result.detail = why;
    return;
  }
  result.outcome = reply->releases.empty() ? LookupOutcome::NotFound : LookupOutcome::Found;
  result.reply = std::move(*reply);
}

}  // namespace

std::string LookupUrl(const std::string& server, const DiscIdentity& disc) {
  std::string toc = disc.toc;
  std::replace(toc.begin(), toc.end(), ' ', '+');
  // labels: the match dialog's rows name each release's label, which the
  // service sends only when asked for.
  return TrimmedServer(server) + "/ws/2/discid/" + disc.discId + "?toc=" + toc +
         "&inc=artist-credits+labels+recordings&fmt=json";
}

std::string UserAgent(const std::string& contact) {
  const std::string program = std::string("Sonolabel/") + SONOLABEL_VERSION;
  // The contact comes from the settings file, which a user may edit by
  // hand: a control character there would break or extend the header line,
  // so none goes into it.
  std::string shown;
  for (const char c : contact)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) shown += c;
  return shown.empty() ? program : program + " ( " + shown + " )";
}

const char* OutcomeName(LookupOutcome outcome) {
  switch (outcome) {
    case LookupOutcome::Found: return "found";
    case LookupOutcome::NotFound: return "not found";
    case LookupOutcome::CommandRunning: return "another command is running";
    case LookupOutcome::CannotConnect: return "cannot connect";
    case LookupOutcome::TimedOut: return "timed out";
    case LookupOutcome::Busy: return "server busy";
    case LookupOutcome::HttpError: return "HTTP error";
    case LookupOutcome::TooLarge: return "answer too large";
    case LookupOutcome::BadReply: return "bad reply";
    case LookupOutcome::Aborted: return "aborted";
    case LookupOutcome::NoLibrary: return "libcurl unavailable";
  }
  return "unknown";
}

DiscLookup::DiscLookup(shell::ShellModel& model, LookupSettings settings)
    : model_(model), settings_(std::move(settings)) {}

LookupResult DiscLookup::LookUpDisc(const DiscIdentity& disc) {
  LookupResult result;
  shell::CommandScope scope(model_);
  if (!scope.Acquired()) {
    result.outcome = LookupOutcome::CommandRunning;
    return result;
  }
  abortRequested_ = false;
  const platform::CurlLibrary& curl = platform::Curl();
  if (!curl.error.empty()) {
    result.outcome = LookupOutcome::NoLibrary;
    result.detail = curl.error;
    return result;
  }
  // Copies: a handler run by the pump may change the settings meanwhile.
  const LookupSettings settings = settings_;
  const std::string url = LookupUrl(settings.server, disc);
  const std::string agent = UserAgent(settings.contact);
  std::chrono::milliseconds busyWaited{0};

  while (result.attempts < kMaxAttempts) {
    while (std::optional<Clock::time_point> due = ClaimRequestSlot()) {
      if (!WaitPumping(*due, abortRequested_)) {
        result.outcome = LookupOutcome::Aborted;
        return result;
      }
    }
    ++result.attempts;
    const Transfer t = RunTransfer(curl, url, agent, settings.timeout, abortRequested_);
    result.httpStatus = t.httpStatus;
    if (TransferFailed(t, result)) return result;
    if (t.httpStatus == 503) {
      // Busy: wait as the answer says (a second when it says nothing), as
      // long as the whole wait stays within the bound.
      const std::chrono::milliseconds wait =
          t.retryAfterSeconds > 0 ? std::chrono::seconds(std::min<long long>(t.retryAfterSeconds, 86400))
                                  : std::chrono::milliseconds(kRequestSpacing);
      if (busyWaited + wait > settings.maxBusyWait) {
        SetBusy(result);
        return result;
      }
      busyWaited += wait;
      if (!WaitPumping(Clock::now() + wait, abortRequested_)) {
        result.outcome = LookupOutcome::Aborted;
        return result;
      }
      continue;
    }
    JudgeAnswer(t, result);
    return result;
  }
  SetBusy(result);
  return result;
}

}  // namespace sl::musicbrainz
