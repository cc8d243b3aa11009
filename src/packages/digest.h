// MD5 digests (RFC 1321) and the digest text the signatures carry: the 16
// digest bytes as 32 upper-case hexadecimal digits, two per byte, in byte
// order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/host.h"

namespace korvel::packages {

inline constexpr std::size_t kDigestTextLength = 32;

// An MD5 computation fed piece by piece. Throws Exception only when the
// crypto library cannot provide MD5 at all.
class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void Update(std::string_view data);
  // The digest text of everything fed so far; the object is spent afterwards.
  std::string FinishText();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The digest text of a byte string.
std::string DigestText(std::string_view data);

// The digest text of the first `length` bytes of an open file, read from
// its start in blocks: the file is never held in memory. Throws
// EInOutError when the file is shorter than `length`, the host's error when
// a read fails.
std::string FileDigestText(host::File& file, std::int64_t length);

}  // namespace korvel::packages
