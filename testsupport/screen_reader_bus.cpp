#include "testsupport/screen_reader_bus.h"

#include <atspi/atspi.h>

namespace vorla::testing {

ScreenReaderBus::ScreenReaderBus() : m_previousAddress(qgetenv("DBUS_SESSION_BUS_ADDRESS")) {
  m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
  if (!m_bus.waitForStarted(5000) || !m_bus.waitForReadyRead(5000))
    return;
  m_address = m_bus.readLine().trimmed();
  qputenv("DBUS_SESSION_BUS_ADDRESS", m_address);
  m_atspi = atspi_init() == 0;
}

ScreenReaderBus::~ScreenReaderBus() {
  if (m_atspi)
    atspi_exit();
  if (m_bus.state() != QProcess::NotRunning) {
    m_bus.terminate();
    m_bus.waitForFinished(5000);
  }
  if (m_previousAddress.isEmpty())
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
  else
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_previousAddress);
}

}  // namespace vorla::testing
