#pragma once

#include <functional>

#include <QWidget>

namespace vorla::engine {

// Covers a browser's view while its page cannot be shown (its renderer died
// too often, the service cannot be reached): a headline, a hint and a
// "重新加载" button. Main thread only. Over a view inside a window it is the
// view's sibling, since the view shows screen readers its page alone; over a
// pop-up's view, which is its own window, it is the view's child.
class PageNotice final : public QWidget {
 public:
  PageNotice(QWidget* view, const QString& headline, const QString& hint, std::function<void()> reload);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Cover();

  QWidget* const m_view;
  std::function<void()> m_reload;
};

}  // namespace vorla::engine
