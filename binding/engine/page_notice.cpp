#include "engine/page_notice.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vorla::engine {
namespace {

const char kReload[] = "重新加载";

}  // namespace

PageNotice::PageNotice(QWidget* view, const QString& headline, const QString& hint, std::function<void()> reload)
    : QWidget(view->isWindow() ? view : view->parentWidget()), m_view(view), m_reload(std::move(reload)) {
  setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(this);
  layout->addStretch();
  auto* text = new QLabel(headline + QLatin1Char('\n') + hint, this);
  text->setAlignment(Qt::AlignCenter);
  text->setWordWrap(true);
  layout->addWidget(text);
  auto* button = new QPushButton(QString::fromUtf8(kReload), this);
  layout->addWidget(button, 0, Qt::AlignHCenter);
  layout->addStretch();
  setAccessibleName(headline);
  connect(button, &QPushButton::clicked, this, [this] { m_reload(); });
  Cover();
  view->installEventFilter(this);
  // A sibling would outlive the view.
  connect(view, &QObject::destroyed, this, &QObject::deleteLater);
  button->setFocus();
}

bool PageNotice::eventFilter(QObject* watched, QEvent* event) {
  // Follows the view's place and size, as the page it stands for would.
  if (watched == m_view && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
    Cover();
  return false;
}

void PageNotice::Cover() { setGeometry(parentWidget() == m_view ? m_view->rect() : m_view->geometry()); }

}  // namespace vorla::engine
