#include "testsupport/xdotool.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vorla::testing {

QString Xdotool(const QStringList& arguments, int timeoutMs) {
  QProcess xdotool;
  xdotool.start("xdotool", arguments);
  if (!xdotool.waitForFinished(timeoutMs)) {
    xdotool.kill();
    xdotool.waitForFinished(1000);
    return {};
  }
  return QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
}

QStringList Windows(const QString& title) {
  return Xdotool({"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(title) + "$"})
      .split('\n', Qt::SkipEmptyParts);
}

QString WaitForWindow(const QString& title, const QStringList& known, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < timeoutMs) {
    for (const QString& window : Windows(title))
      if (!known.contains(window))
        return window;
    QTest::qWait(100);
  }
  return {};
}

void Click(const QString& window, int x, int y, int button) {
  Xdotool({"windowraise", window});
  Xdotool({"mousemove", "--window", window, "--sync", QString::number(x + 7), QString::number(y + 7), "mousemove",
           "--window", window, "--sync", QString::number(x), QString::number(y), "click", QString::number(button)});
}

void SendCloseRequest(const QString& window) {
  Display* display = XOpenDisplay(nullptr);
  if (!display)
    return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window.toULong();
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window.toULong(), False, NoEventMask, &event);
  XCloseDisplay(display);
}

void MinimiseAsWindowManager(const QString& window) {
  Display* display = XOpenDisplay(nullptr);
  if (!display)
    return;
  const Atom wmState = XInternAtom(display, "WM_STATE", False);
  const long state[2] = {IconicState, None};
  XChangeProperty(display, window.toULong(), wmState, wmState, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(state), 2);
  XUnmapWindow(display, window.toULong());
  XSync(display, False);
  XCloseDisplay(display);
}

bool IsMapped(const QString& window) {
  Display* display = XOpenDisplay(nullptr);
  if (!display)
    return false;
  XWindowAttributes attributes{};
  const bool viewable = XGetWindowAttributes(display, window.toULong(), &attributes) != 0 &&
                        attributes.map_state == IsViewable;
  XCloseDisplay(display);
  return viewable;
}

QString FocusedWindow() {
  Display* display = XOpenDisplay(nullptr);
  if (!display)
    return {};
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display, &focus, &revert);
  XCloseDisplay(display);
  return QString::number(focus);
}

WindowStateRequests::WindowStateRequests(const char* stateAtom) : m_display(XOpenDisplay(nullptr)) {
  if (!m_display)
    return;
  // Qt sends them with StructureNotify | SubstructureRedirect, as the EWMH asks.
  XSelectInput(m_display, DefaultRootWindow(m_display), StructureNotifyMask);
  m_state = XInternAtom(m_display, "_NET_WM_STATE", False);
  m_wanted = XInternAtom(m_display, stateAtom, False);
  XSync(m_display, False);
}

WindowStateRequests::~WindowStateRequests() {
  if (m_display)
    XCloseDisplay(m_display);
}

QStringList WindowStateRequests::Seen() {
  while (m_display && XPending(m_display)) {
    XEvent event{};
    XNextEvent(m_display, &event);
    const XClientMessageEvent& message = event.xclient;
    if (event.type == ClientMessage && message.message_type == m_state &&
        (Atom(message.data.l[1]) == m_wanted || Atom(message.data.l[2]) == m_wanted)) {
      // Qt may send one request twice; a change is what counts.
      const QString request = QString(message.data.l[0] == 1 ? "+" : "-") + QString::number(message.window);
      if (m_seen.isEmpty() || m_seen.last() != request)
        m_seen << request;
    }
  }
  return m_seen;
}

bool AnswerQuestion(const QString& question, const QString& key) {
  const QString title = Xdotool({"getwindowname", question});
  for (int attempt = 0; attempt < 5; ++attempt) {
    Xdotool({"windowraise", question});
    Xdotool({"windowfocus", "--sync", question});
    Xdotool({"key", key});
    for (int i = 0; i < 20; ++i) {
      if (!Windows(title).contains(question))
        return true;
      QTest::qWait(100);
    }
  }
  return false;
}

}  // namespace vorla::testing
