#pragma once

#include <QSettings>
#include <QString>

// The settings the user changes, kept in "settings.ini" (INI) in the data
// folder. A damaged file or value reads as the default and is never fatal.
// Main thread; each change is written when the object goes.
class UserSettings {
 public:
  explicit UserSettings(const QString& dataFolder);

  // The zoom of the service's pages, 0.25 to 5 (1.0: 100 %).
  double PageZoom() const;
  void SetPageZoom(double factor);

 private:
  QSettings m_settings;
};
