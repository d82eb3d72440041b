#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "engine/notification.h"

class QWidget;

// Hands the pages' notifications to the desktop's notification service over
// the session bus, and its answers back to the pages: a click runs the page's
// click handler and brings `window` forward, a close on the desktop closes it
// for the page. Lives on the UI thread, where Qt D-Bus delivers its replies
// and signals. Cancel by lifetime: replies come to this object's children and
// slots, which go with it; the window is a QPointer.
class DesktopNotifications : public QObject, public vorla::engine::NotificationHandler {
  Q_OBJECT

 public:
  explicit DesktopNotifications(QWidget* window);

  void OnShowNotification(vorla::engine::RefPtr<vorla::engine::Notification> notification) override;
  void OnCloseNotification(vorla::engine::RefPtr<vorla::engine::Notification> notification) override;

 private slots:
  void OnActionInvoked(uint id, const QString& action);
  void OnNotificationClosed(uint id, uint reason);
  void OnActivationToken(uint id, const QString& token);

 private:
  struct Shown {
    vorla::engine::RefPtr<vorla::engine::Notification> notification;
    uint id = 0;  // the desktop's, 0 until it has answered
    QString activationToken;
  };

  void OnNotifyReply(vorla::engine::Notification* notification, uint id, bool failed);
  void BringWindowForward(const QString& activationToken);
  qsizetype FindById(uint id) const;
  qsizetype FindByNotification(const vorla::engine::Notification* notification) const;

  QPointer<QWidget> m_window;
  // Shown or on their way, oldest first.
  QList<Shown> m_shown;
  // The desktop's signals are listened to from the first notification on.
  bool m_listening = false;
};
