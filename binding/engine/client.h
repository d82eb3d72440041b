#pragma once

#include <QString>
#include <QUrl>

#include "engine/browser.h"
#include "engine/context_menu_params.h"
#include "engine/download.h"
#include "engine/frame.h"
#include "engine/menu_model.h"
#include "engine/ref_counted.h"

namespace vorla::engine {

// The handler interfaces a client may offer. The engine calls each on the main
// thread; every default is the engine's own behaviour.

class ContextMenuHandler {
 public:
  // Runs before the menu is shown; clearing `model` shows no menu.
  virtual void OnBeforeContextMenu(RefPtr<Browser> /*browser*/, RefPtr<Frame> /*frame*/, const ContextMenuParams& /*params*/,
                                   MenuModel& /*model*/) {}

 protected:
  ~ContextMenuHandler() = default;
};

class DisplayHandler {
 public:
  virtual void OnAddressChange(RefPtr<Browser> /*browser*/, RefPtr<Frame> /*frame*/, const QUrl& /*url*/) {}
  virtual void OnTitleChange(RefPtr<Browser> /*browser*/, const QString& /*title*/) {}
  // False keeps the engine's own console logging.
  virtual bool OnConsoleMessage(RefPtr<Browser> /*browser*/, const QString& /*message*/, const QString& /*source*/, int /*line*/) {
    return false;
  }

 protected:
  ~DisplayHandler() = default;
};

class DownloadHandler {
 public:
  // A download asks where to go. Without `callback->Continue` during this call
  // it is cancelled.
  virtual void OnBeforeDownload(RefPtr<Browser> /*browser*/, const DownloadItem& /*item*/, const QString& /*suggestedName*/,
                                RefPtr<BeforeDownloadCallback> /*callback*/) {}
  virtual void OnDownloadUpdated(RefPtr<Browser> /*browser*/, const DownloadItem& /*item*/) {}

 protected:
  ~DownloadHandler() = default;
};

class LifeSpanHandler {
 public:
  // A page of `browser` opens a pop-up; true cancels it. By default every
  // pop-up opens in a top-level window of its own, served by the opener's client.
  virtual bool OnBeforePopup(RefPtr<Browser> /*browser*/) { return false; }
  virtual void OnAfterCreated(RefPtr<Browser> /*browser*/) {}
  // True: the client closes the window itself. False: the engine's default close.
  virtual bool DoClose(RefPtr<Browser> /*browser*/) { return false; }
  // The browser's page and window are gone; the last call for this browser.
  virtual void OnBeforeClose(RefPtr<Browser> /*browser*/) {}

 protected:
  ~LifeSpanHandler() = default;
};

class RequestHandler {
 public:
  // The user has clicked a link to `url`, to open in the page of `browser` or,
  // with `newWindow` (a target, a middle click), in a new window: `browser` is
  // then the pop-up made for it, which goes if the client takes the link. True:
  // the client has taken it, and neither page follows it.
  virtual bool OnLinkClicked(RefPtr<Browser> /*browser*/, const QUrl& /*url*/, bool /*newWindow*/) { return false; }

 protected:
  ~RequestHandler() = default;
};

class LoadHandler {
 public:
  virtual void OnLoadingStateChange(RefPtr<Browser> /*browser*/, bool /*isLoading*/, bool /*canGoBack*/, bool /*canGoForward*/) {}
  virtual void OnLoadStart(RefPtr<Browser> /*browser*/, RefPtr<Frame> /*frame*/) {}
  virtual void OnLoadEnd(RefPtr<Browser> /*browser*/, RefPtr<Frame> /*frame*/, int /*httpStatusCode*/) {}
  virtual void OnLoadError(RefPtr<Browser> /*browser*/, RefPtr<Frame> /*frame*/, const QString& /*errorText*/,
                           const QUrl& /*failedUrl*/) {}

 protected:
  ~LoadHandler() = default;
};

// A browser's client: which handlers it offers (none by default).
class Client : public RefCounted {
 public:
  virtual ContextMenuHandler* GetContextMenuHandler() { return nullptr; }
  virtual DisplayHandler* GetDisplayHandler() { return nullptr; }
  virtual DownloadHandler* GetDownloadHandler() { return nullptr; }
  virtual LifeSpanHandler* GetLifeSpanHandler() { return nullptr; }
  virtual LoadHandler* GetLoadHandler() { return nullptr; }
  virtual RequestHandler* GetRequestHandler() { return nullptr; }
};

}  // namespace vorla::engine
