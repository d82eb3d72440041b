#pragma once

#include <functional>

#include <QWidget>

namespace vorla::engine {

// Covers a browser's view once its page cannot be brought back after its
// renderer died: a text saying so and a button that reloads. Main thread only;
// a child of the view it covers.
class RendererGoneNotice final : public QWidget {
 public:
  RendererGoneNotice(QWidget* view, std::function<void()> reload);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<void()> m_reload;
};

}  // namespace vorla::engine
