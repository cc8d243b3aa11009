#include "packages/package_maker.h"

#include <algorithm>
#include <limits>

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

int PackPackage(host::Host& host, const SignatureSigner& signer, const PackOptions& options) {
  if (options.type != kUpdatePackageType && options.type != kPrivateUpdateType) {
    throw Exception("the package type must be 41 (update package) or 42 (private update)");
  }
  if (options.type == kUpdatePackageType && (!options.old_version || !options.new_version)) {
    throw Exception("an update package (type 41) needs --old and --new");
  }
  const std::string dir = host::IncludePathDelimiter(options.payload_dir);
  if (!host.DirectoryExists(dir)) throw Exception("payload directory " + dir + " not found");
  // The package would pack itself, or the one made before it.
  const std::string full_dir = FullDirectory(host, dir);
  const std::string full_out = host.ExpandUNCFileName(options.out);
  if (host::kWindows ? StartsText(full_dir, full_out) : full_out.rfind(full_dir, 0) == 0) {
    throw Exception(options.out + ": the package would lie inside its own payload directory " + dir);
  }

  std::vector<std::pair<std::string, std::int64_t>> files;
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
    files.emplace_back(name, size);
  }

  const std::string part = options.out + ".part";
  try {
    ZipWriter zip(host, part);
    zip.AddData("contents.xml", MakeManifest(options, files), host.Now());
    for (const auto& file : files) zip.AddFile(file.first, host::JoinPath(dir, file.first));
    zip.Close();
    try {
      SignFile(host, signer, part);
      const Ed25519SignatureVerifier verifier(signer.PublicPem());
      if (!CheckFileSignature(host, verifier, part)) throw Exception("the package does not pass its own check");
      host.MoveFile(part, options.out, false);
    } catch (Exception& e) {
      e.SetMessage(options.out + ": " + e.Message());
      throw;
    }
  } catch (...) {
    try {
      if (host.FileExists(part)) host.DeleteFile(part);
    } catch (const Exception&) {
      // The failure that brought us here is the one to report.
    }
    throw;
  }
  return static_cast<int>(files.size());
}

}  // namespace korvel::packages
