// korvel-tool check-package: everything the utility would do with a package
// at one installation, done by the utility's own code on a private unpacked
// copy, so that the office finds a package that would fail before it
// reaches hundreds of pharmacies. Nothing of an installation or database is
// read or written.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "dbservice/fb3_transition.h"
#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"
#include "modules/module_engine.h"
#include "packages/launcher_service.h"
#include "packages/package_intake.h"
#include "packages/signature.h"
#include "scripts/script_selection.h"
#include "scripts/script_text.h"
#include "scripts/sql_script.h"
#include "tools/tool_command.h"
#include "tools/tool_options.h"

namespace korvel::tool {
namespace {

using namespace korvel::literals;

// The schema version from which a database is in the Firebird 3 format.
constexpr std::int32_t kFb3Schema = 800;
// The last software version at which the configuration's Classic flag
// still counts.
constexpr std::int32_t kLastClassicVersion = 1520;

struct CheckArgs {
  std::string key, package, local;
  std::int32_t pred = 0, to = 0, version = 0;
  std::optional<std::int32_t> schema;
  bool classic = false;
};

CheckArgs ParseArgs(const std::vector<std::string>& args) {
  CheckArgs parsed;
  std::optional<std::int32_t> pred, to, version;
  const std::vector<std::string> positional = ToolOptions()
                                                  .Number("--pred", pred)
                                                  .Number("--to", to)
                                                  .Number("--version", version)
                                                  .Number("--schema", parsed.schema)
                                                  .Value("--local", parsed.local)
                                                  .Flag("--classic", parsed.classic)
                                                  .Parse(args, 2, "OFFICE.pub and PACKAGE");
  if (!pred || !to) throw UsageError("--pred and --to are required");
  parsed.key = positional[0];
  parsed.package = positional[1];
  parsed.pred = *pred;
  parsed.to = *to;
  const bool private_update = SameText(host::ExtractFileExt(parsed.package), ".upp");
  if (!private_update && !version) throw UsageError("--version is required for an update package");
  parsed.version = version.value_or(0);
  return parsed;
}

// The report: sections, findings, and the first step that would fail.
class Report {
 public:
  explicit Report(host::Host& host) : host_(host) {}

  // The section's title; false, after saying so, when an earlier step
  // failed and the run never gets here.
  bool Section(const std::string& title) {
    PrintLine(host_, "[" + title + "]");
    if (Failed()) Line("not reached: the run stops at " + failed_step_);
    return !Failed();
  }
  void Line(const std::string& text) { PrintLine(host_, "  " + text); }
  // A message of the utility, each of its CR LF lines indented.
  void Message(std::string_view message, const std::string& indent = "    ") {
    std::size_t start = 0;
    while (true) {
      const std::size_t end = message.find("\r\n", start);
      PrintLine(host_, indent + std::string(message.substr(start, end == std::string_view::npos ? end : end - start)));
      if (end == std::string_view::npos) return;
      start = end + 2;
    }
  }
  // `step` would fail with `message`; the first such step decides.
  void Fail(const std::string& step, const std::string& message) {
    Line("FAILS: the utility stops here with:");
    Message(message);
    if (failed_step_.empty()) {
      failed_step_ = step;
      // The whole message on the verdict's one line.
      failure_ = message;
      for (std::size_t at = failure_.find("\r\n"); at != std::string::npos; at = failure_.find("\r\n", at)) {
        failure_.replace(at, 2, " ");
      }
    }
  }
  bool Failed() const { return !failed_step_.empty(); }
  int Verdict() {
    if (!Failed()) {
      PrintLine(host_, "verdict: the package would be applied");
      return 0;
    }
    PrintLine(host_, "verdict: the package would fail at " + failed_step_ + ": " + failure_);
    return 1;
  }

 private:
  host::Host& host_;
  std::string failed_step_;
  std::string failure_;
};

// A directory of its own below the system's temporary directory, removed
// with everything in it when the check ends.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(host::Host& host) : host_(host) {
    std::string base;
    for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
      base = host.GetEnvironmentVariable(name);
      if (!base.empty()) break;
    }
    if (base.empty()) base = host::kWindows ? host.CurrentDirectory() : "/tmp";
    const std::string stem = host::IncludePathDelimiter(base) + "korvel-check-" +
                             IntToStr(static_cast<std::int64_t>(host.Now() * 86400000.0) % 100000000) + "-";
    for (int n = 0; path_.empty(); ++n) {
      const std::string candidate = stem + IntToStr(n);
      if (host.DirectoryExists(candidate) || host.FileExists(candidate)) continue;
      host.CreateDirectory(candidate);
      path_ = host::IncludePathDelimiter(candidate);
    }
  }
  ~ScratchDirectory() {
    try {
      host_.DeleteDirectoryTree(path_, false);
    } catch (const Exception&) {
      // A leftover in the temporary directory harms nothing.
    }
  }
  const std::string& path() const { return path_; }

 private:
  host::Host& host_;
  std::string path_;
};

bool Exists(host::Host& host, const std::string& dir, const std::string& relative) {
  return host.FileExists(host::JoinPath(dir, relative));
}

// The check pass of a script as the script steps run it; "" when it passes,
// else the utility's message. `statements` counts what it would run.
std::string CheckScript(host::Host& host, const std::string& path, int& statements) {
  scripts::TSqlScript script(host);
  script.Terminator = ";";
  statements = 0;
  try {
    script.Script() = scripts::LoadScriptLines(host, path);
    scripts::CommentOutConnect(script.Script());
    script.OnParse = [&statements](scripts::TSqlScript&, scripts::TSqlParseKind, const std::string&, int) {
      ++statements;
    };
    script.OnParseError = [](scripts::TSqlScript&, const std::string& error, const std::string& sql, int) {
      throw Exception(scripts::ParseErrorMessage(sql, error));
    };
    script.CheckScript();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

void CheckServerUpdate(host::Host& host, const CheckArgs& args, const std::string& tmp, bool update_server,
                       Report& report) {
  if (!report.Section("server update")) return;
  if (!update_server) {
    report.Line("not run: the manifest lists no module 2");
    return;
  }
  const std::string descriptor = tmp + "distrib.xml";
  if (!host.FileExists(descriptor)) {
    report.Line("the package has no distrib.xml: the installation's Distrib\\distrib.xml is used (not checked here)");
    return;
  }
  std::vector<std::int32_t> modules;
  if (args.classic && args.version <= kLastClassicVersion) modules.push_back(200);
  if (args.classic && args.version > kLastClassicVersion) {
    report.Line("--classic ignored: from version " + IntToStr(kLastClassicVersion + 1) + " on the server is no Classic one");
  }
  modules.push_back(2);
  for (std::int32_t module : modules) {
    report.Line("module " + IntToStr(module) + ":");
    modules::DeployOptions options;
    options.plan = true;
    options.on_action = [&](const modules::DeployAction& action) {
      report.Line("  " + modules::DescribeAction(action));
    };
    try {
      modules::UpdateModule(host, module, tmp, descriptor, args.local, options);
    } catch (const Exception& e) {
      report.Fail("the server update (module " + IntToStr(module) + ")", e.Message());
      return;
    }
  }
}

void CheckConversion(host::Host& host, const CheckArgs& args, const std::string& tmp, Report& report) {
  if (!report.Section("Firebird 3 conversion")) return;
  const std::string converter = dbservice::Fb3ConverterPath(tmp);
  if (!host.FileExists(converter)) {
    report.Line("none: the package brings no Utils\\AutoUpdate\\FB3_migrate\\FBConvert.exe");
    return;
  }
  const bool classic = args.classic && args.version <= kLastClassicVersion;
  const std::string command = dbservice::Fb3ConverterCommandLine(converter, "<DB>", classic);
  if (!args.schema) {
    report.Line("runs when the schema version is below " + IntToStr(kFb3Schema) + " (--schema not given): " + command);
  } else if (*args.schema < kFb3Schema) {
    report.Line("runs (schema " + IntToStr(*args.schema) + " is below " + IntToStr(kFb3Schema) + "): " + command);
    report.Line("needs three times the database file free on its volume; afterwards the run uses FirebirdServerPelkora");
  } else {
    report.Line("not run: schema " + IntToStr(*args.schema) + " is in the Firebird 3 format already");
  }
}

void CheckNumberedScripts(host::Host& host, const CheckArgs& args, const std::string& tmp, Report& report) {
  if (!report.Section("numbered scripts")) return;
  const std::string directory = host::IncludePathDelimiter(host::JoinPath(tmp, "Scripts\\Numbers\\"));
  std::vector<std::string> all;
  scripts::ListSqlScripts(host, directory, all);
  std::vector<std::string> due = all;
  scripts::SelectNumberedScripts(due, args.schema ? *args.schema + 1 : 0, 2147483647);
  if (!args.schema) report.Line("--schema not given: every numbered script is shown as due");
  report.Line("due: " + IntToStr(static_cast<std::int64_t>(due.size())) + (due.empty() ? " (the database is not touched)" : ""));
  for (const std::string& path : due) {
    int statements = 0;
    const std::string error = CheckScript(host, path, statements);
    if (error.empty()) {
      report.Line("run " + host::ExtractFileName(path) + ": check passed, " + IntToStr(statements) + " statements");
      continue;
    }
    report.Line("run " + host::ExtractFileName(path) + ":");
    report.Fail("the numbered scripts (" + host::ExtractFileName(path) + ")", error);
    break;
  }
  std::sort(all.begin(), all.end());
  for (const std::string& path : all) {
    if (std::find(due.begin(), due.end(), path) != due.end()) continue;
    const std::int32_t number = scripts::ScriptNumber(path);
    report.Line("skip " + host::ExtractFileName(path) +
                (number < 0 ? std::string(" (its name is no number)")
                            : " (not above schema " + IntToStr(args.schema.value_or(0)) + ")"));
  }
  if (!due.empty()) {
    report.Line("they run on a copy of the database; execution errors show only there");
  }
}

void CheckPrivateScripts(host::Host& host, const std::string& tmp, Report& report) {
  report.Section("private scripts");
  std::vector<std::string> list;
  for (const char* directory : {"Scripts\\_all\\", "Scripts\\_server\\"}) {
    scripts::ListSqlScripts(host, host::IncludePathDelimiter(host::JoinPath(tmp, directory)), list);
  }
  if (list.empty()) report.Line("none");
  for (const std::string& path : list) {
    const std::string relative = path.substr(tmp.size());
    const std::vector<std::string> lines = scripts::LoadScriptLines(host, path);
    const std::string id = lines.empty() ? std::string() : scripts::PrivateScriptId(lines.front());
    if (id.empty()) {
      report.Line(relative + ": no PrivateScript marker on its first line; every run reports \"Файл "_cp + path +
                  " не является частным скриптом\" and never runs it"_cp);
      continue;
    }
    int statements = 0;
    const std::string error = CheckScript(host, path, statements);
    if (error.empty()) {
      report.Line(relative + ": " + id + ", runs unless SCRIPT_LOG holds it; check passed, " + IntToStr(statements) +
                  " statements");
    } else {
      report.Line(relative + ": " + id + ":");
      report.Fail("the private scripts (" + relative + ")", error);
    }
  }
}

int RunCheckPackage(ToolContext& context) {
  const CheckArgs args = ParseArgs(context.args);
  host::Host& host = context.host;
  const std::string saved_cwd = host.CurrentDirectory();
  const bool private_update = SameText(host::ExtractFileExt(args.package), ".upp");
  const int type = private_update ? packages::kPrivateUpdateType : packages::kUpdatePackageType;
  Report report(host);

  std::string key_error;
  const std::unique_ptr<packages::SignatureVerifier> key = packages::LoadOfficePublicKey(host, args.key, &key_error);
  if (!key_error.empty()) {
    PrintError(key_error);
    return 1;
  }
  ScratchDirectory scratch(host);
  PrintLine(host, "package " + args.package + (private_update ? " (private update)" : " (update package)") +
                      " for chain " + IntToStr(args.pred) + ", pharmacy " + IntToStr(args.to) +
                      (private_update ? std::string() : ", version " + IntToStr(args.version)) +
                      (args.schema ? ", schema " + IntToStr(*args.schema) : std::string()));

  // The utility's own intake on a copy of the inbox's view: the package is
  // read where it lies and unpacked into the scratch directory.
  packages::PackageIntake intake(host, *key, [](std::string_view) {});
  intake.InDir = host::ExtractFilePath(args.package);
  intake.TmpDir = scratch.path();
  intake.PredId = args.pred;
  intake.NodeId = args.to;
  intake.CurVersion = args.version;
  report.Section("signature, archive and manifest");
  try {
    intake.CheckPackage(host::ExtractFileName(args.package), type);
  } catch (const Exception& e) {
    host.SetCurrentDirectory(saved_cwd);
    report.Fail("the package check", e.Message());
    return report.Verdict();
  }
  std::vector<std::string> payload;
  modules::ListFilesRecursive(host, true, scratch.path(), "*", payload);
  report.Line("signature valid; " + IntToStr(static_cast<std::int64_t>(payload.size())) + " payload files as the manifest lists them");
  const std::string tmp = scratch.path();

  if (private_update) {
    report.Line("the payload moves into the application directory (Apteka) keeping its paths");
    CheckPrivateScripts(host, tmp, report);
  } else {
    report.Line("version " + IntToStr(args.version) + " -> " + IntToStr(intake.NewVersion) +
                (intake.UpdateServer ? "; the manifest lists module 2" : ""));
    report.Section("self-update");
    bool any = false;
    for (const char* name : {"Korvel.exe", "Korvel"}) {
      if (!Exists(host, tmp, std::string("Utils\\AutoUpdate\\") + name)) continue;
      any = true;
      report.Line(std::string("Utils\\AutoUpdate\\") + name + ": replaces the utility's executable (" +
                  (SameText(name, "Korvel.exe") ? "on Windows" : "on Linux, where the utility is named so") +
                  "); the one that ran stays as Korvel.old");
    }
    if (!any) report.Line("none");
    CheckServerUpdate(host, args, tmp, intake.UpdateServer, report);
    CheckConversion(host, args, tmp, report);
    CheckNumberedScripts(host, args, tmp, report);
    if (report.Section("working directory")) {
      report.Line("the payload becomes Distrib with the version marker " + modules::VersionMarkerName(intake.NewVersion) +
                "; the package is deleted from the inbox");
    }
    if (report.Section("launcher service")) {
      const std::string launcher = std::string("Utils\\AutoUpdate\\") + packages::kLauncherProgramName;
      report.Line(Exists(host, tmp, launcher) ? launcher + ": every full run installs or updates " +
                                                    packages::kLauncherServiceName + " from it"
                                              : std::string("none: the package brings no ") + launcher);
    }
  }
  host.SetCurrentDirectory(saved_cwd);
  return report.Verdict();
}

const ToolCommandRegistration kCheckPackage(ToolCommand{
    "check-package",
    "check-package OFFICE.pub PACKAGE --pred N --to N --version V [--schema S] [--local LOCAL.xml] [--classic]",
    "what the utility would do with a package at one installation",
    "Checks PACKAGE with the utility's own code as an installation of chain --pred,\n"
    "pharmacy --to, software version --version and schema version --schema would\n"
    "take it, without touching any installation or database. The package is\n"
    "unpacked into a directory of its own below the system's temporary directory,\n"
    "which goes afterwards. One section per step of the run:\n"
    "  the signature (with OFFICE.pub), the archive's names and the manifest;\n"
    "  the self-update (Utils\\AutoUpdate\\Korvel.exe, or Korvel on Linux);\n"
    "  the server update when the manifest lists module 2: module 200 (with\n"
    "    --classic, up to version 1520) and module 2 planned from the package's\n"
    "    distrib.xml as deploy --plan does, with LOCAL.xml over its variables;\n"
    "  the Firebird 3 converter (runs when --schema is below 800);\n"
    "  the numbered scripts above --schema in the order they would run, each\n"
    "    through the check pass of sql-check, and the ones skipped;\n"
    "  the working directory and the launcher service program.\n"
    "A private update (PACKAGE ending in .upp) is checked as one: the manifest,\n"
    "and the private scripts it brings. The last line is the verdict; a step that\n"
    "would fail shows the utility's message. Execution errors of scripts and the\n"
    "installation's own files are beyond this check.\n"
    "Exit code: 0 the package would be applied, 1 it would fail (or the key\n"
    "cannot be read), 2 a usage error.",
    RunCheckPackage,
});

}  // namespace
}  // namespace korvel::tool
