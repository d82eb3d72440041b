#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include <QEvent>
#include <QMessageBox>
#include <QWidget>

class QLabel;
class QPushButton;

namespace vorla::desktop {
class RetryTimer;
}

// The check-done event the panel posts to its parent when start-up may go on.
inline constexpr QEvent::Type kCheckDoneEvent = QEvent::Type(1026);

// The start-up update-check panel, a child that covers its parent window while
// the manifest is fetched; then it lets start-up go on (kCheckDoneEvent to the
// parent), shows a failure, or starts the updater and destroys the parent. A
// failed fetch is tried again, by itself and on the user's "重试", until one
// succeeds. Lives on the UI thread. Each attempt's worker thread writes only
// m_strManifest and posts one CheckResultEvent; the next starts only after that
// result. Cancel by join: the destructor stops the transfer and waits for the
// worker, and ~QObject discards a result that arrives after that.
// The sweep of old caches it starts is not its own and outlives it (cache_purge.h).
class CUpgradeDlg : public QWidget {
  Q_OBJECT

 public:
  explicit CUpgradeDlg(QWidget* parent = nullptr);
  ~CUpgradeDlg() override;

  // The product version, "3.0.0.7"; empty for a build without version information.
  static std::string GetSelfVersion();

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  static void CheckUpdateThreadProc(CUpgradeDlg* dlg);
  // Fetches the manifest on a new worker; without a thread, tries again later.
  void StartCheck();
  void OnCheckResult(int status);
  void ShowFailure(const QString& text);
  // The answer to a question owned by the panel; nothing when the panel was
  // destroyed while the question was open, and must then not be touched.
  std::optional<int> Ask(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons);
  void PostCheckDone();
  void StartUpgrade();
  void PlaceControls();

  std::string m_strManifest;
  // Set when the panel goes: the transfer ends within about a second.
  std::atomic<int> m_stop{0};
  std::thread m_hThread;
  QLabel* m_stTip = nullptr;
  QLabel* m_stPicture = nullptr;
  QPushButton* m_btnRetry = nullptr;
  vorla::desktop::RetryTimer* m_retry = nullptr;
  bool m_swept = false;
};
