#include "engine/deferred_download.h"

#include <cerrno>
#include <cstdio>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QList>
#include <QMessageBox>
#include <QSaveFile>
#include <QStandardPaths>
#include <QWebEngineDownloadRequest>

namespace vorla::engine {
namespace {

const char kSaveAsCaption[] = "另存为";
const char kCaption[] = "Vorla";
const char kNotSaved[] = "无法保存下载的文件：%1";

// Downloads waiting for their dialog, the first one showing it.
QList<QPointer<DeferredDownload>>& DialogQueue() {
  static QList<QPointer<DeferredDownload>> queue;
  return queue;
}

QString TemporaryFolderTemplate() {
  QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
  if (temp.isEmpty())
    temp = QDir::tempPath();
  return QDir(temp).filePath(QStringLiteral("vorla-download-XXXXXX"));
}

// Told in a window of its own: the browser that started the download may have
// closed, and the pages go on meanwhile.
void TellNotSaved(const QString& target) {
  auto* box = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(kCaption),
                              QString::fromUtf8(kNotSaved).arg(target), QMessageBox::Ok);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

// Puts the fetched file at `target`, replacing what is there only once the new
// file is complete: on a failure (a full disk, a quota) the old file stays as
// it was and nothing is left beside it. False on a failure.
bool MoveIntoPlace(const QString& fetched, const QString& target) {
  // The same file system: one rename, which replaces the old file at once.
  if (std::rename(QFile::encodeName(fetched).constData(), QFile::encodeName(target).constData()) == 0)
    return true;
  if (errno != EXDEV)
    return false;
  // Another file system (a USB stick, a share): copied into a new file in the
  // target's folder, flushed, then renamed over the target.
  QFile source(fetched);
  QSaveFile copy(target);
  if (!source.open(QIODevice::ReadOnly) || !copy.open(QIODevice::WriteOnly))
    return false;
  QByteArray buffer(256 * 1024, Qt::Uninitialized);
  for (;;) {
    const qint64 count = source.read(buffer.data(), buffer.size());
    if (count < 0)
      return false;  // the unfinished copy goes with `copy`
    if (count == 0)
      break;
    if (copy.write(buffer.constData(), count) != count)
      return false;
  }
  return copy.commit();
}

}  // namespace

DeferredDownload::DeferredDownload(QWebEngineDownloadRequest* request, const QString& path, QWidget* window)
    : QObject(request), m_request(request), m_path(path), m_window(window), m_folder(TemporaryFolderTemplate()) {}

DeferredDownload::~DeferredDownload() {
  // The profile goes at shut-down with its requests: no dialog may outlive it.
  delete m_dialog.data();
  DialogQueue().removeAll(this);
}

void DeferredDownload::Start(QWebEngineDownloadRequest* request, const QString& path, QWidget* window) {
  auto* download = new DeferredDownload(request, path, window);
  if (!download->m_folder.isValid()) {
    delete download;
    return;  // not accepted: cancelled
  }
  // QTemporaryDir makes the folder private to the user (0700).
  QString name = request->suggestedFileName();
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
    name = QStringLiteral("download");
  request->setDownloadDirectory(download->m_folder.path());
  request->setDownloadFileName(QFileInfo(name).fileName());
  connect(request, &QWebEngineDownloadRequest::stateChanged, download, &DeferredDownload::OnStateChanged);
  request->accept();

  DialogQueue().append(download);
  if (DialogQueue().size() == 1)
    download->ShowDialog();
}

void DeferredDownload::ShowNextDialog() {
  QList<QPointer<DeferredDownload>>& queue = DialogQueue();
  queue.removeAll(nullptr);
  if (!queue.isEmpty())
    queue.first()->ShowDialog();
}

void DeferredDownload::ShowDialog() {
  // Qt's own dialog, not the desktop's: it behaves the same everywhere. No
  // parent: the browser's window may close while the dialog is open. open(),
  // not exec(): a nested loop inside the engine's signal would stall every page.
  auto* dialog = new QFileDialog(nullptr, QString::fromUtf8(kSaveAsCaption));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setWindowModality(Qt::ApplicationModal);
  const QFileInfo suggested(m_path);
  if (!m_path.isEmpty())
    dialog->setDirectory(suggested.absolutePath());
  dialog->selectFile(suggested.fileName());
  if (m_window)
    dialog->move(m_window->window()->geometry().center() - dialog->rect().center());
  connect(dialog, &QDialog::finished, this, &DeferredDownload::OnAnswered);
  m_dialog = dialog;
  dialog->open();
}

void DeferredDownload::OnAnswered(int result) {
  m_answered = true;
  if (result == QDialog::Accepted && m_dialog && !m_dialog->selectedFiles().isEmpty())
    m_target = m_dialog->selectedFiles().first();
  m_dialog = nullptr;
  DialogQueue().removeAll(this);
  ShowNextDialog();
  if (m_target.isEmpty() && m_request)
    m_request->cancel();
  Finish();
}

void DeferredDownload::OnStateChanged() { Finish(); }

void DeferredDownload::Finish() {
  if (!m_answered || !m_request)
    return;
  switch (m_request->state()) {
    case QWebEngineDownloadRequest::DownloadRequested:
    case QWebEngineDownloadRequest::DownloadInProgress:
      return;  // moved once it is complete
    case QWebEngineDownloadRequest::DownloadCompleted:
      if (!m_target.isEmpty()) {
        const QString fetched = QDir(m_request->downloadDirectory()).filePath(m_request->downloadFileName());
        // The dialog has asked before replacing a file.
        if (!MoveIntoPlace(fetched, m_target))
          TellNotSaved(m_target);
      }
      break;
    case QWebEngineDownloadRequest::DownloadInterrupted:
      if (!m_target.isEmpty())
        TellNotSaved(m_target);
      break;
    case QWebEngineDownloadRequest::DownloadCancelled:
      break;
  }
  // What is left of the private folder goes now, not with the request at exit.
  m_folder.remove();
  m_request = nullptr;
}

}  // namespace vorla::engine
