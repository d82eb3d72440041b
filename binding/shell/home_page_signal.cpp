#include "shell/home_page_signal.h"

#include <cerrno>
#include <csignal>

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QWidget>
#include <fcntl.h>
#include <unistd.h>

#include "shell/binding_dlg.h"

namespace {

// Written by the signal handler, read by the UI thread: a pipe is the one
// channel a handler may use safely.
int g_pipe[2] = {-1, -1};

void OnSigusr1(int) {
  const int saved = errno;
  const char byte = 1;
  // best effort: a full pipe already holds a request
  [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

HomePageSignal::HomePageSignal(QWidget* target) : m_target(target) {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &HomePageSignal::OnSignalled);
  struct sigaction action {};
  action.sa_handler = OnSigusr1;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
}

HomePageSignal::~HomePageSignal() {
  if (g_pipe[0] < 0)
    return;
  // Ignored before the pipe goes: a late signal must not write into a closed,
  // possibly reused, descriptor, nor end the process by default while the
  // engine is still writing the cookie store.
  std::signal(SIGUSR1, SIG_IGN);
  delete m_notifier;
  close(g_pipe[0]);
  close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void HomePageSignal::OnSignalled() {
  // One home page per signal, also when several arrived before we ran.
  char bytes[64];
  ssize_t count = 0;
  while ((count = read(g_pipe[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < count && m_target; ++i)
      QCoreApplication::postEvent(m_target, new QEvent(kHomePageEvent));
  }
}
