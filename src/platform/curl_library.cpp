#include "platform/curl_library.h"

#include "platform/loaded_library.h"
#include "platform/pump.h"

namespace sl::platform {

namespace {

CurlLibrary Load() {
  CurlLibrary api;
  // Lazy binding, as when a program is linked against libcurl: binding every
  // function of libcurl and its TLS, compression and name libraries at once
  // costs each process milliseconds for functions a lookup never calls.
  LoadedLibrary lib("libcurl", {"libcurl.so.4", "libcurl.so"});
  lib.Resolve("curl_global_init", api.global_init);
  lib.Resolve("curl_easy_init", api.easy_init);
  lib.Resolve("curl_easy_cleanup", api.easy_cleanup);
  lib.Resolve("curl_easy_setopt", api.easy_setopt);
  lib.Resolve("curl_easy_getinfo", api.easy_getinfo);
  lib.Resolve("curl_easy_strerror", api.easy_strerror);
  lib.Resolve("curl_multi_init", api.multi_init);
  lib.Resolve("curl_multi_cleanup", api.multi_cleanup);
  lib.Resolve("curl_multi_add_handle", api.multi_add_handle);
  lib.Resolve("curl_multi_remove_handle", api.multi_remove_handle);
  lib.Resolve("curl_multi_perform", api.multi_perform);
  lib.Resolve("curl_multi_poll", api.multi_poll);
  lib.Resolve("curl_multi_info_read", api.multi_info_read);
  lib.Resolve("curl_slist_append", api.slist_append);
  lib.Resolve("curl_slist_free_all", api.slist_free_all);
  api.error = lib.Error();
  if (api.error.empty() && api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    api.error = "libcurl could not be initialised";
  return api;
}

}  // namespace

const CurlLibrary& Curl() {
  static const CurlLibrary api = Load();
  return api;
}

PumpedTransfer RunPumped(CURLM* multi, CURL* easy, std::chrono::steady_clock::time_point deadline,
                         const bool* abortRequested) {
  // How long one wait for socket activity lasts before the pump runs again.
  constexpr int kPollSliceMs = 10;
  const CurlLibrary& curl = Curl();
  PumpedTransfer t;
  bool done = false;
  while (!done) {
    int running = 0;
    if (curl.multi_perform(multi, &running) != CURLM_OK) {
      t.code = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl.multi_info_read(multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
        t.code = msg->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    if (abortRequested != nullptr && *abortRequested) {
      t.aborted = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      t.code = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    curl.multi_poll(multi, nullptr, 0, kPollSliceMs, nullptr);
    ProcessMessages();
  }
  curl.multi_remove_handle(multi, easy);
  return t;
}

}  // namespace sl::platform
