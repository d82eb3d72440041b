#pragma once

#include <QObject>
#include <QPointer>

class QShortcut;
class QWebEngineFullScreenRequest;
class QWebEngineView;
class QWidget;

namespace vorla::engine {

// A page's requestFullscreen(): the element fills the view and the top-level
// window that shows the view goes full screen, back to its earlier state when
// the page leaves full screen, on Escape, or when the browser goes. Main
// thread only; a child of its view, so it goes with it.
class FullScreenWindow final : public QObject {
 public:
  explicit FullScreenWindow(QWebEngineView* view);
  ~FullScreenWindow() override;

 private:
  void OnRequested(QWebEngineFullScreenRequest& request);
  void Leave();

  QWebEngineView* const m_view;
  // The window made full screen, while it is.
  QPointer<QWidget> m_window;
  Qt::WindowStates m_stateBefore;
  QPointer<QShortcut> m_escape;
};

}  // namespace vorla::engine
