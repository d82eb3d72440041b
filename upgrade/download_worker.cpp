#include "upgrade/download_worker.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include <QString>
#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "manifest/curl_handles.h"
#include "manifest/manifest.h"
#include "platform/platform.h"
#include "upgrade/digest_thread.h"
#include "manifest/update_key.h"
#include "manifest/update_signature.h"
#include "upgrade/upgrade_dlg.h"

static_assert(std::is_same_v<curl_off_t, int64_t>, "progress callback signature");

namespace {

const char kConnecting[] = "正在连接服务器...";
const char kNoAddress[] = "获取下载地址失败，请稍后再试。";
const char kBadAddress[] = "软件下载地址错误。";
const char kCannotCreate[] = "下载文件创建失败，请关闭杀毒软件。";
const char kDownloading[] = "开始下载文件...";
const char kDownloadFailed[] = "文件下载失败，请稍后再试。";

const char kInstallerName[] = "vorlax.exe";
// The manifest, beside the installer: the system installation's privileged
// helper checks the installer against it again, on a copy of its own.
const char kManifestName[] = "update.xml";

// Installers are tens of megabytes. Anything past 1 GiB is no installer of
// ours: refused when announced, cut off when sent, so that a server cannot
// fill the temporary folder (often a file system in memory).
constexpr int64_t kMaxInstallerBytes = int64_t(1) << 30;

// Installers run to hundreds of megabytes: chunks of this size keep the
// per-chunk system calls and hand-offs a small share of the download.
constexpr long kReceiveBufferBytes = 1024 * 1024;

// "Content-Length: 1000" gives 1000; the digits of the whole line count, so
// "X-Content-Length-2: 10" gives 210. Digits that do not fit give 0 (unknown).
int64_t DigitsOfLine(std::string_view line) {
  int64_t value = 0;
  for (char c : line) {
    if (c < '0' || c > '9')
      continue;
    if (value > (INT64_MAX - (c - '0')) / 10)
      return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "<sha256>" holds 64 hexadecimal digits, either case; anything else is
// malformed and gives an empty result.
QByteArray ParseDigest(const std::string& text) {
  if (text.size() != 64)
    return {};
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
      return {};
  }
  return QByteArray::fromHex(QByteArray::fromStdString(text));
}

// Without a built-in key every manifest passes. With one, the vendor must have
// signed the release (see IsSignedManifest), and it must be newer than this
// program: a release signed once stays signed, and served again by someone on
// the network it would take the user back to an old one.
bool IsTrustedRelease(const std::string& manifest) {
  const std::string_view key = UpdatePublicKey();
  if (key.empty())
    return true;
  std::string version;
  return IsSignedManifest(key, manifest) && vorla::GetTagValue(manifest, "<version>", "</version>", version) &&
         vorla::IsNewerVersion(version, vorla::platform::ProductVersionText());
}

bool WriteAll(int file, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(file, data, size);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

DownloadWorker::DownloadWorker(CupgradeDlg& window) : m_window(window) {}

DownloadWorker::~DownloadWorker() {
  // Whatever did not start (a quit, a failure) goes with its folder.
  if (!m_started)
    RemoveInstaller();
  CloseInstallerFile();
}

void DownloadWorker::DownloadThreadProc(DownloadWorker* worker) {
  worker->Run();
  worker->m_window.PostWorkerFinished();
}

void DownloadWorker::Run() {
  std::atomic<int>& stop = m_window.StopFlag();
  m_manifest.clear();
  m_window.SetStatusText(QString::fromUtf8(kConnecting));

  const int manifestStatus = vorla::FetchManifest(m_manifest, vorla::ManifestUrl(), stop);
  if (!vorla::IsSuccessStatus(manifestStatus)) {
    stop = 1;
    m_window.SetStatusText(QString::fromUtf8(kNoAddress));
    return;
  }

  std::string url;
  vorla::GetTagValue(m_manifest, "<url>", "</url>", url);
  if (url.empty()) {
    stop = 1;
    m_window.SetStatusText(QString::fromUtf8(kBadAddress));
    return;
  }
  // A manifest without "<sha256>" is run unchecked, as before the tag existed.
  std::string digest;
  const bool digestNamed = vorla::GetTagValue(m_manifest, "<sha256>", "</sha256>", digest);
  m_expectedDigest = digestNamed ? ParseDigest(digest) : QByteArray();
  // Built with the vendor's key, only a newer release the vendor signed may
  // start: decided before any byte of the installer is fetched.
  const bool refused = !IsTrustedRelease(m_manifest);
  if (stop.load() == 1)
    return;

  m_folder = vorla::platform::CreateUserTempFolder();
  if (!m_folder.empty()) {
    m_installerPath = m_folder / kInstallerName;
    m_installerFile = vorla::platform::CreateFreshFile(m_installerPath);
  }
  if (m_installerFile < 0) {
    stop = 1;
    m_window.SetStatusText(QString::fromUtf8(kCannotCreate));
    return;
  }
  if (refused || (digestNamed && m_expectedDigest.isEmpty())) {
    stop = 1;
    FailDownload();
    return;
  }

  // Hashing overlaps the transfer only when there is a digest to check.
  if (!m_expectedDigest.isEmpty())
    m_digestThread = std::make_unique<DigestThread>(stop);
  m_window.SetStatusText(QString::fromUtf8(kDownloading));
  const int status = DownloadInstaller(url);
  if (!vorla::IsSuccessStatus(status)) {
    stop = 1;
    m_digestThread.reset();  // joined at once: what is still queued is dropped
    FailDownload();
    return;
  }
  // Before the claim below: a Yes during the last chunks' hashing still wins.
  const QByteArray received = m_digestThread ? m_digestThread->Finish() : QByteArray();
  m_digestThread.reset();

  // Claimed atomically: a Yes to the quit question after the last chunk wins.
  int open = 0;
  if (!stop.compare_exchange_strong(open, 1))
    return;
  if (!m_expectedDigest.isEmpty() && received != m_expectedDigest) {
    FailDownload();
    return;
  }
  if (UpdatePublicKey().empty())
    std::fprintf(stderr, "upgrade: built without an update key, starting an installer nobody signed: %s\n", url.c_str());
  // On our own descriptor: the mode lands on the file we wrote, whatever the
  // name leads to by now.
  if (!WriteManifestFile() || fchmod(m_installerFile, 0700) != 0 || !CloseInstallerFile() ||
      !vorla::platform::StartDetached(m_installerPath, {})) {
    FailDownload();
    return;
  }
  m_started = true;
  m_window.PostCloseRequest();
}

void DownloadWorker::FailDownload() {
  RemoveInstaller();
  m_window.SetStatusText(QString::fromUtf8(kDownloadFailed));
}

bool DownloadWorker::WriteManifestFile() {
  const int file = vorla::platform::CreateFreshFile(m_folder / kManifestName);
  if (file < 0)
    return false;
  const bool written = WriteAll(file, m_manifest.data(), m_manifest.size());
  return close(file) == 0 && written;
}

void DownloadWorker::RemoveInstaller() {
  CloseInstallerFile();
  // Best effort: the folder was made for this run and is ours alone.
  if (!m_installerPath.empty())
    unlink(m_installerPath.c_str());
  if (!m_folder.empty())
    unlink((m_folder / kManifestName).c_str());
  if (!m_folder.empty())
    rmdir(m_folder.c_str());
  m_installerPath.clear();
  m_folder.clear();
}

int DownloadWorker::DownloadInstaller(const std::string& url) {
  vorla::CurlHeaders headers;
  if (!vorla::AppendHeader(headers, "Accept: */*") || !vorla::AppendHeader(headers, "Cache-Control: no-cache"))
    return -1;
  vorla::CurlEasy curl(curl_easy_init());
  if (!curl)
    return -1;
  CURL* h = curl.get();
  if (!vorla::SetRequestOptions(h, url, headers.get()) ||
      // HTTP/2 names headers in lower case, and only "Content-Length" moves the bar.
      curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnInstallerData) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeaderLine) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEDATA, this) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_HEADERDATA, this) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_TIMEOUT, 600L) != CURLE_OK ||  // the whole download
      curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes) != CURLE_OK ||  // fewer, larger chunks per write
      // A stalled transfer delivers no chunk to notice the quit in, so the
      // flag is also checked about once a second; this prints nothing.
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnTransferProgress) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, this) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) != CURLE_OK)
    return -1;
  return vorla::PerformForStatus(h);
}

bool DownloadWorker::CloseInstallerFile() {
  if (m_installerFile < 0)
    return true;
  // Nothing buffered of our own, but a network file system or a quota may
  // report a failed write-back only here.
  const bool closed = close(m_installerFile) == 0;
  m_installerFile = -1;
  return closed;
}

size_t DownloadWorker::OnInstallerData(char* data, size_t size, size_t count, void* userData) {
  auto* worker = static_cast<DownloadWorker*>(userData);
  const size_t bytes = size * count;
  // Sent without an announced size, or past it: cut off at the ceiling.
  if (static_cast<uint64_t>(worker->m_written) + bytes > static_cast<uint64_t>(kMaxInstallerBytes))
    return 0;
  worker->m_written += static_cast<int64_t>(bytes);
  // A chunk that cannot be written whole (a full disk) fails the download.
  if (!WriteAll(worker->m_installerFile, data, bytes))
    return 0;
  // Waits only while the hashing queue is full; false on a quit meanwhile.
  if (worker->m_digestThread && !worker->m_digestThread->Add(data, bytes))
    return 0;
  if (worker->m_window.StopFlag().load() == 1)
    return 0;
  if (worker->m_expectedLength != 0) {
    // From the bytes before this chunk: 1,000 bytes in 600 + 400 give 0, then 60.
    const double fraction = static_cast<double>(worker->m_received) / static_cast<double>(worker->m_expectedLength);
    // Clamped as a double: a tiny announced length makes the fraction too
    // large for an int. 667 of 1,000 bytes give 66: truncated, not rounded.
    const int position = static_cast<int>(std::clamp(fraction * 100.0, 0.0, 100.0));
    // Only a change is handed over: repeating a position costs a round trip to
    // the window thread per chunk and shows nothing new.
    if (position != worker->m_lastPosition) {
      worker->m_window.SetProgressPosition(position);
      worker->m_lastPosition = position;
    }
    worker->m_received += static_cast<int64_t>(bytes);
  }
  return bytes;
}

size_t DownloadWorker::OnHeaderLine(char* data, size_t size, size_t count, void* userData) {
  auto* worker = static_cast<DownloadWorker*>(userData);
  const std::string_view line(data, size * count);
  if (line.find("Content-Length") != std::string_view::npos) {
    worker->m_expectedLength = DigitsOfLine(line);
    // Refused before any byte of the body: a short count ends the transfer.
    if (worker->m_expectedLength > kMaxInstallerBytes)
      return 0;
  }
  return size * count;
}

int DownloadWorker::OnTransferProgress(void* userData, int64_t, int64_t, int64_t, int64_t) {
  return static_cast<DownloadWorker*>(userData)->m_window.StopFlag().load() != 0;
}
