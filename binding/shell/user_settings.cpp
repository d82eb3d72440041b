#include "shell/user_settings.h"

#include <cmath>

namespace {

const char kFileName[] = "/settings.ini";
const char kPageZoomKey[] = "view/pageZoom";
constexpr double kDefaultPageZoom = 1.0;
// The engine's own range.
constexpr double kMinPageZoom = 0.25;
constexpr double kMaxPageZoom = 5.0;

}  // namespace

UserSettings::UserSettings(const QString& dataFolder)
    : m_settings(dataFolder + QLatin1String(kFileName), QSettings::IniFormat) {}

double UserSettings::PageZoom() const {
  // A file that does not parse is ignored as a whole: its values are not to be trusted.
  if (m_settings.status() != QSettings::NoError)
    return kDefaultPageZoom;
  // "1.25" is 125 %; "abc", "nan" and "9" are the default.
  bool ok = false;
  const double factor = m_settings.value(QLatin1String(kPageZoomKey)).toString().toDouble(&ok);
  if (!ok || !std::isfinite(factor) || factor < kMinPageZoom || factor > kMaxPageZoom)
    return kDefaultPageZoom;
  return factor;
}

void UserSettings::SetPageZoom(double factor) {
  // 15 digits read back as the same step ("0.333333333333333").
  m_settings.setValue(QLatin1String(kPageZoomKey), QString::number(factor, 'g', 15));
}
