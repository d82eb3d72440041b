#pragma once

#include <string_view>

// The Ed25519 public key, in PEM, built into this program: only an installer
// whose manifest it verifies may start. Empty: unsigned updates start, as a
// vendor who does not sign publishes them.
std::string_view UpdatePublicKey();
