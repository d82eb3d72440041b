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
