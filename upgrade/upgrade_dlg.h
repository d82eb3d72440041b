#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include <QDialog>
#include <QEvent>
#include <QIcon>
#include <QPointer>

class QEventLoop;
class QMessageBox;
class DownloadWorker;
namespace Ui {
class CupgradeDlg;
}

// The close request the download worker posts once the installer is started.
inline constexpr QEvent::Type kCloseRequestEvent = QEvent::Type(1025);

// The updater's window: banner, progress bar and status line. Lives on the UI
// thread; its download worker runs on a thread of its own and is joined
// (WaitForWorker) before the window object goes, so the worker never outlives it.
class CupgradeDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CupgradeDlg(QWidget* parent = nullptr);
  ~CupgradeDlg() override;

  // 0 while the work is open; 1 once it ended or the user chose to quit.
  std::atomic<int>& StopFlag() { return m_stop; }

  // Blocking hand-offs from the worker thread: each returns once the window
  // thread has updated the display.
  void SetStatusText(const QString& text);
  void SetProgressPosition(int position);

  // Posted by the worker: the installer runs, close; and: the worker is done.
  void PostCloseRequest();
  void PostWorkerFinished();

  // Sets the stop flag and waits, handling events, until the worker has ended.
  void WaitForWorker();

  // Enter does nothing: there is no button to press.
  void accept() override {}
  // Esc and the close box: the quit question while the work is open.
  void reject() override;

 protected:
  bool event(QEvent* event) override;

 private:
  void OnInitDialog();
  void PlaceControls();
  void OnWorkerFinished();

  std::unique_ptr<Ui::CupgradeDlg> m_ui;
  std::atomic<int> m_stop{0};
  QIcon m_icon;
  std::unique_ptr<DownloadWorker> m_worker;
  std::thread m_workerThread;
  bool m_workerFinished = false;
  QEventLoop* m_waitLoop = nullptr;
  QPointer<QMessageBox> m_quitQuestion;
};
