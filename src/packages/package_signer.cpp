#include "packages/package_signer.h"

#include "packages/digest.h"
#include "packages/file_checker.h"
#include "packages/signature.h"

namespace korvel::packages {

namespace {

// Where line 2 starts in `text`: after the first CR LF, LF or lone CR.
std::size_t SecondLineStart(std::string_view text) {
  const std::size_t end = text.find_first_of("\r\n");
  if (end == std::string_view::npos) return text.size();
  return text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? end + 2 : end + 1;
}

bool IsBase64Text(const std::string& text) {
  try {
    return !text.empty() && !Base64Decode(text).empty();
  } catch (const Exception&) {
    return false;
  }
}

// Line 2 without a signature of ours; throws when "key" stands there for
// anything else.
std::string UnsignedLine(const std::string& line) {
  const std::size_t p = line.find("key");
  if (p == std::string::npos) return line;
  const std::optional<std::string> old = TextSignatureOf(line);
  if (p > 0 && old && IsBase64Text(*old) && line.compare(p - 1, old->size() + 8, " key=\"" + *old + "\">") == 0) {
    const std::string stripped = RemoveTextSignature(line);
    if (stripped.find("key") == std::string::npos || stripped.find("key") >= p) return stripped;
  }
  throw Exception("line 2 contains the text \"key\" where the checker would look for the signature");
}

// The position of the ">" that closes the first tag of `line`.
std::size_t FirstTagEnd(const std::string& line) {
  const std::size_t open = line.find('<');
  if (open == std::string::npos) throw Exception("line 2 has no tag to carry the signature");
  char quote = 0;
  for (std::size_t i = open + 1; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      if (line[i - 1] == '/' || line[i - 1] == '?') {
        throw Exception("the first tag of line 2 closes itself; the signature must be followed by \">\"");
      }
      return i;
    }
  }
  throw Exception("the first tag of line 2 does not end on that line");
}

}  // namespace

std::string MakeTrailer(std::string_view signature) {
  if (signature.size() != kSignatureTextLength) {
    throw Exception("a signature of " + std::to_string(signature.size()) + " characters does not fit the " +
                    std::to_string(kSignatureTextLength) + " of the signature trailer");
  }
  std::string trailer = "<key>" + std::string(signature) + "</key>";
  trailer.resize(static_cast<std::size_t>(kTrailerSize), '\0');
  return trailer;
}

std::string SignText(std::string_view text, const SignatureSigner& signer) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.size() < 2) throw Exception("the text has no line 2 to carry the signature");
  const std::string old_line = lines[1];
  const std::string line = UnsignedLine(old_line);
  const std::size_t end = FirstTagEnd(line);
  if (line.find("key") < end) throw Exception("the first tag of line 2 contains the text \"key\"");
  lines[1] = line;
  const std::string signature = signer.SignDigestText(DigestText(JoinLines(lines)));
  const std::string signed_line = line.substr(0, end) + " key=\"" + signature + "\"" + line.substr(end);
  const std::size_t start = SecondLineStart(text);
  return std::string(text.substr(0, start)) + signed_line + std::string(text.substr(start + old_line.size()));
}

SignatureForm SignFile(host::Host& host, const SignatureSigner& signer, const std::string& path) {
  std::string header;
  {
    auto file = host.OpenFile(path, host::OpenMode::kRead, host::ShareMode::kRead);
    header = file->ReadUpTo(2);
  }
  if (header == "MZ" || header == "PK") {
    auto file = host.OpenFile(path, host::OpenMode::kReadWrite, host::ShareMode::kExclusive);
    const std::int64_t size = file->Size();
    if (size >= kTrailerSize) {
      file->Seek(size - kTrailerSize);
      // The check refuses a file signed twice: refused here on the same test.
      if (IsTrailerText(file->ReadUpTo(static_cast<std::size_t>(kTrailerSize)))) {
        throw Exception("the file already ends with a signature trailer");
      }
    }
    const std::string trailer = MakeTrailer(signer.SignDigestText(FileDigestText(*file, size)));
    file->SeekToEnd();
    file->Write(trailer);
    return SignatureForm::kTrailer;
  }
  const std::string text = host.ReadFileText(path);
  const std::string signed_text = SignText(text, signer);
  const std::string temp = path + ".signing";
  {
    auto file = host.OpenFile(temp, host::OpenMode::kCreate, host::ShareMode::kExclusive);
    file->Write(signed_text);
    // On the disk before it replaces the unsigned file.
    file->Flush();
  }
  host.MoveFile(temp, path, false);
  return SignatureForm::kText;
}

}  // namespace korvel::packages
