// The office's packing: a payload directory becomes a signed package that
// the intake accepts. korvel-tool pack and the tests use it.
#pragma once

#include <cstdint>
#include <functional>
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
// contents.xml), a SOURCE_DATE_EPOCH that is not a number, or any file
// error. Returns the number of payload files.
//
// The same payload, options and key give the same bytes: every entry is
// dated by its file, contents.xml by the newest payload file or, when the
// environment sets SOURCE_DATE_EPOCH (seconds since 1970, UTC), by that
// time as it stands in UTC. The payload is compressed into a work file
// beside the package first (options.out + ".payload.part", removed again),
// as PackForPharmacies does, so that both write the same bytes.
int PackPackage(host::Host& host, const SignatureSigner& signer, const PackOptions& options);

// One pharmacy of a chain.
struct Pharmacy {
  std::int32_t chain = 0;     // PRED_ID
  std::int32_t pharmacy = 0;  // NODE_ID, the package's TO
  auto operator<=>(const Pharmacy&) const = default;
};

// "%.4d%.3d" + extension, as the request packet names the pharmacy: chain
// 12, pharmacy 5 and ".upd" give "0012005.upd".
std::string PharmacyFileName(const Pharmacy& pharmacy, std::string_view extension);

// A list of pharmacies, one "CHAIN;PHARMACY" a line (two numbers from 0,
// spaces around them allowed), blank lines and lines starting with "#"
// skipped. Throws Exception "FILE:LINE: " + the reason for a line that is
// not two numbers or names a pharmacy listed before.
std::vector<Pharmacy> ReadPharmacyList(std::string_view text, const std::string& file_name);

// How far PackForPharmacies is: packages done of total and payload bytes
// written so far. Called from the writing threads, one call at a time.
using PackProgress = std::function<void(int done, int total, std::int64_t bytes)>;

// The packages of `options` (pred_id, to and out ignored) for every
// pharmacy, as out_dir (made when missing) + PharmacyFileName(pharmacy,
// ".upd"): the payload
// is compressed once (into out_dir + "payload.part", removed again) and
// every package is those compressed entries with its own manifest and
// signature, written on all processors at once. Each is byte for byte what
// PackPackage writes for that pharmacy alone. Throws as PackPackage, also
// for an out_dir inside the payload; the packages complete by then stay.
// Returns the number of payload files.
int PackForPharmacies(host::Host& host, const SignatureSigner& signer, const PackOptions& options,
                      const std::vector<Pharmacy>& pharmacies, const std::string& out_dir,
                      const PackProgress& progress = {});

}  // namespace korvel::packages
