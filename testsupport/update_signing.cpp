#include "testsupport/update_signing.h"

#include <QProcess>
#include <QTemporaryFile>

namespace vorla::testing {

std::string SignUpdate(const QString& keyFile, const std::string& version, const std::string& sha256) {
  // Ed25519 signs in one pass: openssl wants the message as a file.
  const std::string message = version + "\n" + sha256;
  QTemporaryFile file;
  if (!file.open() || file.write(message.data(), qint64(message.size())) != qint64(message.size()) || !file.flush())
    return {};
  QProcess openssl;
  openssl.start("sh", {"-c", "openssl pkeyutl -sign -rawin -inkey \"$0\" -in \"$1\" | base64 -w0", keyFile,
                       file.fileName()});
  if (!openssl.waitForFinished(10000))
    openssl.kill();
  return openssl.readAllStandardOutput().toStdString();
}

}  // namespace vorla::testing
