#pragma once

#include <atomic>
#include <string>
#include <string_view>

// The update manifest both programs read: its request, its tag values and the
// version comparison. No Qt; safe to use from any thread.
namespace vorla {

// The manifest URL built into the program: "http://" + vendor host + "/pcupdate/update.xml".
std::string ManifestUrl();

// Fetches the built-in manifest URL into `body` (emptied first). Returns the
// HTTP status, or -1 when the transfer did not complete. Blocks at most ~30 s.
int FetchManifest(std::string& body);
// The same request to another URL.
int FetchManifest(std::string& body, const std::string& url);
// The same request, ended within about a second (-1) once `stop` is non-zero,
// for callers whose user may quit while the transfer stalls.
int FetchManifest(std::string& body, const std::string& url, const std::atomic<int>& stop);

// A fetch succeeded when its status is 200 to 299.
bool IsSuccessStatus(int status);

// The bytes between the first `openTag` and the first `closeTag`, each searched
// from the start of `document`. False when either tag is missing.
bool GetTagValue(std::string_view document, std::string_view openTag,
                 std::string_view closeTag, std::string& value);

// True when `published` is greater than `own`, compared numerically over the
// first four dot-separated components.
bool IsNewerVersion(std::string_view published, std::string_view own);

}  // namespace vorla
