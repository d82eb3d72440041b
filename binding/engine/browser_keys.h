#pragma once

#include <functional>

#include <QObject>
#include <QPointer>

class QKeyEvent;
class QWebEngineView;

namespace vorla::engine {

class FindBar;

// The keys and bars every browser window has, installed on its view: zoom
// (Ctrl+= Ctrl++ Ctrl+- Ctrl+0, Ctrl+wheel), find (Ctrl+F, F3), reload (F5,
// Ctrl+R; with Shift bypassing the cache) and history (Alt+Left, Alt+Right,
// the mouse's back and forward buttons). None of them reaches the page. Main
// thread only; a child of its view, so it goes with it.
class BrowserKeys final : public QObject {
 public:
  explicit BrowserKeys(QWebEngineView* view);
  ~BrowserKeys() override;

  // Every browser's pages show at `factor` (1.0: 100 %), those open now and
  // those made later; `onChanged` hears each zoom the user makes, in any window.
  static void SetZoom(double factor, std::function<void(double)> onChanged);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Watch(QObject* object);
  // True when `event` is one of the window's keys; `act` carries it out.
  bool OnKey(const QKeyEvent& event, bool act);
  // One of the zoom steps up (1) or down (-1); 0 is back to 100 %.
  void OnZoom(int direction);
  void OnFind();

  QWebEngineView* const m_view;
  QPointer<FindBar> m_findBar;
  // Ctrl+wheel: a touchpad sends small deltas, a step is a wheel's notch.
  int m_wheelDelta = 0;
  bool m_shown = false;
};

}  // namespace vorla::engine
