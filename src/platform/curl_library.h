// libcurl, loaded when the first request that needs it runs (a submission,
// a MusicBrainz lookup) rather than linked: with its thirty-odd libraries it
// would add several milliseconds to every start of the window and the
// command line, which post and look up nothing in most runs.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>

namespace sl::platform {

// The libcurl functions the program uses, resolved from the shared library.
struct CurlLibrary {
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
  decltype(&curl_multi_init) multi_init = nullptr;
  decltype(&curl_multi_cleanup) multi_cleanup = nullptr;
  decltype(&curl_multi_add_handle) multi_add_handle = nullptr;
  decltype(&curl_multi_remove_handle) multi_remove_handle = nullptr;
  decltype(&curl_multi_perform) multi_perform = nullptr;
  decltype(&curl_multi_poll) multi_poll = nullptr;
  decltype(&curl_multi_info_read) multi_info_read = nullptr;
  decltype(&curl_slist_append) slist_append = nullptr;
  decltype(&curl_slist_free_all) slist_free_all = nullptr;
  std::string error;  // why the library cannot be used; "" when it can
};

// Loads and initialises the library on the first call; it stays loaded for
// the rest of the run.
const CurlLibrary& Curl();

// Owning handles that give their object back to the loaded library.
struct CurlEasyDeleter {
  void operator()(CURL* h) const { Curl().easy_cleanup(h); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* h) const { Curl().multi_cleanup(h); }
};
struct CurlListDeleter {
  void operator()(curl_slist* l) const { Curl().slist_free_all(l); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// How a pumped transfer ended.
struct PumpedTransfer {
  CURLcode code = CURLE_OK;  // libcurl's result; CURLE_OPERATION_TIMEDOUT past the deadline
  bool aborted = false;      // `abortRequested` was seen set between two polls
};

// Runs the transfer of `easy`, already added to `multi`, until it ends: short
// polls with the message pump run between them, so the window stays live
// (whatever the user does meanwhile runs from inside this call). Stops at
// `deadline` (a guard for a transfer libcurl never reports back on) and, when
// `abortRequested` is given, as soon as it reads true. Removes `easy` from
// `multi` before returning.
PumpedTransfer RunPumped(CURLM* multi, CURL* easy, std::chrono::steady_clock::time_point deadline,
                         const bool* abortRequested = nullptr);

}  // namespace sl::platform
