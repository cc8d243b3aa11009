// The signature check: both signature forms, the verifier, and what a
// damaged, foreign or locked file gives.
#include "packages/file_checker.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "packages/digest.h"
#include "packages/package_signer.h"
#include "packages/testing/office_keys.h"
#include "packages/testing/raw_zip.h"

namespace korvel::packages {
namespace {

using korvel::testing::ReadFile;
using korvel::testing::SystemHost;
using korvel::testing::TempDir;
using korvel::testing::WriteFile;
using namespace korvel::literals;
using namespace korvel::packages::testing;

// Counts the calls that reach the real verifier.
class CountingVerifier : public SignatureVerifier {
 public:
  bool CanVerify(const std::string& signature) const override {
    ++calls;
    return OfficeVerifier().CanVerify(signature);
  }
  bool VerifyDigestText(const std::string& signature, std::string_view digest_text) const override {
    ++calls;
    return OfficeVerifier().VerifyDigestText(signature, digest_text);
  }
  mutable int calls = 0;
};

bool Check(const std::string& path, const SignatureVerifier& verifier = OfficeVerifier()) {
  return CheckFileSignature(SystemHost(), verifier, path);
}

std::string SampleZip() {
  RawEntry a;
  a.name = "contents.xml";
  a.data = "<R/>";
  RawEntry b;
  b.name = "Scripts/Numbers/1521.sql";
  b.data = std::string(5000, 'x');
  return BuildZip({a, b});
}

// An Ed25519 public key as PEM from its 32 raw bytes.
std::string RawKeyPem(const std::string& raw) {
  const std::string der = std::string("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12) + raw;
  return "-----BEGIN PUBLIC KEY-----\n" + Base64Encode(der) + "\n-----END PUBLIC KEY-----\n";
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

// The digest text the signatures covered before SHA-256: the MD5 hex.
std::string Md5Text(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), md, &size, EVP_md5(), nullptr);
  std::string text;
  char hex[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", md[i]);
    text += hex;
  }
  return text;
}

std::string SignedBytes(std::string content, const SignatureSigner& signer = OfficeSigner()) {
  return content + MakeTrailer(signer.SignDigestText(DigestText(content)));
}

// ---- Digest text and base64 ----

TEST(DigestText, IsUpperCaseHexOfTheSha256) {
  EXPECT_EQ(DigestText(""), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
  EXPECT_EQ(DigestText("abc"), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

TEST(Base64, RoundTripsAndRefusesAnythingNotStrict) {
  for (const std::string& s : std::vector<std::string>{"", "a", "ab", "abc", "abcd", std::string("\0\xFF\x10", 3)}) {
    EXPECT_EQ(Base64Decode(Base64Encode(s)), s);
  }
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  for (const char* bad : {"YWI", "YW=I", "Y===", "YWJ=", "YW I", "YWI=YWI=", "YW\nI="}) {
    EXPECT_THROW(Base64Decode(bad), Exception) << bad;
  }
}

TEST(Verifier, AcceptsTheOfficesSignatureOverThatDigestOnly) {
  const std::string digest = DigestText("payload");
  const std::string signature = OfficeSigner().SignDigestText(digest);
  EXPECT_EQ(signature.size(), 88u);
  EXPECT_EQ(signature.substr(86), "==");
  EXPECT_TRUE(OfficeVerifier().CanVerify(signature));
  EXPECT_TRUE(OfficeVerifier().VerifyDigestText(signature, digest));
  // Another digest, another key, a changed signature byte.
  EXPECT_FALSE(OfficeVerifier().VerifyDigestText(signature, DigestText("payloaD")));
  EXPECT_FALSE(OfficeVerifier().VerifyDigestText(signature, digest + '\0'));
  const Ed25519SignatureVerifier stranger(StrangerKeys().public_pem);
  EXPECT_FALSE(stranger.VerifyDigestText(signature, digest));
  std::string changed = Base64Decode(signature);
  changed[10] = static_cast<char>(changed[10] ^ 0x04);
  EXPECT_FALSE(OfficeVerifier().VerifyDigestText(Base64Encode(changed), digest));
  // Ed25519 signatures are deterministic: the same digest, the same text.
  EXPECT_EQ(OfficeSigner().SignDigestText(digest), signature);
  // Anything that is not 64 bytes of strict base64 is not a signature.
  for (const std::string& bad : {std::string(), signature.substr(0, 84), signature + "AAAA", signature.substr(0, 86) + "=A",
                                 std::string(88, '=')}) {
    EXPECT_FALSE(OfficeVerifier().CanVerify(bad)) << bad;
    EXPECT_THROW(OfficeVerifier().VerifyDigestText(bad, digest), Exception) << bad;
  }
}

TEST(Verifier, KeyFileMissingBrokenOrOfAnotherKindFailsEveryCheck) {
  TempDir dir;
  WriteFile(dir / "a.upd", SignedBytes(SampleZip()));
  const std::string signature = OfficeSigner().SignDigestText(DigestText("x"));
  std::string error;
  auto missing = LoadOfficePublicKey(SystemHost(), dir / "Korvel.pub", &error);
  EXPECT_EQ(error, "Файл открытого ключа "_cp + dir / "Korvel.pub" + " не найден"_cp);
  EXPECT_FALSE(missing->CanVerify(signature));
  EXPECT_THROW(missing->VerifyDigestText(signature, DigestText("x")), Exception);
  EXPECT_FALSE(Check(dir / "a.upd", *missing));

  // Not a key, nothing, a private key, a valid key of another kind; an
  // Ed25519 key that is a point of small order (with the identity, R =
  // identity and S = 0 "verify" anything) or a second spelling of a point.
  const std::string prefix = "Ошибка чтения открытого ключа "_cp + dir / "Korvel.pub" + ": ";
  const std::string small = "Открытый ключ Ed25519 недопустим: точка малого порядка";
  const std::string alias = "Открытый ключ Ed25519 недопустим: неканоническая запись точки";
  const std::string ff(30, '\xFF');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n", "Файл не содержит открытого ключа в формате PEM"},
      {"", "Файл не содержит открытого ключа в формате PEM"},
      {OfficeKeys().private_pem, "Файл не содержит открытого ключа в формате PEM"},
      {kRsaPublicPem, "Открытый ключ не является ключом Ed25519 (ключ RSA, 1024 бит)"},
      {RawKeyPem("\x01" + std::string(31, '\0')), small},
      {RawKeyPem(std::string(32, '\0')), small},
      {RawKeyPem(std::string(31, '\0') + "\x80"), small},  // the sign bit does not change the order
      {RawKeyPem("\xEC" + ff + "\x7F"), small},
      {RawKeyPem(FromHex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05")), small},
      {RawKeyPem(FromHex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa")), small},
      {RawKeyPem("\xED" + ff + "\x7F"), alias},  // p, which is 0
      {RawKeyPem("\xEE" + ff + "\xFF"), alias},  // p + 1, which is 1
      {RawKeyPem(std::string(32, '\xFF')), alias},
  };
  for (const auto& [content, why] : cases) {
    WriteFile(dir / "Korvel.pub", content);
    error.clear();
    auto broken = LoadOfficePublicKey(SystemHost(), dir / "Korvel.pub", &error);
    EXPECT_EQ(error, prefix + cp1251::FromUtf8(why)) << content;
    EXPECT_FALSE(Check(dir / "a.upd", *broken));
  }

  WriteFile(dir / "Korvel.pub", OfficeKeys().public_pem);
  error.clear();
  auto good = LoadOfficePublicKey(SystemHost(), dir / "Korvel.pub", &error);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(Check(dir / "a.upd", *good));
}

TEST(Verifier, KeysAreEd25519AndAPrivateKeyIsNotAPublicKey) {
  EXPECT_THROW(Ed25519SignatureVerifier(OfficeKeys().private_pem), Exception);
  EXPECT_THROW(SignatureSigner(OfficeKeys().public_pem), Exception);
  EXPECT_THROW(Ed25519SignatureVerifier{kRsaPublicPem}, Exception);
  EXPECT_THROW(SignatureSigner{kRsaPrivatePem}, Exception);
  EXPECT_NE(OfficeKeys().public_pem, StrangerKeys().public_pem);
  EXPECT_EQ(SignatureSigner(OfficeKeys().private_pem).PublicPem(), OfficeKeys().public_pem);
}

// ---- The trailer form ----

TEST(TrailerSignature, SignedArchivePassesAndTheFileStaysUnchanged) {
  TempDir dir;
  const std::string bytes = SignedBytes(SampleZip());
  WriteFile(dir / "a.upd", bytes);
  TFileCheker checker(SystemHost(), OfficeVerifier(), dir / "a.upd");
  EXPECT_TRUE(checker.Check());
  EXPECT_EQ(checker.Header, "PK");
  EXPECT_EQ(checker.ReferenceDigest, DigestText(SampleZip()));
  EXPECT_EQ(checker.ContentDigest, checker.ReferenceDigest);
  EXPECT_EQ(checker.SignatureText.size(), 88u);
  EXPECT_TRUE(checker.Lines.empty());  // archives are not split into lines
  EXPECT_EQ(ReadFile(dir / "a.upd"), bytes);
  // No temporary copy is made beside the package.
  std::vector<std::string> files;
  SystemHost().ListFiles(dir.path(), "*", files);
  EXPECT_EQ(files, std::vector<std::string>{"a.upd"});
}

// The copy the check writes holds the very bytes it read, in either form.
TEST(Signature, CheckWritesWhatItReadIntoTheCopy) {
  TempDir dir;
  for (const std::string& bytes : {SignedBytes(SampleZip()), SignText("<?xml?>\r\n<A B=\"1\">\r\n</A>\r\n", OfficeSigner())}) {
    WriteFile(dir / "a.upd", bytes);
    {
      TFileCheker checker(SystemHost(), OfficeVerifier(), dir / "a.upd");
      EXPECT_EQ(checker.Size(), static_cast<std::int64_t>(bytes.size()));
      auto copy = SystemHost().OpenFile(dir / "copy", host::OpenMode::kCreate, host::ShareMode::kExclusive);
      EXPECT_TRUE(checker.Check(copy.get()));
    }
    EXPECT_EQ(ReadFile(dir / "copy"), bytes);
  }
}

// What is refused as any bad signature: a signature over the MD5 text the
// format once signed, in either form, and a file signed twice (the outer
// trailer signs the inner one, which no archive or program holds).
TEST(Signature, OldMd5TextAndASecondTrailerAreNoSignature) {
  TempDir dir;
  const std::string zip = SampleZip();
  const std::string text = "<?xml?>\r\n<A B=\"1\">\r\n</A>\r\n";
  const std::string once = SignedBytes(zip);
  const std::vector<std::string> cases = {
      zip + MakeTrailer(OfficeSigner().SignDigestText(Md5Text(zip))),
      "<?xml?>\r\n<A B=\"1\" key=\"" + OfficeSigner().SignDigestText(Md5Text(text)) + "\">\r\n</A>\r\n",
      SignedBytes(once),
  };
  for (const std::string& bytes : cases) {
    WriteFile(dir / "a.upd", bytes);
    EXPECT_FALSE(Check(dir / "a.upd")) << bytes.substr(0, 20);
  }
  // The same content signed over its SHA-256 text passes.
  WriteFile(dir / "a.upd", once);
  EXPECT_TRUE(Check(dir / "a.upd"));
  WriteFile(dir / "a.upd", SignText(text, OfficeSigner()));
  EXPECT_TRUE(Check(dir / "a.upd"));
}

TEST(TrailerSignature, ChangingAnyByteBeforeTheTrailerFails) {
  TempDir dir;
  const std::string good = SignedBytes(SampleZip());
  const std::size_t content = good.size() - 108;
  for (std::size_t pos : {std::size_t{2}, std::size_t{40}, content / 2, content - 1}) {
    std::string bad = good;
    bad[pos] = static_cast<char>(bad[pos] ^ 0x01);
    WriteFile(dir / "a.upd", bad);
    EXPECT_FALSE(Check(dir / "a.upd")) << pos;
  }
  // The nine bytes after the key field are not read.
  std::string tail = good;
  tail[good.size() - 1] = 'Z';
  tail[good.size() - 9] = 'Z';
  WriteFile(dir / "a.upd", tail);
  EXPECT_TRUE(Check(dir / "a.upd"));
}

TEST(TrailerSignature, TrailerWithoutDoubleEqualsFailsWithoutAskingTheVerifier) {
  TempDir dir;
  std::string bytes = SignedBytes(SampleZip());
  const std::size_t eq = bytes.rfind("==");
  bytes[eq] = 'A';
  WriteFile(dir / "a.upd", bytes);
  CountingVerifier counting;
  EXPECT_FALSE(Check(dir / "a.upd", counting));
  EXPECT_EQ(counting.calls, 0);

  WriteFile(dir / "b.upd", SignedBytes(SampleZip()));
  EXPECT_TRUE(Check(dir / "b.upd", counting));
  EXPECT_EQ(counting.calls, 2);
}

TEST(TrailerSignature, ReadOnlyOrLockedArchiveFailsWritableOnePasses) {
  TempDir dir;
  host::Host& host = SystemHost();
  WriteFile(dir / "a.upd", SignedBytes(SampleZip()));
  host::FileAttributes read_only;
  read_only.read_only = true;
  host.SetAttributes(dir / "a.upd", read_only);
  EXPECT_FALSE(Check(dir / "a.upd"));
  host.ClearFileAttributes(dir / "a.upd");
  EXPECT_TRUE(Check(dir / "a.upd"));
  {
    auto reader = host.OpenFile(dir / "a.upd", host::OpenMode::kRead, host::ShareMode::kRead);
    EXPECT_FALSE(Check(dir / "a.upd"));
  }
  EXPECT_TRUE(Check(dir / "a.upd"));
}

TEST(TrailerSignature, ExecutableIsCheckedSharedSoReadOnlyPasses) {
  TempDir dir;
  host::Host& host = SystemHost();
  WriteFile(dir / "Korvel.exe", SignedBytes("MZ" + std::string(300, '\x90')));
  host::FileAttributes read_only;
  read_only.read_only = true;
  host.SetAttributes(dir / "Korvel.exe", read_only);
  EXPECT_TRUE(Check(dir / "Korvel.exe"));
}

TEST(TrailerSignature, ForeignKeyShortFileAndMissingSignatureFail) {
  TempDir dir;
  WriteFile(dir / "a.upd", SignedBytes(SampleZip(), StrangerSigner()));
  EXPECT_FALSE(Check(dir / "a.upd"));
  WriteFile(dir / "b.upd", "PK" + std::string(100, '='));
  EXPECT_FALSE(Check(dir / "b.upd"));
  WriteFile(dir / "c.upd", SampleZip());
  EXPECT_FALSE(Check(dir / "c.upd"));
  // A valid signature of other content.
  WriteFile(dir / "d.upd", SampleZip() + MakeTrailer(OfficeSigner().SignDigestText(DigestText("other"))));
  EXPECT_FALSE(Check(dir / "d.upd"));
}

TEST(TrailerSignature, MissingFileFailsCreationWithTheHostError) {
  TempDir dir;
  try {
    Check(dir / "none.upd");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Невозможно открыть файл \""_cp + dir / "none.upd" + "\". ", 0), 0u) << e.Message();
    EXPECT_NE(e.Message().find("Код: "_cp), std::string::npos);
  }
}

TEST(TrailerSignature, SignFileAppendsOnceAndRefusesASecondTrailer) {
  TempDir dir;
  WriteFile(dir / "a.upd", SampleZip());
  EXPECT_EQ(SignFile(SystemHost(), OfficeSigner(), dir / "a.upd"), SignatureForm::kTrailer);
  EXPECT_EQ(ReadFile(dir / "a.upd").size(), SampleZip().size() + 108);
  EXPECT_TRUE(Check(dir / "a.upd"));
  EXPECT_THROW(SignFile(SystemHost(), OfficeSigner(), dir / "a.upd"), Exception);
  EXPECT_TRUE(Check(dir / "a.upd"));
  // Content that merely begins its last 108 bytes with "<key>" is no
  // trailer: it is signed, and the check accepts it, as it does any file.
  WriteFile(dir / "b.upd", SampleZip() + "<key>" + std::string(103, 'x'));
  EXPECT_EQ(SignFile(SystemHost(), OfficeSigner(), dir / "b.upd"), SignatureForm::kTrailer);
  EXPECT_TRUE(Check(dir / "b.upd"));
}

// ---- The text form ----

std::string SampleXml(std::string_view line_end = "\r\n") {
  return "<?xml version=\"1.0\" encoding=\"windows-1251\"?>" + std::string(line_end) +
         "<PACKET TYPE=\"40\" NAME=\"" + "Аптека №5"_cp + "\">" + std::string(line_end) + "  <A>" +
         "текст"_cp + "</A>" + std::string(line_end) + "</PACKET>" + std::string(line_end);
}

TEST(TextSignature, SignedOverWindows1251BytesPasses) {
  TempDir dir;
  for (std::string_view end : {"\r\n", "\n", "\r"}) {
    const std::string signed_text = SignText(SampleXml(end), OfficeSigner());
    const std::vector<std::string> lines = SplitLines(signed_text);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].find(" key=\""), lines[1].size() - 96);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 2), "\">");
    WriteFile(dir / "p.xml", signed_text);
    TFileCheker checker(SystemHost(), OfficeVerifier(), dir / "p.xml");
    EXPECT_TRUE(checker.Check());
    EXPECT_EQ(checker.ReferenceDigest, DigestText(JoinLines(SplitLines(SampleXml()))));
  }
}

TEST(TextSignature, SignedOverTheFirstNBytesOfUtf16Passes) {
  TempDir dir;
  std::vector<std::string> lines = SplitLines(SampleXml());
  const std::string digest = Utf16PrefixDigestText(JoinLines(lines));
  lines[1].insert(lines[1].size() - 1, " key=\"" + OfficeSigner().SignDigestText(digest) + "\"");
  WriteFile(dir / "p.xml", JoinLines(lines));
  EXPECT_TRUE(Check(dir / "p.xml"));
}

TEST(TextSignature, Utf16PrefixCoversHalfTheCharacters) {
  // "ab" + "Ж": UTF-16LE is 61 00 62 00 16 04; the first three bytes count.
  EXPECT_EQ(Utf16PrefixDigestText("ab\xC6"), DigestText(std::string("a\0b", 3)));
}

TEST(TextSignature, WrongPlacesAndDamageFail) {
  TempDir dir;
  const std::string signed_text = SignText(SampleXml(), OfficeSigner());
  std::vector<std::string> lines = SplitLines(signed_text);
  // The key attribute not last in its tag.
  std::vector<std::string> moved = lines;
  moved[1].replace(moved[1].size() - 1, 1, " X=\"1\">");
  WriteFile(dir / "a.xml", JoinLines(moved));
  EXPECT_FALSE(Check(dir / "a.xml"));
  // One changed character of the content.
  std::vector<std::string> changed = lines;
  changed[2][3] = 'B';
  WriteFile(dir / "b.xml", JoinLines(changed));
  EXPECT_FALSE(Check(dir / "b.xml"));
  // An added line.
  WriteFile(dir / "c.xml", signed_text + "<!-- -->\r\n");
  EXPECT_FALSE(Check(dir / "c.xml"));
  // One line only, no signature, empty file.
  WriteFile(dir / "d.xml", "<R key=\"x==\">");
  EXPECT_FALSE(Check(dir / "d.xml"));
  WriteFile(dir / "e.xml", SampleXml());
  EXPECT_FALSE(Check(dir / "e.xml"));
  WriteFile(dir / "f.xml", "");
  EXPECT_FALSE(Check(dir / "f.xml"));
  // Another office's signature.
  WriteFile(dir / "g.xml", SignText(SampleXml(), StrangerSigner()));
  EXPECT_FALSE(Check(dir / "g.xml"));
}

TEST(TextSignature, OversizedTextFailsUnread) {
  TempDir dir;
  const std::string signed_text = SignText(SampleXml(), OfficeSigner());
  WriteFile(dir / "a.xml", signed_text + std::string(kMaxTextFileSize, ' '));
  TFileCheker checker(SystemHost(), OfficeVerifier(), dir / "a.xml");
  EXPECT_FALSE(checker.Check());
  EXPECT_TRUE(checker.Lines.empty());
}

TEST(TextSignature, LineSplittingFollowsTheStringList) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitLines(""), V{});
  EXPECT_EQ(SplitLines("a"), V{"a"});
  EXPECT_EQ(SplitLines("a\r\n"), V{"a"});
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (V{"a", ""}));
  EXPECT_EQ(SplitLines("a\rb\nc\r\nd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("\n\r"), (V{"", ""}));
}

TEST(TextSignature, KeyExtractionAndRemovalOnOneLine) {
  EXPECT_EQ(TextSignatureOf("<R a=\"1\" key=\"SIG==\">"), "SIG==");
  EXPECT_EQ(TextSignatureOf("<R a=\"1\">"), std::nullopt);
  EXPECT_EQ(TextSignatureOf("<R key=\"SIG"), "k");
  EXPECT_EQ(RemoveTextSignature("<R a=\"1\" key=\"SIG==\"><B/>"), "<R a=\"1\"><B/>");
  EXPECT_EQ(RemoveTextSignature("key=\"S\">x"), ">x");
}

TEST(TextSignature, SigningReplacesAnOldSignatureAndRefusesUnsuitableLines) {
  const std::string once = SignText(SampleXml(), OfficeSigner());
  const std::string twice = SignText(once, OfficeSigner());
  EXPECT_EQ(SplitLines(twice).size(), 4u);
  EXPECT_EQ(SplitLines(twice)[1].find("key"), SplitLines(once)[1].find("key"));
  EXPECT_EQ(SplitLines(SignText(once, StrangerSigner()))[1].find("key"), SplitLines(once)[1].find("key"));
  for (const char* bad : {"<?xml?>", "<?xml?>\r\n<R/>\r\n", "<?xml?>\r\n<R monkey=\"1\">\r\n</R>",
                          "<?xml?>\r\ntext only\r\n", "<?xml?>\r\n<R a=\"1\"\r\n>"}) {
    EXPECT_THROW(SignText(bad, OfficeSigner()), Exception) << bad;
  }
  // A ">" inside a quoted value does not end the tag.
  const std::string quoted = SignText("<?xml?>\r\n<R a=\"x>y\">\r\n</R>\r\n", OfficeSigner());
  EXPECT_EQ(SplitLines(quoted)[1].rfind("<R a=\"x>y\" key=\"", 0), 0u);
}

}  // namespace
}  // namespace korvel::packages
