#include "packages/package_maker.h"

#include <algorithm>
#include <limits>

#include "host/text.h"
#include "packages/file_checker.h"
#include "packages/package_intake.h"
#include "packages/package_signer.h"
#include "packages/signature.h"
#include "packages/zip_writer.h"
#include "xml/xml_node.h"

namespace korvel::packages {

namespace {

void CollectPayload(host::Host& host, const std::string& dir, const std::string& prefix,
                    std::vector<std::string>& out) {
  std::vector<std::string> files, subdirs;
  host.ListFiles(dir, "*", files);
  host.ListSubdirectories(dir, subdirs);
  for (const std::string& f : files) out.push_back(prefix + f);
  for (const std::string& d : subdirs) CollectPayload(host, host::IncludePathDelimiter(dir + d), prefix + d + "\\", out);
}

}  // namespace

std::vector<std::string> ListPayload(host::Host& host, const std::string& dir) {
  std::vector<std::string> names;
  CollectPayload(host, host::IncludePathDelimiter(dir), "", names);
  std::sort(names.begin(), names.end());
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

int PackPackage(host::Host& host, const SignatureEncryptor& signer, const PackOptions& options) {
  if (options.type != kUpdatePackageType && options.type != kPrivateUpdateType) {
    throw Exception("the package type must be 41 (update package) or 42 (private update)");
  }
  if (options.type == kUpdatePackageType && (!options.old_version || !options.new_version)) {
    throw Exception("an update package (type 41) needs --old and --new");
  }
  const std::string dir = host::IncludePathDelimiter(options.payload_dir);
  if (!host.DirectoryExists(dir)) throw Exception("payload directory " + dir + " not found");

  std::vector<std::pair<std::string, std::int64_t>> files;
  for (const std::string& name : ListPayload(host, dir)) {
    if (SameText(name, "contents.xml")) {
      throw Exception("the payload holds its own contents.xml; pack writes the manifest itself");
    }
    const std::int64_t size = host.FileSize(host::JoinPath(dir, name));
    if (size > std::numeric_limits<std::int32_t>::max()) {
      throw Exception(name + " is larger than 2147483647 bytes, more than the manifest's SIZE can state");
    }
    files.emplace_back(name, size);
  }

  const std::string part = options.out + ".part";
  try {
    ZipWriter zip(host, part);
    zip.AddData("contents.xml", MakeManifest(options, files), host.Now());
    for (const auto& file : files) zip.AddFile(file.first, host::JoinPath(dir, file.first));
    zip.Close();
    SignFile(host, signer, part);
    const RsaSignatureDecryptor decryptor(signer.PublicPem());
    if (!CheckFileSignature(host, decryptor, part)) throw Exception("the package does not pass its own check");
    host.MoveFile(part, options.out, false);
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
