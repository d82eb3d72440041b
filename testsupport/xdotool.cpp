#include "testsupport/xdotool.h"

#include <QProcess>

namespace vorla::testing {

QString Xdotool(const QStringList& arguments, int timeoutMs) {
  QProcess xdotool;
  xdotool.start("xdotool", arguments);
  if (!xdotool.waitForFinished(timeoutMs)) {
    xdotool.kill();
    xdotool.waitForFinished(1000);
    return {};
  }
  return QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
}

}  // namespace vorla::testing
