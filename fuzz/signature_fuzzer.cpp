// The signature check on hostile files: the trailer and text forms, the
// verifier on any text, the public key test on any 32 bytes. Nothing may
// crash; the file is never changed, and a file that passes has its every
// byte in the copy the check writes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/testing/temp_dir.h"
#include "package_fuzz_support.h"
#include "packages/digest.h"
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
    fuzz::FuzzVerifier().VerifyDigestText(signature, bytes.substr(signature.size(), packages::kDigestTextLength));
  }
  if (bytes.size() >= 32) {
    unsigned char key[32];
    std::memcpy(key, bytes.data(), sizeof key);
    packages::PublicKeyFault(key);
  }

  const std::string path = fuzz::Scratch() / "package.upd";
  testing::WriteFile(path, bytes);
  host::Host& host = testing::SystemHost();
  const std::string copy_path = fuzz::Scratch() / "package.copy";
  bool valid = false;
  {
    packages::TFileCheker checker(host, fuzz::FuzzVerifier(), path);
    if (host.FileExists(copy_path)) host.DeleteFile(copy_path);
    auto copy = host.OpenFile(copy_path, host::OpenMode::kCreatePrivate, host::ShareMode::kExclusive);
    valid = checker.Check(copy.get());
  }
  if (testing::ReadFile(path) != bytes) std::abort();  // the check changed the file
  if (valid && testing::ReadFile(copy_path) != bytes) std::abort();  // what passed is not what was copied
  return 0;
}
