#include "engine/web_browser.h"

#include <algorithm>
#include <utility>

#include <QAuthenticator>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMarginsF>
#include <QMenu>
#include <QMouseEvent>
#include <QPageLayout>
#include <QPageSize>
#include <QScreen>
#include <QTimer>
#include <QVersionNumber>
#include <QWebEngineFileSystemAccessRequest>
#include <QWebEngineRegisterProtocolHandlerRequest>
#include <QWebEngineContextMenuRequest>
#include <QWebEngineHistory>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QtGlobal>
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QWebEnginePermission>
#endif

#include "desktop/retry_timer.h"
#include "engine/browser_host.h"
#include "engine/browser_keys.h"
#include "engine/credentials_dialog.h"
#include "engine/frame.h"
#include "engine/full_screen_window.h"
#include "engine/page_printer.h"
#include "engine/page_notice.h"
#include "vorla/build_config.h"

namespace vorla::engine {
namespace {

int g_lastIdentifier = 0;
QList<WebBrowser*> g_open;

// A page whose renderer dies at every load is not reloaded for ever.
constexpr int kMaxRecoveries = 3;
constexpr qint64 kRecoveryWindowMs = 60 * 1000;
// A new pop-up's print to PDF takes about 0.2 s here.
constexpr int kReadyTimeoutMs = 3000;
// A click starts its link's navigation within milliseconds; a script that
// navigates later is not the user's click.
constexpr qint64 kClickToNavigationMs = 2000;

const char kRendererStopped[] = "此页面已停止运行，自动重新加载也未能恢复它。";
const char kHowToReload[] = "点击“重新加载”再试一次。";
const char kUnreachable[] = "无法连接到服务。";
const char kReloadsByItself[] = "网络恢复后页面会自动重新加载，也可以点击“重新加载”立即重试。";
const char kProxyAsks[] = "代理服务器 %1 要求输入用户名和密码。";
const char kSiteAsks[] = "%1 要求输入用户名和密码。";

// Chromium's net errors for a server that could not be reached: no
// connection, no name, refused, reset, timed out, the proxy unreachable.
// An HTTP error page the server sent is a page, not one of these.
bool IsNetworkFailure(int errorCode) {
  switch (errorCode) {
    case -7:    // ERR_TIMED_OUT
    case -21:   // ERR_NETWORK_CHANGED
    case -100:  // ERR_CONNECTION_CLOSED
    case -101:  // ERR_CONNECTION_RESET
    case -102:  // ERR_CONNECTION_REFUSED
    case -103:  // ERR_CONNECTION_ABORTED
    case -104:  // ERR_CONNECTION_FAILED
    case -105:  // ERR_NAME_NOT_RESOLVED
    case -106:  // ERR_INTERNET_DISCONNECTED
    case -109:  // ERR_ADDRESS_UNREACHABLE
    case -118:  // ERR_CONNECTION_TIMED_OUT
    case -130:  // ERR_PROXY_CONNECTION_FAILED
    case -137:  // ERR_NAME_RESOLUTION_FAILED
    case -324:  // ERR_EMPTY_RESPONSE: the connection closed before any answer
      return true;
    default:
      return false;
  }
}

// The page of one browser: console messages go to the client first.
class BrowserPage : public QWebEnginePage {
 public:
  BrowserPage(QWebEngineProfile* profile, WebBrowser* browser, QObject* parent)
      : QWebEnginePage(profile, parent), m_browser(browser) {}
  WebBrowser* Owner() const { return m_browser.get(); }

 protected:
  QWebEnginePage* createWindow(WebWindowType type) override { return m_browser->CreatePopup(type == WebDialog); }
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
    return m_browser->AcceptNavigation(url, type == NavigationTypeLinkClicked, isMainFrame);
  }

  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                const QString& source) override {
    DisplayHandler* display = m_browser->GetClient()->GetDisplayHandler();
    if (display && display->OnConsoleMessage(RefPtr<vorla::engine::Browser>(m_browser.get()), message, source, line))
      return;
    QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
  }

 private:
  const RefPtr<WebBrowser> m_browser;
};

// The browser's window. A right click builds the engine's standard menu for
// the spot and lets the client change it before it is shown.
class BrowserView : public QWebEngineView {
 public:
  BrowserView(WebBrowser* browser, QWidget* parent) : QWebEngineView(parent), m_browser(browser) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (!m_browser->AcceptWindowClose()) {
      event->ignore();
      return;
    }
    QWebEngineView::closeEvent(event);
  }

  // The page takes the mouse in a child widget (a new one when its renderer
  // is replaced): its clicks are watched there.
  void childEvent(QChildEvent* event) override {
    if (event->added() && event->child()->isWidgetType())
      event->child()->installEventFilter(this);
    QWebEngineView::childEvent(event);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease) {
      const Qt::MouseButton button = static_cast<QMouseEvent*>(event)->button();
      if (button == Qt::LeftButton || button == Qt::MiddleButton)
        m_browser->OnClicked();
    } else if (event->type() == QEvent::KeyPress) {
      // Enter follows the focused link, which the engine reports as hovered.
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter)
        m_browser->OnClicked();
    }
    return QWebEngineView::eventFilter(watched, event);
  }

  void contextMenuEvent(QContextMenuEvent* event) override {
    QWebEngineContextMenuRequest* request = lastContextMenuRequest();
    if (!request)
      return;
    int flags = ContextMenuParams::kTypePage;
    if (request->linkUrl().isValid())
      flags |= ContextMenuParams::kTypeLink;
    if (request->mediaType() != QWebEngineContextMenuRequest::MediaTypeNone)
      flags |= ContextMenuParams::kTypeMedia;
    if (!request->selectedText().isEmpty())
      flags |= ContextMenuParams::kTypeSelection;
    if (request->isContentEditable())
      flags |= ContextMenuParams::kTypeEditable;

    QMenu* menu = createStandardContextMenu();
    MenuModel model(menu);
    if (ContextMenuHandler* handler = m_browser->GetClient()->GetContextMenuHandler())
      handler->OnBeforeContextMenu(RefPtr<Browser>(m_browser.get()), m_browser->GetMainFrame(), ContextMenuParams(flags),
                                   model);
    if (menu->actions().isEmpty()) {
      delete menu;
      return;
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
  }

 private:
  const RefPtr<WebBrowser> m_browser;
};

class WebBrowserHost final : public BrowserHost {
 public:
  explicit WebBrowserHost(RefPtr<WebBrowser> browser) : m_browser(std::move(browser)) {}
  RefPtr<Browser> GetBrowser() override { return m_browser; }
  QWidget* GetWindowHandle() override { return m_browser->Window(); }
  void CloseBrowser(bool force) override { m_browser->Close(force); }

 private:
  RefPtr<WebBrowser> m_browser;
};

class WebFrame final : public Frame {
 public:
  explicit WebFrame(RefPtr<WebBrowser> browser) : m_browser(std::move(browser)) {}
  void ExecuteJavaScript(const QString& code, const QString& scriptUrl, int startLine) override {
    m_browser->ExecuteJavaScript(code, scriptUrl, startLine);
  }

 private:
  RefPtr<WebBrowser> m_browser;
};

// Below Qt 6.5 only: the engine never makes the web preferences of a pop-up
// that the renderer created and that never navigated (window.open('') written
// by its opener), and the pop-up's first paint then reads them through a null
// pointer; a print to PDF makes them. From 6.5 on they are made, and that
// print's callback can come after the page went (a crash). Decided by the Qt
// found at run time: a build made on 6.4 runs on a newer one after an upgrade.
bool NeedsBlankPopupPreferences() {
  return QVersionNumber::fromString(QLatin1String(qVersion())) < QVersionNumber(6, 5);
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
using PermissionFeature = QWebEnginePermission::PermissionType;
#else
using PermissionFeature = QWebEnginePage::Feature;
#endif

// The answer to a page's permission request; nothing asks the user, so that
// no page waits for an answer that never comes. Notifications are granted to
// pages of the service's host and its subdomains ("app.vorla.example",
// "eu.app.vorla.example"; not "app.vorla.example.net"), which the user signs
// in to; every other kind and origin is denied. The clipboard needs none: the
// user's copy and paste are no page's request.
bool GrantsPermission(const QUrl& origin, PermissionFeature feature) {
  if (feature != PermissionFeature::Notifications)
    return false;
  if (origin.scheme() != QLatin1String("http") && origin.scheme() != QLatin1String("https"))
    return false;
  const QString service = QString::fromLatin1(vorla::build::kServiceHost);
  const QString host = origin.host();
  return host.compare(service, Qt::CaseInsensitive) == 0 ||
         host.endsWith(QLatin1Char('.') + service, Qt::CaseInsensitive);
}

}  // namespace

WebBrowser::WebBrowser(QWebEngineProfile* profile, QWidget* parent, const QRect& rect, RefPtr<Client> client)
    : m_identifier(++g_lastIdentifier),
      m_isPopup(parent == nullptr),
      m_profile(profile),
      m_client(std::move(client)),
      m_ready(!m_isPopup) {
  auto* view = new BrowserView(this, parent);
  view->setPage(new BrowserPage(profile, this, view));
  view->setGeometry(rect);
  new BrowserKeys(view);
  if (m_isPopup)
    view->setAttribute(Qt::WA_DeleteOnClose);
  m_view = view;
  m_self = this;
  g_open.append(this);
  ConnectPage();
  QObject::connect(view, &QObject::destroyed, [this] { OnViewDestroyed(); });
}

RefPtr<WebBrowser> WebBrowser::Create(QWebEngineProfile* profile, QWidget* parent, const QRect& rect,
                                      RefPtr<Client> client) {
  RefPtr<WebBrowser> browser(new WebBrowser(profile, parent, rect, std::move(client)));
  browser->m_view->show();
  if (LifeSpanHandler* lifeSpan = browser->m_client->GetLifeSpanHandler())
    lifeSpan->OnAfterCreated(browser);
  return browser;
}

WebBrowser* WebBrowser::FromPage(const QWebEnginePage* page) {
  auto* browserPage = dynamic_cast<const BrowserPage*>(page);
  return browserPage ? browserPage->Owner() : nullptr;
}

void WebBrowser::DestroyAll() {
  // A pop-up being made ready must not go under the engine's feet.
  const QDeadlineTimer readyBy(kReadyTimeoutMs);
  auto anyPreparing = [] {
    return std::any_of(g_open.begin(), g_open.end(),
                       [](const WebBrowser* browser) { return !browser->m_ready && browser->m_view; });
  };
  while (anyPreparing() && !readyBy.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  // Deleting a view runs its client's OnBeforeClose, which may close others.
  while (!g_open.isEmpty()) {
    RefPtr<WebBrowser> browser = g_open.first();
    if (browser->m_view)
      delete browser->m_view.data();
    else
      browser->OnViewDestroyed();
  }
}

RefPtr<BrowserHost> WebBrowser::GetHost() { return new WebBrowserHost(this); }

RefPtr<Frame> WebBrowser::GetMainFrame() { return new WebFrame(this); }

QWebEnginePage* WebBrowser::Page() const { return m_view ? m_view->page() : nullptr; }

QWidget* WebBrowser::Window() const { return m_view; }

void WebBrowser::Load(const QUrl& url) {
  if (m_view)
    m_view->load(url);
}

void WebBrowser::Close(bool force) {
  if (!m_view)
    return;
  if (!m_ready) {
    if (m_pendingClose != PendingClose::kForce)
      m_pendingClose = force ? PendingClose::kForce : PendingClose::kRequest;
    return;
  }
  if (force)
    m_view->deleteLater();
  else
    // The page may still run its beforeunload and unload handlers; it answers
    // with windowCloseRequested when it agrees to close.
    m_view->page()->triggerAction(QWebEnginePage::RequestClose);
}

void WebBrowser::ExecuteJavaScript(const QString& code, const QString& scriptUrl, int startLine) {
  if (!m_view)
    return;
  // The page's console names the script by its URL; the start line has no
  // counterpart in runJavaScript.
  Q_UNUSED(startLine);
  QString script = code;
  if (!scriptUrl.isEmpty() && scriptUrl != QLatin1String("about:blank"))
    script += QLatin1String("\n//# sourceURL=") + scriptUrl;
  m_view->page()->runJavaScript(script);
}

bool WebBrowser::CanGoBack() const { return m_view && m_view->history()->canGoBack(); }

bool WebBrowser::CanGoForward() const { return m_view && m_view->history()->canGoForward(); }

void WebBrowser::ConnectPage() {
  QWebEnginePage* page = m_view->page();
  QObject::connect(page, &QWebEnginePage::titleChanged, page, [this](const QString& title) {
    if (DisplayHandler* display = m_client->GetDisplayHandler())
      display->OnTitleChange(this, title);
  });
  QObject::connect(page, &QWebEnginePage::urlChanged, page, [this](const QUrl& url) {
    if (DisplayHandler* display = m_client->GetDisplayHandler())
      display->OnAddressChange(this, GetMainFrame(), url);
  });
  QObject::connect(page, &QWebEnginePage::loadStarted, page, [this] {
    if (LoadHandler* load = m_client->GetLoadHandler()) {
      load->OnLoadingStateChange(this, true, CanGoBack(), CanGoForward());
      load->OnLoadStart(this, GetMainFrame());
    }
  });
  QObject::connect(page, &QWebEnginePage::loadFinished, page, [this, page](bool ok) {
    m_hasDocument = m_hasDocument || ok;
    if (LoadHandler* load = m_client->GetLoadHandler()) {
      if (ok)
        load->OnLoadEnd(this, GetMainFrame(), 200);
      else
        load->OnLoadError(this, GetMainFrame(), QStringLiteral("load failed"), page->requestedUrl());
      load->OnLoadingStateChange(this, CanGoBack(), CanGoForward(), false);
    }
  });
  QObject::connect(page, &QWebEnginePage::loadingChanged, page, [this](const QWebEngineLoadingInfo& info) {
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus ||
        (info.status() == QWebEngineLoadingInfo::LoadFailedStatus &&
         info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain))
      OnPageLoaded();
    else if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus && IsNetworkFailure(info.errorCode()))
      OnUnreachable();
  });
  // The engine waits for the answer; nothing is kept for the next time.
  QObject::connect(page, &QWebEnginePage::proxyAuthenticationRequired, page,
                   [this](const QUrl&, QAuthenticator* authenticator, const QString& proxyHost) {
                     CredentialsDialog::Ask(m_view, QString::fromUtf8(kProxyAsks).arg(proxyHost), authenticator);
                   });
  QObject::connect(page, &QWebEnginePage::authenticationRequired, page,
                   [this](const QUrl& url, QAuthenticator* authenticator) {
                     CredentialsDialog::Ask(m_view, QString::fromUtf8(kSiteAsks).arg(url.host()), authenticator);
                   });
  QObject::connect(page, &QWebEnginePage::windowCloseRequested, page, [this] { OnWindowCloseRequested(); });
  QObject::connect(page, &QWebEnginePage::linkHovered, page, [this](const QString& url) { m_hoveredLink = QUrl(url); });
  QObject::connect(page, &QWebEnginePage::renderProcessTerminated, page,
                   [this](QWebEnginePage::RenderProcessTerminationStatus status) {
                     // A browser that closes ends its renderer normally.
                     if (status != QWebEnginePage::NormalTerminationStatus)
                       OnRendererGone();
                   });
  // Nothing asks the user: every request is answered at once, so that no page
  // waits for an answer that never comes.
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
  QObject::connect(page, &QWebEnginePage::permissionRequested, page, [](QWebEnginePermission permission) {
    if (GrantsPermission(permission.origin(), permission.permissionType()))
      permission.grant();
    else
      permission.deny();
  });
#else
  QObject::connect(page, &QWebEnginePage::featurePermissionRequested, page,
                   [page](const QUrl& origin, QWebEnginePage::Feature feature) {
                     page->setFeaturePermission(origin, feature,
                                                GrantsPermission(origin, feature) ? QWebEnginePage::PermissionGrantedByUser
                                                                                  : QWebEnginePage::PermissionDeniedByUser);
                   });
#endif
  QObject::connect(page, &QWebEnginePage::fileSystemAccessRequested, page,
                   [](QWebEngineFileSystemAccessRequest request) { request.reject(); });
  QObject::connect(page, &QWebEnginePage::registerProtocolHandlerRequested, page,
                   [](QWebEngineRegisterProtocolHandlerRequest request) { request.reject(); });
  if (m_isPopup)
    QObject::connect(page, &QWebEnginePage::geometryChangeRequested, page,
                     [this](const QRect& geometry) { OnGeometryChangeRequested(geometry); });
  m_printer = new PagePrinter(m_view, m_ready);
  new FullScreenWindow(m_view);
}

QWebEnginePage* WebBrowser::CreatePopup(bool dialog) {
  LifeSpanHandler* lifeSpan = m_client->GetLifeSpanHandler();
  if (!m_view || (lifeSpan && lifeSpan->OnBeforePopup(this)))
    return nullptr;
  // A pop-up takes its opener's window size until its page asks for one. Its
  // page adopts the one Chromium already made, so window.opener and whatever
  // the opener writes into an about:blank pop-up are kept.
  RefPtr<WebBrowser> popup(new WebBrowser(m_profile, nullptr, QRect(QPoint(), m_view->window()->size()), m_client));
  // A link opens a window like a tab; one with a size asked for is a script's
  // dialog (a sign-in with another provider), even when it shows the link.
  const QUrl link = TakeClickedLink();
  if (!dialog)
    popup->m_popupLink = link;
  if (popup->m_popupLink.isEmpty())
    popup->m_view->show();
  if (lifeSpan)
    lifeSpan->OnAfterCreated(popup);
  // Qt adopts the engine's page as soon as this returns.
  QMetaObject::invokeMethod(
      popup->m_view, [popup] { popup->OnAdopted(); }, Qt::QueuedConnection);
  return popup->Page();
}

QUrl WebBrowser::TakeClickedLink() {
  if (!m_lastClick.isValid() || m_lastClick.hasExpired(kClickToNavigationMs))
    return {};
  m_lastClick.invalidate();
  return m_hoveredLink;
}

bool WebBrowser::AcceptNavigation(const QUrl& url, bool linkClicked, bool isMainFrame) {
  if (!isMainFrame)
    return true;
  // Script navigates as "link clicked" too: only the link under the pointer
  // at the user's click is one.
  const bool newWindow = !m_popupLink.isEmpty();
  const QUrl clicked = newWindow ? std::exchange(m_popupLink, QUrl()) : TakeClickedLink();
  RequestHandler* request = m_client->GetRequestHandler();
  const bool taken = linkClicked && !clicked.isEmpty() && url == clicked && request &&
                     request->OnLinkClicked(this, url, newWindow);
  if (newWindow && m_view) {
    // Made for that link alone: it goes unseen when the client has taken it.
    if (taken)
      Close(true);
    else
      m_view->show();
  }
  return !taken;
}

void WebBrowser::OnAdopted() {
  QWebEnginePage* page = Page();
  if (!page)
    return;
  RefPtr<WebBrowser> self(this);
  if (NeedsBlankPopupPreferences()) {
    // The PDF is dropped. The page must not go while that print runs (a
    // fraction of a second), so closes wait for it.
    page->printToPdf([self](const QByteArray&) { self->OnReady(); },
                     QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));
  } else {
    // Nothing to wait for: a link's pop-up still shows at its first navigation.
    OnReady(false);
  }
  // Bounded: an answer that never comes must not keep the pop-up for ever,
  // nor a link's pop-up that never navigates hidden.
  QTimer::singleShot(kReadyTimeoutMs, m_view, [self] {
    self->OnReady();
    if (self->m_view && !self->m_popupLink.isEmpty())
      self->m_view->show();
  });
}

void WebBrowser::OnReady(bool showLinkPopup) {
  if (m_ready)
    return;
  m_ready = true;
  if (m_printer)
    m_printer->SetReady();
  switch (std::exchange(m_pendingClose, PendingClose::kNone)) {
    case PendingClose::kNone:
      // A pop-up for a clicked link that has not navigated yet shows now.
      if (m_view && showLinkPopup)
        m_view->show();
      break;
    case PendingClose::kRequest:
      Close(false);
      break;
    case PendingClose::kForce:
      Close(true);
      break;
    case PendingClose::kWindow:
      if (m_view)
        m_view->close();
      break;
  }
}

bool WebBrowser::AcceptWindowClose() {
  if (m_ready)
    return true;
  if (m_pendingClose == PendingClose::kNone || m_pendingClose == PendingClose::kRequest)
    m_pendingClose = PendingClose::kWindow;
  return false;
}

void WebBrowser::OnRendererGone() {
  QWebEnginePage* page = Page();
  if (!page)
    return;
  const qint64 now = QDeadlineTimer::current().deadline();
  while (!m_recoveries.isEmpty() && now - m_recoveries.first() > kRecoveryWindowMs)
    m_recoveries.removeFirst();
  if (m_recoveries.size() < kMaxRecoveries) {
    // As the out-of-memory killer ends one: the page comes back by itself.
    m_recoveries.append(now);
    page->triggerAction(QWebEnginePage::Reload);
    return;
  }
  if (!m_rendererGoneNotice) {
    m_rendererGoneNotice = new PageNotice(m_view, QString::fromUtf8(kRendererStopped), QString::fromUtf8(kHowToReload), [this] {
      m_rendererGoneNotice->hide();
      m_recoveries.clear();
      if (QWebEnginePage* page = Page())
        page->triggerAction(QWebEnginePage::Reload);
    });
  }
  m_rendererGoneNotice->show();
  m_rendererGoneNotice->raise();
}

void WebBrowser::OnUnreachable() {
  if (!m_view)
    return;
  if (!m_reloadRetry) {
    // A child of the view: no reload comes once the view has gone.
    m_reloadRetry = new desktop::RetryTimer(
        [this] {
          if (QWebEnginePage* page = Page())
            page->triggerAction(QWebEnginePage::Reload);
        },
        m_view);
  }
  if (!m_unreachableNotice) {
    m_unreachableNotice = new PageNotice(m_view, QString::fromUtf8(kUnreachable), QString::fromUtf8(kReloadsByItself),
                                         [this] { m_reloadRetry->RetryNow(); });
  }
  m_unreachableNotice->show();
  m_unreachableNotice->raise();
  // Each failure waits longer for the next reload: a page that keeps failing
  // is not reloaded in a loop.
  m_reloadRetry->OnFailure();
}

void WebBrowser::OnPageLoaded() {
  if (m_reloadRetry)
    m_reloadRetry->OnSuccess();
  if (m_unreachableNotice)
    m_unreachableNotice->hide();
}

void WebBrowser::OnGeometryChangeRequested(const QRect& geometry) {
  if (!m_view || geometry.isEmpty())
    return;
  // window.open('…', '', 'width=400,height=300'): the size the page asks for,
  // kept on the screen the window is on.
  QRect wanted = geometry;
  if (QScreen* screen = m_view->screen() ? m_view->screen() : QGuiApplication::primaryScreen()) {
    const QRect available = screen->availableGeometry();
    wanted.setSize(wanted.size().boundedTo(available.size()));
    wanted.moveLeft(qBound(available.left(), wanted.left(), available.right() - wanted.width() + 1));
    wanted.moveTop(qBound(available.top(), wanted.top(), available.bottom() - wanted.height() + 1));
  }
  m_view->setGeometry(wanted);
}

void WebBrowser::OnWindowCloseRequested() {
  // The engine does not hold a page's script in window.print(): a page that
  // closes itself right after it (as print helpers do) goes once printed.
  if (m_printer && m_printer->Defer([this] { OnWindowCloseRequested(); }))
    return;
  LifeSpanHandler* lifeSpan = m_client->GetLifeSpanHandler();
  if (lifeSpan && lifeSpan->DoClose(this))
    return;
  if (!m_view)
    return;
  // A pop-up's window closes; the main browser asks its top-level window,
  // which decides (binding answers with its exit question).
  if (m_isPopup)
    m_view->close();
  else
    m_view->window()->close();
}

void WebBrowser::OnViewDestroyed() {
  if (!g_open.removeOne(this))
    return;
  RefPtr<WebBrowser> keep = std::move(m_self);
  if (LifeSpanHandler* lifeSpan = m_client->GetLifeSpanHandler())
    lifeSpan->OnBeforeClose(keep);
}

}  // namespace vorla::engine
