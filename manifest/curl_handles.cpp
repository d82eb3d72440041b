#include "manifest/curl_handles.h"

namespace vorla {

bool AppendHeader(CurlHeaders& headers, const char* line) {
  curl_slist* appended = curl_slist_append(headers.get(), line);
  if (!appended)
    return false;
  // curl_slist_append returns the list head, which is new only for the first line.
  headers.release();
  headers.reset(appended);
  return true;
}

bool SetRequestOptions(CURL* handle, const std::string& url, curl_slist* headers) {
  return curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
         // A manifest may name any URL: ftp, file, scp or smb must not be fetched.
         curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
         // Transfers run on worker threads: no process-wide signal handling.
         curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 10L) == CURLE_OK;  // an unreachable host fails fast
}

int PerformForStatus(CURL* handle) {
  long status = -1;
  if (curl_easy_perform(handle) != CURLE_OK ||
      curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
    return -1;
  return static_cast<int>(status);
}

bool InitializeCurl() {
  return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

}  // namespace vorla
