// The signature check on hostile files: the trailer and text forms, the
// decryptor on any text. Nothing may crash; the file is never changed.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/testing/temp_dir.h"
#include "package_fuzz_support.h"
#include "packages/file_checker.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const std::vector<std::string> lines = packages::SplitLines(bytes);
  if (lines.size() > 1) {
    packages::TextSignatureOf(lines[1]);
    packages::RemoveTextSignature(lines[1]);
  }
  // Any text as a signature, over any digest text: what the verifier
  // takes for a signature it must check without an exception.
  const std::string signature = bytes.substr(0, packages::kSignatureTextLength);
  if (fuzz::FuzzVerifier().CanVerify(signature)) {
    fuzz::FuzzVerifier().VerifyDigestText(signature, bytes.substr(signature.size(), 32));
  }

  const std::string path = fuzz::Scratch() / "package.upd";
  testing::WriteFile(path, bytes);
  packages::CheckFileSignature(testing::SystemHost(), fuzz::FuzzVerifier(), path);
  if (testing::ReadFile(path) != bytes) std::abort();  // the check changed the file
  return 0;
}
