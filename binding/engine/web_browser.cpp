#include "engine/web_browser.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QWebEngineContextMenuRequest>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include "engine/browser_host.h"
#include "engine/frame.h"

namespace vorla::engine {
namespace {

int g_lastIdentifier = 0;
QList<WebBrowser*> g_open;

// The page of one browser: console messages go to the client first.
class BrowserPage : public QWebEnginePage {
 public:
  BrowserPage(QWebEngineProfile* profile, WebBrowser* browser, QObject* parent)
      : QWebEnginePage(profile, parent), m_browser(browser) {}
  WebBrowser* Owner() const { return m_browser; }

 protected:
  QWebEnginePage* createWindow(WebWindowType) override { return m_browser->CreatePopup(); }

 protected:
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message, int line,
                                const QString& source) override {
    DisplayHandler* display = m_browser->GetClient()->GetDisplayHandler();
    if (display && display->OnConsoleMessage(RefPtr<vorla::engine::Browser>(m_browser), message, source, line))
      return;
    QWebEnginePage::javaScriptConsoleMessage(level, message, line, source);
  }

 private:
  WebBrowser* const m_browser;
};

// The browser's window. A right click builds the engine's standard menu for
// the spot and lets the client change it before it is shown.
class BrowserView : public QWebEngineView {
 public:
  BrowserView(WebBrowser* browser, QWidget* parent) : QWebEngineView(parent), m_browser(browser) {}

 protected:
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
      handler->OnBeforeContextMenu(RefPtr<Browser>(m_browser), m_browser->GetMainFrame(), ContextMenuParams(flags),
                                   model);
    if (menu->actions().isEmpty()) {
      delete menu;
      return;
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
  }

 private:
  WebBrowser* const m_browser;
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

}  // namespace

WebBrowser::WebBrowser(QWebEngineProfile* profile, QWidget* parent, const QRect& rect, RefPtr<Client> client)
    : m_identifier(++g_lastIdentifier), m_isPopup(parent == nullptr), m_profile(profile), m_client(std::move(client)) {
  auto* view = new BrowserView(this, parent);
  view->setPage(new BrowserPage(profile, this, view));
  view->setGeometry(rect);
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
    if (LoadHandler* load = m_client->GetLoadHandler()) {
      if (ok)
        load->OnLoadEnd(this, GetMainFrame(), 200);
      else
        load->OnLoadError(this, GetMainFrame(), QStringLiteral("load failed"), page->requestedUrl());
      load->OnLoadingStateChange(this, CanGoBack(), CanGoForward(), false);
    }
  });
  QObject::connect(page, &QWebEnginePage::windowCloseRequested, page, [this] { OnWindowCloseRequested(); });
}

QWebEnginePage* WebBrowser::CreatePopup() {
  LifeSpanHandler* lifeSpan = m_client->GetLifeSpanHandler();
  if (!m_view || (lifeSpan && lifeSpan->OnBeforePopup(this)))
    return nullptr;
  // A pop-up takes its opener's window size. Its page adopts the one Chromium
  // already made, so window.opener and whatever the opener writes into an
  // about:blank pop-up are kept.
  RefPtr<WebBrowser> popup(new WebBrowser(m_profile, nullptr, QRect(QPoint(), m_view->window()->size()), m_client));
  popup->m_view->show();
  if (lifeSpan)
    lifeSpan->OnAfterCreated(popup);
  return popup->Page();
}

void WebBrowser::OnWindowCloseRequested() {
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
