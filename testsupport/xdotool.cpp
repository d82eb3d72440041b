#include "testsupport/xdotool.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <X11/Xlib.h>

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
