#pragma once

#include <QByteArray>
#include <QProcess>

namespace vorla::testing {

// A session bus of the test's own with AT-SPI on it, as a screen reader's
// desktop has: the constructor starts it and points this process at it, the
// destructor undoes both.
class ScreenReaderBus {
 public:
  ScreenReaderBus();
  ~ScreenReaderBus();
  ScreenReaderBus(const ScreenReaderBus&) = delete;
  ScreenReaderBus& operator=(const ScreenReaderBus&) = delete;

  // False when the bus or AT-SPI did not start.
  bool IsValid() const { return m_atspi; }
  // For the program under test's DBUS_SESSION_BUS_ADDRESS.
  QString Address() const { return QString::fromLatin1(m_address); }

 private:
  QProcess m_bus;
  QByteArray m_address;
  QByteArray m_previousAddress;
  bool m_atspi = false;
};

}  // namespace vorla::testing
