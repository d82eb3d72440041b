#include "host_window.h"

#include "updatecheck/upgrade_dlg.h"

HostWindow::HostWindow(int& checkDoneCount)
    : m_checkDoneCount(checkDoneCount), m_panel(new CUpgradeDlg(this)) {
  resize(800, 600);
}

bool HostWindow::event(QEvent* event) {
  if (event->type() == kCheckDoneEvent) {
    ++m_checkDoneCount;
    return true;
  }
  return QWidget::event(event);
}

void HostWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  m_panel->setGeometry(rect());
}
