#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <QByteArray>

class CupgradeDlg;
class DigestThread;

// One pass of the updater: manifest, installer address, download into the
// temporary folder, start. Runs on its own thread; reaches the window only
// through CupgradeDlg's hand-offs, and the window joins it before it goes.
class DownloadWorker {
 public:
  explicit DownloadWorker(CupgradeDlg& window);
  ~DownloadWorker();

  // The thread's entry: runs the pass once, then tells the window it is done.
  static void DownloadThreadProc(DownloadWorker* worker);

 private:
  void Run();
  // Status of the installer request: the HTTP status, or -1 when the transfer
  // did not complete (time-out, abort, a chunk that could not be written).
  int DownloadInstaller(const std::string& url);
  // False when the file could not be closed cleanly (a write-back that failed).
  bool CloseInstallerFile();
  // Ends the pass with the download failure: the file and its folder removed.
  void FailDownload();
  // Writes the manifest beside the installer; false when it could not.
  bool WriteManifestFile();
  // Closes and removes the installer file and its folder, whatever they hold.
  void RemoveInstaller();

  // libcurl callbacks, on this thread inside curl_easy_perform.
  static size_t OnInstallerData(char* data, size_t size, size_t count, void* userData);
  static size_t OnHeaderLine(char* data, size_t size, size_t count, void* userData);
  static int OnTransferProgress(void* userData, int64_t, int64_t, int64_t, int64_t);

  CupgradeDlg& m_window;
  std::string m_manifest;
  std::filesystem::path m_folder;  // made for this pass, holds the installer only
  std::filesystem::path m_installerPath;
  int m_installerFile = -1;
  bool m_started = false;  // the installer runs: its file must stay
  int64_t m_written = 0;   // every byte of the body so far
  int64_t m_received = 0;
  int64_t m_expectedLength = 0;  // 0: no size announced (or one that does not fit)
  int m_lastPosition = -1;
  // The SHA-256 the manifest names, raw; empty when it names none. Each chunk
  // written is handed to the hashing thread, which runs only while downloading.
  QByteArray m_expectedDigest;
  std::unique_ptr<DigestThread> m_digestThread;
};
