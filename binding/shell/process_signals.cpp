#include "shell/process_signals.h"

#include <cerrno>
#include <csignal>

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <fcntl.h>
#include <unistd.h>

#include "engine/engine.h"
#include "shell/binding_dlg.h"

namespace {

constexpr int kHandledSignals[] = {SIGUSR1, SIGTERM, SIGINT, SIGHUP};

// From the end's start to the loop's end, whatever the pages do; the engine's
// shut-down, which writes the cookie store, follows.
constexpr int kEndTimeoutMs = 3000;

// Written by the signal handler, read by the UI thread: a pipe is the one
// channel a handler may use safely. Never closed: a handler still running on
// another thread must not write into a closed, possibly reused, descriptor.
int g_pipe[2] = {-1, -1};

void OnSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  // best effort: a full pipe already holds requests enough
  [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
  errno = saved;
}

void OnIgnoredSignal(int) {}

void Install(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(number, &action, nullptr);
}

}  // namespace

void ProcessSignals::IgnoreUntilHandled() {
  Install(SIGUSR1, OnIgnoredSignal);
}

ProcessSignals::ProcessSignals(CbindingDlg* window) : m_window(window) {
  if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &ProcessSignals::OnSignalled);
  for (const int number : kHandledSignals)
    Install(number, OnSignal);
}

ProcessSignals::~ProcessSignals() {
  if (!m_notifier)
    return;
  for (const int number : kHandledSignals)
    Install(number, OnIgnoredSignal);
}

void ProcessSignals::OnSignalled() {
  // One home page per signal, also when several arrived before we ran.
  char bytes[64];
  ssize_t count = 0;
  while ((count = read(g_pipe[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < count; ++i) {
      if (bytes[i] != SIGUSR1)
        OnEndRequested();
      else if (m_window && !m_endDeadline)
        QCoreApplication::postEvent(m_window, new QEvent(kHomePageEvent));
    }
  }
}

void ProcessSignals::OnEndRequested() {
  // A second signal finds the end under way.
  if (m_endDeadline)
    return;
  m_endDeadline = new QTimer(this);
  m_endDeadline->setSingleShot(true);
  // Ends every loop, a question's too; the engine's shut-down then closes
  // whatever browser is still open.
  connect(m_endDeadline, &QTimer::timeout, this, [] { vorla::engine::QuitMessageLoop(); });
  m_endDeadline->start(kEndTimeoutMs);
  // Gone already (the user said Yes): the browsers are closing on their own.
  if (m_window)
    m_window->End();
}
