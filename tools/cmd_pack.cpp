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

namespace korvel::tool {
namespace {

int Usage(const std::string& problem) {
  PrintError("pack: " + problem + " (see korvel-tool pack --help)");
  return 2;
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

// pack --for: one package per line of LIST, every line checked first.
int PackForList(host::Host& host, const packages::SignatureSigner& signer, const packages::PackOptions& options,
                const std::string& list) {
  const std::vector<packages::Pharmacy> pharmacies = packages::ReadPharmacyList(host.ReadFileText(list), list);
  if (pharmacies.empty()) throw Exception(list + ": names no pharmacy");
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
  bool have_type = false, have_pred = false, have_to = false;
  std::vector<std::string> positional;
  const std::vector<std::string>& args = context.args;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) return Usage(arg + " needs a value");
    const std::string& value = args[++i];
    std::int32_t number = 0;
    const bool numeric = TryStrToInt(value, number);
    if (arg == "--key") {
      key = value;
    } else if (arg == "--for") {
      list = value;
    } else if (arg == "--module") {
      options.modules.push_back(value);
    } else if (!numeric) {
      return Usage(arg + " needs a number, not '" + value + "'");
    } else if (arg == "--type") {
      options.type = number;
      have_type = true;
    } else if (arg == "--pred") {
      options.pred_id = number;
      have_pred = true;
    } else if (arg == "--to") {
      options.to = number;
      have_to = true;
    } else if (arg == "--old") {
      options.old_version = number;
    } else if (arg == "--new") {
      options.new_version = number;
    } else {
      return Usage("unknown option " + arg);
    }
  }
  if (!list.empty()) {
    if (have_pred || have_to) return Usage("--for takes chain and pharmacy from LIST, not from --pred and --to");
    have_pred = have_to = true;
  }
  if (key.empty() || !have_type || !have_pred || !have_to) return Usage("--key, --type, --pred and --to are required");
  if (options.type != packages::kUpdatePackageType && options.type != packages::kPrivateUpdateType) {
    return Usage("--type must be 41 (update package) or 42 (private update), not " + IntToStr(options.type));
  }
  if (options.type == packages::kUpdatePackageType && (!options.old_version || !options.new_version)) {
    return Usage("an update package (--type 41) needs --old and --new");
  }
  if (positional.size() != 2) return Usage(list.empty() ? "expected PAYLOAD_DIR and OUT" : "expected PAYLOAD_DIR and OUT_DIR");
  options.payload_dir = positional[0];
  options.out = positional[1];

  host::Host& host = context.host;
  const packages::SignatureSigner signer = AboutFile(key, [&] { return packages::SignatureSigner(host.ReadFileText(key)); });
  if (!list.empty()) return PackForList(host, signer, options, list);
  const int count = packages::PackPackage(host, signer, options);
  PrintLine(host, options.out + ": type " + IntToStr(options.type) + ", " + IntToStr(count) +
                      " payload files, signed");
  return 0;
}

const ToolCommandRegistration pack_registration({
    "pack",
    "pack --key PRIVATE.pem --type 41|42 (--pred N --to N | --for LIST) [--old V --new V] [--module ID ...]\n"
    "       PAYLOAD_DIR OUT|OUT_DIR",
    "make a signed package from a payload directory",
    "Writes the manifest contents.xml for every file below PAYLOAD_DIR (under\n"
    "FILES, each with its backslash-separated NAME and its SIZE; the modules\n"
    "of --module, repeated for several, under MODULES), packs it with the\n"
    "payload into a ZIP archive and signs it with the office's private key,\n"
    "so that the utility accepts it. OUT appears only when complete.\n"
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
