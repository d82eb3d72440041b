#pragma once

#include <memory>
#include <string>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "testsupport/loopback_server.h"

// One panel test's world: the vendor's host answered by a loopback server
// through http_proxy, the user's data in a temporary XDG_DATA_HOME, and the
// fake updater's record in the same folder. Lives on the test's thread.
class PanelEnvironment {
 public:
  PanelEnvironment();
  ~PanelEnvironment();

  bool IsValid() const { return m_temp.isValid(); }
  vorla::testing::LoopbackServer& Server() { return *m_server; }
  void ServeManifest(vorla::testing::Response response);
  // Ends every transfer the server holds; the panel's worker then fails fast.
  void StopServer() { m_server->Stop(); }

  QString Path(const QString& relative) const { return m_temp.filePath(relative); }
  QString DataFolder() const { return Path(QStringLiteral("data/vorla")); }
  QString WebVersionFile() const { return DataFolder() + QStringLiteral("/webversion"); }

  // A browser cache with files at three depths and links to a folder and a
  // file outside it, the cookie folder beside it, and two old caches an
  // earlier start moved aside and was killed before removing: a folder with
  // a link out, and a link to the folder outside.
  bool MakeCache();
  // The cache's entries, sorted: "sub/" a folder, "x@" a link, else a file.
  QStringList CacheEntries() const;
  // The data folder's "cache.old-…" entries, sorted.
  QStringList MovedAside() const;
  // True while the links' targets outside the cache, and the cookies beside
  // it, are as MakeCache left them.
  bool OutsideIntact() const;
  static QStringList FullCache();
  // As a cache emptied in place leaves it: every folder kept.
  static QStringList EmptiedInPlace();

  // The fake updater's arguments, one per line after their count; empty when
  // it has not run.
  QString UpdaterRecord() const;

 private:
  QTemporaryDir m_temp;
  std::unique_ptr<vorla::testing::LoopbackServer> m_server;
};
