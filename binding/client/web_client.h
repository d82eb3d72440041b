#pragma once

#include <list>

#include "engine/client.h"

// The client of the main browser and of every pop-up: it keeps the browsers'
// books and ends the message loop after the last one, shows page titles as
// captions, trims the context menu, sends downloads through the save dialog and
// links the user clicks to other sites to the desktop's browser.
// Main thread only; the engine may take references from other threads.
class CWebClient : public vorla::engine::Client,
                   public vorla::engine::ContextMenuHandler,
                   public vorla::engine::DisplayHandler,
                   public vorla::engine::DownloadHandler,
                   public vorla::engine::LifeSpanHandler,
                   public vorla::engine::LoadHandler,
                   public vorla::engine::RequestHandler {
 public:
  using Browser = vorla::engine::Browser;
  template <class T>
  using RefPtr = vorla::engine::RefPtr<T>;

  CWebClient() = default;

  // The main browser, or null while none is recorded.
  RefPtr<Browser> GetBrowser() const { return m_browser; }

  vorla::engine::ContextMenuHandler* GetContextMenuHandler() override { return this; }
  vorla::engine::DisplayHandler* GetDisplayHandler() override { return this; }
  vorla::engine::DownloadHandler* GetDownloadHandler() override { return this; }
  vorla::engine::LifeSpanHandler* GetLifeSpanHandler() override { return this; }
  vorla::engine::LoadHandler* GetLoadHandler() override { return this; }
  vorla::engine::RequestHandler* GetRequestHandler() override { return this; }

  // Context menu
  void OnBeforeContextMenu(RefPtr<Browser> browser, RefPtr<vorla::engine::Frame> frame,
                           const vorla::engine::ContextMenuParams& params, vorla::engine::MenuModel& model) override;

  // Display
  void OnTitleChange(RefPtr<Browser> browser, const QString& title) override;

  // Download
  void OnBeforeDownload(RefPtr<Browser> browser, const vorla::engine::DownloadItem& item,
                        const QString& suggestedName,
                        RefPtr<vorla::engine::BeforeDownloadCallback> callback) override;

  // Life span
  void OnAfterCreated(RefPtr<Browser> browser) override;
  void OnBeforeClose(RefPtr<Browser> browser) override;

  // Request
  bool OnLinkClicked(RefPtr<Browser> browser, const QUrl& url, bool newWindow) override;

  // Where a download of `suggestedName` is offered to go: the Documents folder
  // (created when missing), "/", and the name. Empty without a Documents folder.
  static QString DownloadPath(const QString& suggestedName);

 private:
  RefPtr<Browser> m_browser;
  std::list<RefPtr<Browser>> m_popupBrowsers;
  // The main browser has closed: every browser still open, or created from now
  // on, is asked to close, and the loop ends after the last.
  bool m_closing = false;
};
