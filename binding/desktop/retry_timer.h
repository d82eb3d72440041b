#pragma once

#include <functional>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace vorla::desktop {

class NetworkWatch;

// Brings back what failed for want of a network, one attempt at a time: at
// once when the network returns, else after 1, 2, 4 … at most 60 s, never two
// attempts less than a second apart. The owner reports each attempt's outcome;
// until it has, nothing more is tried. Main thread only; its timer and watch
// are its children, so nothing fires once it is gone.
class RetryTimer : public QObject {
 public:
  RetryTimer(std::function<void()> attempt, QObject* parent);

  // The last attempt failed: the next one is due after the back-off's step.
  void OnFailure();
  // It succeeded: nothing is due, and the back-off starts over.
  void OnSuccess();
  // The user asks for an attempt: at once, unless one has just begun or is under way.
  void RetryNow();
  bool IsWaiting() const { return m_waiting; }

 private:
  void Attempt();
  // Now, or when the last attempt is a second old.
  void AttemptSoon();

  std::function<void()> m_attempt;
  QTimer m_timer;
  NetworkWatch* m_watch;
  QElapsedTimer m_lastAttempt;
  int m_failures = 0;
  // A failure reported and its next attempt not begun.
  bool m_waiting = false;
};

}  // namespace vorla::desktop
