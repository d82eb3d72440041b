#pragma once

#include <string_view>

// The Ed25519 public key, in PEM, built into this program: binding acts only
// on an update offer it verifies, upgrade starts only an installer it verifies.
// Empty: unsigned updates are offered and start, as a vendor who does not sign
// publishes them.
std::string_view UpdatePublicKey();
