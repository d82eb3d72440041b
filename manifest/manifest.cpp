#include "manifest/manifest.h"

#include <climits>

#include "manifest/curl_handles.h"
#include "vorla/build_config.h"

namespace vorla {
namespace {

// A manifest is a few hundred bytes; anything past this is a broken or hostile
// peer, and ends the transfer rather than exhausting memory.
constexpr size_t kMaxManifestBytes = 1024 * 1024;

size_t OnManifestData(char* data, size_t size, size_t count, void* userData) {
  auto* body = static_cast<std::string*>(userData);
  const size_t bytes = size * count;
  if (body->size() + bytes > kMaxManifestBytes)
    return 0;  // libcurl ends the transfer with a write error
  body->append(data, bytes);
  return bytes;
}

// Exactly the six ASCII blanks, whatever the locale counts as space.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// One component as a number: " 12" is 12, "+3" is 3, "x3", "\xa0" "3" and ""
// are 0, "99999999999" saturates at INT_MAX.
long long ToNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1)
      break;  // already past either limit; the rest cannot bring it back
  }
  if (negative)
    value = -value;
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return value;
}

// Takes the text up to the next '.' and moves `position` past that dot.
std::string_view NextComponent(std::string_view text, size_t& position) {
  if (position >= text.size())
    return {};
  const size_t dot = text.find('.', position);
  const size_t end = dot == std::string_view::npos ? text.size() : dot;
  std::string_view component = text.substr(position, end - position);
  position = dot == std::string_view::npos ? text.size() : dot + 1;
  return component;
}

// Called at least once a second, also while nothing arrives.
int OnManifestProgress(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<int>*>(userData)->load() != 0;
}

int Fetch(std::string& body, const std::string& url, const std::atomic<int>* stop) {
  body.clear();
  CurlHeaders headers;
  if (!AppendHeader(headers, "Accept: text/xml") ||
      !AppendHeader(headers, "Cache-Control: no-cache"))
    return -1;
  CurlEasy curl(curl_easy_init());
  if (!curl)
    return -1;
  CURL* h = curl.get();
  // Proxy settings are libcurl's defaults on purpose: http_proxy and no_proxy
  // from the environment are how users behind a proxy reach the vendor.
  if (!SetRequestOptions(h, url, headers.get()) ||
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnManifestData) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &body) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_TIMEOUT, 30L) != CURLE_OK)  // the whole transfer, stalls included
    return -1;
  if (stop &&
      (curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnManifestProgress) != CURLE_OK ||
       curl_easy_setopt(h, CURLOPT_XFERINFODATA, stop) != CURLE_OK ||
       curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) != CURLE_OK))  // turns the callback on; prints nothing
    return -1;
  return PerformForStatus(h);
}

}  // namespace

std::string ManifestUrl() {
  return std::string("http://") + build::kVendorHost + "/pcupdate/update.xml";
}

int FetchManifest(std::string& body) {
  return FetchManifest(body, ManifestUrl());
}

int FetchManifest(std::string& body, const std::string& url) {
  return Fetch(body, url, nullptr);
}

int FetchManifest(std::string& body, const std::string& url, const std::atomic<int>& stop) {
  return Fetch(body, url, &stop);
}

bool IsSuccessStatus(int status) {
  return status != -1 && status / 100 == 2;
}

bool GetTagValue(std::string_view document, std::string_view openTag,
                 std::string_view closeTag, std::string& value) {
  const size_t open = document.find(openTag);
  const size_t close = document.find(closeTag);
  if (open == std::string_view::npos || close == std::string_view::npos)
    return false;
  const size_t start = open + openTag.size();
  // "</url>x<url>abc": the first closing tag stands before the value, which
  // then runs to the end of the document.
  if (close < start)
    value.assign(document.substr(start));
  else
    value.assign(document.substr(start, close - start));
  return true;
}

bool IsNewerVersion(std::string_view published, std::string_view own) {
  size_t ownPosition = 0;
  size_t publishedPosition = 0;
  // "3.0.0.7.9" equals "3.0.0.7": only four components count.
  for (int component = 0; component < 4; ++component) {
    const long long mine = ToNumber(NextComponent(own, ownPosition));
    const long long theirs = ToNumber(NextComponent(published, publishedPosition));
    if (theirs != mine)
      return theirs > mine;
  }
  return false;
}

}  // namespace vorla
