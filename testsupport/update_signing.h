#pragma once

#include <QString>
#include <string>

namespace vorla::testing {

// The manifest's "<signature>" for `version` and `sha256`, as the release
// command makes it with the Ed25519 private key in `keyFile` (base64 of the
// signature over version, a line feed, sha256); empty when openssl fails.
std::string SignUpdate(const QString& keyFile, const std::string& version, const std::string& sha256);

}  // namespace vorla::testing
