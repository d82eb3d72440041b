#pragma once

#include <QEvent>

// The check-result event: the update-check worker's one hand-over to the panel.
inline constexpr QEvent::Type kCheckResultEvent = QEvent::Type(1025);

// Carries the manifest fetch's status (the HTTP status, or -1 when the transfer
// did not complete) from the worker thread to the panel on the UI thread.
class CheckResultEvent : public QEvent {
 public:
  explicit CheckResultEvent(int status) : QEvent(kCheckResultEvent), m_status(status) {}
  int Status() const { return m_status; }

 private:
  int m_status;
};
