#include "desktop/retry_timer.h"

#include <algorithm>

#include "desktop/network_watch.h"

namespace vorla::desktop {
namespace {

constexpr int kFirstStepMs = 1000;
constexpr int kLastStepMs = 60 * 1000;
// However often the network comes and goes, or the user clicks.
constexpr int kMinIntervalMs = 1000;

// Failures 1, 2, 3, … wait 1, 2, 4, … s, then 60 s each from the seventh on.
int StepMs(int failures) {
  const int doublings = std::min(failures - 1, 6);
  return std::min(kFirstStepMs << doublings, kLastStepMs);
}

}  // namespace

RetryTimer::RetryTimer(std::function<void()> attempt, QObject* parent)
    : QObject(parent), m_attempt(std::move(attempt)), m_timer(this), m_watch(new NetworkWatch(this)) {
  m_timer.setSingleShot(true);
  connect(&m_timer, &QTimer::timeout, this, [this] { Attempt(); });
  connect(m_watch, &NetworkWatch::NetworkBack, this, [this] {
    if (m_waiting)
      AttemptSoon();
  });
}

void RetryTimer::OnFailure() {
  ++m_failures;
  m_waiting = true;
  m_timer.start(StepMs(m_failures));
}

void RetryTimer::OnSuccess() {
  m_failures = 0;
  m_waiting = false;
  m_timer.stop();
}

void RetryTimer::RetryNow() {
  if (m_waiting)
    AttemptSoon();
}

void RetryTimer::AttemptSoon() {
  const qint64 since = m_lastAttempt.isValid() ? m_lastAttempt.elapsed() : kMinIntervalMs;
  m_timer.start(int(std::max<qint64>(0, kMinIntervalMs - since)));
}

void RetryTimer::Attempt() {
  if (!m_waiting)
    return;
  m_waiting = false;
  m_lastAttempt.start();
  m_attempt();
}

}  // namespace vorla::desktop
