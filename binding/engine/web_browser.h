#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QRect>
#include <QUrl>

#include "engine/browser.h"
#include "engine/client.h"

class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;
class QWidget;

namespace vorla::desktop {
class RetryTimer;
}

namespace vorla::engine {

class PagePrinter;

// A browser over one QWebEngineView and its QWebEnginePage. Main thread only.
// Cancel by lifetime: it keeps a reference to itself while its view exists and
// drops it after the client's OnBeforeClose; its view and page hold references
// to it too, so no handler of theirs runs on a freed browser. The view is a
// QPointer, so a browser whose view has gone does nothing.
class WebBrowser final : public Browser {
 public:
  // A browser in a child window of `parent` at `rect`; with `parent` null, a
  // pop-up in a top-level window of its own. Its client hears OnAfterCreated
  // once the window is shown.
  static RefPtr<WebBrowser> Create(QWebEngineProfile* profile, QWidget* parent, const QRect& rect,
                                   RefPtr<Client> client);
  // The browser whose page this is, or null.
  static WebBrowser* FromPage(const QWebEnginePage* page);
  // Destroys every browser window still open; each client hears OnBeforeClose.
  // Waits a bounded moment for pop-ups still being made ready.
  static void DestroyAll();

  RefPtr<BrowserHost> GetHost() override;
  int GetIdentifier() const override { return m_identifier; }
  bool IsPopup() const override { return m_isPopup; }
  bool HasDocument() const override { return m_hasDocument; }
  bool IsSame(const RefPtr<Browser>& that) const override { return that.get() == this; }
  RefPtr<Frame> GetMainFrame() override;

  QWebEnginePage* Page() const;
  QWidget* Window() const;
  Client* GetClient() const { return m_client.get(); }
  void Load(const QUrl& url);
  void Close(bool force);
  // The user closes the browser's top-level window. False: it closes later,
  // once the browser is ready.
  bool AcceptWindowClose();
  void ExecuteJavaScript(const QString& code, const QString& scriptUrl, int startLine);
  // The page for a pop-up this browser's page opens (`dialog`: with a size asked
  // for); null when the client refuses it.
  QWebEnginePage* CreatePopup(bool dialog);
  // The page asks whether to go to `url`; false cancels the navigation.
  bool AcceptNavigation(const QUrl& url, bool linkClicked, bool isMainFrame);
  // The user has clicked in the browser's window (left or middle button).
  void OnClicked() { m_lastClick.start(); }

 private:
  WebBrowser(QWebEngineProfile* profile, QWidget* parent, const QRect& rect, RefPtr<Client> client);
  void ConnectPage();
  bool CanGoBack() const;
  bool CanGoForward() const;
  void OnViewDestroyed();
  void OnWindowCloseRequested();
  // Qt has put the page Chromium made for a pop-up in place of ours.
  void OnAdopted();
  // Runs the closes asked for meanwhile; `showLinkPopup`: shows a link's
  // pop-up that has not navigated yet too.
  void OnReady(bool showLinkPopup = true);
  void OnRendererGone();
  // The page failed to load for want of a network: a notice, and a reload
  // when the network is back or after the back-off.
  void OnUnreachable();
  // A page has loaded, or the server has answered with one of its own.
  void OnPageLoaded();
  void OnGeometryChangeRequested(const QRect& geometry);
  // The link the user clicked here a moment ago, once; empty when none.
  QUrl TakeClickedLink();

  const int m_identifier;
  const bool m_isPopup;
  QWebEngineProfile* const m_profile;
  RefPtr<Client> m_client;
  QPointer<QWebEngineView> m_view;
  QPointer<PagePrinter> m_printer;
  RefPtr<WebBrowser> m_self;
  // A pop-up's page is replaced by the engine's after createWindow returns,
  // and is then made ready (see OnAdopted): a close asked before that would act
  // on the page that goes, or free a page the engine is still working on.
  bool m_ready;
  bool m_hasDocument = false;
  enum class PendingClose { kNone, kRequest, kForce, kWindow } m_pendingClose = PendingClose::kNone;
  // When the page was reloaded after its renderer died (monotonic ms), oldest first.
  QList<qint64> m_recoveries;
  QPointer<QWidget> m_rendererGoneNotice;
  QPointer<QWidget> m_unreachableNotice;
  QPointer<desktop::RetryTimer> m_reloadRetry;
  // A click on a link is the link under the pointer when the click comes.
  QUrl m_hoveredLink;
  QElapsedTimer m_lastClick;
  // A pop-up made for a link clicked in its opener stays hidden until its
  // first navigation has shown whether the client takes the link elsewhere.
  QUrl m_popupLink;
};

}  // namespace vorla::engine
