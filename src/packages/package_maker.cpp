#include "packages/package_maker.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "host/text.h"
#include "packages/file_checker.h"
#include "packages/package_intake.h"
#include "packages/package_signer.h"
#include "packages/signature.h"
#include "packages/zip_archive.h"
#include "packages/zip_writer.h"
#include "xml/xml_node.h"

namespace korvel::packages {

namespace {

// Every entry below `dir`, as FindEntries gives them: a listing that skips
// names differing only in letter case would drop a file unnoticed.
void CollectPayload(host::Host& host, const std::string& dir, const std::string& prefix,
                    std::vector<std::string>& out) {
  for (const host::DirEntry& entry : host.FindEntries(dir + "*")) {
    if (entry.name == "." || entry.name == "..") continue;
    const std::string path = dir + entry.name;
    const std::optional<host::FileAttributes> attributes = host.GetAttributes(path);
    if (!attributes) throw Exception(path + ": cannot be read (a name the system cannot hand over as it is?)");
    // The utility refuses links in a package; what a link points at is
    // not part of the payload.
    if (attributes->link) throw Exception(path + ": a symbolic link; the utility refuses links in a package");
    if (attributes->directory) {
      CollectPayload(host, host::IncludePathDelimiter(path), prefix + entry.name + "\\", out);
    } else {
      // A FIFO or device would fail in the archive writer without a name.
      try {
        host.OpenFile(path, host::OpenMode::kRead, host::ShareMode::kRead);
      } catch (Exception& e) {
        e.SetMessage(path + ": cannot be read, so it cannot be packed: " + e.Message());
        throw;
      }
      out.push_back(prefix + entry.name);
    }
  }
}

std::string FullDirectory(host::Host& host, const std::string& dir) {
  return host::IncludePathDelimiter(host.ExpandUNCFileName(dir));
}

}  // namespace

std::vector<std::string> ListPayload(host::Host& host, const std::string& dir) {
  const std::string root = host::IncludePathDelimiter(dir);
  std::vector<std::string> names;
  CollectPayload(host, root, "", names);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const std::string ua = UpperCase(a), ub = UpperCase(b);
    return ua != ub ? ua < ub : a < b;
  });
  for (std::size_t i = 1; i < names.size(); ++i) {
    // Windows holds one of them only: the utility would unpack one over
    // the other.
    if (SameText(names[i - 1], names[i])) {
      throw Exception(host::JoinPath(root, names[i]) + ": differs from " + names[i - 1] +
                      " only in letter case; the utility's file system holds one of them only");
    }
  }
  for (const std::string& name : names) {
    try {
      SafeEntryPath(name);
    } catch (const Exception& e) {
      throw Exception(host::JoinPath(root, name) + ": the utility refuses this name: " + e.Message());
    }
  }
  return names;
}

std::string MakeManifest(const PackOptions& options,
                         const std::vector<std::pair<std::string, std::int64_t>>& files) {
  std::unique_ptr<xml::TXMLNode> doc = xml::TXMLNode::CreateDocument("PACKAGE");
  doc->SetAttribute("TYPE", IntToStr(options.type));
  doc->SetAttribute("PRED_ID", IntToStr(options.pred_id));
  doc->SetAttribute("TO", IntToStr(options.to));
  if (options.old_version) doc->SetAttribute("OLD_VERNO", IntToStr(*options.old_version));
  if (options.new_version) doc->SetAttribute("NEW_VERNO", IntToStr(*options.new_version));
  xml::TXMLNode* list = doc->Children()->AddNode("FILES", "", xml::nkElement);
  for (const auto& [name, size] : files) {
    xml::TXMLNode* file = list->Children()->AddNode("FILE", "", xml::nkElement);
    file->SetAttribute("NAME", name);
    file->SetAttribute("SIZE", IntToStr(size));
  }
  if (!options.modules.empty()) {
    xml::TXMLNode* modules = doc->Children()->AddNode("MODULES", "", xml::nkElement);
    for (const std::string& id : options.modules) {
      modules->Children()->AddNode("MODULE", "", xml::nkElement)->SetAttribute("ID", id);
    }
  }
  return doc->SaveToString();
}

namespace {

// A payload read and checked once, and compressed once into a work file
// whose entries every package takes over.
class PackedPayload {
 public:
  PackedPayload(host::Host& host, const PackOptions& options, const std::string& out, const std::string& work)
      : host_(host), work_(work) {
    CheckOptions(options);
    const std::string dir = host::IncludePathDelimiter(options.payload_dir);
    if (!host.DirectoryExists(dir)) throw Exception("payload directory " + dir + " not found");
    // The package would pack itself, or the one made before it.
    const std::string full_dir = FullDirectory(host, dir);
    const std::string full_out = host.ExpandUNCFileName(out);
    if (host::kWindows ? StartsText(full_dir, full_out) : full_out.rfind(full_dir, 0) == 0) {
      throw Exception(out + ": the package would lie inside its own payload directory " + dir);
    }
    TDateTime newest = kEarliestZipTime;
    for (const std::string& name : ListPayload(host, dir)) {
      const std::string path = host::JoinPath(dir, name);
      if (SameText(name, "contents.xml")) {
        throw Exception(path + ": the payload holds its own contents.xml; pack writes the manifest itself");
      }
      const std::int64_t size = host.FileSize(path);
      if (size < 0) throw Exception(path + ": cannot be read");
      if (size > std::numeric_limits<std::int32_t>::max()) {
        throw Exception(path + ": larger than 2147483647 bytes, more than the manifest's SIZE can state");
      }
      files_.emplace_back(name, size);
      bytes_ += size;
      if (const std::optional<TDateTime> time = host.FileWriteTime(path); time && *time > newest) newest = *time;
    }
    manifest_time_ = ManifestTime(newest);
    try {
      ZipWriter zip(host, work_);
      for (const auto& file : files_) zip.AddFile(file.first, host::JoinPath(dir, file.first));
      zip.Close();
    } catch (...) {
      Remove();
      throw;
    }
  }
  ~PackedPayload() { Remove(); }
  PackedPayload(const PackedPayload&) = delete;
  PackedPayload& operator=(const PackedPayload&) = delete;

  int FileCount() const { return static_cast<int>(files_.size()); }
  std::int64_t Bytes() const { return bytes_; }

  // The package of `options` (its pred_id, to and manifest) at `out`.
  void Write(const SignatureSigner& signer, const PackOptions& options, const std::string& out) const {
    const std::string part = out + ".part";
    try {
      ZipWriter zip(host_, part);
      zip.AddData("contents.xml", MakeManifest(options, files_), manifest_time_);
      zip.AddEntriesOf(work_);
      zip.Close();
      try {
        SignFile(host_, signer, part);
        const Ed25519SignatureVerifier verifier(signer.PublicPem());
        if (!CheckFileSignature(host_, verifier, part)) throw Exception("the package does not pass its own check");
        host_.MoveFile(part, out, false);
      } catch (Exception& e) {
        e.SetMessage(out + ": " + e.Message());
        throw;
      }
    } catch (...) {
      try {
        if (host_.FileExists(part)) host_.DeleteFile(part);
      } catch (const Exception&) {
        // The failure that brought us here is the one to report.
      }
      throw;
    }
  }

 private:
  // The DOS time of a ZIP entry starts in 1980; an empty payload dates its
  // manifest there rather than by the clock.
  static constexpr TDateTime kEarliestZipTime = 29221;  // 1 January 1980

  static void CheckOptions(const PackOptions& options) {
    if (options.type != kUpdatePackageType && options.type != kPrivateUpdateType) {
      throw Exception("the package type must be 41 (update package) or 42 (private update)");
    }
    if (options.type == kUpdatePackageType && (!options.old_version || !options.new_version)) {
      throw Exception("an update package (type 41) needs --old and --new");
    }
  }

  // SOURCE_DATE_EPOCH as it stands in UTC (a time that does not depend on
  // the packing machine's zone), else the newest payload file's time.
  TDateTime ManifestTime(TDateTime newest) const {
    const std::string epoch = host_.GetEnvironmentVariable("SOURCE_DATE_EPOCH");
    if (epoch.empty()) return newest;
    std::int64_t seconds = 0;
    if (!TryStrToInt64(epoch, seconds) || seconds < 0) {
      throw Exception("SOURCE_DATE_EPOCH is not a number of seconds since 1970: " + epoch);
    }
    constexpr TDateTime kUnixEpochDay = 25569;  // 1 January 1970
    return kUnixEpochDay + static_cast<TDateTime>(seconds) / 86400;
  }

  void Remove() noexcept {
    try {
      if (host_.FileExists(work_)) host_.DeleteFile(work_);
    } catch (const Exception&) {
      // A work file left behind is harmless; the packing's outcome counts.
    }
  }

  host::Host& host_;
  std::string work_;
  std::vector<std::pair<std::string, std::int64_t>> files_;
  std::int64_t bytes_ = 0;
  TDateTime manifest_time_ = 0;
};

}  // namespace

int PackPackage(host::Host& host, const SignatureSigner& signer, const PackOptions& options) {
  const PackedPayload payload(host, options, options.out, options.out + ".payload.part");
  payload.Write(signer, options, options.out);
  return payload.FileCount();
}

std::string PharmacyFileName(const Pharmacy& pharmacy, std::string_view extension) {
  return IntToStr(pharmacy.chain, 4) + IntToStr(pharmacy.pharmacy, 3) + std::string(extension);
}

std::vector<Pharmacy> ReadPharmacyList(std::string_view text, const std::string& file_name) {
  std::vector<Pharmacy> list;
  std::map<Pharmacy, int> lines;
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const std::string at = file_name + ":" + IntToStr(number) + ": ";
    const std::vector<std::string> fields = SplitString(line, ';');
    // Decimal digits only: the host's integers would also take "$1F".
    const auto decimal = [](const std::string& field, std::int32_t& value) {
      const std::string digits = Trim(field);
      return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
             TryStrToInt(digits, value);
    };
    Pharmacy pharmacy;
    if (fields.size() != 2 || !decimal(fields[0], pharmacy.chain) || !decimal(fields[1], pharmacy.pharmacy)) {
      throw Exception(at + "not CHAIN;PHARMACY (two numbers): " + line);
    }
    const auto [earlier, added] = lines.emplace(pharmacy, number);
    if (!added) throw Exception(at + "pharmacy " + line + " is listed already on line " + IntToStr(earlier->second));
    list.push_back(pharmacy);
  }
  return list;
}

int PackForPharmacies(host::Host& host, const SignatureSigner& signer, const PackOptions& options,
                      const std::vector<Pharmacy>& pharmacies, const std::string& out_dir,
                      const PackProgress& progress) {
  const std::string dir = host::IncludePathDelimiter(out_dir);
  if (!host.ForceDirectoriesOrFail(dir)) throw Exception(dir + ": cannot be made");
  const PackedPayload payload(host, options, dir + "payload.part", dir + "payload.part");

  std::mutex mutex;
  std::size_t next = 0;
  int done = 0;
  std::exception_ptr failure;
  const auto work = [&] {
    for (;;) {
      std::size_t index = 0;
      {
        const std::lock_guard<std::mutex> lock(mutex);
        if (failure || next == pharmacies.size()) return;
        index = next++;
      }
      try {
        PackOptions own = options;
        own.pred_id = pharmacies[index].chain;
        own.to = pharmacies[index].pharmacy;
        payload.Write(signer, own, dir + PharmacyFileName(pharmacies[index], ".upd"));
        const std::lock_guard<std::mutex> lock(mutex);
        ++done;
        if (progress) progress(done, static_cast<int>(pharmacies.size()), payload.Bytes() * done);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t count = std::min<std::size_t>(cores, pharmacies.size());
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 1; i < count; ++i) threads.emplace_back(work);
    work();
  }
  if (failure) std::rethrow_exception(failure);
  return payload.FileCount();
}

}  // namespace korvel::packages
