// The central office's side of the signatures: an Ed25519 key pair and the
// signing of a digest text, the counterpart of Ed25519SignatureVerifier.
// korvel-tool and the tests use it; the utility itself only verifies.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace korvel::packages {

struct OfficeKeyPair {
  std::string private_pem;  // "PRIVATE KEY" (PKCS#8, unencrypted)
  std::string public_pem;   // "PUBLIC KEY" (SubjectPublicKeyInfo)
};

// A new Ed25519 key pair. Throws Exception when the crypto library fails.
OfficeKeyPair GenerateOfficeKeyPair();

class SignatureSigner {
 public:
  // `private_pem` holds an Ed25519 private key. Throws Exception (in
  // English, for the office) saying what it holds instead: no PEM private
  // key, or a key of another kind, whose signatures the 88 characters of a
  // package's signature field could not hold.
  explicit SignatureSigner(std::string_view private_pem);
  ~SignatureSigner();
  SignatureSigner(const SignatureSigner&) = delete;
  SignatureSigner& operator=(const SignatureSigner&) = delete;

  // The signature of a digest text as a package carries it: base64 of the
  // Ed25519 signature over the text's bytes, 88 characters ending in "==".
  std::string SignDigestText(std::string_view digest_text) const;
  // The matching public key as PEM.
  std::string PublicPem() const;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
};

}  // namespace korvel::packages
