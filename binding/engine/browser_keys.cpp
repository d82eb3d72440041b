#include "engine/browser_keys.h"

#include <iterator>
#include <utility>

#include <QChildEvent>
#include <QKeyEvent>
#include <QList>
#include <QMouseEvent>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWheelEvent>

#include "engine/find_bar.h"

namespace vorla::engine {
namespace {

// Chromium's own zoom steps, 25 % to 500 %.
constexpr double kZoomSteps[] = {0.25, 1.0 / 3, 0.5, 2.0 / 3, 0.75, 0.8, 0.9, 1.0, 1.1,
                                 1.25, 1.5,     1.75, 2.0,    2.5,  3.0, 4.0, 5.0};
// A level read from elsewhere (1.2499999) is still its step.
constexpr double kZoomTolerance = 0.001;
// One notch of a mouse wheel.
constexpr int kWheelStep = 120;

double g_zoom = 1.0;
std::function<void(double)> g_onZoomChanged;
// The views of every browser window open.
QList<QWebEngineView*> g_views;

enum class Action { kNone, kZoomIn, kZoomOut, kZoomReset, kFind, kFindNext, kFindPrevious, kReload, kReloadBypassingCache, kBack, kForward };

// "Ctrl+=" and "Ctrl++" (with or without Shift, on the keypad too) zoom in;
// "Ctrl+Shift+R" and "Shift+F5" reload bypassing the cache.
Action ActionFor(const QKeyEvent& event) {
  const Qt::KeyboardModifiers modifiers = event.modifiers() & ~Qt::KeypadModifier;
  const bool ctrl = modifiers & Qt::ControlModifier;
  const bool shift = modifiers & Qt::ShiftModifier;
  const bool alt = modifiers & Qt::AltModifier;
  const int key = event.key();
  if (ctrl && !alt) {
    switch (key) {
      case Qt::Key_Equal:
      case Qt::Key_Plus:
        return Action::kZoomIn;
      case Qt::Key_Minus:
        return shift ? Action::kNone : Action::kZoomOut;
      case Qt::Key_0:
        return shift ? Action::kNone : Action::kZoomReset;
      case Qt::Key_F:
        return shift ? Action::kNone : Action::kFind;
      case Qt::Key_R:
        return shift ? Action::kReloadBypassingCache : Action::kReload;
      case Qt::Key_F5:
        return Action::kReloadBypassingCache;
    }
    return Action::kNone;
  }
  if (alt && !ctrl && !shift) {
    if (key == Qt::Key_Left)
      return Action::kBack;
    if (key == Qt::Key_Right)
      return Action::kForward;
    return Action::kNone;
  }
  if (alt || ctrl)
    return Action::kNone;
  switch (key) {
    case Qt::Key_F5:
      return shift ? Action::kReloadBypassingCache : Action::kReload;
    case Qt::Key_F3:
      return shift ? Action::kFindPrevious : Action::kFindNext;
    case Qt::Key_Back:
      return Action::kBack;
    case Qt::Key_Forward:
      return Action::kForward;
  }
  return Action::kNone;
}

void ApplyZoom(double factor) {
  g_zoom = factor;
  for (QWebEngineView* view : std::as_const(g_views))
    view->page()->setZoomFactor(factor);
}

}  // namespace

BrowserKeys::BrowserKeys(QWebEngineView* view) : QObject(view), m_view(view) {
  g_views.append(view);
  // Before the first load: the page's first paint is at the kept level.
  m_view->page()->setZoomFactor(g_zoom);
  Watch(m_view);
}

BrowserKeys::~BrowserKeys() { g_views.removeOne(m_view); }

void BrowserKeys::SetZoom(double factor, std::function<void(double)> onChanged) {
  g_onZoomChanged = std::move(onChanged);
  ApplyZoom(qBound(kZoomSteps[0], factor, kZoomSteps[std::size(kZoomSteps) - 1]));
}

void BrowserKeys::Watch(QObject* object) {
  // The page takes keys and the mouse in a child widget (a new one when its
  // renderer is replaced), the find bar in its field; pop-up menus and
  // dialogs the view parents keep their own keys.
  object->installEventFilter(this);
  for (QObject* child : object->children())
    if (child->isWidgetType() && !static_cast<QWidget*>(child)->isWindow())
      Watch(child);
}

bool BrowserKeys::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::ChildAdded: {
      QObject* child = static_cast<QChildEvent*>(event)->child();
      if (child->isWidgetType() && !static_cast<QWidget*>(child)->isWindow())
        Watch(child);
      break;
    }
    case QEvent::Show:
      if (watched == m_view && !std::exchange(m_shown, true)) {
        // A new window's keys go to its page, as in a browser.
        m_view->setFocus(Qt::OtherFocusReason);
      } else if (watched->parent() == m_view && watched != m_findBar) {
        // The engine gives the page a new widget when its renderer is
        // replaced and hides the old one, focus and all: the keys would go
        // nowhere until a click.
        QWidget* focus = m_view->window()->focusWidget();
        if (!focus || focus == m_view || !focus->isVisible())
          m_view->setFocus(Qt::OtherFocusReason);
      }
      break;
    case QEvent::ShortcutOverride:
      // Taken here, so that the key press comes to this filter and not to a
      // shortcut or an editing command of the page.
      if (OnKey(*static_cast<QKeyEvent*>(event), false)) {
        event->accept();
        return true;
      }
      break;
    case QEvent::KeyPress:
      return OnKey(*static_cast<QKeyEvent*>(event), true);
    case QEvent::KeyRelease:
      return OnKey(*static_cast<QKeyEvent*>(event), false);
    case QEvent::Wheel: {
      auto* wheel = static_cast<QWheelEvent*>(event);
      if (!(wheel->modifiers() & Qt::ControlModifier))
        break;
      m_wheelDelta += wheel->angleDelta().y();
      while (m_wheelDelta >= kWheelStep) {
        m_wheelDelta -= kWheelStep;
        OnZoom(1);
      }
      while (m_wheelDelta <= -kWheelStep) {
        m_wheelDelta += kWheelStep;
        OnZoom(-1);
      }
      return true;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease: {
      const Qt::MouseButton button = static_cast<QMouseEvent*>(event)->button();
      if (button != Qt::BackButton && button != Qt::ForwardButton)
        break;
      // As browsers do: the release goes back or forward.
      if (event->type() == QEvent::MouseButtonRelease)
        m_view->page()->triggerAction(button == Qt::BackButton ? QWebEnginePage::Back : QWebEnginePage::Forward);
      return true;
    }
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

bool BrowserKeys::OnKey(const QKeyEvent& event, bool act) {
  const Action action = ActionFor(event);
  if (action == Action::kNone || !act)
    return action != Action::kNone;
  QWebEnginePage* page = m_view->page();
  switch (action) {
    case Action::kZoomIn:
      OnZoom(1);
      break;
    case Action::kZoomOut:
      OnZoom(-1);
      break;
    case Action::kZoomReset:
      OnZoom(0);
      break;
    case Action::kFind:
      OnFind();
      break;
    case Action::kFindNext:
    case Action::kFindPrevious:
      // F3 without an open bar opens it, on the text last searched for.
      if (m_findBar && m_findBar->isVisible())
        m_findBar->FindNext(action == Action::kFindPrevious);
      else
        OnFind();
      break;
    case Action::kReload:
      page->triggerAction(QWebEnginePage::Reload);
      break;
    case Action::kReloadBypassingCache:
      page->triggerAction(QWebEnginePage::ReloadAndBypassCache);
      break;
    // Where there is no history, the engine does nothing.
    case Action::kBack:
      page->triggerAction(QWebEnginePage::Back);
      break;
    case Action::kForward:
      page->triggerAction(QWebEnginePage::Forward);
      break;
    case Action::kNone:
      break;
  }
  return true;
}

void BrowserKeys::OnZoom(int direction) {
  double next = 1.0;
  if (direction > 0) {
    next = kZoomSteps[std::size(kZoomSteps) - 1];
    for (double step : kZoomSteps) {
      if (step > g_zoom + kZoomTolerance) {
        next = step;
        break;
      }
    }
  } else if (direction < 0) {
    next = kZoomSteps[0];
    for (auto it = std::rbegin(kZoomSteps); it != std::rend(kZoomSteps); ++it) {
      if (*it < g_zoom - kZoomTolerance) {
        next = *it;
        break;
      }
    }
  }
  if (qAbs(next - g_zoom) < kZoomTolerance)
    return;
  // One level for the service's pages, as a browser keeps one per site: every
  // window follows.
  ApplyZoom(next);
  if (g_onZoomChanged)
    g_onZoomChanged(next);
}

void BrowserKeys::OnFind() {
  if (!m_findBar) {
    m_findBar = new FindBar(m_view);
    Watch(m_findBar);
  }
  m_findBar->Open();
}

}  // namespace vorla::engine
