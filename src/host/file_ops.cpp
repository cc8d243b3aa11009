// The file operations every subsystem uses, with the program's failure
// messages, built on the backend's primitives.
#include <unordered_set>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/text.h"

namespace korvel::host {

using namespace korvel::literals;

namespace {

#ifdef _WIN32
constexpr bool IsDelimiter(char c) { return c == '\\' || c == ':'; }
#else
constexpr bool IsDelimiter(char c) { return c == '/'; }
#endif

// A path without its trailing separator that names a root, never created:
// "" (for "/" or "\\") and, on Windows, a drive ("C:"). A short relative
// name ("a1") is a directory like any other.
bool IsRoot(const std::string& dir) { return dir.empty() || (kWindows && dir.size() == 2 && dir[1] == ':'); }

std::size_t LastDelimiter(std::string_view path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (IsDelimiter(path[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

// Windows file names ignore letter case; POSIX ones do not, so that
// "twin.upd" and "TWIN.upd" are two files there. Two names are the same
// file name when their keys are equal.
std::string FileNameKey(const std::string& name) { return kWindows ? UpperCase(name) : name; }

bool HasWildcard(std::string_view path) {
  const std::string_view name = path.substr(LastDelimiter(path) + 1);
  return name.find_first_of("*?") != std::string_view::npos;
}

// On POSIX an argument starting with "/" is also an absolute path; it counts
// as a switch only when it has no further "/" (so "/INI /etc/x.ini" works).
bool IsSwitchArgument(std::string_view arg) {
  if (arg.empty()) return false;
  if (arg[0] == '-') return true;
  if (arg[0] != '/') return false;
#ifdef _WIN32
  return true;
#else
  return arg.find('/', 1) == std::string_view::npos;
#endif
}

}  // namespace

std::string IncludePathDelimiter(std::string_view path) {
  std::string result(path);
  if (result.empty() || result.back() == kPathDelim) return result;
#ifdef _WIN32
  if (result.size() == 1 && ((result[0] >= 'A' && result[0] <= 'Z') || (result[0] >= 'a' && result[0] <= 'z'))) {
    return result + ":\\";
  }
#endif
  return result + kPathDelim;
}

std::string NativeSeparators(std::string_view relative) {
  std::string result(relative);
  for (char& c : result) {
    if (c == '\\' || c == '/') c = kPathDelim;
  }
  return result;
}

std::string JoinPath(std::string_view dir, std::string_view relative) {
  return std::string(dir) + NativeSeparators(relative);
}

std::string ExtractFileName(std::string_view path) {
  return std::string(path.substr(LastDelimiter(path) + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const std::size_t p = LastDelimiter(path);
  return p == std::string_view::npos ? std::string() : std::string(path.substr(0, p + 1));
}

std::string ExtractFileDir(std::string_view path) {
  std::string dir = ExtractFilePath(path);
  if (dir.size() > 1 && dir.back() == kPathDelim && !(dir.size() >= 2 && dir[dir.size() - 2] == ':')) {
    dir.pop_back();
  }
  return dir;
}

bool IsSystemDirectory(std::string_view dir) {
  if (kWindows) return false;
  const std::string path = IncludePathDelimiter(dir);
  // A name that is not absolute and plain cannot be placed: it counts as
  // the system's.
  if (path.empty() || path[0] != '/') return true;
  for (const std::string& step : SplitString(path.substr(1, path.size() - 2), '/')) {
    if (step.empty() || step == "." || step == "..") return true;
  }
  // The trees of the system and its package manager, and the shared
  // directories below /usr/local that every program searches.
  static const char* const kSystemTrees[] = {
      "/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/", "/libx32/", "/etc/", "/boot/", "/dev/", "/proc/",
      "/sys/", "/run/", "/var/", "/root/", "/snap/", "/usr/bin/", "/usr/sbin/", "/usr/lib/", "/usr/lib32/",
      "/usr/lib64/", "/usr/libx32/", "/usr/libexec/", "/usr/share/", "/usr/include/", "/usr/src/", "/usr/games/",
      "/usr/local/bin/", "/usr/local/sbin/", "/usr/local/lib/", "/usr/local/lib64/", "/usr/local/libexec/",
      "/usr/local/etc/", "/usr/local/share/", "/usr/local/include/"};
  if (path == "/" || path == "/usr/" || path == "/usr/local/") return true;
  for (const char* tree : kSystemTrees) {
    if (path.starts_with(tree)) return true;
  }
  return false;
}

std::string ExtractFileExt(std::string_view path) {
  const std::size_t dot = path.rfind('.');
  const std::size_t delim = LastDelimiter(path);
  if (dot == std::string_view::npos || (delim != std::string_view::npos && dot < delim)) return {};
  return std::string(path.substr(dot));
}

std::string ChangeFileExt(std::string_view path, std::string_view extension) {
  const std::string ext = ExtractFileExt(path);
  return std::string(path.substr(0, path.size() - ext.size())) + std::string(extension);
}

std::string ExtractFileNameWithoutExt(std::string_view path) {
  const std::string name = ExtractFileName(path);
  return name.substr(0, name.size() - ExtractFileExt(name).size());
}

void Host::DeleteDirectoryTree(const std::string& path, bool keep_top) {
  const std::string dir = IncludePathDelimiter(path);
  for (const DirEntry& entry : FindEntries(dir + "*")) {
    const std::string child = dir + entry.name;
    const auto attributes = GetAttributes(child);
    if (attributes && attributes->link && !IsDotEntry(entry.name)) {
      // A link goes, what it points at stays: never follow one out of the tree.
      try {
        DeleteFile(child);
      } catch (const Exception&) {
        try {
          RemoveDirectory(child);  // a directory junction on Windows
        } catch (const Exception&) {
          // It stays, like any undeletable entry.
        }
      }
      continue;
    }
    if (attributes && attributes->directory) {
      if (!IsDotEntry(entry.name)) DeleteDirectoryTree(child, false);
      continue;
    }
    try {
      DeleteFile(child);
    } catch (const Exception&) {
      // Read-only or locked files simply stay.
    }
  }
  if (!keep_top) {
    try {
      RemoveDirectory(path);
    } catch (const Exception&) {
      // A directory that still holds undeletable files stays.
    }
  }
}

std::vector<DirEntry> Host::ListFileEntries(const std::string& directory, const std::string& mask) {
  const std::string dir = IncludePathDelimiter(directory);
  std::vector<DirEntry> files;
  // Entries that are the same file name are listed once.
  std::unordered_set<std::string> seen;
  for (DirEntry& entry : FindEntries(dir + mask)) {
    if (IsDotEntry(entry.name) || !MatchesMask(entry.name, mask) || entry.directory) continue;
    const std::string key = entry.reachable() ? FileNameKey(entry.name) : entry.system_name + '\0' + entry.name;
    if (seen.insert(key).second) files.push_back(std::move(entry));
  }
  return files;
}

void Host::ListFiles(const std::string& directory, const std::string& mask, std::vector<std::string>& list) {
  std::unordered_set<std::string> seen;
  for (const std::string& name : list) seen.insert(FileNameKey(name));
  for (const DirEntry& entry : ListFileEntries(directory, mask)) {
    if (seen.insert(FileNameKey(entry.name)).second) list.push_back(entry.name);
  }
}

void Host::ListSubdirectories(const std::string& directory, std::vector<std::string>& list) {
  const std::string dir = IncludePathDelimiter(directory);
  std::unordered_set<std::string> seen;
  for (const std::string& name : list) seen.insert(UpperCase(name));
  for (const DirEntry& entry : FindEntries(dir + "*")) {
    if (IsDotEntry(entry.name) || !entry.directory) continue;
    if (seen.insert(UpperCase(entry.name)).second) list.push_back(entry.name);
  }
}

void Host::CopyFileOrFail(const std::string& from, const std::string& to) {
  try {
    CopyFile(from, to);
  } catch (const EOSError& e) {
    throw Exception("Ошибка копирования файла "_cp + from + " в "_cp + to + ".\r\n" +
                        LastErrorText(e.Cause()),
                    e.Cause());
  }
}

void Host::RenameFileOrFail(const std::string& from, const std::string& to) {
  try {
    MoveFile(from, to, true);
  } catch (const EOSError& e) {
    throw Exception("Ошибка переименования файла "_cp + from + " в "_cp + to + ":\r\n" +
                        LastErrorText(e.Cause()) + ".",
                    e.Cause());
  }
}

void Host::DeleteFileOrFail(const std::string& path) {
  try {
    DeleteFile(path);
  } catch (const EOSError& e) {
    throw Exception("Ошибка удаления файла "_cp + path + " : " + LastErrorText(e.Cause()) + ".",
                    e.Cause());
  }
}

std::int64_t Host::GetFileSize64(const std::string& path) {
  if (!HasWildcard(path)) return FileSize(path);
  // The first match of a mask counts.
  const std::string mask = ExtractFileName(path);
  for (const DirEntry& entry : FindEntries(path)) {
    if (!MatchesMask(entry.name, mask)) continue;
    return entry.directory ? -1 : FileSize(ExtractFilePath(path) + entry.name);
  }
  return -1;
}

TDateTime Host::GetFileDateTime(const std::string& path) {
  const auto time = FileWriteTime(path);
  if (!time) return 0;
  // File ages have two-second resolution: odd seconds and fractions go.
  DateTimeParts parts = DecodeDateTime(*time);
  parts.second &= ~1;
  parts.millisecond = 0;
  return EncodeDateTime(parts);
}

bool Host::FileExists(const std::string& path) {
  const auto attributes = GetAttributes(path);
  return attributes && !attributes->directory;
}

bool Host::DirectoryExists(const std::string& path) {
  const auto attributes = GetAttributes(path);
  return attributes && attributes->directory;
}

bool Host::ForceDirectoriesOrFail(const std::string& directory) {
  if (directory.empty()) throw Exception("Невозможно создать директорию \"\""_cp);
  std::string dir = directory;
  if (dir.back() == kPathDelim) dir.pop_back();
  if (IsRoot(dir) || DirectoryExists(dir)) return true;
  const std::string parent = ExtractFilePath(dir);
  if (parent == dir) return true;
  if (!parent.empty() && !ForceDirectoriesOrFail(parent)) return false;
  try {
    CreateDirectory(dir);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

std::int64_t Host::GetDiskFreeBytes(const std::string& directory) {
  try {
    return DiskFreeBytes(directory);
  } catch (const Exception&) {
    return 0;
  }
}

void Host::ClearFileAttributes(const std::string& path) {
  try {
    auto attributes = GetAttributes(path);
    if (!attributes || attributes->directory) return;
    if (!attributes->read_only && !attributes->hidden && !attributes->system) return;
    attributes->read_only = attributes->hidden = attributes->system = false;
    SetAttributes(path, *attributes);
  } catch (const Exception&) {
    // Whoever deletes or overwrites the file next reports the failure.
  }
}

void Host::MarkExecutable(const std::string& path) {
  if constexpr (kWindows) return;
  FileAttributes attributes = GetAttributes(path).value_or(FileAttributes{});
  attributes.executable = true;
  SetAttributes(path, attributes);
}

std::string Host::ReadFileText(const std::string& path) {
  auto file = OpenFile(path, OpenMode::kRead, ShareMode::kRead);
  std::string data;
  char buffer[65536];
  for (std::size_t n; (n = file->Read(buffer, sizeof buffer)) > 0;) data.append(buffer, n);
  return data;
}

void Host::WriteFileText(const std::string& path, std::string_view data) {
  auto file = OpenFile(path, OpenMode::kCreate, ShareMode::kExclusive);
  file->Write(data);
}

int Host::FindSwitch(std::string_view name) {
  const std::vector<std::string> args = Arguments();
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (IsSwitchArgument(args[i]) && SameText(std::string_view(args[i]).substr(1), name)) return static_cast<int>(i);
  }
  return 0;
}

std::string Host::GetSwitchValue(std::string_view name) {
  const int i = FindSwitch(name);
  const std::vector<std::string> args = Arguments();
  if (i > 0 && static_cast<std::size_t>(i) + 1 < args.size() && !IsSwitchArgument(args[i + 1])) return args[i + 1];
  return {};
}

}  // namespace korvel::host
