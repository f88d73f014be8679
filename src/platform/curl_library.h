// libcurl, loaded when the first request that needs it runs (a submission,
// a MusicBrainz lookup) rather than linked: with its thirty-odd libraries it
// would add several milliseconds to every start of the window and the
// command line, which post and look up nothing in most runs.
#pragma once

#include <curl/curl.h>

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

}  // namespace sl::platform
