#include "client/web_client.h"

#include <filesystem>
#include <system_error>

#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QWidget>

#include "engine/browser_host.h"
#include "engine/engine.h"
#include "platform/platform.h"
#include "vorla/build_config.h"

using vorla::engine::BeforeDownloadCallback;
using vorla::engine::ContextMenuParams;
using vorla::engine::DownloadItem;
using vorla::engine::Frame;
using vorla::engine::MenuModel;

namespace {

// "app.vorla.example" and "eu.app.vorla.example" are the service's;
// "app.vorla.example.net" and "myapp.vorla.example" are not.
bool IsTrustedHost(const QString& host) {
  for (const char* trusted : {vorla::build::kServiceHost, vorla::build::kVendorHost}) {
    const QString ours = QString::fromLatin1(trusted);
    if (host.compare(ours, Qt::CaseInsensitive) == 0 ||
        host.endsWith(QLatin1Char('.') + ours, Qt::CaseInsensitive))
      return true;
  }
  return false;
}

}  // namespace

// Context menu

void CWebClient::OnBeforeContextMenu(RefPtr<Browser>, RefPtr<Frame>, const ContextMenuParams& params,
                                     MenuModel& model) {
  // Only editing and copying are offered: a link or an image outside a
  // selection shows nothing.
  if ((params.GetTypeFlags() & (ContextMenuParams::kTypeEditable | ContextMenuParams::kTypeSelection)) == 0)
    model.Clear();
}

// Display

void CWebClient::OnTitleChange(RefPtr<Browser> browser, const QString& title) {
  QWidget* window = browser->GetHost()->GetWindowHandle();
  if (!window)
    return;
  // The main browser is a child of the main window, which takes the title; a
  // pop-up, or a title while no main browser is recorded, titles its own window.
  RefPtr<Browser> main = GetBrowser();
  QWidget* target = window->window();
  if (main && main->GetIdentifier() == browser->GetIdentifier() && window->parentWidget())
    target = window->parentWidget();
  target->setWindowTitle(title);
  target->setWindowIcon(QIcon(QStringLiteral(":/binding/icon.png")));
}

// Download

QString CWebClient::DownloadPath(const QString& suggestedName) {
  const std::filesystem::path documents = vorla::platform::DocumentsFolder();
  if (documents.empty())
    return {};
  std::error_code error;
  std::filesystem::create_directories(documents, error);
  if (!std::filesystem::is_directory(documents, error))
    return {};
  // A bare name only: "../x" or "a/b" must not leave the Documents folder.
  QString name = QFileInfo(suggestedName).fileName();
  if (name == QLatin1String(".") || name == QLatin1String(".."))
    name.clear();
  return QString::fromStdString(documents.string()) + QLatin1Char('/') + name;
}

void CWebClient::OnBeforeDownload(RefPtr<Browser> browser, const DownloadItem&, const QString& suggestedName,
                                  RefPtr<BeforeDownloadCallback> callback) {
  callback->Continue(DownloadPath(suggestedName), true);
  // A pop-up opened only to fetch a file goes away. The main browser and a
  // pop-up that shows a page stay: the main browser's close would ask to quit
  // over the save dialog, and Enter there would end the program unsaved.
  if (browser->IsPopup() && !browser->HasDocument())
    browser->GetHost()->CloseBrowser(false);
}

// Life span

void CWebClient::OnAfterCreated(RefPtr<Browser> browser) {
  if (m_closing) {
    // Too late to stay: counted, so that the loop ends after it too.
    m_popupBrowsers.push_back(browser);
    browser->GetHost()->CloseBrowser(false);
  } else if (!m_browser) {
    m_browser = browser;
  } else if (browser->IsPopup()) {
    m_popupBrowsers.push_back(browser);
  }
}

void CWebClient::OnBeforeClose(RefPtr<Browser> browser) {
  if (m_browser && m_browser->IsSame(browser)) {
    m_browser = nullptr;
    m_closing = true;
    // Each leaves the list in its own OnBeforeClose.
    for (const RefPtr<Browser>& popup : m_popupBrowsers)
      popup->GetHost()->CloseBrowser(false);
  } else {
    for (auto it = m_popupBrowsers.begin(); it != m_popupBrowsers.end(); ++it) {
      if ((*it)->IsSame(browser)) {
        m_popupBrowsers.erase(it);
        break;
      }
    }
  }
  if (!m_browser && m_popupBrowsers.empty())
    vorla::engine::QuitMessageLoop();
}

// Request

bool CWebClient::OnLinkClicked(RefPtr<Browser>, const QUrl& url, bool) {
  // The engine gets no security updates: other sites open in the desktop's
  // browser, which does. Other schemes (mailto:) go to the desktop as before.
  const bool web = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
  if (!web || IsTrustedHost(url.host()))
    return false;
  // Where the desktop has no browser, the link still opens here.
  return QDesktopServices::openUrl(url);
}
