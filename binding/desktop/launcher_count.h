#pragma once

#include <QObject>
#include <QString>

class QWidget;

// Shows the count of unread things a page's title begins with ("(3) 收件箱")
// on the desktop's launcher, through the launcher-entry signal that docks and
// task bars read; the count goes when the title loses it. Follows the title
// of the window it is a child of. Lives on the UI thread.
class LauncherCount : public QObject {
 public:
  explicit LauncherCount(QWidget* window);

  // The count a title begins with, or -1 for none.
  static int CountInTitle(const QString& title);

 private:
  void OnTitleChanged(const QString& title);

  // What the launcher was last told; 0: no count shown.
  int m_count = 0;
};
