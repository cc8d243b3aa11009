// SHA-256 digests (FIPS 180-4) and the digest text the signatures carry:
// the 32 digest bytes as 64 upper-case hexadecimal digits, two per byte, in
// byte order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/host.h"

namespace korvel::packages {

inline constexpr std::size_t kDigestTextLength = 64;

// A SHA-256 computation fed piece by piece. Throws Exception only when the
// crypto library cannot provide SHA-256 at all.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::string_view data);
  // The digest text of everything fed so far; the object is spent afterwards.
  std::string FinishText();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// A SHA-256 computation on a thread of its own, so that hashing a block
// overlaps with reading the next and writing this one elsewhere. Update
// waits for the block before to be hashed; the caller keeps a block's
// bytes unchanged until the next Update or FinishText returns.
class BackgroundSha256 {
 public:
  BackgroundSha256();
  ~BackgroundSha256();
  BackgroundSha256(const BackgroundSha256&) = delete;
  BackgroundSha256& operator=(const BackgroundSha256&) = delete;

  void Update(std::string_view block);
  std::string FinishText();

 private:
  struct Worker;
  std::unique_ptr<Worker> worker_;
};

// The digest text of a byte string.
std::string DigestText(std::string_view data);

// The digest text of the first `length` bytes of an open file, read from
// its start in blocks: the file is never held in memory. Throws
// EInOutError when the file is shorter than `length`, the host's error when
// a read fails.
std::string FileDigestText(host::File& file, std::int64_t length);

}  // namespace korvel::packages
