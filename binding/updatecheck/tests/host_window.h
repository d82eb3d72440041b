#pragma once

#include <QWidget>

class CUpgradeDlg;

// A plain top-level window that hosts the panel over its whole client area, as
// start-up's main window does, and counts the check-done events it receives
// into a counter that outlives it (the panel may destroy its host). UI thread.
class HostWindow : public QWidget {
 public:
  explicit HostWindow(int& checkDoneCount);
  CUpgradeDlg* Panel() const { return m_panel; }

 protected:
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int& m_checkDoneCount;
  CUpgradeDlg* m_panel;
};
