// Test support: two office key pairs made once per test program, the
// office's own and a stranger's, and a key of the wrong kind.
#pragma once

#include "packages/office_key.h"
#include "packages/signature.h"

namespace korvel::packages::testing {

const OfficeKeyPair& OfficeKeys();
const OfficeKeyPair& StrangerKeys();
const SignatureSigner& OfficeSigner();
const SignatureSigner& StrangerSigner();
const SignatureVerifier& OfficeVerifier();

// A 1024-bit RSA key pair, a kind of key the signatures cannot use, for
// tests of what refuses it.
extern const char* const kRsaPrivatePem;
extern const char* const kRsaPublicPem;

}  // namespace korvel::packages::testing
