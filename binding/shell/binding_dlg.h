#pragma once

#include <QEvent>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "engine/ref_counted.h"

class CUpgradeDlg;
class CWebClient;
class QMessageBox;

// The home-page event: any sender may post it to the main window, which then
// opens the vendor's home page in a pop-up of the main browser.
inline constexpr QEvent::Type kHomePageEvent = QEvent::Type(1124);

// The main window: covered by the update-check panel while the check runs,
// then the parent of the main browser. A heap object on the UI thread that
// deletes itself when its window goes (the panel's hand-over to the updater
// destroys it too). Cancel by lifetime: the client reference lives in a slot
// start-up owns, so it outlives the window until after the engine's shut-down.
class CbindingDlg : public QWidget {
 public:
  using ClientSlot = vorla::engine::RefPtr<CWebClient>;

  // `dataFolder` holds "cookies/"; `client` is where the browser client is
  // kept once the check is done.
  CbindingDlg(const QString& dataFolder, ClientSlot& client);
  ~CbindingDlg() override;

  // Goes without the exit question (nobody is there to answer it: the session
  // ends); an open question goes with the window.
  void End();

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void OnCheckDone();
  void OnHomePage();
  void AskExit();

  const QString m_dataFolder;
  ClientSlot& m_client;
  QPointer<CUpgradeDlg> m_panel;
  // The open exit question: a second close request while it is open asks nothing more.
  QPointer<QMessageBox> m_question;
  bool m_questionPending = false;
  // Yes was answered: the window goes at the next turn of the loop.
  bool m_closing = false;
};
