#include "platform/platform.h"

#include <cstdio>

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

std::string ProductVersionText() {
  const auto version = ProductFixedVersion();
  if (!version)
    return {};
  char text[sizeof "65535.65535.65535.65535"];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", (*version)[0], (*version)[1], (*version)[2], (*version)[3]);
  return text;
}

}  // namespace vorla::platform
