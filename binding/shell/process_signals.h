#pragma once

#include <QObject>
#include <QPointer>

class CbindingDlg;
class QSocketNotifier;
class QTimer;

// What other programs ask of binding through signals: SIGUSR1 opens the
// vendor's home page (a desktop launcher, a script), SIGTERM, SIGINT and SIGHUP
// (logout, shutdown, Ctrl+C, the terminal closed) end it in order, so that the
// engine writes its cookie store. The handler only writes the signal's number
// into a pipe; the rest runs on the UI thread, where the notifier lives.
class ProcessSignals : public QObject {
 public:
  // From the first moment of the browser process, until an instance exists:
  // SIGUSR1 would end the process by default. Caught by a handler that does
  // nothing rather than ignored, so that no sub-process inherits the disposition.
  static void IgnoreUntilHandled();

  // Installs the handlers; without a pipe the signals keep their default action.
  explicit ProcessSignals(CbindingDlg* window);
  // From here to the process's end every one of the signals does nothing: the
  // engine is about to write the cookie store.
  ~ProcessSignals() override;

 private:
  void OnSignalled();
  void OnEndRequested();

  QPointer<CbindingDlg> m_window;
  QSocketNotifier* m_notifier = nullptr;
  // Bounds the end: a page that holds its close (an unload handler, a question
  // of its own) does not keep the loop running.
  QTimer* m_endDeadline = nullptr;
};
