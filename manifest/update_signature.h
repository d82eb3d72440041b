#pragma once

#include <string>
#include <string_view>

// True when `signatureBase64` is the Ed25519 signature, by the key in
// `publicKeyPem`, over the manifest's "<version>" value, one line feed and its
// "<sha256>" value, byte for byte. False for anything else: a key that does not
// read, base64 that is not exactly one signature, another key's signature.
bool VerifyUpdateSignature(std::string_view publicKeyPem, const std::string& version, const std::string& sha256,
                           const std::string& signatureBase64);

// True when `manifest` names "<version>", "<sha256>" and "<signature>" and the
// signature is the key's over the first two: the release it offers is one the
// vendor signed. False for anything else, an unsigned manifest included.
bool IsSignedManifest(std::string_view publicKeyPem, const std::string& manifest);
