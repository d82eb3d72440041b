#pragma once

#include <QImage>
#include <QString>
#include <QUrl>

#include "engine/ref_counted.h"

namespace vorla::engine {

// A notification a page shows (`new Notification(…)`), for the desktop to
// present. Main thread only.
class Notification : public RefCounted {
 public:
  virtual QUrl GetOrigin() const = 0;
  virtual QString GetTitle() const = 0;
  virtual QString GetMessage() const = 0;
  // Empty when the page gave none. A page's new notification with the tag of
  // one still shown takes its place.
  virtual QString GetTag() const = 0;
  // Null when the page gave none.
  virtual QImage GetIcon() const = 0;
  // The page hears its "show", "click" and "close" events; nothing happens
  // once the page has gone.
  virtual void Shown() = 0;
  virtual void Click() = 0;
  virtual void Close() = 0;
};

// Presents the pages' notifications. Called on the main thread.
class NotificationHandler {
 public:
  virtual void OnShowNotification(RefPtr<Notification> /*notification*/) {}
  // The page has closed `notification` itself.
  virtual void OnCloseNotification(RefPtr<Notification> /*notification*/) {}

 protected:
  ~NotificationHandler() = default;
};

}  // namespace vorla::engine
