#include "platform/platform.h"

#include "vorla/build_config.h"

namespace vorla::platform {

std::optional<std::array<uint16_t, 4>> ProductFixedVersion() {
#ifdef VORLA_NO_VERSION_INFO
  return std::nullopt;
#else
  return std::array<uint16_t, 4>{build::kVersionMajor, build::kVersionMinor, build::kVersionPatch,
                                 build::kVersionTweak};
#endif
}

}  // namespace vorla::platform
