// korvel-tool pack: a payload directory becomes a signed package with its
// manifest contents.xml, ready for the pharmacy's inbox.
#include <optional>
#include <string>

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

int Pack(ToolContext& context) {
  packages::PackOptions options;
  std::string key;
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
  if (key.empty() || !have_type || !have_pred || !have_to) return Usage("--key, --type, --pred and --to are required");
  if (options.type != packages::kUpdatePackageType && options.type != packages::kPrivateUpdateType) {
    return Usage("--type must be 41 (update package) or 42 (private update), not " + IntToStr(options.type));
  }
  if (options.type == packages::kUpdatePackageType && (!options.old_version || !options.new_version)) {
    return Usage("an update package (--type 41) needs --old and --new");
  }
  if (positional.size() != 2) return Usage("expected PAYLOAD_DIR and OUT");
  options.payload_dir = positional[0];
  options.out = positional[1];

  host::Host& host = context.host;
  const packages::SignatureSigner signer = AboutFile(key, [&] { return packages::SignatureSigner(host.ReadFileText(key)); });
  const int count = packages::PackPackage(host, signer, options);
  PrintLine(host, options.out + ": type " + IntToStr(options.type) + ", " + IntToStr(count) +
                      " payload files, signed");
  return 0;
}

const ToolCommandRegistration pack_registration({
    "pack",
    "pack --key PRIVATE.pem --type 41|42 --pred N --to N [--old V --new V] [--module ID ...] PAYLOAD_DIR OUT",
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
    "\n"
    "  --type 41     update package (.upd); needs --old (the version it\n"
    "                updates, OLD_VERNO) and --new (NEW_VERNO)\n"
    "  --type 42     private update (.upp)\n"
    "  --pred N      the pharmacy chain (PRED_ID)\n"
    "  --to N        the pharmacy (NODE_ID of its database)\n"
    "  --module ID   a module the package updates; module 2 makes the\n"
    "                utility update the database server\n"
    "\n"
    "Example: korvel-tool pack --key office.pem --type 41 --pred 1 --to 5 \\\n"
    "           --old 1520 --new 1521 --module 2 payload/ 001521.upd",
    Pack,
});

}  // namespace
}  // namespace korvel::tool
