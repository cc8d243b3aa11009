// The signature check of packages. A signed file carries the office's
// signature (signature.h) over the MD5 digest text of its own content, in
// one of two forms:
//
// - a 108-byte trailer at the end of a ZIP archive ("PK") or a Windows
//   executable ("MZ"): "<key>" + the signature (88 characters) +
//   "</key>" in the first 99 bytes, 9 bytes not read; the digest covers
//   everything in front of the trailer;
// - in any other (text) file, an attribute key="..." written last in the
//   first tag of line 2, so that its closing quote is followed by ">"; the
//   digest covers the text without that attribute, each line ended by
//   CR LF, either as Windows-1251 bytes or as the first N bytes of its
//   UTF-16LE form, N being the number of characters.
//
// The checker never holds an archive or executable in memory: it hashes
// them from disk in blocks, straight from the file (no temporary copy).
// Only text files are split into lines, and only up to kMaxTextFileSize.
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
  // Opens the file for reading (others may read, not write), reads the
  // header and, for a text file, its lines. Throws the host's error, with
  // "Невозможно открыть файл \"<path>\". " in front, when the file cannot be
  // opened or read.
  TFileCheker(host::Host& host, const SignatureVerifier& verifier, std::string file_name);
  ~TFileCheker();

  // True exactly when the stored signature is the office's over the
  // content's digest text (for a text file, over either of its two digest
  // texts). Never throws: any failure is false. A "PK" file is opened for
  // reading and writing, unshared, so a read-only or locked archive fails.
  bool Check();

  // After Check of a trailer-signed file: the file as it was checked, still
  // open (unshared for "PK"), so that the caller can unpack exactly the
  // checked bytes. Null for text files or when Check failed to open it.
  std::unique_ptr<host::File> TakeCheckedFile();

  std::string FileName;
  std::vector<std::string> Lines;  // text files only
  std::string SignatureText;
  std::string ContentDigest;
  // The digest text the stored signature was found to sign; empty when it
  // signs none of those computed.
  std::string ReferenceDigest;
  std::string Header;

 private:
  bool CheckTrailer();
  bool CheckText();
  // Whether SignatureText is the office's over `digest_text`; false when
  // the verifier cannot tell.
  bool Verified(const std::string& digest_text) const;

  host::Host& host_;
  const SignatureVerifier& verifier_;
  bool text_too_large_ = false;
  std::unique_ptr<host::File> checked_file_;
};

// Creates a checker for `path`, runs Check and returns its result. Throws
// only when the file cannot be opened (see the constructor).
bool CheckFileSignature(host::Host& host, const SignatureVerifier& verifier, const std::string& path);

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
