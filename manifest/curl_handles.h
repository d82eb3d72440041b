#pragma once

#include <memory>
#include <string>

#include <curl/curl.h>

namespace vorla {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHeaders = std::unique_ptr<curl_slist, CurlListDeleter>;

// Appends `line` to `headers`; false when libcurl could not allocate.
bool AppendHeader(CurlHeaders& headers, const char* line);

// Sets what both of our requests share: `url` fetched with a plain GET and
// `headers`, nothing but http and https, no signals, a 10-second connect
// limit. False when libcurl refused an option.
bool SetRequestOptions(CURL* handle, const std::string& url, curl_slist* headers);

// Performs the transfer set up on `handle`: the HTTP status, read only once the
// transfer completed, or -1 when it did not (no connection, time-out, abort).
int PerformForStatus(CURL* handle);

// The process-wide libcurl set-up. Call once at start-up, before any thread
// starts; false when the socket layer could not be initialised.
bool InitializeCurl();

}  // namespace vorla
