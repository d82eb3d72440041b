#include "engine/full_screen_window.h"

#include <QKeySequence>
#include <QShortcut>
#include <QWebEngineFullScreenRequest>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace vorla::engine {

FullScreenWindow::FullScreenWindow(QWebEngineView* view) : QObject(view), m_view(view) {
  QWebEnginePage* page = view->page();
  page->settings()->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, true);
  connect(page, &QWebEnginePage::fullScreenRequested, this,
          [this](QWebEngineFullScreenRequest request) { OnRequested(request); });
  // A renderer that dies takes its full screen with it.
  connect(page, &QWebEnginePage::renderProcessTerminated, this, &FullScreenWindow::Leave);
}

FullScreenWindow::~FullScreenWindow() {
  // The main window outlives its browser only while it is shown; a pop-up's
  // window is the view, which goes now.
  if (m_window && m_window != m_view && m_window->isVisible())
    Leave();
  delete m_escape.data();
}

void FullScreenWindow::OnRequested(QWebEngineFullScreenRequest& request) {
  request.accept();
  if (!request.toggleOn()) {
    Leave();
    return;
  }
  if (m_window)
    return;
  // The main browser's view is a child of the main window, which sizes it
  // with itself; a pop-up's view is its own window.
  m_window = m_view->window();
  m_stateBefore = m_window->windowState();
  m_window->showFullScreen();
  // No browser frame here offers a way out: Escape is it, as in every browser.
  m_escape = new QShortcut(QKeySequence(Qt::Key_Escape), m_window, [this] {
    m_view->page()->triggerAction(QWebEnginePage::ExitFullScreen);
  });
}

void FullScreenWindow::Leave() {
  delete m_escape.data();
  if (QWidget* window = m_window.data()) {
    m_window = nullptr;
    window->setWindowState(m_stateBefore);
  }
}

}  // namespace vorla::engine
