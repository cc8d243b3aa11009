// korvel-tool keygen, sign and verify: the office's key pair, signing a
// package, an executable or a text file, and the utility's own check.
#include <string>

#include "host/cp1251.h"
#include "packages/file_checker.h"
#include "packages/office_key.h"
#include "packages/package_signer.h"
#include "packages/signature.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;

packages::SignatureSigner ReadSigner(host::Host& host, const std::string& path) {
  return AboutFile(path, [&] { return packages::SignatureSigner(host.ReadFileText(path)); });
}

packages::Ed25519SignatureVerifier ReadVerifier(host::Host& host, const std::string& path) {
  return AboutFile(path, [&] { return packages::Ed25519SignatureVerifier(host.ReadFileText(path)); });
}

// Removes what a failed keygen made; the failure that brought us here is
// the one to report.
void RemoveQuietly(host::Host& host, const std::string& path) {
  try {
    if (host.FileExists(path)) host.DeleteFile(path);
  } catch (const Exception&) {
  }
}

int Keygen(ToolContext& context) {
  const std::vector<std::string> args = ToolOptions().Parse(context.args, 2, "PRIVATE.pem PUBLIC.pem");
  host::Host& host = context.host;
  const std::string& private_path = args[0];
  const std::string& public_path = args[1];
  if (SameFilePath(host, private_path, public_path)) {
    throw UsageError("PRIVATE.pem and PUBLIC.pem name the same file " + private_path);
  }
  for (const std::string& path : args) {
    if (host.GetAttributes(path)) {
      PrintError("keygen: " + path + " exists; a key file is never overwritten");
      return 1;
    }
  }
  const packages::OfficeKeyPair pair = packages::GenerateOfficeKeyPair();
  // Both keys are written in full under temporary names before either
  // takes its own, and a failure removes whatever was made: a private key
  // never stays without its public key.
  const std::string private_temp = private_path + ".part";
  const std::string public_temp = public_path + ".part";
  bool private_placed = false;
  try {
    // A failure names the user's file, not the temporary one.
    AboutFile(private_path, [&] {
      // The private key is readable by its owner alone.
      auto file = host.OpenFile(private_temp, host::OpenMode::kCreatePrivate, host::ShareMode::kExclusive);
      file->Write(pair.private_pem);
      file->Flush();
    });
    AboutFile(public_path, [&] {
      auto file = host.OpenFile(public_temp, host::OpenMode::kCreate, host::ShareMode::kExclusive);
      file->Write(pair.public_pem);
      file->Flush();
    });
    AboutFile(private_path, [&] { host.MoveFile(private_temp, private_path, false); });
    private_placed = true;
    AboutFile(public_path, [&] { host.MoveFile(public_temp, public_path, false); });
  } catch (const Exception&) {
    if (private_placed) RemoveQuietly(host, private_path);
    RemoveQuietly(host, private_temp);
    RemoveQuietly(host, public_temp);
    throw;
  }
  PrintLine(host, "Private key (Ed25519; keep it at the office): " + private_path);
  PrintLine(host, "Public key (install as Korvel.pub beside Korvel.exe): " + public_path);
  return 0;
}

int Sign(ToolContext& context) {
  const std::vector<std::string> args = ToolOptions().Parse(context.args, 2, "PRIVATE.pem FILE");
  host::Host& host = context.host;
  // A key whose signatures the format cannot hold is refused here, before
  // the file is touched.
  const packages::SignatureSigner signer = ReadSigner(host, args[0]);
  const std::string& path = args[1];
  const packages::SignatureForm form = AboutFile(path, [&] { return packages::SignFile(host, signer, path); });
  // The signed file must pass the utility's own check with the matching
  // public key; anything else is a fault worth knowing before shipping.
  const packages::Ed25519SignatureVerifier verifier(signer.PublicPem());
  if (!packages::CheckFileSignature(host, verifier, path)) {
    PrintError("sign: " + path + " was signed but does not pass the check");
    return 1;
  }
  PrintLine(host, path + (form == packages::SignatureForm::kTrailer ? ": signature trailer appended"
                                                                    : ": key attribute written into line 2"));
  return 0;
}

// Why the check said no, read from what the checker found.
std::string FailureReason(host::Host& host, const packages::TFileCheker& checker,
                          const packages::SignatureVerifier& verifier) {
  const bool trailer = checker.Header == "PK" || checker.Header == "MZ";
  const auto attributes = host.GetAttributes(checker.FileName);
  if (checker.Header == "PK" && attributes && attributes->read_only) {
    return "the file is read-only; the utility opens packages for writing";
  }
  // The checker reads a trailer field only when it holds "==".
  const bool field = trailer ? checker.SignatureText.find("==") != std::string::npos : !checker.SignatureText.empty();
  if (!field) {
    return trailer ? "no signature field: no <key>...</key> trailer at its end"
                   : "no signature field: no key=\"...\" attribute in the first tag of line 2";
  }
  if (!verifier.CanVerify(checker.SignatureText)) {
    return "the signature field cannot be a signature (it is no base64 text of 64 bytes)";
  }
  return "the signature does not verify with this key over this content (another key made it, or the content "
         "changed after signing)";
}

int Verify(ToolContext& context) {
  const std::vector<std::string> args = ToolOptions().Parse(context.args, 2, "PUBLIC.pem FILE");
  host::Host& host = context.host;
  const packages::Ed25519SignatureVerifier verifier = ReadVerifier(host, args[0]);
  const std::string& path = args[1];
  // The checker's own error names the file.
  packages::TFileCheker checker(host, verifier, path);
  if (checker.Check()) {
    PrintLine(host, path + ": signature valid (digest " + checker.ReferenceDigest + ")");
    return 0;
  }
  // The utility's verdict stays as it is; why, on standard error.
  PrintLine(host, path + ": " + "Подпись не прошла проверку!"_cp);
  PrintError("verify: " + path + ": " + FailureReason(host, checker, verifier));
  return 1;
}

const ToolCommandRegistration keygen_registration({
    "keygen",
    "keygen PRIVATE.pem PUBLIC.pem",
    "make the office's key pair for signing packages",
    "Makes a new Ed25519 key pair and writes it as PEM files: PRIVATE.pem\n"
    "(PKCS#8, not encrypted: keep it at the office, readable only by\n"
    "whoever signs) and PUBLIC.pem (SubjectPublicKeyInfo, as openssl pkey\n"
    "-pubout writes it). Install PUBLIC.pem as Korvel.pub beside the\n"
    "utility's executable on every server. Existing files are never\n"
    "overwritten; either both files are written or neither is.",
    Keygen,
});

const ToolCommandRegistration sign_registration({
    "sign",
    "sign PRIVATE.pem FILE",
    "sign a package, an executable or a text file in place",
    "Signs FILE with the office's Ed25519 private key, the way the utility\n"
    "checks it (a key of any other kind is refused before FILE is touched):\n"
    "  - a ZIP archive (.upd, .upp) or an executable (starting with PK or MZ)\n"
    "    gets a 108-byte trailer with the signature over the SHA-256 digest\n"
    "    text of its content;\n"
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
    "prints the result; a failure gives the reason on standard error: no\n"
    "signature field, a field that cannot be a signature, or a signature\n"
    "that does not verify with this key over this content. Like the\n"
    "utility, it opens a ZIP archive for writing, so a read-only package\n"
    "fails.\n"
    "Exit code 0 when the signature is valid, 1 when it is not.",
    Verify,
});

}  // namespace
}  // namespace korvel::tool
