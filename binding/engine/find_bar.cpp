#include "engine/find_bar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWebEngineFindTextResult>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace vorla::engine {
namespace {

const char kFind[] = "查找：";
const char kBarName[] = "查找栏";
const char kFindName[] = "在页面中查找";
const char kNothingFound[] = "无匹配结果";
const char kPrevious[] = "上一个";
const char kNext[] = "下一个";
const char kClose[] = "关闭";
const char kCloseName[] = "关闭查找栏";

}  // namespace

// Screen readers see nothing of a view but its page: the bar lies over the
// view in the widget that holds it, and in the view only where the view is
// the window itself (a pop-up).
FindBar::FindBar(QWebEngineView* view)
    : QWidget(view->parentWidget() ? view->parentWidget() : view), m_view(view) {
  setAutoFillBackground(true);
  setAccessibleName(QString::fromUtf8(kBarName));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  auto* label = new QLabel(QString::fromUtf8(kFind), this);
  m_field = new QLineEdit(this);
  m_field->setAccessibleName(QString::fromUtf8(kFindName));
  m_field->setClearButtonEnabled(true);
  label->setBuddy(m_field);
  m_count = new QLabel(this);
  m_count->setMinimumWidth(m_count->fontMetrics().horizontalAdvance(QStringLiteral("0000/0000")));
  auto* previous = new QPushButton(QString::fromUtf8(kPrevious), this);
  auto* next = new QPushButton(QString::fromUtf8(kNext), this);
  auto* close = new QPushButton(QString::fromUtf8(kClose), this);
  close->setAccessibleName(QString::fromUtf8(kCloseName));
  for (QPushButton* button : {previous, next, close}) {
    // The field keeps the keyboard: Enter there finds, it does not press a button.
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoDefault(false);
  }
  layout->addWidget(label);
  layout->addWidget(m_field, 1);
  layout->addWidget(m_count);
  layout->addWidget(previous);
  layout->addWidget(next);
  layout->addWidget(close);

  connect(m_field, &QLineEdit::textChanged, this, [this] { Find(false); });
  connect(previous, &QPushButton::clicked, this, [this] { FindNext(true); });
  connect(next, &QPushButton::clicked, this, [this] { FindNext(false); });
  connect(close, &QPushButton::clicked, this, &FindBar::Close);
  connect(view->page(), &QWebEnginePage::findTextFinished, this, &FindBar::OnFindTextFinished);
  m_field->installEventFilter(this);
  view->installEventFilter(this);
  connect(view, &QObject::destroyed, this, &QObject::deleteLater);
  hide();
}

void FindBar::Open() {
  PlaceInView();
  show();
  raise();
  m_field->setFocus(Qt::ShortcutFocusReason);
  m_field->selectAll();
  if (!m_field->text().isEmpty())
    Find(false);
}

void FindBar::Close() {
  hide();
  ShowCount(QString());
  if (!m_view)
    return;
  // An empty search ends the find and takes its highlight away.
  m_view->page()->findText(QString());
  m_view->setFocus(Qt::OtherFocusReason);
}

void FindBar::FindNext(bool backward) {
  if (!m_field->text().isEmpty())
    Find(backward);
}

void FindBar::Find(bool backward) {
  if (!m_view)
    return;
  const QString text = m_field->text();
  if (text.isEmpty()) {
    ShowCount(QString());
    m_view->page()->findText(QString());
    return;
  }
  // The same text again goes on to the next match; the engine scrolls to it.
  m_view->page()->findText(text, backward ? QWebEnginePage::FindBackward : QWebEnginePage::FindFlags());
}

void FindBar::OnFindTextFinished(const QWebEngineFindTextResult& result) {
  if (isHidden() || m_field->text().isEmpty())
    return;
  const QString count = result.numberOfMatches() == 0
                            ? QString::fromUtf8(kNothingFound)
                            : QStringLiteral("%1/%2").arg(result.activeMatch()).arg(result.numberOfMatches());
  ShowCount(count);
}

void FindBar::ShowCount(const QString& count) {
  m_count->setText(count);
  // Read with the field by a screen reader, as the count changes under it.
  m_field->setAccessibleDescription(count);
}

bool FindBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_view && (event->type() == QEvent::Resize || event->type() == QEvent::Move)) {
    PlaceInView();
  } else if (watched == m_field && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      FindNext(key->modifiers() & Qt::ShiftModifier);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void FindBar::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    Close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void FindBar::PlaceInView() {
  if (!m_view)
    return;
  // Across the bottom of the view, over the page.
  const QRect view = parentWidget() == m_view ? m_view->rect() : m_view->geometry();
  const int height = sizeHint().height();
  setGeometry(view.left(), view.bottom() + 1 - height, view.width(), height);
}

}  // namespace vorla::engine
