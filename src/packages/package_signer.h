// The office's signing of packages and text files, the inverse of
// TFileCheker: korvel-tool sign and pack, and the tests, use it.
#pragma once

#include <string>
#include <string_view>

#include "host/host.h"
#include "packages/office_key.h"

namespace korvel::packages {

enum class SignatureForm { kTrailer, kText };

// The 108-byte trailer for a signature of 88 characters: "<key>" +
// signature + "</key>" and nine zero bytes. Throws Exception for a
// signature of any other length, which the field cannot hold.
std::string MakeTrailer(std::string_view signature);

// `text` with the key attribute written last into the first tag of its
// line 2, signing the text as the checker reads it. An old signature in
// that place is replaced. Throws Exception (in English, for the office)
// when line 2 cannot carry one: no line 2, no tag, a tag that closes
// itself ("/>", "?>"), or the text "key" in front of the signature's place.
std::string SignText(std::string_view text, const SignatureSigner& signer);

// Signs the file at `path` in place: archives and executables ("PK", "MZ")
// get the trailer appended (a file that already ends with one is refused),
// any other file is signed as text. The file changes only when the whole
// signature is ready. Returns the form used.
SignatureForm SignFile(host::Host& host, const SignatureSigner& signer, const std::string& path);

}  // namespace korvel::packages
