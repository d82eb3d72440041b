#pragma once

#include "engine/ref_counted.h"

class QWidget;

namespace vorla::engine {

class Browser;

// The window side of a browser. Main thread only.
class BrowserHost : public RefCounted {
 public:
  virtual RefPtr<Browser> GetBrowser() = 0;
  // The browser's window: a child of the window it was created in, or a
  // pop-up's own top-level window. Null once the browser has closed.
  virtual QWidget* GetWindowHandle() = 0;
  // Not forced: the page runs its beforeunload and unload handlers first, then
  // the client's DoClose decides; by default a pop-up's window closes and the
  // main browser's top-level window is asked to close. Forced: it goes at once.
  virtual void CloseBrowser(bool force) = 0;
};

}  // namespace vorla::engine
