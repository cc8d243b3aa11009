#include "installation.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/cp1251.h"
#include "host/text.h"
#include "modules/dir_helpers.h"

namespace korvel::testing {

namespace {

std::string ShellQuote(const std::string& s) {
  if (host::kWindows) {
    // Backslashes before the closing quote are doubled, or the program's
    // runtime would read the last one as escaping the quote ("C:\dir\").
    std::size_t trailing = 0;
    while (trailing < s.size() && s[s.size() - 1 - trailing] == '\\') ++trailing;
    return "\"" + s + std::string(trailing, '\\') + "\"";
  }
  std::string quoted = "'";
  for (char c : s) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& directory) {
  TempDir scratch;
  const std::string out = scratch / "stdout.txt";
  const std::string err = scratch / "stderr.txt";
  std::string command;
  if (!directory.empty()) {
    command = (host::kWindows ? "cd /d " : "cd ") + ShellQuote(cp1251::ToUtf8(directory)) + " && ";
  }
  command += ShellQuote(program);
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  // The command line is UTF-8 on POSIX and in the ANSI code page (1251 for
  // the tests) on Windows; the scratch paths are Windows-1251.
  if (host::kWindows) {
    command = cp1251::FromUtf8(command) + " > " + ShellQuote(out) + " 2> " + ShellQuote(err);
    command = "\"" + command + "\"";
  } else {
    command += " > " + ShellQuote(cp1251::ToUtf8(out)) + " 2> " + ShellQuote(cp1251::ToUtf8(err));
  }
  ProgramResult result;
  const int status = std::system(command.c_str());
#ifdef WEXITSTATUS
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#else
  result.exit_code = status;
#endif
  if (SystemHost().FileExists(out)) result.output = ReadFile(out);
  if (SystemHost().FileExists(err)) result.error = ReadFile(err);
  return result;
}

std::string ConsoleUtf8(const std::string& output) {
  if (!host::kWindows) return output;
  std::string text = cp1251::ToUtf8(cp1251::FromOem866(output));
  std::string lf;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lf += text[i];
  }
  return lf;
}

std::vector<std::string> AfterStartup(const std::vector<std::string>& lines) {
  if (lines.size() <= 5) return {};
  auto first = lines.begin() + 5;
  if (*first == kNoClientWarning) ++first;
  return std::vector<std::string>(first, lines.end());
}

std::string ToolProgram() { return cp1251::ToUtf8(host::NativeSeparators(cp1251::FromUtf8(KORVEL_TOOL))); }
std::string TestBuildProgram() { return KORVEL_TEST_BUILD_EXE; }
std::string ToolTestBuildProgram() { return KORVEL_TOOL_TEST_BUILD; }

Installation::Installation(const std::string& exe_name, const std::string& built_program) {
  exe_dir_ = root_ / "Korvel\\";
  const std::string built =
      host::NativeSeparators(cp1251::FromUtf8(built_program.empty() ? std::string(KORVEL_EXE) : built_program));
  exe_path_ = exe_dir_ + (exe_name.empty() ? host::ExtractFileName(built) : exe_name);
  SystemHost().ForceDirectoriesOrFail(exe_dir_);
  SystemHost().CopyFileOrFail(built, exe_path_);
}

void Installation::MakeDirectories(int version) {
  host::Host& host = SystemHost();
  host.ForceDirectoriesOrFail(root_ / "Work\\Distrib\\");
  host.ForceDirectoriesOrFail(root_ / "Work\\Apteka\\");
  host.ForceDirectoriesOrFail(in_dir());
  host.ForceDirectoriesOrFail(out_dir());
  if (version >= 0) WriteFile(root_ / "Work\\Distrib\\" + modules::VersionMarkerName(version), "");
}

void Installation::WriteIni(const std::string& utf8_text, const std::string& name) {
  WriteFile(exe_dir_ + name, cp1251::FromUtf8(utf8_text));
}

std::string Installation::StandardIni(const std::string& db, const std::string& extra) const {
  return "[Path]\r\nWorkDir=" + cp1251::ToUtf8(work_dir()) + "\r\nDB=" + db + "\r\nInDir=" + cp1251::ToUtf8(in_dir()) +
         "\r\nOutDir=" + cp1251::ToUtf8(out_dir()) + "\r\nModules=2;5\r\n" + extra;
}

ProgramResult Installation::Run(const std::vector<std::string>& args) const {
  return RunProgram(cp1251::ToUtf8(exe_path_), args);
}

std::string Installation::LogDir() const {
  return exe_dir_ + host::ExtractFileNameWithoutExt(exe_path_) + "Log" + host::kPathDelim;
}

std::string Installation::LogFile() const {
  return LogDir() + FormatDateTime("yyyymm", SystemHost().Now()) + ".log";
}

std::string Installation::LogUtf8() const {
  if (!SystemHost().FileExists(LogFile())) return {};
  return cp1251::ToUtf8(ReadFile(LogFile()));
}

std::vector<std::string> Installation::LogMessages() const {
  std::vector<std::string> lines;
  const std::string text = LogUtf8();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    // "hh:nn:ss\t"
    if (line.size() >= 9 && line[2] == ':' && line[5] == ':' && line[8] == '\t') line = line.substr(9);
    lines.push_back(line);
    pos = end + 2;
  }
  return lines;
}

}  // namespace korvel::testing
