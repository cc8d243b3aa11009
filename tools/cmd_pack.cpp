// korvel-tool pack: a payload directory becomes a signed package with its
// manifest contents.xml, ready for the pharmacy's inbox.
#include <algorithm>
#include <optional>
#include <string>

#include "host/terminal.h"
#include "host/text.h"
#include "packages/office_key.h"
#include "packages/package_intake.h"
#include "packages/package_maker.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"

namespace korvel::tool {
namespace {

// OUT is written only where a package or nothing lies: never over the
// signing key or a file that is no package (a typo in the arguments must
// not cost the office its key). A package there is replaced whole, as
// PackPackage writes aside and renames over it.
void RefuseOut(host::Host& host, const std::string& out, const std::string& key) {
  if (SameFilePath(host, out, key)) {
    throw Exception(out + ": this is the signing key --key; pack never writes over its key");
  }
  const std::optional<host::FileAttributes> attributes = host.GetAttributes(out);
  if (!attributes) return;
  if (attributes->directory) throw Exception(out + ": a directory; OUT names the package file to write");
  std::string head(4, '\0');
  AboutFile(out, [&] {
    head.resize(host.OpenFile(out, host::OpenMode::kRead, host::ShareMode::kRead)->Read(head.data(), head.size()));
  });
  if (head != std::string("PK\x03\x04", 4) && head != std::string("PK\x05\x06", 4)) {
    throw Exception(out + ": exists and is no package (no ZIP archive); pack replaces only a package");
  }
}

// A progress line that rewrites itself, for a person at a terminal only.
class ProgressLine {
 public:
  explicit ProgressLine(host::Host& host) : host_(host), shown_(host::StandardOutputIsTerminal()), start_(host.Now()) {}
  void Show(int done, int total, std::int64_t bytes) {
    if (!shown_) return;
    const double seconds = std::max((host_.Now() - start_) * 86400, 0.001);
    host::WriteStandardOutput("\r" + IntToStr(done) + " of " + IntToStr(total) + " packages, " +
                              IntToStr(static_cast<std::int64_t>(bytes / seconds / 1e6)) + " MB/s   ");
  }
  void End() {
    if (shown_) host::WriteStandardOutput("\n");
  }

 private:
  host::Host& host_;
  bool shown_;
  TDateTime start_;
};

// pack --for: one package per line of LIST, every line checked before
// anything is written.
int PackForList(host::Host& host, const std::string& key, const packages::PackOptions& options,
                const std::string& list) {
  const std::string text = AboutFile(list, [&] { return host.ReadFileText(list); });
  const std::vector<packages::Pharmacy> pharmacies = packages::ReadPharmacyList(text, list);
  if (pharmacies.empty()) throw Exception(list + ": names no pharmacy");
  for (const packages::Pharmacy& pharmacy : pharmacies) {
    RefuseOut(host, host::JoinPath(options.out, packages::PharmacyFileName(pharmacy, ".upd")), key);
  }
  const packages::SignatureSigner signer = AboutFile(key, [&] { return packages::SignatureSigner(host.ReadFileText(key)); });
  ProgressLine progress(host);
  const int count = packages::PackForPharmacies(
      host, signer, options, pharmacies, options.out,
      [&](int done, int total, std::int64_t bytes) { progress.Show(done, total, bytes); });
  progress.End();
  PrintLine(host, options.out + ": " + IntToStr(static_cast<std::int64_t>(pharmacies.size())) + " packages of type " +
                      IntToStr(options.type) + ", " + IntToStr(count) + " payload files each, signed");
  return 0;
}

int Pack(ToolContext& context) {
  packages::PackOptions options;
  std::string key, list;
  std::optional<std::int32_t> type, pred, to, old_version, new_version;
  const std::vector<std::string> positional = ToolOptions()
                                                  .Value("--key", key)
                                                  .Number("--type", type)
                                                  .Number("--pred", pred)
                                                  .Number("--to", to)
                                                  .Number("--old", old_version)
                                                  .Number("--new", new_version)
                                                  .Values("--module", options.modules)
                                                  .Value("--for", list)
                                                  .Parse(context.args, 2, "PAYLOAD_DIR and OUT (OUT_DIR with --for)");
  if (!list.empty()) {
    if (pred || to) throw UsageError("--for takes chain and pharmacy from LIST, not from --pred and --to");
    pred = to = 0;
  }
  if (key.empty() || !type || !pred || !to) throw UsageError("--key, --type, --pred and --to are required");
  options.type = *type;
  options.pred_id = *pred;
  options.to = *to;
  if (options.type != packages::kUpdatePackageType && options.type != packages::kPrivateUpdateType) {
    throw UsageError("--type must be 41 (update package) or 42 (private update), not " + IntToStr(options.type));
  }
  if (options.type == packages::kUpdatePackageType) {
    if (!old_version || !new_version) throw UsageError("an update package (--type 41) needs --old and --new");
    if (*new_version <= *old_version) {
      throw UsageError("--new " + IntToStr(*new_version) + " must be above --old " + IntToStr(*old_version));
    }
    options.old_version = *old_version;
    options.new_version = *new_version;
  } else if (old_version || new_version) {
    throw UsageError("a private update (--type 42) has no versions: drop --old and --new");
  }
  options.payload_dir = positional[0];
  options.out = positional[1];

  host::Host& host = context.host;
  if (!list.empty()) return PackForList(host, key, options, list);
  RefuseOut(host, options.out, key);
  const packages::SignatureSigner signer = AboutFile(key, [&] { return packages::SignatureSigner(host.ReadFileText(key)); });
  const int count = packages::PackPackage(host, signer, options);
  PrintLine(host, options.out + ": type " + IntToStr(options.type) + ", " + IntToStr(count) +
                      " payload files, signed");
  return 0;
}

const ToolCommandRegistration pack_registration({
    "pack",
    "pack --key PRIVATE.pem --type 41|42 (--pred N --to N | --for LIST) [--old V --new V] [--module ID ...] "
    "PAYLOAD_DIR OUT|OUT_DIR",
    "make a signed package from a payload directory",
    "Writes the manifest contents.xml for every file below PAYLOAD_DIR (under\n"
    "FILES, each with its backslash-separated NAME and its SIZE; the modules\n"
    "of --module, repeated for several, under MODULES), packs it with the\n"
    "payload into a ZIP archive and signs it with the office's private key,\n"
    "so that the utility accepts it. OUT appears only when complete; an\n"
    "existing package there is replaced whole, and anything else there (the\n"
    "key itself, a file that is no ZIP archive, a directory) is refused.\n"
    "What the utility would refuse is refused here, naming the file: a name\n"
    "the utility may not unpack (a device name such as NUL, a drive letter\n"
    "or stream, control characters), two names that differ only in letter\n"
    "case, a symbolic link, and an OUT inside PAYLOAD_DIR.\n"
    "The same payload, options and key give the same bytes: entries are\n"
    "dated by their files, contents.xml by the newest payload file or by\n"
    "SOURCE_DATE_EPOCH (seconds since 1970, taken as UTC) when it is set.\n"
    "\n"
    "  --type 41     update package (.upd); needs --old (the version it\n"
    "                updates, OLD_VERNO) and --new (NEW_VERNO)\n"
    "  --type 42     private update (.upp)\n"
    "  --pred N      the pharmacy chain (PRED_ID)\n"
    "  --to N        the pharmacy (NODE_ID of its database)\n"
    "  --module ID   a module the package updates; module 2 makes the\n"
    "                utility update the database server\n"
    "  --for LIST    a package for every pharmacy of LIST (one CHAIN;PHARMACY\n"
    "                a line, blank lines and # comments allowed), written as\n"
    "                OUT_DIR/CCCCNNN.upd; the payload is compressed once and\n"
    "                each package is what pack writes for that pharmacy alone\n"
    "\n"
    "Example: korvel-tool pack --key office.pem --type 41 --pred 1 --to 5 \\\n"
    "           --old 1520 --new 1521 --module 2 payload/ 001521.upd",
    Pack,
});

}  // namespace
}  // namespace korvel::tool
