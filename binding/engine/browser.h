#pragma once

#include "engine/ref_counted.h"

namespace vorla::engine {

class BrowserHost;
class Frame;

// One browser: the main browser or a pop-up. Main thread only. It may outlive
// its page and window (a client holds it until its OnBeforeClose); every
// operation is then a harmless no-op.
class Browser : public RefCounted {
 public:
  virtual RefPtr<BrowserHost> GetHost() = 0;
  // Unique within the process, never reused.
  virtual int GetIdentifier() const = 0;
  virtual bool IsPopup() const = 0;
  // True once its page has loaded a document: false for a pop-up whose one
  // navigation became a download.
  virtual bool HasDocument() const = 0;
  virtual bool IsSame(const RefPtr<Browser>& that) const = 0;
  virtual RefPtr<Frame> GetMainFrame() = 0;
};

}  // namespace vorla::engine
