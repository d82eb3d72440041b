#pragma once

#include <QPointer>
#include <QRect>

#include "engine/browser.h"
#include "engine/client.h"

class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;
class QWidget;

namespace vorla::engine {

// A browser over one QWebEngineView and its QWebEnginePage. Main thread only.
// Cancel by lifetime: it keeps a reference to itself while its view exists and
// drops it after the client's OnBeforeClose; the view and page are QPointers,
// so a browser whose view has gone does nothing.
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
  static void DestroyAll();

  RefPtr<BrowserHost> GetHost() override;
  int GetIdentifier() const override { return m_identifier; }
  bool IsPopup() const override { return m_isPopup; }
  bool IsSame(const RefPtr<Browser>& that) const override { return that.get() == this; }
  RefPtr<Frame> GetMainFrame() override;

  QWebEnginePage* Page() const;
  QWidget* Window() const;
  Client* GetClient() const { return m_client.get(); }
  void Load(const QUrl& url);
  void Close(bool force);
  void ExecuteJavaScript(const QString& code, const QString& scriptUrl, int startLine);
  // The page for a pop-up this browser's page opens; null when the client refuses it.
  QWebEnginePage* CreatePopup();

 private:
  WebBrowser(QWebEngineProfile* profile, QWidget* parent, const QRect& rect, RefPtr<Client> client);
  void ConnectPage();
  bool CanGoBack() const;
  bool CanGoForward() const;
  void OnViewDestroyed();
  void OnWindowCloseRequested();

  const int m_identifier;
  const bool m_isPopup;
  QWebEngineProfile* const m_profile;
  RefPtr<Client> m_client;
  QPointer<QWebEngineView> m_view;
  RefPtr<WebBrowser> m_self;
};

}  // namespace vorla::engine
