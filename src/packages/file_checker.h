// The signature check of packages. A signed file carries the office's
// signature (signature.h) over the SHA-256 digest text (digest.h) of its
// own content, in one of two forms:
//
// - a 108-byte trailer at the end of a ZIP archive ("PK") or a Windows
//   executable ("MZ"): "<key>" + the signature (88 characters) +
//   "</key>" in the first 99 bytes, 9 bytes not read; the digest covers
//   everything in front of the trailer, which must not itself end with a
//   trailer (a file signed twice is refused);
// - in any other (text) file, an attribute key="..." written last in the
//   first tag of line 2, so that its closing quote is followed by ">"; the
//   digest covers the text without that attribute, each line ended by
//   CR LF, either as Windows-1251 bytes or as the first N bytes of its
//   UTF-16LE form, N being the number of characters.
//
// The file is opened once and every byte the check looks at is read once,
// through that one handle. The check can write those very bytes into a
// copy as it goes, so that a caller can go on with exactly what was checked
// without ever opening the file again. An archive or executable is hashed
// in blocks, never held in memory; only text files are read whole and
// split into lines, and only up to kMaxTextFileSize.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"
#include "packages/signature.h"

namespace korvel::packages {

inline constexpr std::int64_t kTrailerSize = 108;
inline constexpr std::size_t kTrailerKeyField = 99;
// A text file larger than this fails the check unread.
inline constexpr std::int64_t kMaxTextFileSize = 16 << 20;

// One instance checks one file and is discarded.
class TFileCheker {
 public:
  // Opens the file for reading (others may read, not write) and reads its
  // header. Throws the host's error, with "Невозможно открыть файл
  // \"<path>\". " in front (the path shown by ShownName), when the file
  // cannot be opened or read. A "PK" file is then held open for reading and
  // writing, unshared, instead; when that fails (a read-only or locked
  // archive) the check fails.
  TFileCheker(host::Host& host, const SignatureVerifier& verifier, std::string file_name);
  ~TFileCheker();

  // The size of the file as opened, or -1 when Check is bound to fail
  // unread (see the constructor).
  std::int64_t Size() const { return size_; }

  // True exactly when the stored signature is the office's over the
  // content's digest text (for a text file, over either of its two digest
  // texts). Never throws: any failure is false. With `copy` (an empty file
  // open for writing), every byte of the file is read once and also
  // written there, in order, so that after a true result the copy holds
  // exactly the bytes that were checked; after a false one it may hold
  // anything. The file is closed afterwards: one call per checker.
  bool Check(host::File* copy = nullptr);

  std::string FileName;
  std::vector<std::string> Lines;  // text files only
  std::string SignatureText;
  std::string ContentDigest;
  // The digest text the stored signature was found to sign; empty when it
  // signs none of those computed.
  std::string ReferenceDigest;
  std::string Header;

 private:
  bool CheckTrailer(host::File& file, host::File* copy);
  bool CheckText(host::File& file, host::File* copy);
  // Whether SignatureText is the office's over `digest_text`; false when
  // the verifier cannot tell.
  bool Verified(const std::string& digest_text) const;

  host::Host& host_;
  const SignatureVerifier& verifier_;
  std::unique_ptr<host::File> file_;
  std::int64_t size_ = -1;
};

// Creates a checker for `path`, runs Check (without a copy) and returns its
// result. Throws only when the file cannot be opened (see the constructor).
bool CheckFileSignature(host::Host& host, const SignatureVerifier& verifier, const std::string& path);

// Whether `trailer` (108 bytes) has the form of a signature trailer:
// "<key>", 88 characters, "</key>".
bool IsTrailerText(std::string_view trailer);

// ---- The text form, shared with the office's signing tool ----

// Lines as the host's string list splits them: CR LF, LF or a lone CR end
// a line; a line break at the very end adds no empty line.
std::vector<std::string> SplitLines(std::string_view text);

// The signature in a text file's line 2: from the first "key"
// through the first quote-and-">" after it, without key=" and the
// terminator. Nothing when the line has no "key".
std::optional<std::string> TextSignatureOf(const std::string& line);

// Line 2 with the key attribute (and the character in front of it)
// replaced by the ">" that closes the tag.
std::string RemoveTextSignature(const std::string& line);

// The text a signature covers: each line followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);

// Digest text of the first N bytes of the UTF-16LE form of a Windows-1251
// text of N characters.
std::string Utf16PrefixDigestText(std::string_view text);

}  // namespace korvel::packages
