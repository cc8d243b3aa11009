#include "packages/office_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

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

struct PkeyDeleter {
  void operator()(EVP_PKEY* pkey) const { EVP_PKEY_free(pkey); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

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

OfficeKeyPair GenerateOfficeKeyPair() {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
  EVP_PKEY* raw = nullptr;
  const bool ok = ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &raw) == 1;
  EVP_PKEY_CTX_free(ctx);
  PkeyPtr pkey(raw);
  if (!ok) throw Exception("Ed25519 key generation failed");
  OfficeKeyPair pair;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw Exception("Cannot write the private key");
  }
  pair.private_pem = BioText(bio.get());
  pair.public_pem = PublicPemOf(pkey.get());
  return pair;
}

struct SignatureSigner::Key {
  PkeyPtr pkey;
};

SignatureSigner::SignatureSigner(std::string_view private_pem) : key_(std::make_unique<Key>()) {
  BioPtr bio(BIO_new_mem_buf(private_pem.data(), static_cast<int>(private_pem.size())));
  if (!bio) throw Exception("Out of memory reading the private key");
  key_->pkey.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  if (!key_->pkey) throw Exception("the file holds no PEM private key");
  if (EVP_PKEY_get_base_id(key_->pkey.get()) != EVP_PKEY_ED25519) {
    const char* kind = EVP_PKEY_get0_type_name(key_->pkey.get());
    throw Exception(std::string("the private key is ") + (kind != nullptr ? kind : "of an unknown kind") + " of " +
                    std::to_string(EVP_PKEY_get_bits(key_->pkey.get())) +
                    " bits, not Ed25519; a package's signature field holds only Ed25519 signatures "
                    "(make a key with korvel-tool keygen)");
  }
}

SignatureSigner::~SignatureSigner() = default;

std::string SignatureSigner::SignDigestText(std::string_view digest_text) const {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) throw Exception("Out of memory signing");
  std::vector<unsigned char> out(kSignatureBytes);
  std::size_t out_size = out.size();
  // Pure Ed25519 signs the message itself: no digest is named here.
  const bool ok = EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key_->pkey.get()) == 1 &&
                  EVP_DigestSign(ctx, out.data(), &out_size, reinterpret_cast<const unsigned char*>(digest_text.data()),
                                 digest_text.size()) == 1;
  EVP_MD_CTX_free(ctx);
  ERR_clear_error();
  if (!ok || out_size != kSignatureBytes) throw Exception("Ed25519 signing failed");
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(out.data()), out_size));
}

std::string SignatureSigner::PublicPem() const { return PublicPemOf(key_->pkey.get()); }

}  // namespace korvel::packages
