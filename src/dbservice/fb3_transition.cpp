#include "dbservice/fb3_transition.h"

#include "host/cp1251.h"

namespace korvel::dbservice {

using namespace korvel::literals;

const Fb3ClientFileSet& Fb3ClientFiles() {
  static const Fb3ClientFileSet files = [] {
    Fb3ClientFileSet set;
    if (host::kWindows) {
      set.SourceDir = host::NativeSeparators("Firebird\\bin\\");
      set.Client = "gds32.dll";
      set.Parked = "gds32.~dll";
      set.Companions = {"msvcr100.dll", "msvcp100.dll"};
      set.Required = {"msvcp100.dll", "msvcr100.dll", "gds32.dll"};
    } else {
      // The program loads the client under its soname; the runtime it
      // needs comes with the system.
      set.SourceDir = host::NativeSeparators("Firebird\\lib\\");
      set.Client = "libfbclient.so.2";
      set.Parked = "libfbclient.~so.2";
      set.Required = {"libfbclient.so.2"};
    }
    return set;
  }();
  return files;
}

namespace {

// A file operation whose failure the refresh does not look at.
template <typename Op>
bool Try(Op&& op) {
  try {
    op();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void RefreshFb3ClientFiles(host::Host& host, const std::string& distrib_dir, const std::string& dir,
                           const std::string& warning, const Fb3LogFn& log) {
  // A service's program in /usr/bin or an init script in /etc/init.d: the
  // system's directories are not ours to write, and a library beside a
  // program is not loaded from there anyway.
  if (host::IsSystemDirectory(dir)) {
    log("Файлы FB3 не скопированы в системный каталог "_cp + dir);
    return;
  }
  const Fb3ClientFileSet& files = Fb3ClientFiles();
  bool all_there = true;
  for (const std::string& name : files.Required) {
    bool present = false;
    // A file that cannot even be looked at counts as missing.
    Try([&] { present = host.FileExists(dir + name); });
    if (!present) {
      all_there = false;
      break;
    }
  }
  if (all_there) return;

  const std::string client = dir + files.Client;
  const std::string parked = dir + files.Parked;
  Try([&] { host.DeleteFile(parked); });
  Try([&] { host.MoveFile(client, parked, false); });

  const std::string source_dir = host::IncludePathDelimiter(distrib_dir) + files.SourceDir;
  if (Try([&] { host.CopyFile(source_dir + files.Client, client); })) {
    for (const std::string& name : files.Companions) Try([&] { host.CopyFile(source_dir + name, dir + name); });
    return;
  }
  // The move back replaces whatever part of the new client a failed copy
  // may have left under the client's name.
  Try([&] { host.MoveFile(parked, client, false); });
  log(warning);
}

std::string Fb3ConverterPath(const std::string& tmp_dir) {
  return host::JoinPath(host::IncludePathDelimiter(tmp_dir), "Utils\\AutoUpdate\\FB3_migrate\\FBConvert.exe");
}

std::string Fb3ConverterCommandLine(const std::string& converter, const std::string& database_name, bool classic) {
  return converter + " /BR \"" + database_name + "\" \"" + host::ExtractFilePath(converter) + "\" " +
         (classic ? "1" : "0");
}

void MigrateToFb3(host::Host& host, TDbService& service, const std::string& tmp_dir, bool is_fb3_database,
                  bool& classic, const Fb3LogFn& log) {
  const std::string converter = Fb3ConverterPath(tmp_dir);
  if (is_fb3_database || !host.FileExists(converter)) return;
  log("Переход на Firebird 3..."_cp);
  log("Конвертирование БД ..."_cp);
  const std::int64_t size = host.GetFileSize64(service.DbFileName);
  service.CheckDiskSpace(service.DbFileName, 3 * size);
  // The shadow is converted along with the database: its own volume needs
  // room for it too.
  if (!service.ShadowFileName.empty()) service.CheckDiskSpace(service.ShadowFileName, 2 * size);
  host.RunProgramCaptured(Fb3ConverterCommandLine(converter, service.DatabaseName, classic),
                          host::ExtractFilePath(converter), [&log](const std::string& line) { log(line); });
  classic = false;
  service.ServiceName = kPelkoraServiceName;
}

}  // namespace korvel::dbservice
