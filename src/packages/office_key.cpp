#include "packages/office_key.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "host/exception.h"
#include "packages/signature.h"

namespace korvel::packages {

namespace {

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string PublicPemOf(EVP_PKEY* pkey) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), pkey) != 1) throw Exception("Cannot write the public key");
  return BioText(bio.get());
}

}  // namespace

OfficeKeyPair GenerateOfficeKeyPair(int bits) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
  EVP_PKEY* pkey = nullptr;
  const bool ok = ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) == 1 &&
                  EVP_PKEY_keygen(ctx, &pkey) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) throw Exception("RSA key generation failed");
  OfficeKeyPair pair;
  BioPtr bio(BIO_new(BIO_s_mem()));
  const bool written =
      bio && PEM_write_bio_PrivateKey(bio.get(), pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (written) pair.private_pem = BioText(bio.get());
  try {
    if (!written) throw Exception("Cannot write the private key");
    pair.public_pem = PublicPemOf(pkey);
  } catch (...) {
    EVP_PKEY_free(pkey);
    throw;
  }
  EVP_PKEY_free(pkey);
  return pair;
}

struct SignatureEncryptor::Key {
  EVP_PKEY* pkey = nullptr;
  ~Key() { EVP_PKEY_free(pkey); }
};

SignatureEncryptor::SignatureEncryptor(std::string_view private_pem) : key_(std::make_unique<Key>()) {
  BioPtr bio(BIO_new_mem_buf(private_pem.data(), static_cast<int>(private_pem.size())));
  if (!bio) throw Exception("Out of memory reading the private key");
  key_->pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (key_->pkey == nullptr) throw Exception("The file holds no PEM private key");
  if (EVP_PKEY_get_base_id(key_->pkey) != EVP_PKEY_RSA) throw Exception("The private key is not an RSA key");
}

SignatureEncryptor::~SignatureEncryptor() = default;

std::string SignatureEncryptor::EncryptDigestText(std::string_view digest_text) const {
  std::string plain(digest_text);
  plain += kSignatureExtraChar;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_->pkey, nullptr);
  if (ctx == nullptr) throw Exception("Out of memory signing");
  std::vector<unsigned char> out(static_cast<std::size_t>(EVP_PKEY_get_size(key_->pkey)));
  std::size_t out_size = out.size();
  // Without a message digest set, the RSA sign operation is the raw
  // private-key operation over the given bytes with type-1 padding.
  const bool ok = EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_sign(ctx, out.data(), &out_size, reinterpret_cast<const unsigned char*>(plain.data()),
                                plain.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) throw Exception("RSA signing failed");
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(out.data()), out_size));
}

std::string SignatureEncryptor::PublicPem() const { return PublicPemOf(key_->pkey); }

int SignatureEncryptor::Bits() const { return EVP_PKEY_get_bits(key_->pkey); }

}  // namespace korvel::packages
