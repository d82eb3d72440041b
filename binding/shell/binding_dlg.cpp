#include "shell/binding_dlg.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QThread>
#include <QUrl>

#include "client/web_client.h"
#include "engine/browser_host.h"
#include "engine/engine.h"
#include "shell/user_settings.h"
#include "ui_binding_dlg.h"
#include "updatecheck/upgrade_dlg.h"
#include "vorla/build_config.h"

namespace {

const char kCaption[] = "Vorla";
const char kExitQuestion[] = "你确定要退出Vorla吗？";
const char kCookieFolder[] = "/cookies/";

// The scheme is this executable's build setting.
constexpr char kServiceScheme[] = VORLA_SERVICE_SCHEME;

QUrl SignInPage() {
  return QUrl(QString::fromLatin1(kServiceScheme) + QStringLiteral("://") +
              QString::fromLatin1(vorla::build::kServiceHost) + QStringLiteral("/signin"));
}

QString HomePageScript() {
  return QStringLiteral("window.open('http://") + QString::fromLatin1(vorla::build::kVendorHost) +
         QStringLiteral("');");
}

}  // namespace

CbindingDlg::CbindingDlg(const QString& dataFolder, ClientSlot& client)
    : m_dataFolder(dataFolder), m_client(client) {
  Ui::CbindingDlg ui;
  ui.setupUi(this);
  // Between the panel's removal and the browser's first paint the window keeps
  // what it showed: an erase would flash the background.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);

  // Its construction starts the update check.
  m_panel = new CUpgradeDlg(this);
  m_panel->setGeometry(rect());
  m_panel->show();
}

CbindingDlg::~CbindingDlg() {
  // Without a main browser nothing would ever close and end the loop: closed
  // during the check, after the panel started the updater, or when the engine
  // did not create the browser. Otherwise the client ends it after the last
  // browser, which closes now with this window.
  if (!m_client || !m_client->GetBrowser())
    vorla::engine::QuitMessageLoop();
}

bool CbindingDlg::event(QEvent* event) {
  if (event->type() == kCheckDoneEvent) {
    OnCheckDone();
    return true;
  }
  if (event->type() == kHomePageEvent) {
    OnHomePage();
    return true;
  }
  return QWidget::event(event);
}

void CbindingDlg::closeEvent(QCloseEvent* event) {
  // The close box, Alt+F4, the window menu and the engine's close request all
  // end here. The question runs from the event loop, not inside close(): the
  // window may be destroyed while it is open.
  event->ignore();
  if (m_question || m_questionPending || m_closing)
    return;
  m_questionPending = true;
  QMetaObject::invokeMethod(this, &CbindingDlg::AskExit, Qt::QueuedConnection);
}

void CbindingDlg::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (isMinimized())
    return;
  if (m_client) {
    if (vorla::engine::RefPtr<vorla::engine::Browser> browser = m_client->GetBrowser()) {
      if (QWidget* window = browser->GetHost()->GetWindowHandle())
        window->setGeometry(rect());
    }
  }
  if (m_panel)
    m_panel->setGeometry(rect());
}

void CbindingDlg::OnCheckDone() {
  Q_ASSERT(QThread::currentThread() == qApp->thread());
  // One browser per run, and none for a window on its way out.
  if (m_client || m_closing)
    return;
  delete m_panel.data();

  vorla::engine::SetCookieStoragePath(m_dataFolder + QLatin1String(kCookieFolder), true);
  m_client = new CWebClient;
  // The service's pages open at the size the user chose last time.
  vorla::engine::SetPageZoom(UserSettings(m_dataFolder).PageZoom(),
                             [folder = m_dataFolder](double factor) { UserSettings(folder).SetPageZoom(factor); });
  // A browser the engine does not create leaves the window empty; closing it
  // still ends the program (see the destructor).
  vorla::engine::CreateBrowser(this, rect(), m_client, SignInPage());
}

void CbindingDlg::OnHomePage() {
  if (!m_client || m_closing)
    return;
  vorla::engine::RefPtr<vorla::engine::Browser> browser = m_client->GetBrowser();
  if (!browser)
    return;
  // The page's window.open makes the pop-up, which the client then keeps.
  browser->GetMainFrame()->ExecuteJavaScript(HomePageScript(), QStringLiteral("about:blank"), 0);
}

void CbindingDlg::End() {
  if (m_closing)
    return;
  m_closing = true;
  hide();
  deleteLater();
}

void CbindingDlg::AskExit() {
  m_questionPending = false;
  // Ended while the question waited for its turn.
  if (m_closing)
    return;
  QPointer<CbindingDlg> self(this);
  auto* box = new QMessageBox(QMessageBox::Information, QString::fromLatin1(kCaption),
                              QString::fromUtf8(kExitQuestion), QMessageBox::Yes | QMessageBox::No, this);
  m_question = box;
  const int answer = box->exec();
  // The panel may have destroyed this window (and the question with it) while
  // the question was open: nothing here may be touched then.
  if (!self)
    return;
  delete box;
  if (answer == QMessageBox::No)
    return;
  End();
}
