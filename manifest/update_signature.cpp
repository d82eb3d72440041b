#include "manifest/update_signature.h"

#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "manifest/manifest.h"

namespace {

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

constexpr size_t kSignatureSize = 64;
// 64 bytes in base64: 88 characters, the last two "=".
constexpr size_t kSignatureTextSize = 88;

}  // namespace

bool VerifyUpdateSignature(std::string_view publicKeyPem, const std::string& version, const std::string& sha256,
                           const std::string& signatureBase64) {
  // Strict: EVP_DecodeBlock skips blanks and pads, so the form is checked here.
  if (signatureBase64.size() != kSignatureTextSize || signatureBase64.compare(86, 2, "==") != 0)
    return false;
  for (size_t i = 0; i < 86; ++i) {
    const char c = signatureBase64[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
      return false;
  }
  unsigned char decoded[kSignatureTextSize / 4 * 3];
  if (EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(signatureBase64.data()),
                      static_cast<int>(signatureBase64.size())) != int(sizeof decoded))
    return false;  // 66 with the two pad bytes; the signature is the first 64

  std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())));
  std::unique_ptr<EVP_PKEY, KeyDeleter> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
    return false;
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
  // Ed25519 hashes the message itself: no digest is named.
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return false;
  const std::string message = version + '\n' + sha256;
  return EVP_DigestVerify(context.get(), decoded, kSignatureSize, reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

bool IsSignedManifest(std::string_view publicKeyPem, const std::string& manifest) {
  std::string version;
  std::string sha256;
  std::string signature;
  return vorla::GetTagValue(manifest, "<version>", "</version>", version) &&
         vorla::GetTagValue(manifest, "<sha256>", "</sha256>", sha256) &&
         vorla::GetTagValue(manifest, "<signature>", "</signature>", signature) &&
         VerifyUpdateSignature(publicKeyPem, version, sha256, signature);
}
