#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>

class QFileDialog;
class QWebEngineDownloadRequest;
class QWidget;

namespace vorla::engine {

// A download that goes where the user says in a save dialog, while the pages
// keep running. The engine must have its answer before its signal returns, so
// the download is accepted at once into a private temporary folder and moved
// to the chosen place once both the transfer and the dialog are done; Cancel
// removes what was fetched. Dialogs of several downloads come one after
// another. Main thread only; a child of its request, so it goes with it.
class DeferredDownload final : public QObject {
 public:
  // Accepts `request` and queues its dialog, pre-filled with `path`, centred
  // on `window` where it still exists. Cancels it when no private folder can be had.
  static void Start(QWebEngineDownloadRequest* request, const QString& path, QWidget* window);
  ~DeferredDownload() override;

 private:
  DeferredDownload(QWebEngineDownloadRequest* request, const QString& path, QWidget* window);
  static void ShowNextDialog();
  void ShowDialog();
  void OnAnswered(int result);
  void OnStateChanged();
  void Finish();

  QPointer<QWebEngineDownloadRequest> m_request;
  const QString m_path;
  QPointer<QWidget> m_window;
  QTemporaryDir m_folder;
  QPointer<QFileDialog> m_dialog;
  QString m_target;  // chosen in the dialog; empty until then
  bool m_answered = false;
};

}  // namespace vorla::engine
