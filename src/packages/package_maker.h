// The office's packing: a payload directory becomes a signed package that
// the intake accepts. korvel-tool pack and the tests use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "packages/office_key.h"

namespace korvel::packages {

struct PackOptions {
  int type = 41;  // 41 update package, 42 private update
  std::int32_t pred_id = 0;
  std::int32_t to = 0;
  std::optional<std::int32_t> old_version;  // required for type 41
  std::optional<std::int32_t> new_version;  // required for type 41
  std::vector<std::string> modules;         // MODULES/MODULE/@ID, in order
  std::string payload_dir;                  // with or without separator
  std::string out;                          // the package file to write
};

// The manifest for a payload: the root PACKAGE with TYPE, PRED_ID, TO (and
// OLD_VERNO, NEW_VERNO when given), FILES with one FILE per payload file
// (NAME backslash-separated, SIZE), MODULES with the modules. `files` are
// (relative name, size) pairs.
std::string MakeManifest(const PackOptions& options,
                         const std::vector<std::pair<std::string, std::int64_t>>& files);

// Every file below `dir` as a relative name with backslashes, sorted.
// Throws Exception naming the file for what the utility would refuse to
// unpack: a symbolic link, a name SafeEntryPath refuses, two names that
// differ only in letter case.
std::vector<std::string> ListPayload(host::Host& host, const std::string& dir);

// Writes contents.xml and the payload into a ZIP archive, signs it and puts
// it at options.out (made under a temporary name, so that a half-made
// package never lies under its final name). Throws Exception (in English,
// for the office, naming the file it is about) on bad options, a payload
// that ListPayload refuses or that holds options.out, a payload file that
// the manifest cannot describe (over 2 147 483 647 bytes, its own
// contents.xml), or any file error. Returns the number of payload files.
int PackPackage(host::Host& host, const SignatureSigner& signer, const PackOptions& options);

}  // namespace korvel::packages
