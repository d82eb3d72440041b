#include "upgrade/sha256_digest.h"

#include <openssl/evp.h>

void Sha256Digest::ContextDeleter::operator()(EVP_MD_CTX* context) const {
  EVP_MD_CTX_free(context);
}

Sha256Digest::Sha256Digest() : m_context(EVP_MD_CTX_new()) {
  m_failed = !m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1;
}

Sha256Digest::~Sha256Digest() = default;

bool Sha256Digest::Add(const char* data, size_t size) {
  if (!m_failed)
    m_failed = EVP_DigestUpdate(m_context.get(), data, size) != 1;
  return !m_failed;
}

QByteArray Sha256Digest::Finish() {
  if (m_failed)
    return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  m_failed = true;  // a context is finalised once
  if (EVP_DigestFinal_ex(m_context.get(), digest, &length) != 1 || length != 32)
    return {};
  return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length));
}
