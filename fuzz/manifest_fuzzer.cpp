// The manifest checks of the package intake on any contents.xml: the input
// becomes the manifest of a properly signed package with a small payload,
// which is then checked as an update package and as a private update.
// Nothing may crash; the only outcomes are true or a Korvel exception.
#include <cstdint>
#include <string>

#include "host/testing/temp_dir.h"
#include "package_fuzz_support.h"
#include "packages/office_key.h"
#include "packages/package_intake.h"
#include "packages/package_signer.h"
#include "packages/zip_writer.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const packages::OfficeKeyPair keys = packages::GenerateOfficeKeyPair();
  static const packages::SignatureSigner signer(keys.private_pem);
  static const packages::Ed25519SignatureVerifier verifier(keys.public_pem);
  host::Host& host = testing::SystemHost();
  const std::string root = fuzz::Scratch().path();
  const std::string in = root + "In" + host::kPathDelim;
  const std::string tmp = root + "TMP" + host::kPathDelim;
  host.ForceDirectoriesOrFail(in);
  host.ForceDirectoriesOrFail(tmp);

  {
    packages::ZipWriter zip(host, in + "p.upd");
    zip.AddData("contents.xml", std::string(reinterpret_cast<const char*>(data), size));
    zip.AddData("a.txt", "abc");
    zip.AddData("Scripts\\Numbers\\1521.sql", "select 1 from rdb$database;\r\n");
    zip.Close();
  }
  packages::SignFile(host, signer, in + "p.upd");

  packages::PackageIntake intake(host, verifier, [](std::string_view) {});
  intake.InDir = in;
  intake.TmpDir = tmp;
  intake.PredId = 1;
  intake.NodeId = 5;
  intake.CurVersion = 1520;
  for (int type : {packages::kUpdatePackageType, packages::kPrivateUpdateType}) {
    try {
      intake.CheckPackage("p.upd", type);
    } catch (const Exception&) {
      // Every refusal is a message; only crashes count here.
    }
  }
  host.SetCurrentDirectory(root);
  return 0;
}
