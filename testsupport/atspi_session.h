#pragma once

#include <QByteArray>
#include <QProcess>

namespace vorla::testing {

// What a screen reader sees, for one test: a session bus of its own, in this
// process's environment while the session lasts, with AT-SPI's client set up
// on it. A program started with Address() as its DBUS_SESSION_BUS_ADDRESS
// and QT_LINUX_ACCESSIBILITY_ALWAYS_ON shows its windows there. Test thread.
class AtSpiSession {
 public:
  AtSpiSession();
  ~AtSpiSession();
  AtSpiSession(const AtSpiSession&) = delete;
  AtSpiSession& operator=(const AtSpiSession&) = delete;

  bool IsValid() const { return m_valid; }
  QByteArray Address() const { return m_address; }

 private:
  QProcess m_bus;
  QByteArray m_address;
  QByteArray m_savedAddress;
  bool m_valid = false;
};

}  // namespace vorla::testing
