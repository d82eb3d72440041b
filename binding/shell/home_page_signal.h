#pragma once

#include <QObject>
#include <QPointer>

class QSocketNotifier;
class QWidget;

// Delivers the home-page event to a window when the process receives SIGUSR1,
// so that any other program (a desktop launcher, a script) can ask binding to
// open the vendor's home page. The signal handler only writes a byte into a
// pipe; the event is posted on the UI thread, where the notifier lives.
class HomePageSignal : public QObject {
 public:
  // Installs the handler; without a pipe the signal keeps its default action.
  explicit HomePageSignal(QWidget* target);
  ~HomePageSignal() override;

 private:
  void OnSignalled();

  QPointer<QWidget> m_target;
  QSocketNotifier* m_notifier = nullptr;
};
