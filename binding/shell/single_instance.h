#pragma once

#include <filesystem>
#include <memory>

#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QWidget;

// One binding per data folder: two engines on one cookie store, web storage and
// cache would overwrite each other's files. The first start holds a lock file
// and listens on a local socket beside it, both in a folder only this user can
// enter; a later start asks it to bring its window forward, and ends. UI thread.
class SingleInstance : public QObject {
 public:
  enum class Role {
    kFirst,       // go on: the lock is held (or cannot be had, and nothing else guards)
    kHandedOver,  // the running binding has brought its window forward
    kNoAnswer,    // one runs on this data folder but brought no window forward in time
  };

  explicit SingleInstance(const std::filesystem::path& dataFolder);
  ~SingleInstance() override;

  // Before the application object exists, and before anything touches the data
  // folder. A lock its holder left behind (killed, crashed) is taken over at
  // once; while the holder is still ending, this waits for it, a few seconds at most.
  Role Acquire();

  // Once the application object exists: a later start's request brings
  // `window` forward, until the window goes.
  void Listen(QWidget* window);

 private:
  // True when a running binding answered that it brought its window forward.
  bool AskRunningToActivate() const;
  // Without a runtime folder: a fresh folder in /tmp for the socket, linked
  // from the instance folder. False when it cannot be made or published.
  bool MakeSocketFolder();
  void RemoveSocketFolder();
  void OnNewConnection();
  void OnRequest(QLocalSocket* socket);

  QString m_lockPath;
  QString m_socketPath;
  // Without a runtime folder: the link in the instance folder to the socket,
  // and the folder this start made for it.
  QString m_socketLink;
  QString m_socketFolder;
  std::unique_ptr<QLockFile> m_lock;
  QLocalServer* m_server = nullptr;
  QPointer<QWidget> m_window;
};
