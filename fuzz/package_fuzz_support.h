// Shared by the package fuzzers: a scratch directory per process and the
// office key the checks use. The public key comes from the file named by
// KORVEL_FUZZ_PUBKEY (so that seeds signed with its private key reach the
// digest comparison), else a key pair is made at start.
#pragma once

#include <cstdlib>
#include <string>

#include "host/testing/temp_dir.h"
#include "packages/office_key.h"
#include "packages/signature.h"

namespace korvel::fuzz {

inline const korvel::testing::TempDir& Scratch() {
  static const korvel::testing::TempDir dir;
  return dir;
}

inline const packages::SignatureVerifier& FuzzVerifier() {
  static const packages::Ed25519SignatureVerifier verifier = [] {
    const char* path = std::getenv("KORVEL_FUZZ_PUBKEY");
    if (path != nullptr) return packages::Ed25519SignatureVerifier(korvel::testing::ReadFile(path));
    return packages::Ed25519SignatureVerifier(packages::GenerateOfficeKeyPair().public_pem);
  }();
  return verifier;
}

}  // namespace korvel::fuzz
