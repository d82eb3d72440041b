#pragma once

#include <cstddef>
#include <memory>

#include <QByteArray>
#include <openssl/types.h>

// SHA-256 over data given in pieces, by OpenSSL. Used by one thread at a time.
class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  // Hashes the next piece. A failed step sticks: every later call fails too.
  bool Add(const char* data, size_t size);
  // The 32-byte digest of all pieces; empty when any step failed. Call once.
  QByteArray Finish();

 private:
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const;
  };
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> m_context;
  bool m_failed = false;
};
