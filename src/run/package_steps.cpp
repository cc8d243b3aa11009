// The package intake's step methods of the data module: thin calls into
// the packages subsystem with the run's directories, identity and log.
#include "host/cp1251.h"
#include "packages/package_intake.h"
#include "run/intake_binding.h"
#include "run/korvel_data.h"

namespace korvel::run {

using namespace korvel::literals;

const packages::SignatureVerifier& TdmKorvel::OfficeKey() {
  if (!office_key_) {
    std::string error;
    office_key_ = packages::LoadOfficePublicKey(host_, ExeDir + packages::kOfficeKeyFileName, &error);
    // Without the key every package fails its signature; say once why.
    if (!error.empty()) WriteLog("Внимание! Открытый ключ центрального офиса не загружен: "_cp + error);
  }
  return *office_key_;
}

packages::PackageIntake MakeIntake(TdmKorvel& dm, const packages::SignatureVerifier& key) {
  packages::PackageIntake intake(dm.Host(), key, [&dm](std::string_view line) { dm.WriteLog(line); });
  intake.InDir = dm.InDir;
  intake.TmpDir = dm.TmpDir;
  intake.PredId = dm.PredId;
  intake.NodeId = dm.NodeId;
  intake.CurVersion = dm.CurVersion;
  intake.NewVersion = dm.NewVersion;
  intake.UpdateServer = dm.UpdateServer;
  return intake;
}

bool TdmKorvel::CheckPackage(const std::string& name, int type) {
  packages::PackageIntake intake = MakeIntake(*this, OfficeKey());
  const bool result = intake.CheckPackage(name, type);
  NewVersion = intake.NewVersion;
  UpdateServer = intake.UpdateServer;
  return result;
}

std::string TdmKorvel::FindUpdatePackage() {
  // The inbox is listed once, by the intake. The key is loaded when the
  // first package's signature needs it, so an empty inbox needs none and a
  // package arriving during the search is never checked without it.
  const DeferredOfficeKey key([this]() -> const packages::SignatureVerifier& { return OfficeKey(); });
  packages::PackageIntake intake = MakeIntake(*this, key);
  const std::string result = intake.FindUpdatePackage();
  NewVersion = intake.NewVersion;
  UpdateServer = intake.UpdateServer;
  return result;
}

}  // namespace korvel::run
