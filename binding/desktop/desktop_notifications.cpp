#include "desktop/desktop_notifications.h"

#include <QApplication>
#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QImage>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

using vorla::engine::Notification;
using vorla::engine::RefPtr;

namespace {

// The desktop's notification service (freedesktop.org Desktop Notifications).
constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
// Notify(app_name s, replaces_id u, app_icon s, summary s, body s, actions as, hints a{sv}, expire_timeout i) -> (id u)
constexpr char kNotify[] = "Notify";
// CloseNotification(id u)
constexpr char kCloseNotification[] = "CloseNotification";
// Signals: ActionInvoked(id u, action_key s), NotificationClosed(id u, reason u),
// ActivationToken(id u, token s), the last sent just before ActionInvoked.
constexpr char kActionInvoked[] = "ActionInvoked";
constexpr char kNotificationClosed[] = "NotificationClosed";
constexpr char kActivationToken[] = "ActivationToken";
// Hints: "desktop-entry" s, "image-data" (iiibiiay).
constexpr char kDesktopEntryHint[] = "desktop-entry";
constexpr char kImageDataHint[] = "image-data";

constexpr char kAppName[] = "Vorla";
// Our desktop file's name without ".desktop", and the icon it installs.
constexpr char kDesktopEntry[] = "example.vorla.binding";
// The action a click on the notification's body invokes, and its label.
constexpr char kDefaultAction[] = "default";
constexpr char kDefaultActionLabel[] = "打开";
// -1: the desktop decides how long it shows.
constexpr int kExpireDefault = -1;
// A desktop that does not answer in this time has not shown the notification.
constexpr int kCallTimeoutMs = 5000;
// A page's icon larger than this is scaled down: no desktop shows it larger,
// and a huge image would exceed what the bus carries.
constexpr int kMaxIconSize = 256;

// The "image-data" hint: width, height, row stride, alpha, bits per sample,
// channels, pixels (RGBA, 8 bits each).
struct NotificationImage {
  QImage image;
};

}  // namespace

Q_DECLARE_METATYPE(NotificationImage)

namespace {

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& data) {
  const QImage& image = data.image;
  argument.beginStructure();
  argument << image.width() << image.height() << int(image.bytesPerLine()) << true << 8 << 4
           << QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
  argument.endStructure();
  return argument;
}

// Never read back; Qt D-Bus wants both directions.
const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage&) { return argument; }

QVariant ImageHint(QImage icon) {
  if (icon.width() > kMaxIconSize || icon.height() > kMaxIconSize)
    icon = icon.scaled(kMaxIconSize, kMaxIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return QVariant::fromValue(NotificationImage{icon.convertToFormat(QImage::Format_RGBA8888)});
}

QDBusMessage Call(const char* method) {
  return QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                                        QLatin1String(method));
}

void CloseOnDesktop(uint id) {
  QDBusMessage close = Call(kCloseNotification);
  close << id;
  // Bounded, and its answer is of no interest.
  QDBusConnection::sessionBus().asyncCall(close, kCallTimeoutMs);
}

}  // namespace

DesktopNotifications::DesktopNotifications(QWidget* window) : m_window(window) {
  qDBusRegisterMetaType<NotificationImage>();
}

// Notifications

void DesktopNotifications::OnShowNotification(RefPtr<Notification> notification) {
  // The user may not be looking at the window: it asks for attention.
  if (m_window && !m_window->isActiveWindow())
    QApplication::alert(m_window);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected())
    return;  // no session bus: the notification goes unseen, and the page goes on
  if (!m_listening) {
    // The desktop's signals go to every client; ours are told by their ids.
    const QString service = QLatin1String(kService), path = QLatin1String(kPath), interface = QLatin1String(kInterface);
    bus.connect(service, path, interface, QLatin1String(kActionInvoked), this, SLOT(OnActionInvoked(uint, QString)));
    bus.connect(service, path, interface, QLatin1String(kNotificationClosed), this,
                SLOT(OnNotificationClosed(uint, uint)));
    bus.connect(service, path, interface, QLatin1String(kActivationToken), this,
                SLOT(OnActivationToken(uint, QString)));
    m_listening = true;
  }

  // A page's new notification with the tag of one it still shows takes that
  // one's place on the desktop.
  uint replaces = 0;
  const QString tag = notification->GetTag();
  for (qsizetype i = 0; !tag.isEmpty() && i < m_shown.size(); ++i) {
    const Notification& shown = *m_shown[i].notification;
    if (shown.GetTag() == tag && shown.GetOrigin() == notification->GetOrigin()) {
      replaces = m_shown[i].id;
      m_shown.removeAt(i);
      break;
    }
  }

  QVariantMap hints;
  hints.insert(QLatin1String(kDesktopEntryHint), QLatin1String(kDesktopEntry));
  const QImage icon = notification->GetIcon();
  if (!icon.isNull())
    hints.insert(QLatin1String(kImageDataHint), ImageHint(icon));
  QDBusMessage notify = Call(kNotify);
  // The body may carry markup where the desktop supports it: the page's text
  // is shown as text, never as markup (a link, an image to fetch).
  notify << QLatin1String(kAppName) << replaces << QLatin1String(kDesktopEntry) << notification->GetTitle()
         << notification->GetMessage().toHtmlEscaped()
         << QStringList{QLatin1String(kDefaultAction), QString::fromUtf8(kDefaultActionLabel)} << hints
         << kExpireDefault;
  m_shown.append(Shown{notification, 0, {}});
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, notification] {
    watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *watcher;
    OnNotifyReply(notification.get(), reply.isError() ? 0 : reply.value(), reply.isError());
  });
}

void DesktopNotifications::OnCloseNotification(RefPtr<Notification> notification) {
  const qsizetype index = FindByNotification(notification.get());
  if (index < 0)
    return;
  const uint id = m_shown.takeAt(index).id;
  // Still waiting for its id: closed once the desktop answers.
  if (id != 0)
    CloseOnDesktop(id);
}

void DesktopNotifications::OnNotifyReply(Notification* notification, uint id, bool failed) {
  const qsizetype index = FindByNotification(notification);
  if (failed) {
    // No notification service, or none that answers: the page goes on quietly.
    if (index >= 0)
      m_shown.removeAt(index);
    return;
  }
  if (index < 0) {
    // Closed by its page, or replaced, before the desktop had answered.
    CloseOnDesktop(id);
    return;
  }
  m_shown[index].id = id;
  notification->Shown();
}

// The desktop's signals

void DesktopNotifications::OnActionInvoked(uint id, const QString& action) {
  const qsizetype index = FindById(id);
  if (index < 0 || action != QLatin1String(kDefaultAction))
    return;
  const Shown shown = m_shown[index];
  shown.notification->Click();
  BringWindowForward(shown.activationToken);
}

void DesktopNotifications::OnNotificationClosed(uint id, uint /*reason*/) {
  const qsizetype index = FindById(id);
  if (index < 0)
    return;
  // Out of the books first: the page's close may come back as its own.
  const RefPtr<Notification> notification = m_shown.takeAt(index).notification;
  notification->Close();
}

void DesktopNotifications::OnActivationToken(uint id, const QString& token) {
  const qsizetype index = FindById(id);
  if (index >= 0)
    m_shown[index].activationToken = token;
}

void DesktopNotifications::BringWindowForward(const QString& activationToken) {
  if (!m_window)
    return;
  // A Wayland compositor lets a window take the focus only with a token it
  // issued; the notification service passes one on with the click, and Qt
  // takes it from this variable.
  if (!activationToken.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
    qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
  // Minimised: back to what it was before.
  m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  m_window->raise();
  m_window->activateWindow();
}

qsizetype DesktopNotifications::FindById(uint id) const {
  for (qsizetype i = 0; id != 0 && i < m_shown.size(); ++i)
    if (m_shown[i].id == id)
      return i;
  return -1;
}

qsizetype DesktopNotifications::FindByNotification(const Notification* notification) const {
  for (qsizetype i = 0; i < m_shown.size(); ++i)
    if (m_shown[i].notification.get() == notification)
      return i;
  return -1;
}
