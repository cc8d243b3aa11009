// Test support: two office key pairs made once per test program, the
// office's own and a stranger's.
#pragma once

#include "packages/office_key.h"
#include "packages/signature.h"

namespace korvel::packages::testing {

const OfficeKeyPair& OfficeKeys();
const OfficeKeyPair& StrangerKeys();
const SignatureEncryptor& OfficeSigner();
const SignatureEncryptor& StrangerSigner();
const SignatureDecryptor& OfficeDecryptor();

}  // namespace korvel::packages::testing
