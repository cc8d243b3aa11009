// Test support for tests that drive the built programs: a temporary
// installation of the utility (the executable in its own directory, the
// work directory with Distrib, Apteka, TMP, an inbox and an outbox) and a
// way to run it and read its Windows-1251 log.
#pragma once

#include <string>
#include <vector>

#include "host/testing/temp_dir.h"

namespace korvel::testing {

struct ProgramResult {
  int exit_code = -1;
  std::string output;  // standard output, as the console got it
  std::string error;   // standard error, likewise
};

// Runs a program with arguments (UTF-8), capturing standard output and
// standard error.
// With a working directory (Windows-1251) the program starts there.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& directory = "");

// Console output as it reads on POSIX: UTF-8 with LF line ends. On Windows
// it is in the OEM code page 866 (the tests run under a Russian console, as
// the pharmacies do) with CR LF line ends, which become LF (also where a
// message carries CR LF of its own).
std::string ConsoleUtf8(const std::string& output);

// The built korvel-tool, as RunProgram takes it.
std::string ToolProgram();
// The test build of the utility (tests/korvel_test_build.cpp).
std::string TestBuildProgram();
// The test build of korvel-tool (tests/korvel_tool_test_build.cpp).
std::string ToolTestBuildProgram();

// The warning of a run whose distribution carries no Firebird client for
// the executable's directory, as in the tests' installations.
inline constexpr const char* kNoClientWarning = "Внимание! Файлы FB3 не были скопированы в каталог утилиты Korvel.";

// The messages after the four start-up lines, "Инициализация ..." and, when
// it follows, kNoClientWarning.
std::vector<std::string> AfterStartup(const std::vector<std::string>& lines);

class Installation {
 public:
  // Copies the built utility (or the program `built`, a UTF-8 path such as
  // TestBuildProgram()) to <root>/Korvel/<exe_name>.
  explicit Installation(const std::string& exe_name = "", const std::string& built = "");

  const TempDir& root() const { return root_; }
  // Where the executable lives, with separator.
  const std::string& exe_dir() const { return exe_dir_; }
  const std::string& exe_path() const { return exe_path_; }
  // <root>/Work/ with Distrib, Apteka (and TMP once a run made it).
  std::string work_dir() const { return root_ / "Work\\"; }
  std::string in_dir() const { return root_ / "In\\"; }
  std::string out_dir() const { return root_ / "Out\\"; }

  // Makes Work/Distrib, Work/Apteka, In, Out and the version marker.
  void MakeDirectories(int version = 1520);
  // Writes <exe_dir>/Korvel.ini (or `name`) in Windows-1251 from UTF-8 text.
  void WriteIni(const std::string& utf8_text, const std::string& name = "Korvel.ini");
  // A complete [Path] section for this installation; `extra` lines follow.
  std::string StandardIni(const std::string& db = "localhost:/nonexistent/base.fdb",
                          const std::string& extra = "") const;

  ProgramResult Run(const std::vector<std::string>& args = {}) const;

  // The log directory of the executable and the current month's file.
  std::string LogDir() const;
  std::string LogFile() const;
  // The log file's text converted to UTF-8, exactly as written.
  std::string LogUtf8() const;
  // The log's entries as physical lines (CR LF split), UTF-8, with the time
  // prefix "hh:nn:ss\t" removed where there is one.
  std::vector<std::string> LogMessages() const;

 private:
  TempDir root_;
  std::string exe_dir_;
  std::string exe_path_;
};

}  // namespace korvel::testing
