#include "packages/signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>

#include "host/cp1251.h"
#include "host/text.h"

namespace korvel::packages {

using namespace korvel::literals;

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The y coordinates (little-endian, sign bit clear) of the eight points of
// small order: with such a key a forged signature of R = a small-order
// point, S = 0 "verifies" any message.
constexpr unsigned char kSmallOrderY[][32] = {
    {0x00},
    {0x01},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
};

}  // namespace

std::string PublicKeyFault(const unsigned char (&key)[32]) {
  unsigned char y[32];
  std::memcpy(y, key, sizeof y);
  y[31] &= 0x7f;
  // y must be below p = 2^255 - 19: ed ff .. ff 7f in little-endian order.
  bool all_ff = true;
  for (int i = 1; i < 31; ++i) all_ff = all_ff && y[i] == 0xff;
  if (all_ff && y[31] == 0x7f && y[0] >= 0xed) return "неканоническая запись точки"_cp;
  for (const auto& small : kSmallOrderY) {
    if (std::memcmp(y, small, sizeof y) == 0) return "точка малого порядка"_cp;
  }
  return {};
}

std::string Base64Encode(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= n ? kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

std::string Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) throw Exception("base64: length is not a multiple of 4");
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t group = 0;
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      int value;
      if (c == '=' && last && k >= 2) {
        ++padding;
        value = 0;
      } else {
        value = Base64Value(c);
        // A data character after padding, or anything outside the alphabet.
        if (value < 0 || padding > 0) throw Exception("base64: invalid character");
      }
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    // The bits below the last whole byte must be zero (canonical form).
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      throw Exception("base64: non-canonical padding");
    }
    bytes += static_cast<char>(group >> 16);
    if (padding < 2) bytes += static_cast<char>((group >> 8) & 0xFF);
    if (padding < 1) bytes += static_cast<char>(group & 0xFF);
  }
  return bytes;
}

struct Ed25519SignatureVerifier::Key {
  EVP_PKEY* pkey = nullptr;
  ~Key() { EVP_PKEY_free(pkey); }
};

Ed25519SignatureVerifier::Ed25519SignatureVerifier(std::string_view pem) : key_(std::make_unique<Key>()) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) throw Exception("Out of memory reading the public key");
  key_->pkey = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  // What went wrong is said below; the library's queue must not linger
  // into later calls.
  ERR_clear_error();
  if (key_->pkey == nullptr) throw Exception("Файл не содержит открытого ключа в формате PEM"_cp);
  if (EVP_PKEY_get_base_id(key_->pkey) != EVP_PKEY_ED25519) {
    const char* kind = EVP_PKEY_get0_type_name(key_->pkey);
    throw Exception("Открытый ключ не является ключом Ed25519 (ключ "_cp + (kind != nullptr ? kind : "?") + ", " +
                    IntToStr(EVP_PKEY_get_bits(key_->pkey)) + " бит)"_cp);
  }
  unsigned char raw[32];
  std::size_t raw_size = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key_->pkey, raw, &raw_size) != 1 || raw_size != sizeof raw) {
    ERR_clear_error();
    throw Exception("Открытый ключ Ed25519 не читается"_cp);
  }
  const std::string fault = PublicKeyFault(raw);
  if (!fault.empty()) throw Exception("Открытый ключ Ed25519 недопустим: "_cp + fault);
}

Ed25519SignatureVerifier::~Ed25519SignatureVerifier() = default;

bool Ed25519SignatureVerifier::CanVerify(const std::string& signature) const {
  try {
    return signature.size() == kSignatureTextLength && Base64Decode(signature).size() == kSignatureBytes;
  } catch (const Exception&) {
    return false;
  }
}

bool Ed25519SignatureVerifier::VerifyDigestText(const std::string& signature, std::string_view digest_text) const {
  if (!CanVerify(signature)) throw Exception("Подпись не является подписью Ed25519"_cp);
  const std::string bytes = Base64Decode(signature);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) throw Exception("Out of memory verifying a signature");
  // Pure Ed25519 hashes the message itself: no digest is named here.
  const bool valid =
      EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key_->pkey) == 1 &&
      EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       reinterpret_cast<const unsigned char*>(digest_text.data()), digest_text.size()) == 1;
  EVP_MD_CTX_free(ctx);
  ERR_clear_error();
  return valid;
}

std::unique_ptr<SignatureVerifier> LoadOfficePublicKey(host::Host& host, const std::string& path,
                                                       std::string* error) {
  std::string reason;
  try {
    if (!host.FileExists(path)) {
      reason = "Файл открытого ключа "_cp + path + " не найден"_cp;
    } else {
      return std::make_unique<Ed25519SignatureVerifier>(host.ReadFileText(path));
    }
  } catch (const Exception& e) {
    reason = "Ошибка чтения открытого ключа "_cp + path + ": " + e.Message();
  }
  if (error != nullptr) *error = reason;
  return std::make_unique<UnavailableVerifier>(reason);
}

}  // namespace korvel::packages
