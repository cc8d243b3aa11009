// Unpacking hostile archives: raw bytes (first byte even), or entries with
// any names, link attributes, lying sizes and Unicode path fields assembled into a well-formed
// archive (first byte odd), kept or consumed as they are unpacked (second
// bit). Nothing may crash, and nothing may appear outside the extraction
// directory.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/testing/temp_dir.h"
#include "package_fuzz_support.h"
#include "packages/testing/raw_zip.h"
#include "packages/zip_archive.h"

using namespace korvel;

namespace {

// [name length][name][flags][data length][data], repeated.
std::string StructuredArchive(const std::string& in) {
  std::vector<packages::testing::RawEntry> entries;
  std::size_t i = 0;
  const auto take = [&](std::size_t n) {
    const std::string piece = in.substr(i < in.size() ? i : in.size(), n);
    i += n;
    return piece;
  };
  while (i < in.size() && entries.size() < 16) {
    packages::testing::RawEntry e;
    e.name = take(static_cast<unsigned char>(take(1).c_str()[0]) % 64);
    const unsigned flags = static_cast<unsigned char>(take(1).c_str()[0]);
    e.data = take(static_cast<unsigned char>(take(1).c_str()[0]));
    if (flags & 1) e = packages::testing::LinkEntry(e.name, e.data);
    if (flags & 2) e.declared_size = static_cast<std::int64_t>(e.data.size()) + (flags >> 4) - 8;
    if (flags & 4) e.declared_crc = flags;
    if (flags & 8) e.flags = 0x0800;
    // A Unicode path field naming the entry anew, its CRC right or wrong.
    if (flags & 0x40) e.extra = packages::testing::UnicodePathField((flags & 0x80) ? e.name : e.data, e.data);
    entries.push_back(e);
  }
  return packages::testing::BuildZip(entries);
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  testing::SystemHost().ListFiles(dir, "*", names);
  testing::SystemHost().ListSubdirectories(dir, names);
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  host::Host& host = testing::SystemHost();
  const std::string root = fuzz::Scratch().path();
  const std::string out = root + "out" + host::kPathDelim;
  const std::string outside = root + "outside" + host::kPathDelim;
  static const bool prepared = [&] {
    testing::WriteFile(outside + "sentinel", "sentinel");
    return true;
  }();
  (void)prepared;

  const std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string archive = (data[0] & 1) ? StructuredArchive(in) : in;
  testing::WriteFile(root + "package.upd", archive);
  host.ForceDirectoriesOrFail(out);
  try {
    // Second bit: the archive is consumed as it is unpacked, as the
    // intake's private copy is.
    const bool consume = (data[0] & 2) != 0;
    auto file = host.OpenFile(root + "package.upd", consume ? host::OpenMode::kReadWrite : host::OpenMode::kRead,
                              consume ? host::ShareMode::kExclusive : host::ShareMode::kRead);
    packages::ExtractArchive(host, *file, out, 0,
                             consume ? packages::ArchiveUse::kConsume : packages::ArchiveUse::kKeep);
  } catch (const Exception&) {
    // Refused archives are the point of the exercise.
  }
  // Only the archive and the two directories at the top; the sentinel alone
  // and unchanged beside the extraction directory.
  std::vector<std::string> top = Listing(root);
  std::sort(top.begin(), top.end());
  if (top != std::vector<std::string>{"out", "outside", "package.upd"}) std::abort();
  if (Listing(outside) != std::vector<std::string>{"sentinel"}) std::abort();
  if (testing::ReadFile(outside + "sentinel") != "sentinel") std::abort();
  host.DeleteDirectoryTree(out, true);
  return 0;
}
