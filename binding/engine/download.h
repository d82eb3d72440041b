#pragma once

#include <QString>
#include <QUrl>

#include "engine/ref_counted.h"

namespace vorla::engine {

// A download as the handlers see it: a snapshot, taken when the handler is called.
struct DownloadItem {
  QUrl url;
  QString fullPath;
  qint64 receivedBytes = 0;
  qint64 totalBytes = -1;
  bool isInProgress = false;
  bool isComplete = false;
  bool isCanceled = false;
};

// The answer to a download request. Not continued means cancelled.
class BeforeDownloadCallback : public RefCounted {
 public:
  // Saves to `path`; with `showDialog` a save dialog pre-filled with `path`
  // lets the user pick the place or cancel.
  virtual void Continue(const QString& path, bool showDialog) = 0;
};

}  // namespace vorla::engine
