#include "packages/testing/office_keys.h"

namespace korvel::packages::testing {

const OfficeKeyPair& OfficeKeys() {
  static const OfficeKeyPair keys = GenerateOfficeKeyPair();
  return keys;
}

const OfficeKeyPair& StrangerKeys() {
  static const OfficeKeyPair keys = GenerateOfficeKeyPair();
  return keys;
}

const SignatureEncryptor& OfficeSigner() {
  static const SignatureEncryptor signer(OfficeKeys().private_pem);
  return signer;
}

const SignatureEncryptor& StrangerSigner() {
  static const SignatureEncryptor signer(StrangerKeys().private_pem);
  return signer;
}

const SignatureDecryptor& OfficeDecryptor() {
  static const RsaSignatureDecryptor decryptor(OfficeKeys().public_pem);
  return decryptor;
}

}  // namespace korvel::packages::testing
