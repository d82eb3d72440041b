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
#include <QFile>
#include <QFileInfo>
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

// $XDG_RUNTIME_DIR, which the session keeps for this user alone; empty
// without one.
fs::path RuntimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && IsPrivateFolder(runtime))
    return runtime;
  return {};
}

// Without a runtime folder: "instance" in the data folder, which no other user
// can make first (a fixed name in /tmp anyone can). Empty when it is not ours alone.
fs::path InstanceFolder(const fs::path& dataFolder) {
  std::error_code error;
  fs::create_directories(dataFolder, error);
  const fs::path folder = dataFolder / "instance";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return {};
  return IsPrivateFolder(folder) ? folder : fs::path();
}

// The socket published in the instance folder, where its folder is still ours
// alone; empty otherwise. A data folder's path may pass the 108 bytes a socket's
// path may have, so the socket lives in a folder made fresh in /tmp and the
// instance folder holds a link to it.
QString PublishedSocket(const QString& link) {
  const QString socket = QFile::symLinkTarget(link);
  if (socket.isEmpty() || !IsPrivateFolder(QFileInfo(socket).path().toStdString()))
    return {};
  return socket;
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
  const fs::path runtime = RuntimeFolder();
  if (!runtime.empty()) {
    const QString base = QString::fromStdString(runtime.string()) + QLatin1String("/vorla-") + FolderKey(dataFolder);
    m_lockPath = base + QLatin1String(".lock");
    m_socketPath = base + QLatin1String(".socket");
  } else {
    const fs::path folder = InstanceFolder(dataFolder);
    if (folder.empty()) {
      std::fprintf(stderr, "binding: no folder of this user's own for the instance lock; a second start is not recognised\n");
      return;
    }
    const QString base = QString::fromStdString(folder.string());
    m_lockPath = base + QLatin1String("/lock");
    m_socketLink = base + QLatin1String("/socket");
  }
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
  RemoveSocketFolder();
}

void SingleInstance::RemoveSocketFolder() {
  if (m_socketFolder.isEmpty())
    return;
  // best effort: what is left in /tmp goes with the system's clean-up
  QFile::remove(m_socketLink);
  QLocalServer::removeServer(m_socketPath);
  rmdir(QFile::encodeName(m_socketFolder).constData());
  m_socketFolder.clear();
}

bool SingleInstance::MakeSocketFolder() {
  // A killed predecessor's folder, found through its link: ours, since we hold the lock.
  const QString left = PublishedSocket(m_socketLink);
  if (!left.isEmpty()) {
    QLocalServer::removeServer(left);
    rmdir(QFile::encodeName(QFileInfo(left).path()).constData());
  }
  QByteArray folder = "/tmp/vorla-" + QByteArray::number(getuid()) + "-XXXXXX";
  // mkdtemp makes a new folder that only we can enter, under a name nobody could guess.
  if (!mkdtemp(folder.data()))
    return false;
  m_socketFolder = QFile::decodeName(folder);
  m_socketPath = m_socketFolder + QLatin1String("/socket");
  // Replaced in one step: a later start reads either link whole.
  const QString link = m_socketLink + QLatin1String(".new");
  QFile::remove(link);
  return QFile::link(m_socketPath, link) &&
         std::rename(QFile::encodeName(link).constData(), QFile::encodeName(m_socketLink).constData()) == 0;
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
  // Published by the running one once it listens.
  const QString path = m_socketLink.isEmpty() ? m_socketPath : PublishedSocket(m_socketLink);
  if (path.isEmpty())
    return false;
  QLocalSocket socket;
  socket.connectToServer(path);
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
  if (!m_socketLink.isEmpty() && !MakeSocketFolder()) {
    std::fprintf(stderr, "binding: no folder for the instance socket; a second start is not answered\n");
    RemoveSocketFolder();
    return;
  }
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
