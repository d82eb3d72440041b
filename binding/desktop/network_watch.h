#pragma once

#include <QObject>

namespace vorla::desktop {

// Tells when the system reports the network back (QNetworkInformation's
// reachability). Where no backend loads it never does, and whoever waits on
// it falls back on a timer. Main thread only.
class NetworkWatch : public QObject {
  Q_OBJECT

 public:
  explicit NetworkWatch(QObject* parent = nullptr);

 signals:
  // The reachability has gone from none (or unknown) to some.
  void NetworkBack();

 private:
  bool m_reachable = false;
};

}  // namespace vorla::desktop
