// The signature verifier: says whether the signature a package carries is
// the central office's over a digest text.
//
// The office signs with an Ed25519 key (RFC 8032, pure Ed25519): the
// signed message is the 64-character digest text itself (SHA-256, see
// digest.h), the signature's 64 bytes are written in standard base64 (88
// characters ending in "==").
// The utility verifies with the office's public key, kept as a PEM file
// "Korvel.pub" (SubjectPublicKeyInfo, as `openssl pkey -pubout` writes it)
// beside the executable.
//
// The checker once asked a decryptor to turn the signature back into the
// digest it carried and compared that with the digest it computed; an
// Ed25519 signature carries no digest, so the checker hands the computed
// digest to the verifier and asks whether the signature is the office's
// over it. Everything else about the check stays as it was.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "host/host.h"

namespace korvel::packages {

// The file name of the office's public key, beside the executable.
inline constexpr const char* kOfficeKeyFileName = "Korvel.pub";
// An Ed25519 signature: 64 bytes, 88 characters of base64.
inline constexpr std::size_t kSignatureBytes = 64;
inline constexpr std::size_t kSignatureTextLength = 88;

class SignatureVerifier {
 public:
  virtual ~SignatureVerifier() = default;
  // Whether `signature` has the form of a signature this verifier can
  // check at all, so that a check may refuse a file before it reads the
  // content. Never throws.
  virtual bool CanVerify(const std::string& signature) const = 0;
  // True exactly when `signature` is the office's over `digest_text`.
  // Throws Exception when it cannot be checked (no key, not a signature).
  virtual bool VerifyDigestText(const std::string& signature, std::string_view digest_text) const = 0;
};

// Verifies signatures with an Ed25519 public key.
class Ed25519SignatureVerifier : public SignatureVerifier {
 public:
  // `pem` is a "PUBLIC KEY" PEM block holding an Ed25519 key. Throws
  // Exception, saying what the text is instead, when it is not one or when
  // the key is one PublicKeyFault refuses.
  explicit Ed25519SignatureVerifier(std::string_view pem);
  ~Ed25519SignatureVerifier() override;

  // `signature` must be strict base64 of exactly 64 bytes.
  bool CanVerify(const std::string& signature) const override;
  bool VerifyDigestText(const std::string& signature, std::string_view digest_text) const override;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
};

// Stands in for a key that could not be loaded: it verifies nothing and
// every call fails with the reason, so that every signature check fails.
class UnavailableVerifier : public SignatureVerifier {
 public:
  explicit UnavailableVerifier(std::string reason) : reason_(std::move(reason)) {}
  bool CanVerify(const std::string&) const override { return false; }
  bool VerifyDigestText(const std::string&, std::string_view) const override { throw Exception(reason_); }
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// Loads the office's public key from `path`. Never throws: when the file is
// missing, unreadable, not a PEM public key or a key of another kind (an
// RSA key, say), the result is an UnavailableVerifier and `error` (when
// given) receives the reason, naming the file.
std::unique_ptr<SignatureVerifier> LoadOfficePublicKey(host::Host& host, const std::string& path,
                                                       std::string* error = nullptr);

// Why a raw Ed25519 public key (RFC 8032 encoding) must not be used, or
// empty: a y coordinate not below 2^255 - 19 (a second spelling of another
// point) or a point of small order, with which signatures prove nothing.
std::string PublicKeyFault(const unsigned char (&key)[32]);

// Strict base64 (RFC 4648, with padding, no line breaks or blanks).
std::string Base64Encode(std::string_view bytes);
// Throws Exception on anything that is not strict base64.
std::string Base64Decode(std::string_view text);

}  // namespace korvel::packages
