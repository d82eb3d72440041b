#pragma once

#include <QString>

#include "engine/ref_counted.h"

namespace vorla::engine {

// A browser's frame. Main thread only.
class Frame : public RefCounted {
 public:
  // Runs `code` in the frame's page; the script URL and start line name it in
  // the page's console.
  virtual void ExecuteJavaScript(const QString& code, const QString& scriptUrl, int startLine) = 0;
};

}  // namespace vorla::engine
