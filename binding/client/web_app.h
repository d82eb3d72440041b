#pragma once

#include "engine/application.h"

// The application handler given to the engine's entry points. It offers none
// of the engine's application hooks. Reference-counted like every engine object.
class CWebApp : public vorla::engine::Application {};
