#include "shell/single_instance.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What a later start sends, and what the running one answers once its window
// is forward. Anything else arriving is dropped unanswered.
constexpr char kRequest[] = "activate\n";
constexpr char kAnswer[] = "ok\n";
constexpr qint64 kRequestSize = sizeof kRequest - 1;
constexpr qint64 kAnswerSize = sizeof kAnswer - 1;

// A running binding answers within milliseconds; one that is still starting
// (no window yet) or ending (the engine writing its files) is waited for.
constexpr int kAnswerTimeoutMs = 2000;
constexpr int kWaitForRunningMs = 10000;
constexpr int kRetryMs = 100;

bool IsPrivateFolder(const fs::path& folder) {
  struct stat info {};
  return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         (info.st_mode & 077) == 0;
}

// $XDG_RUNTIME_DIR, which the session keeps for this user alone; else a folder
// of our own in /tmp. Empty when neither is ours alone.
fs::path RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && IsPrivateFolder(runtime))
    return runtime;
  const fs::path folder = fs::path("/tmp") / ("vorla-" + std::to_string(getuid()));
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return {};
  return IsPrivateFolder(folder) ? folder : fs::path();
}

// "/home/ann/.local/share/vorla" and "/home/ann/.local/share//vorla" are one
// data folder, and so are two paths through a link.
QString FolderKey(const fs::path& dataFolder) {
  std::error_code error;
  fs::path folder = fs::weakly_canonical(dataFolder, error);
  if (error)
    folder = dataFolder.lexically_normal();
  return QString::fromLatin1(
      QCryptographicHash::hash(QByteArray::fromStdString(folder.string()), QCryptographicHash::Sha256)
          .toHex()
          .left(16));
}

// Minimised: back to what it was before (maximised, as it opened).
void BringForward(QWidget* window) {
  window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  window->raise();
  window->activateWindow();
}

}  // namespace

SingleInstance::SingleInstance(const fs::path& dataFolder) {
  if (dataFolder.empty())
    return;
  const fs::path folder = RuntimeFolder();
  if (folder.empty()) {
    std::fprintf(stderr, "binding: no folder of this user's own for the instance lock; a second start is not recognised\n");
    return;
  }
  const QString base = QString::fromStdString(folder.string()) + QLatin1String("/vorla-") + FolderKey(dataFolder);
  m_lockPath = base + QLatin1String(".lock");
  m_socketPath = base + QLatin1String(".socket");
  m_lock = std::make_unique<QLockFile>(m_lockPath);
  // Held as long as the process runs: its age says nothing, only whether its
  // holder still lives (QLockFile compares the process's id and name).
  m_lock->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
  // The socket goes before the lock: a start that takes the lock next listens
  // at the same name.
  delete m_server;
  m_server = nullptr;
}

SingleInstance::Role SingleInstance::Acquire() {
  if (!m_lock || m_lock->tryLock(0))
    return Role::kFirst;
  if (m_lock->error() != QLockFile::LockFailedError) {
    std::fprintf(stderr, "binding: the instance lock %s cannot be created; a second start is not recognised\n",
                 qPrintable(m_lockPath));
    m_lock.reset();
    return Role::kFirst;
  }

  // The local socket needs an event dispatcher. The application object the
  // engine creates comes later, and only when this start goes on.
  int argc = 1;
  char name[] = "binding";
  char* argv[] = {name, nullptr};
  std::optional<QCoreApplication> application(std::in_place, argc, argv);
  const QDeadlineTimer deadline(kWaitForRunningMs);
  for (;;) {
    if (AskRunningToActivate())
      return Role::kHandedOver;
    if (m_lock->tryLock(0)) {
      application.reset();
      return Role::kFirst;
    }
    if (deadline.hasExpired())
      return Role::kNoAnswer;
    QThread::msleep(kRetryMs);
  }
}

bool SingleInstance::AskRunningToActivate() const {
  QLocalSocket socket;
  socket.connectToServer(m_socketPath);
  if (!socket.waitForConnected(kAnswerTimeoutMs))
    return false;
  socket.write(kRequest, kRequestSize);
  const QDeadlineTimer deadline(kAnswerTimeoutMs);
  if (!socket.waitForBytesWritten(kAnswerTimeoutMs))
    return false;
  while (socket.bytesAvailable() < kAnswerSize && socket.state() == QLocalSocket::ConnectedState &&
         !deadline.hasExpired())
    socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
  return socket.read(kAnswerSize) == QByteArray(kAnswer, kAnswerSize);
}

void SingleInstance::Listen(QWidget* window) {
  if (!m_lock || !m_lock->isLocked())
    return;
  m_window = window;
  m_server = new QLocalServer(this);
  // The folder is ours alone already; the socket is too.
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  // Left behind by a predecessor that was killed: we hold the lock, so nobody listens there.
  QLocalServer::removeServer(m_socketPath);
  if (!m_server->listen(m_socketPath)) {
    std::fprintf(stderr, "binding: cannot listen at %s: %s\n", qPrintable(m_socketPath),
                 qPrintable(m_server->errorString()));
    return;
  }
  connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
  // A start after the window has gone waits for this process's end, then
  // starts afresh.
  connect(window, &QObject::destroyed, this, [this] {
    delete m_server;
    m_server = nullptr;
  });
}

void SingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = m_server->nextPendingConnection()) {
    // A request is a few bytes sent at once: nothing larger is buffered, no
    // slower sender kept.
    socket->setReadBufferSize(kRequestSize);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnRequest(socket); });
    QTimer::singleShot(kAnswerTimeoutMs, socket, [socket] {
      socket->abort();
      socket->deleteLater();
    });
  }
}

void SingleInstance::OnRequest(QLocalSocket* socket) {
  const QByteArray request(kRequest, kRequestSize);
  const QByteArray received = socket->peek(kRequestSize);
  if (!request.startsWith(received)) {
    socket->abort();
    return;
  }
  if (received.size() < kRequestSize)
    return;  // the rest is on its way
  socket->read(kRequestSize);
  // Hidden: the window is on its way out. Unanswered, the asker waits for this
  // process's end instead.
  if (!m_window || !m_window->isVisible()) {
    socket->abort();
    return;
  }
  BringForward(m_window);
  socket->write(kAnswer, kAnswerSize);
  socket->disconnectFromServer();
}
