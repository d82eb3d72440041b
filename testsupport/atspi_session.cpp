#include "testsupport/atspi_session.h"

#include <atspi/atspi.h>

namespace vorla::testing {

AtSpiSession::AtSpiSession() : m_savedAddress(qgetenv("DBUS_SESSION_BUS_ADDRESS")) {
  m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
  if (!m_bus.waitForStarted(5000) || !m_bus.waitForReadyRead(5000))
    return;
  m_address = m_bus.readLine().trimmed();
  qputenv("DBUS_SESSION_BUS_ADDRESS", m_address);
  m_valid = atspi_init() == 0;
}

AtSpiSession::~AtSpiSession() {
  if (m_valid)
    atspi_exit();
  if (m_bus.state() != QProcess::NotRunning) {
    m_bus.terminate();
    m_bus.waitForFinished(5000);
  }
  if (m_savedAddress.isEmpty())
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  else
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedAddress);
}

}  // namespace vorla::testing
