// korvel-tool keygen, sign and verify: the office's key pair, signing a
// package, an executable or a text file, and the utility's own check.
#include <string>

#include "host/cp1251.h"
#include "packages/file_checker.h"
#include "packages/office_key.h"
#include "packages/package_signer.h"
#include "packages/signature.h"
#include "tools/tool_command.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;

int Keygen(ToolContext& context) {
  if (context.args.size() != 2) {
    PrintError("keygen: expected PRIVATE.pem PUBLIC.pem (see korvel-tool keygen --help)");
    return 2;
  }
  host::Host& host = context.host;
  for (const std::string& path : context.args) {
    if (host.FileExists(path)) {
      PrintError("keygen: " + path + " exists; a key file is never overwritten");
      return 1;
    }
  }
  const packages::OfficeKeyPair pair = packages::GenerateOfficeKeyPair();
  // The private key is readable by its owner alone.
  host.OpenFile(context.args[0], host::OpenMode::kCreatePrivate, host::ShareMode::kExclusive)->Write(pair.private_pem);
  host.WriteFileText(context.args[1], pair.public_pem);
  PrintLine(host, "Private key (keep it at the office): " + context.args[0]);
  PrintLine(host, "Public key (install as Korvel.pub beside Korvel.exe): " + context.args[1]);
  return 0;
}

int Sign(ToolContext& context) {
  if (context.args.size() != 2) {
    PrintError("sign: expected PRIVATE.pem FILE (see korvel-tool sign --help)");
    return 2;
  }
  host::Host& host = context.host;
  const packages::SignatureEncryptor signer(host.ReadFileText(context.args[0]));
  const std::string& path = context.args[1];
  const packages::SignatureForm form = packages::SignFile(host, signer, path);
  // The signed file must pass the utility's own check with the matching
  // public key; anything else is a fault worth knowing before shipping.
  const packages::RsaSignatureDecryptor decryptor(signer.PublicPem());
  if (!packages::CheckFileSignature(host, decryptor, path)) {
    PrintError("sign: " + path + " was signed but does not pass the check");
    return 1;
  }
  PrintLine(host, path + (form == packages::SignatureForm::kTrailer ? ": signature trailer appended"
                                                                    : ": key attribute written into line 2"));
  return 0;
}

int Verify(ToolContext& context) {
  if (context.args.size() != 2) {
    PrintError("verify: expected PUBLIC.pem FILE (see korvel-tool verify --help)");
    return 2;
  }
  host::Host& host = context.host;
  const packages::RsaSignatureDecryptor decryptor(host.ReadFileText(context.args[0]));
  const std::string& path = context.args[1];
  packages::TFileCheker checker(host, decryptor, path);
  if (checker.Check()) {
    PrintLine(host, path + ": signature valid (digest " + checker.ReferenceDigest + ")");
    return 0;
  }
  std::string line = path + ": " + "Подпись не прошла проверку!"_cp;
  const auto attributes = host.GetAttributes(path);
  if (checker.Header == "PK" && attributes && attributes->read_only) {
    line += " (the file is read-only; the utility opens packages for writing)";
  }
  PrintLine(host, line);
  return 1;
}

const ToolCommandRegistration keygen_registration({
    "keygen",
    "keygen PRIVATE.pem PUBLIC.pem",
    "make the office's key pair for signing packages",
    "Makes a new RSA key pair of 512 bits, the size the package signature\n"
    "trailer holds, and writes it as PEM files: PRIVATE.pem (PKCS#8, not\n"
    "encrypted: keep it at the office, readable only by whoever signs) and\n"
    "PUBLIC.pem. Install PUBLIC.pem as Korvel.pub beside the utility's\n"
    "executable on every server. Existing files are never overwritten.",
    Keygen,
});

const ToolCommandRegistration sign_registration({
    "sign",
    "sign PRIVATE.pem FILE",
    "sign a package, an executable or a text file in place",
    "Signs FILE with the office's private key, the way the utility checks it:\n"
    "  - a ZIP archive (.upd, .upp) or an executable (starting with PK or MZ)\n"
    "    gets a 108-byte trailer with the encrypted MD5 of its content;\n"
    "    a file that already ends with a trailer is refused;\n"
    "  - any other file is taken as text (XML): the attribute key=\"...\" is\n"
    "    written last into the first tag of line 2, replacing an old one.\n"
    "The signed file is checked once more with the matching public key.\n"
    "Exit code 0 when signed, 1 on failure.",
    Sign,
});

const ToolCommandRegistration verify_registration({
    "verify",
    "verify PUBLIC.pem FILE",
    "check a file's signature exactly as the utility does",
    "Runs the utility's signature check on FILE with the public key and\n"
    "prints the result. Like the utility, it opens a ZIP archive for\n"
    "writing, so a read-only package fails.\n"
    "Exit code 0 when the signature is valid, 1 when it is not.",
    Verify,
});

}  // namespace
}  // namespace korvel::tool
