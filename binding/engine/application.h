#pragma once

#include "engine/ref_counted.h"

namespace vorla::engine {

// The process-wide application handler given to the engine's entry points.
// The engine's application hooks are not offered: none are used.
class Application : public RefCounted {};

}  // namespace vorla::engine
