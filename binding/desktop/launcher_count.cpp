#include "desktop/launcher_count.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QRegularExpression>
#include <QVariantMap>
#include <QWidget>

namespace {

// The launcher entry: a signal on the session bus, Update(app_uri s, properties a{sv}),
// with "count" x and "count-visible" b among the properties.
constexpr char kPath[] = "/example/vorla/binding/launcher";
constexpr char kInterface[] = "com.canonical.Unity.LauncherEntry";
constexpr char kUpdate[] = "Update";
constexpr char kAppUri[] = "application://example.vorla.binding.desktop";
constexpr char kCountProperty[] = "count";
constexpr char kCountVisibleProperty[] = "count-visible";

}  // namespace

LauncherCount::LauncherCount(QWidget* window) : QObject(window) {
  connect(window, &QWidget::windowTitleChanged, this, &LauncherCount::OnTitleChanged);
}

// "(3) 收件箱" → 3, "(12+) Inbox" → 12, "(0) Inbox" → 0;
// "收件箱 (3)", "( 3) Inbox", "(x) Inbox", "(3)Inbox" and "(12345678901) Inbox" → -1.
int LauncherCount::CountInTitle(const QString& title) {
  static const QRegularExpression count(QStringLiteral("^\\(([0-9]{1,9})\\+?\\) "));
  const QRegularExpressionMatch match = count.match(title);
  return match.hasMatch() ? match.captured(1).toInt() : -1;
}

void LauncherCount::OnTitleChanged(const QString& title) {
  // "(0) Inbox" shows no count, as a title without one.
  const int count = qMax(CountInTitle(title), 0);
  if (count == m_count)
    return;
  m_count = count;
  QDBusMessage update =
      QDBusMessage::createSignal(QLatin1String(kPath), QLatin1String(kInterface), QLatin1String(kUpdate));
  QVariantMap properties;
  properties.insert(QLatin1String(kCountProperty), qint64(count));
  properties.insert(QLatin1String(kCountVisibleProperty), count > 0);
  update << QLatin1String(kAppUri) << properties;
  // A signal waits for nobody; without a session bus there is no launcher to tell.
  QDBusConnection::sessionBus().send(update);
}
