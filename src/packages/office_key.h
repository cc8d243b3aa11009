// The central office's side of the signatures: a key pair and the signing
// of a digest text, the inverse of RsaSignatureDecryptor. korvel-tool and
// the tests use it; the utility itself only verifies.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace korvel::packages {

inline constexpr int kOfficeKeyBits = 512;

struct OfficeKeyPair {
  std::string private_pem;  // "PRIVATE KEY" (PKCS#8, unencrypted)
  std::string public_pem;   // "PUBLIC KEY" (SubjectPublicKeyInfo)
};

// A new RSA key pair. Throws Exception when the crypto library fails.
OfficeKeyPair GenerateOfficeKeyPair(int bits = kOfficeKeyBits);

class SignatureEncryptor {
 public:
  // `private_pem` holds an RSA private key. Throws Exception when not.
  explicit SignatureEncryptor(std::string_view private_pem);
  ~SignatureEncryptor();
  SignatureEncryptor(const SignatureEncryptor&) = delete;
  SignatureEncryptor& operator=(const SignatureEncryptor&) = delete;

  // The encrypted signature of a digest text: base64 of the private-key
  // operation over the text and kSignatureExtraChar.
  std::string EncryptDigestText(std::string_view digest_text) const;
  // The matching public key as PEM.
  std::string PublicPem() const;
  int Bits() const;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
};

}  // namespace korvel::packages
