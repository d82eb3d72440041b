#include "desktop/network_watch.h"

#include <utility>

#include <QNetworkInformation>

namespace vorla::desktop {
namespace {

using Reachability = QNetworkInformation::Reachability;

bool IsReachable(Reachability reachability) {
  return reachability == Reachability::Local || reachability == Reachability::Site ||
         reachability == Reachability::Online;
}

// Loaded once per process; on Debian the NetworkManager backend over the system bus.
QNetworkInformation* Information() {
  static const bool loaded = QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
  return loaded ? QNetworkInformation::instance() : nullptr;
}

}  // namespace

NetworkWatch::NetworkWatch(QObject* parent) : QObject(parent) {
  QNetworkInformation* information = Information();
  if (!information)
    return;
  m_reachable = IsReachable(information->reachability());
  connect(information, &QNetworkInformation::reachabilityChanged, this, [this](Reachability reachability) {
    const bool was = std::exchange(m_reachable, IsReachable(reachability));
    if (m_reachable && !was)
      emit NetworkBack();
  });
}

}  // namespace vorla::desktop
