// The package intake as the data module's package steps use it: bound to
// the run's inbox, temporary directory, identity and log. Shared by the
// update package steps and the private updates.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "packages/package_intake.h"
#include "packages/signature.h"
#include "run/korvel_data.h"

namespace korvel::run {

// A verifier that fetches the office key when a signature first needs it,
// so that an inbox without packages needs no key.
class DeferredOfficeKey : public packages::SignatureVerifier {
 public:
  explicit DeferredOfficeKey(std::function<const packages::SignatureVerifier&()> load) : load_(std::move(load)) {}
  bool CanVerify(const std::string& signature) const override { return load_().CanVerify(signature); }
  bool VerifyDigestText(const std::string& signature, std::string_view digest_text) const override {
    return load_().VerifyDigestText(signature, digest_text);
  }

 private:
  std::function<const packages::SignatureVerifier&()> load_;
};

// An intake on `dm`'s InDir, TmpDir, PredId, NodeId and CurVersion, with
// its NewVersion and UpdateServer as they stand, logging through WriteLog.
// `key` must outlive it; results are not copied back.
packages::PackageIntake MakeIntake(TdmKorvel& dm, const packages::SignatureVerifier& key);

}  // namespace korvel::run
