#pragma once

#include <QString>
#include <QStringList>

// Xlib's display, named as Xlib names it.
struct _XDisplay;

namespace vorla::testing {

// Runs xdotool on the test's display, killed after `timeoutMs`; returns its
// output, trimmed (empty when it failed or timed out).
QString Xdotool(const QStringList& arguments, int timeoutMs = 10000);

// The visible windows whose title is exactly `title`, oldest first.
QStringList Windows(const QString& title);

// A visible window titled `title` that is none of `known`; empty after
// `timeoutMs`. Events are processed while it waits.
QString WaitForWindow(const QString& title, const QStringList& known = {}, int timeoutMs = 20000);

// Raises `window` and clicks at `x`, `y` in it with the X server's own
// pointer, as a user does: moved there from beside, since a pointer already on
// the spot sends the page no motion.
void Click(const QString& window, int x, int y, int button = 1);

// What a window manager sends for the close box, Alt+F4 and the window menu's Close.
void SendCloseRequest(const QString& window);

// What a window manager does to minimise a window: unmaps it and marks it iconic.
void MinimiseAsWindowManager(const QString& window);
bool IsMapped(const QString& window);

// The window with the keyboard focus (no window manager: the one a client set).
QString FocusedWindow();

// The requests windows send the window manager to change one state of theirs
// (`stateAtom`, "_NET_WM_STATE_FULLSCREEN": _NET_WM_STATE client messages to
// the root window), seen as a window manager would see them: "+<window>" to
// add it, "-<window>" to remove it. Bare Xvfb has no window manager to act on
// them, so no window changes by itself.
class WindowStateRequests {
 public:
  explicit WindowStateRequests(const char* stateAtom);
  ~WindowStateRequests();
  WindowStateRequests(const WindowStateRequests&) = delete;
  WindowStateRequests& operator=(const WindowStateRequests&) = delete;

  // Every change requested since construction, oldest first.
  QStringList Seen();

 private:
  ::_XDisplay* m_display;
  unsigned long m_state = 0;
  unsigned long m_wanted = 0;
  QStringList m_seen;
};

// Focuses the question window and types `key` into it, as a user at the
// keyboard. A key typed while a window is still being mapped can be lost:
// typed again until the window has gone, a few times at most. False when it stays.
bool AnswerQuestion(const QString& question, const QString& key);

}  // namespace vorla::testing
