#include "packages/file_checker.h"

#include <algorithm>

#include "host/cp1251.h"
#include "host/text.h"
#include "packages/digest.h"
#include "packages/shown_name.h"

namespace korvel::packages {

using namespace korvel::literals;

namespace {

bool IsTrailerHeader(const std::string& header) { return header == "MZ" || header == "PK"; }

// Blocks large enough to keep the pass at the speed of the disk, small
// enough that a block is still in the processor's cache when it is hashed
// and written to the copy.
constexpr std::size_t kCheckBlock = 1 << 18;

// Reads exactly `size` bytes or throws.
std::string ReadExactly(host::File& file, std::size_t size) {
  std::string data = file.ReadUpTo(size);
  if (data.size() < size) throw EInOutError("Read beyond end of file");
  return data;
}

// The quote-and-">" that ends the key attribute's value.
constexpr std::string_view kValueTerminator = "\">";

// The piece of `line` that starts at `start` and runs through the first
// value terminator after it; just the character at `start` when there is
// no terminator (the host's Copy with a count of 1).
std::string PieceThroughTerminator(const std::string& line, std::size_t start) {
  const std::size_t q = line.find(kValueTerminator, start);
  if (q == std::string::npos) return line.substr(start, 1);
  return line.substr(start, q - start + kValueTerminator.size());
}

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::optional<std::string> TextSignatureOf(const std::string& line) {
  const std::size_t p = line.find("key");
  if (p == std::string::npos) return std::nullopt;
  std::string piece = PieceThroughTerminator(line, p);
  ReplaceFirst(piece, "key=\"", "");
  ReplaceFirst(piece, kValueTerminator, "");
  return piece;
}

std::string RemoveTextSignature(const std::string& line) {
  const std::size_t p = line.find("key");
  if (p == std::string::npos) return line;
  // The attribute goes with the character in front of it, normally the
  // space that separates it from the one before.
  const std::size_t start = p == 0 ? 0 : p - 1;
  std::string result = line;
  ReplaceFirst(result, PieceThroughTerminator(line, start), ">");
  return result;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const std::string& line : lines) size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string Utf16PrefixDigestText(std::string_view text) {
  // N characters are 2N bytes in UTF-16LE; the digest covers the first N.
  const std::size_t n = text.size();
  std::string utf16;
  utf16.reserve(n + 1);
  for (std::size_t i = 0; utf16.size() < n; ++i) {
    const char16_t unit = cp1251::CodePointOf(static_cast<unsigned char>(text[i]));
    utf16 += static_cast<char>(unit & 0xFF);
    utf16 += static_cast<char>(unit >> 8);
  }
  utf16.resize(n);
  return DigestText(utf16);
}

TFileCheker::TFileCheker(host::Host& host, const SignatureVerifier& verifier, std::string file_name)
    : FileName(std::move(file_name)), host_(host), verifier_(verifier) {
  try {
    file_ = host_.OpenFile(FileName, host::OpenMode::kRead, host::ShareMode::kRead);
    Header = file_->ReadUpTo(2);
    if (Header == "PK") {
      // An archive is held for writing, unshared, so that a read-only or
      // locked one fails the check; the header is the held handle's.
      file_.reset();
      try {
        file_ = host_.OpenFile(FileName, host::OpenMode::kReadWrite, host::ShareMode::kExclusive);
        Header = file_->ReadUpTo(2);
      } catch (const Exception&) {
        file_.reset();
        return;
      }
    }
    size_ = file_->Size();
  } catch (Exception& e) {
    e.SetMessage("Невозможно открыть файл \""_cp + ShownName(FileName) + "\". " + e.Message());
    throw;
  }
}

TFileCheker::~TFileCheker() = default;

bool TFileCheker::Verified(const std::string& digest_text) const {
  try {
    return verifier_.VerifyDigestText(SignatureText, digest_text);
  } catch (const Exception&) {
    // A signature the verifier cannot check is no signature.
    return false;
  }
}

bool TFileCheker::Check(host::File* copy) {
  // The file is read once: it is closed after the check whatever the result.
  const std::unique_ptr<host::File> held = std::move(file_);
  try {
    if (!held) return false;
    return IsTrailerHeader(Header) ? CheckTrailer(*held, copy) : CheckText(*held, copy);
  } catch (const std::exception&) {
    // The check answers yes or no: whatever fails is a no.
    return false;
  }
}

bool TFileCheker::CheckTrailer(host::File& file, host::File* copy) {
  const std::int64_t size = size_;
  if (size < kTrailerSize) return false;
  file.Seek(size - kTrailerSize);
  const std::string trailer = ReadExactly(file, static_cast<std::size_t>(kTrailerSize));
  SignatureText = trailer.substr(0, kTrailerKeyField);
  ReplaceFirst(SignatureText, "<key>", "");
  ReplaceFirst(SignatureText, "</key>", "");
  // Without "==" the field holds no signature; the verifier is not asked.
  if (SignatureText.find("==") == std::string::npos) return false;
  // Nor need the content be read for a field that cannot be a signature
  // (truncated, over-long) or when there is no key to check it with.
  if (!verifier_.CanVerify(SignatureText)) return false;

  // One pass over the content: hashed, copied, and its last 108 bytes kept
  // to see whether they are a trailer too.
  const std::int64_t content = size - kTrailerSize;
  const std::int64_t tail_start = content > kTrailerSize ? content - kTrailerSize : 0;
  std::string tail;
  // Two blocks in turn: one is hashed on the hasher's thread while the
  // next is read into the other.
  std::vector<char> buffers[2] = {std::vector<char>(kCheckBlock), std::vector<char>(kCheckBlock)};
  int current = 0;
  // Declared after the blocks, so that its thread has stopped before they
  // are freed, whatever ends the pass.
  BackgroundSha256 sha256;
  file.Seek(0);
  for (std::int64_t position = 0; position < content;) {
    const std::int64_t left = content - position;
    const std::size_t want = left < static_cast<std::int64_t>(kCheckBlock) ? static_cast<std::size_t>(left) : kCheckBlock;
    std::vector<char>& buffer = buffers[current];
    const std::size_t got = file.Read(buffer.data(), want);
    if (got == 0) throw EInOutError("Read beyond end of file");
    const std::string_view block(buffer.data(), got);
    sha256.Update(block);
    if (copy != nullptr) {
      copy->Write(block);
      // Read once: the memory that cached the block serves the copy, and
      // a package of hundreds of megabytes does not push the database's
      // pages out of the cache.
      file.DropCache(position, static_cast<std::int64_t>(got));
    }
    const std::int64_t end = position + static_cast<std::int64_t>(got);
    if (end > tail_start) tail += block.substr(static_cast<std::size_t>(std::max(tail_start - position, std::int64_t{0})));
    position = end;
    current ^= 1;
  }
  if (copy != nullptr) copy->Write(trailer);
  ContentDigest = sha256.FinishText();
  // A file signed twice: the outer signature covers a trailer that is no
  // part of the archive or program; refused rather than guessed at.
  if (tail.size() == static_cast<std::size_t>(kTrailerSize) && IsTrailerText(tail)) return false;
  // Where the signature once was decrypted and compared with the digest,
  // the verifier now says whether it is the office's over the digest.
  if (!Verified(ContentDigest)) return false;
  ReferenceDigest = ContentDigest;
  return true;
}

bool TFileCheker::CheckText(host::File& file, host::File* copy) {
  if (size_ > kMaxTextFileSize) return false;
  file.Seek(0);
  const std::string data = ReadExactly(file, static_cast<std::size_t>(size_));
  if (copy != nullptr) copy->Write(data);
  Lines = SplitLines(data);
  if (Lines.size() < 2) return false;
  const std::optional<std::string> signature = TextSignatureOf(Lines[1]);
  if (!signature) return false;
  SignatureText = *signature;
  if (!verifier_.CanVerify(SignatureText)) return false;
  Lines[1] = RemoveTextSignature(Lines[1]);
  const std::string text = JoinLines(Lines);
  ContentDigest = DigestText(text);
  // The signature is verified over each digest text in turn (see
  // CheckTrailer): the Windows-1251 bytes, then the UTF-16LE prefix.
  for (const std::string& digest : {ContentDigest, Utf16PrefixDigestText(text)}) {
    if (Verified(digest)) {
      ReferenceDigest = digest;
      return true;
    }
  }
  return false;
}

bool IsTrailerText(std::string_view trailer) {
  constexpr std::size_t kClose = 5 + kSignatureTextLength;
  return trailer.size() >= kClose + 6 && trailer.substr(0, 5) == "<key>" && trailer.substr(kClose, 6) == "</key>";
}

bool CheckFileSignature(host::Host& host, const SignatureVerifier& verifier, const std::string& path) {
  TFileCheker checker(host, verifier, path);
  return checker.Check();
}

}  // namespace korvel::packages
