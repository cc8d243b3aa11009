// The module engine: deploys one software module's files onto the server as
// its module descriptor (distrib.xml) describes them, with the variables of
// the installation's local.xml over the descriptor's own.
//
// Descriptor layout (names without regard to letter case unless noted):
//   <ANY>
//     <MODULES>
//       <MODULE ID="2" Root="C:\App">     MODULE and ID="2" exactly: "02" is
//         <FILES> nodes </FILES>          another module; the first FILES
//       </MODULE>
//     </MODULES>
//     <FILESETS><COMMON> nodes </COMMON></FILESETS>
//     <VARS><PRG Value="C:\Prog"/></VARS>
//   </ANY>
// Deployment nodes, names matched exactly:
//   <FILE Name="a.exe" Replace="1"/>            source\Name to destination\Name
//   <DIR Source="\bin" Dest="%ROOT\bin"> nodes </DIR>
//   <FILESET Name="COMMON"/>                    the set, from the top-level
//                                               directories
//   <FILELIST Mask="*.dll" Replace="1" Recurse="0"/>
// Names in the descriptor use backslashes; on POSIX they become "/" where
// they are joined to a directory.
//
// Variables: a Dest beginning with "%" names a variable up to the first
// backslash (no closing "%"): CURRENT (the current directory), ROOT (the
// MODULE's Root), SYSTEM32 (Host::SystemDirectory), else VARS/NAME/@Value of
// local.xml and, when that is empty, of distrib.xml.
//
// Failures raise the general exception family, the message prefixed with
// "Ошибка обновления модуля N:\r\n" and carrying the variable stack
// ("Стек поиска переменной:") and the processing stack ("Стек обработки:",
// start tags innermost first). Files copied before a failure stay.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/host.h"

namespace korvel::modules {

// One decision of the engine about one file.
struct DeployAction {
  enum Kind {
    kCopy,           // source copied onto dest
    kKeepSame,       // dest has the source's size and a time less than a minute apart
    kKeepNoReplace,  // dest exists and Replace is off
    kSkipMissing,    // the source file does not exist
    kSkipUnreachable,  // a FILELIST's file whose name has no Windows-1251
                       // form: the engine cannot name it, so it is never
                       // copied (`source` shows '?' for what is lacking)
  };
  Kind kind;
  std::string source;
  std::string dest;
};

// "copy SOURCE -> DEST", "keep DEST (same size and time)",
// "keep DEST (Replace=0)", "skip SOURCE (missing)" or "skip SOURCE (its name
// has no Windows-1251 form; never copied)".
std::string DescribeAction(const DeployAction& action);

// A variable as it was found: its name (upper case), the value found for
// it before any path tail, and where: "built-in", "local.xml" or
// "distrib.xml".
struct ResolvedVariable {
  std::string name;
  std::string value;
  std::string origin;
};

struct DeployOptions {
  // Decides every action as a deployment would and changes nothing: no
  // directory is made, no attribute cleared, no file copied. Files the plan
  // would copy count as present (with the source's size and time) for the
  // later nodes of the same call, FILELISTs included; paths are compared
  // with "." and ".." folded. Every failure a deployment reports is
  // reported too, at the same node: missing attributes and sets,
  // variables, the empty destination directory, and a copy that cannot be
  // made because the destination is a directory or lies below a file.
  bool plan = false;
  // Each decision, in order; for kCopy after the file was copied. The run
  // log of the server update has no line per file, so the run passes none.
  std::function<void(const DeployAction&)> on_action;
  // Each variable the first time it is resolved, in order.
  std::function<void(const ResolvedVariable&)> on_variable;
};

// Deploys module `module` from `source_dir`: the descriptor at
// `descriptor_path` is read, and local.xml at `local_path` when that is not
// empty and the file exists. Relative destinations are taken from the
// process's current directory. The engine's state lives for this one call.
// The server update calls it as
//   UpdateModule(host, 2, TmpDir, TmpDir + "distrib.xml", AptekaDir + "local.xml");
void UpdateModule(host::Host& host, std::int32_t module, const std::string& source_dir,
                  const std::string& descriptor_path, const std::string& local_path,
                  const DeployOptions& options = {});

// Appends the full paths of the files of `directory` matching `mask` and,
// with `recurse`, those of its subdirectories after them, depth first, in
// the order the file system lists them. Files whose names have no
// Windows-1251 form are not in `list`; they go to `unreachable` when given.
void ListFilesRecursive(host::Host& host, bool recurse, const std::string& directory, const std::string& mask,
                        std::vector<std::string>& list, std::vector<std::string>* unreachable = nullptr);

}  // namespace korvel::modules
