#include "platform/curl_library.h"

#include <dlfcn.h>

#include "platform/pump.h"

namespace sl::platform {

namespace {

template <typename F>
void Resolve(void* lib, const char* name, F& out, std::string& error) {
  out = reinterpret_cast<F>(::dlsym(lib, name));
  if (out == nullptr && error.empty()) error = std::string("libcurl lacks ") + name;
}

CurlLibrary Load() {
  CurlLibrary api;
  void* lib = nullptr;
  // Lazy binding, as when a program is linked against libcurl: binding every
  // function of libcurl and its TLS, compression and name libraries at once
  // costs each process milliseconds for functions a lookup never calls. The
  // functions used are looked up by name below, so a missing one still shows
  // here and not at its first call.
  for (const char* name : {"libcurl.so.4", "libcurl.so"}) {
    lib = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);
    if (lib != nullptr) break;
  }
  if (lib == nullptr) {
    const char* why = ::dlerror();
    api.error = std::string("libcurl could not be loaded: ") + (why != nullptr ? why : "libcurl.so.4");
    return api;
  }
  std::string& e = api.error;
  Resolve(lib, "curl_global_init", api.global_init, e);
  Resolve(lib, "curl_easy_init", api.easy_init, e);
  Resolve(lib, "curl_easy_cleanup", api.easy_cleanup, e);
  Resolve(lib, "curl_easy_setopt", api.easy_setopt, e);
  Resolve(lib, "curl_easy_getinfo", api.easy_getinfo, e);
  Resolve(lib, "curl_easy_strerror", api.easy_strerror, e);
  Resolve(lib, "curl_multi_init", api.multi_init, e);
  Resolve(lib, "curl_multi_cleanup", api.multi_cleanup, e);
  Resolve(lib, "curl_multi_add_handle", api.multi_add_handle, e);
  Resolve(lib, "curl_multi_remove_handle", api.multi_remove_handle, e);
  Resolve(lib, "curl_multi_perform", api.multi_perform, e);
  Resolve(lib, "curl_multi_poll", api.multi_poll, e);
  Resolve(lib, "curl_multi_info_read", api.multi_info_read, e);
  Resolve(lib, "curl_slist_append", api.slist_append, e);
  Resolve(lib, "curl_slist_free_all", api.slist_free_all, e);
  // The library stays loaded for the rest of the run.
  if (e.empty() && api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) e = "libcurl could not be initialised";
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
