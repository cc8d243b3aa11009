// The signature decryptor: turns the encrypted signature a package carries
// into the text the central office signed, the digest text followed by one
// more character, which the checker drops before it compares.
//
// The office signs with an RSA private key of 512 bits: the private-key
// operation with PKCS#1 v1.5 type-1 padding over the 32-digit digest text
// and kSignatureExtraChar, written in base64 (64 bytes, 88 characters
// ending in "=="). The utility recovers the text with the office's public
// key, kept as a PEM file "Korvel.pub" beside the executable.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "host/host.h"

namespace korvel::packages {

// What the office appends to the digest text before it signs.
inline constexpr char kSignatureExtraChar = '\0';
// The file name of the office's public key, beside the executable.
inline constexpr const char* kOfficeKeyFileName = "Korvel.pub";

class SignatureDecryptor {
 public:
  virtual ~SignatureDecryptor() = default;
  // The signed text behind `encrypted`. Throws Exception when the text is
  // not a signature this decryptor can recover.
  virtual std::string DecryptSignatureText(const std::string& encrypted) const = 0;
};

// Recovers signatures with an RSA public key.
class RsaSignatureDecryptor : public SignatureDecryptor {
 public:
  // `pem` is a "PUBLIC KEY" PEM block holding an RSA key. Throws Exception
  // when it is not one.
  explicit RsaSignatureDecryptor(std::string_view pem);
  ~RsaSignatureDecryptor() override;

  // `encrypted` must be strict base64 of exactly the key's size in bytes
  // (88 characters for 512 bits) whose PKCS#1 type-1 padding checks out.
  std::string DecryptSignatureText(const std::string& encrypted) const override;

 private:
  struct Key;
  std::unique_ptr<Key> key_;
};

// Stands in for a key that could not be loaded: every call fails with the
// reason, so that every signature check fails.
class UnavailableDecryptor : public SignatureDecryptor {
 public:
  explicit UnavailableDecryptor(std::string reason) : reason_(std::move(reason)) {}
  std::string DecryptSignatureText(const std::string&) const override { throw Exception(reason_); }
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// Loads the office's public key from `path`. Never throws: when the file is
// missing, unreadable or not an RSA public key, the result is an
// UnavailableDecryptor and `error` (when given) receives the reason.
std::unique_ptr<SignatureDecryptor> LoadOfficePublicKey(host::Host& host, const std::string& path,
                                                        std::string* error = nullptr);

// Strict base64 (RFC 4648, with padding, no line breaks or blanks).
std::string Base64Encode(std::string_view bytes);
// Throws Exception on anything that is not strict base64.
std::string Base64Decode(std::string_view text);

}  // namespace korvel::packages
