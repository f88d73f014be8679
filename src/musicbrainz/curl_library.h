// libcurl, loaded when the first lookup runs rather than linked: the window
// and the command line start without it, and most of their runs look
// nothing up. Private to the musicbrainz room.
#pragma once

#include <curl/curl.h>

#include <string>

namespace sl::musicbrainz {

// The libcurl functions the lookup uses, resolved from the shared library.
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

}  // namespace sl::musicbrainz
