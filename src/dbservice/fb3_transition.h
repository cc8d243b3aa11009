// The move to Firebird 3: the client files that the distribution carries
// are put beside the program and the promotion services, and a database
// still in the old on-disk format is converted by the converter program
// that an update package brings. Both are steps of the run's data module,
// which calls in here with its directories, flags and log.
//
// All strings are Windows-1251; paths use the platform separator.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dbservice/db_service.h"
#include "host/host.h"

namespace korvel::dbservice {

// Receives one line for the run log.
using Fb3LogFn = std::function<void(const std::string& line)>;

// The client files of the platform, their source below the distribution
// and the name the previous client library is parked under.
//   Windows: gds32.dll, msvcr100.dll, msvcp100.dll from "Firebird\bin\",
//            the old gds32.dll parked as "gds32.~dll".
//   POSIX:   libfbclient.so.2 (the library the program loads) from
//            "Firebird/lib/", the old one parked as "libfbclient.~so.2".
struct Fb3ClientFileSet {
  // Below the distribution directory, with its trailing separator.
  std::string SourceDir;
  // The client library itself.
  std::string Client;
  std::string Parked;
  // Copied after the client, in this order; a failure is ignored.
  std::vector<std::string> Companions;
  // The files whose presence makes the refresh unnecessary, tested in
  // this order.
  std::vector<std::string> Required;
};
const Fb3ClientFileSet& Fb3ClientFiles();

// Puts the distribution's client files into `dir` (with its trailing
// separator) unless every file of the set is there already, whatever its
// version. The old client is parked first and put back when the new one
// cannot be copied; then `warning` is logged. A system directory
// (host::IsSystemDirectory) is left alone with "Файлы FB3 не скопированы в
// системный каталог " + `dir`. Never raises for a file operation.
void RefreshFb3ClientFiles(host::Host& host, const std::string& distrib_dir, const std::string& dir,
                           const std::string& warning, const Fb3LogFn& log);

// TmpDir + "Utils\AutoUpdate\FB3_migrate\FBConvert.exe".
std::string Fb3ConverterPath(const std::string& tmp_dir);
// The converter's command line: its path (unquoted), " /BR \"", the
// database name, "\" \"", the converter's directory with its trailing
// separator, "\" " and "1" for the Classic server, else "0".
std::string Fb3ConverterCommandLine(const std::string& converter, const std::string& database_name, bool classic);

// Converts the database of `service` when the converter is in `tmp_dir`
// and the database is not in the Firebird 3 format yet: "Переход на
// Firebird 3...", "Конвертирование БД ...", free space for three times the
// database file (and twice it on the shadow file's volume when there is a
// shadow), the converter run in its own directory with every output line
// logged and its exit code ignored. Afterwards `classic` is false and the
// service is "FirebirdServerPelkora". Every failure raises (the free-space
// message, the converter's start failure).
void MigrateToFb3(host::Host& host, TDbService& service, const std::string& tmp_dir, bool is_fb3_database,
                  bool& classic, const Fb3LogFn& log);

}  // namespace korvel::dbservice
