#pragma once

#include <QString>
#include <QStringList>

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

// Focuses the question window and types `key` into it, as a user at the
// keyboard. A key typed while a window is still being mapped can be lost:
// typed again until the window has gone, a few times at most. False when it stays.
bool AnswerQuestion(const QString& question, const QString& key);

}  // namespace vorla::testing
