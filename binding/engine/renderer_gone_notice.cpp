#include "engine/renderer_gone_notice.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vorla::engine {
namespace {

const char kStopped[] = "此页面已停止运行，自动重新加载也未能恢复它。";
const char kHowToReload[] = "点击“重新加载”再试一次。";
const char kReload[] = "重新加载";

}  // namespace

RendererGoneNotice::RendererGoneNotice(QWidget* view, std::function<void()> reload)
    : QWidget(view), m_reload(std::move(reload)) {
  setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(this);
  layout->addStretch();
  auto* text = new QLabel(QString::fromUtf8(kStopped) + QLatin1Char('\n') + QString::fromUtf8(kHowToReload), this);
  text->setAlignment(Qt::AlignCenter);
  text->setWordWrap(true);
  layout->addWidget(text);
  auto* button = new QPushButton(QString::fromUtf8(kReload), this);
  layout->addWidget(button, 0, Qt::AlignHCenter);
  layout->addStretch();
  setAccessibleName(QString::fromUtf8(kStopped));
  connect(button, &QPushButton::clicked, this, [this] {
    hide();
    m_reload();
  });
  setGeometry(view->rect());
  view->installEventFilter(this);
  button->setFocus();
}

bool RendererGoneNotice::eventFilter(QObject* watched, QEvent* event) {
  // Follows the view's size, as the page it stands for would.
  if (watched == parent() && event->type() == QEvent::Resize)
    setGeometry(parentWidget()->rect());
  return false;
}

}  // namespace vorla::engine
