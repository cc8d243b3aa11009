// The Win32 backend's files and directories: attributes, listing, copy,
// move and delete, flushes, opening under a share mode, the current
// directory and the ini file.
#include "host/win32_backend.h"

namespace korvel::host::win32 {

using namespace korvel::literals;

namespace {

std::wstring FullPathName(const std::wstring& path) {
  return GrowingBuffer(
      [&](wchar_t* buffer, DWORD size) { return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr); });
}

// A path as the file operations give it to the system: an absolute one in
// the form "\\?\C:\..." or "\\?\UNC\server\share\...", which takes
// paths longer than 260 characters on every Windows (the manifest's
// long-path setting works only where a policy allows it). The system takes
// such a path as it stands, so it is made from the full path name ("."
// and ".." resolved, "/" turned into "\"). Relative paths and device
// names stay as they are.
std::wstring SysPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool drive = wide.size() >= 3 && wide[1] == L':' && separator(wide[2]);
  const bool unc = wide.size() >= 3 && separator(wide[0]) && separator(wide[1]) && wide[2] != L'?' && wide[2] != L'.';
  if (!drive && !unc) return wide;
  const std::wstring full = FullPathName(wide);
  if (drive && full.size() >= 3 && full[1] == L':') return L"\\\\?\\" + full;
  if (unc && full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\') return L"\\\\?\\UNC" + full.substr(1);
  return wide;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  const std::wstring full_a = FullPathName(a), full_b = FullPathName(b);
  return !full_a.empty() &&
         ::CompareStringOrdinal(full_a.c_str(), static_cast<int>(full_a.size()), full_b.c_str(),
                                static_cast<int>(full_b.size()), TRUE) == CSTR_EQUAL;
}

// A file with the read-only attribute is not overwritten, replaced or
// opened for writing: Windows refuses that itself, and the program relies
// on it (a protected file stays as it is). The check is repeated here for
// file systems that only emulate the attribute and let a privileged user
// through (wine run as root, some network shares).
void RefuseIfReadOnly(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ThrowError(ERROR_ACCESS_DENIED);
  }
}

// Windows refuses CopyFile onto a hidden target and a CREATE_ALWAYS with
// normal attributes over a hidden or system file; a file about to be
// replaced loses both attributes first (read-only stays a refusal).
void ClearHiddenAndSystem(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !(attributes & kHiddenSystem)) {
    return;
  }
  const DWORD wanted = attributes & ~kHiddenSystem;
  ::SetFileAttributesW(path.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted);
}

SYSTEMTIME ToSystemTime(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(p.year);
  st.wMonth = static_cast<WORD>(p.month);
  st.wDay = static_cast<WORD>(p.day);
  st.wHour = static_cast<WORD>(p.hour);
  st.wMinute = static_cast<WORD>(p.minute);
  st.wSecond = static_cast<WORD>(p.second);
  st.wMilliseconds = static_cast<WORD>(p.millisecond);
  return st;
}

// A protected access list that lets the process's user and the system in,
// nobody else: for files such as a private key.
class OwnerOnlySecurity {
 public:
  OwnerOnlySecurity() = default;
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;
  ~OwnerOnlySecurity() {
    if (descriptor_) ::LocalFree(descriptor_);
  }

  void Build() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) ThrowLastError();
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : 1);
    const BOOL got = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    const DWORD token_error = ::GetLastError();
    ::CloseHandle(token);
    if (!got) ThrowError(token_error);
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) ThrowLastError();
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;FA;;;SY)";
    ::LocalFree(sid);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                nullptr)) {
      ThrowLastError();
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  SECURITY_ATTRIBUTES* Attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

class Win32File : public File {
 public:
  explicit Win32File(HANDLE handle, bool append = false) : handle_(handle), append_(append) {}
  ~Win32File() override { ::CloseHandle(handle_); }

  std::size_t Read(void* buffer, std::size_t size) override {
    DWORD read = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(handle_, buffer, chunk, &read, nullptr)) ThrowLastError();
    return read;
  }
  void Write(std::string_view data) override {
    if (!append_) {
      WriteAll(handle_, data.data(), data.size());
      return;
    }
    // An append-only handle puts each write at the end as a whole; the
    // exclusive lock of one byte far past any real end makes that hold also
    // where the file system only emulates it (wine), at the cost of a
    // lock per entry.
    OVERLAPPED lock_range{};
    lock_range.Offset = 0xFFFFFFFEu;
    lock_range.OffsetHigh = 0x7FFFFFFFu;
    if (!::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_range)) ThrowLastError();
    try {
      WriteAll(handle_, data.data(), data.size());
    } catch (...) {
      ::UnlockFileEx(handle_, 0, 1, 0, &lock_range);
      throw;
    }
    ::UnlockFileEx(handle_, 0, 1, 0, &lock_range);
  }
  void Seek(std::int64_t position) override {
    LARGE_INTEGER distance;
    distance.QuadPart = position;
    if (!::SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN)) ThrowLastError();
  }
  void SeekToEnd() override {
    LARGE_INTEGER distance;
    distance.QuadPart = 0;
    if (!::SetFilePointerEx(handle_, distance, nullptr, FILE_END)) ThrowLastError();
  }
  std::int64_t Size() override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) ThrowLastError();
    return size.QuadPart;
  }
  void Flush() override {
    if (!::FlushFileBuffers(handle_)) ThrowLastError();
  }

 private:
  HANDLE handle_;
  bool append_;
};

}  // namespace

void WriteAll(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(handle, data, chunk, &written, nullptr)) ThrowLastError();
    if (written == 0) ThrowError(ERROR_WRITE_FAULT);
    data += written;
    size -= written;
  }
}

std::optional<FileAttributes> Win32Host::GetAttributes(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(SysPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  FileAttributes a;
  a.directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  a.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  a.hidden = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
  a.system = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
  a.archive = (attributes & FILE_ATTRIBUTE_ARCHIVE) != 0;
  a.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return a;
}

void Win32Host::SetAttributes(const std::string& path, const FileAttributes& attributes) {
  const std::wstring wide = SysPath(path);
  DWORD current = ::GetFileAttributesW(wide.c_str());
  if (current == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  // The four flags we know are set as asked; the others (compression,
  // indexing, ...) stay as they are.
  constexpr DWORD kOurs =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  DWORD wanted = current & ~(kOurs | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL);
  if (attributes.read_only) wanted |= FILE_ATTRIBUTE_READONLY;
  if (attributes.hidden) wanted |= FILE_ATTRIBUTE_HIDDEN;
  if (attributes.system) wanted |= FILE_ATTRIBUTE_SYSTEM;
  if (attributes.archive) wanted |= FILE_ATTRIBUTE_ARCHIVE;
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileAttributesW(wide.c_str(), wanted)) ThrowLastError();
}

std::vector<DirEntry> Win32Host::FindEntries(const std::string& pattern) {
  std::vector<DirEntry> entries;
  WIN32_FIND_DATAW data;
  const HANDLE search = ::FindFirstFileW(SysPath(pattern).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    DirEntry entry;
    const std::wstring_view wide(data.cFileName, ::wcsnlen(data.cFileName, MAX_PATH));
    entry.name = Narrow(wide);
    // A name with characters Windows-1251 lacks keeps its own spelling
    // (as UTF-8), so that it can still be cleared.
    if (Wide(entry.name) != wide) entry.system_name = WideToUtf8(wide);
    entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(search, &data));
  ::FindClose(search);
  return entries;
}

void Win32Host::DeleteFoundFile(const std::string& directory, const DirEntry& entry) {
  const std::wstring wide = SysPath(IncludePathDelimiter(directory)) +
                            (entry.reachable() ? Wide(entry.name) : Utf8ToWide(entry.system_name));
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) ThrowError(ERROR_ACCESS_DENIED);
  constexpr DWORD kClear = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if ((attributes & kClear) != 0) {
    const DWORD wanted = attributes & ~kClear;
    if (!::SetFileAttributesW(wide.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted)) ThrowLastError();
  }
  if (!::DeleteFileW(wide.c_str())) ThrowLastError();
}

void Win32Host::CopyFile(const std::string& from, const std::string& to) {
  // The system's copy keeps the time and attributes and refuses a
  // read-only target.
  const std::wstring target = SysPath(to);
  RefuseIfReadOnly(target);
  ClearHiddenAndSystem(target);
  if (!::CopyFileW(SysPath(from).c_str(), target.c_str(), FALSE)) ThrowLastError();
}

void Win32Host::MoveFile(const std::string& from, const std::string& to, bool allow_copy) {
  const std::wstring source = SysPath(from), target = SysPath(to);
  // Renaming a read-only file is allowed; replacing one is not.
  if (!SamePath(source, target)) RefuseIfReadOnly(target);
  // Write-through: the call returns once the move is on the disk, also
  // one made as a copy across volumes.
  DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (allow_copy) flags |= MOVEFILE_COPY_ALLOWED;
  if (!::MoveFileExW(source.c_str(), target.c_str(), flags)) ThrowLastError();
}

void Win32Host::DeleteFile(const std::string& path) {
  if (!::DeleteFileW(SysPath(path).c_str())) ThrowLastError();
}

void Win32Host::CreateDirectory(const std::string& path) {
  if (!::CreateDirectoryW(SysPath(path).c_str(), nullptr)) ThrowLastError();
}

void Win32Host::RemoveDirectory(const std::string& path) {
  if (!::RemoveDirectoryW(SysPath(path).c_str())) ThrowLastError();
}

std::int64_t Win32Host::FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(SysPath(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<TDateTime> Win32Host::FileWriteTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(SysPath(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  FILETIME local;
  SYSTEMTIME st;
  if (!::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !::FileTimeToSystemTime(&local, &st)) {
    return std::nullopt;
  }
  return FromSystemTime(st);
}

void Win32Host::FlushDirectory(const std::string&) {
  // Windows has no flush of a directory's entries: the renames themselves
  // are made with MOVEFILE_WRITE_THROUGH (see MoveFile), and NTFS logs
  // the change of the entries in its journal.
}

void Win32Host::FlushTree(const std::string& directory) {
  // Windows has no flush of a volume short of administrator rights: each
  // file's buffers go on their own; the entries need none (see above).
  const std::string dir = IncludePathDelimiter(directory);
  for (const DirEntry& entry : FindEntries(dir + "*")) {
    if (entry.name == "." || entry.name == ".." || !entry.reachable()) continue;
    const std::string path = dir + entry.name;
    const std::optional<FileAttributes> attributes = GetAttributes(path);
    if (!attributes || attributes->link) continue;
    if (entry.directory) {
      FlushTree(path);
    } else {
      OpenFile(path, OpenMode::kReadWrite, ShareMode::kReadWrite)->Flush();
    }
  }
}

void Win32Host::SetFileWriteTime(const std::string& path, TDateTime time) {
  const SYSTEMTIME st = ToSystemTime(time);
  FILETIME local, utc;
  if (!::SystemTimeToFileTime(&st, &local) || !::LocalFileTimeToFileTime(&local, &utc)) ThrowLastError();
  // Directories open only with backup semantics.
  HandleGuard file(::CreateFileW(SysPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) ThrowLastError();
  if (!::SetFileTime(file.get(), nullptr, nullptr, &utc)) ThrowLastError();
}

std::int64_t Win32Host::DiskFreeBytes(const std::string& directory) {
  ULARGE_INTEGER free_to_caller;
  const std::wstring wide = Wide(directory);
  if (!::GetDiskFreeSpaceExW(wide.empty() ? nullptr : wide.c_str(), &free_to_caller, nullptr, nullptr)) {
    ThrowLastError();
  }
  return static_cast<std::int64_t>(free_to_caller.QuadPart);
}

std::unique_ptr<File> Win32Host::OpenFile(const std::string& path, OpenMode mode, ShareMode share) {
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::kRead:
      access = GENERIC_READ;
      break;
    case OpenMode::kReadWrite:
      break;
    case OpenMode::kCreate:
      disposition = CREATE_ALWAYS;
      break;
    case OpenMode::kOpenOrCreate:
      disposition = OPEN_ALWAYS;
      break;
    case OpenMode::kCreatePrivate:
      disposition = CREATE_NEW;
      break;
    case OpenMode::kAppend:
      // Without FILE_WRITE_DATA every write goes to the end of the file
      // as one piece, whoever else appends at the same time.
      // (Reading access too: the lock in Win32File::Write needs it.)
      access = GENERIC_READ | FILE_APPEND_DATA;
      disposition = OPEN_ALWAYS;
      break;
  }
  DWORD share_flags = 0;
  switch (share) {
    case ShareMode::kExclusive:
      break;
    case ShareMode::kRead:
      share_flags = FILE_SHARE_READ;
      break;
    case ShareMode::kReadWrite:
      share_flags = FILE_SHARE_READ | FILE_SHARE_WRITE;
      break;
  }
  const std::wstring wide = SysPath(path);
  if (mode != OpenMode::kRead) RefuseIfReadOnly(wide);
  if (mode == OpenMode::kCreate) ClearHiddenAndSystem(wide);
  OwnerOnlySecurity owner_only;
  if (mode == OpenMode::kCreatePrivate) owner_only.Build();
  const HANDLE handle = ::CreateFileW(wide.c_str(), access, share_flags, owner_only.Attributes(), disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) ThrowLastError();
  auto file = std::make_unique<Win32File>(handle, mode == OpenMode::kAppend);
  // Only files on a disk are opened: a pipe, console or device reached by
  // name would block a read or act on the device. The system has no error
  // for this, so the text is our own.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    SysError error;
    error.code = ERROR_BAD_FILE_TYPE;
    error.kind = SysErrorKind::kAccessDenied;
    error.text = "Не является обычным файлом"_cp;
    throw EOSError(error);
  }
  return file;
}

std::string Win32Host::CurrentDirectory() {
  const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
  if (size == 0) ThrowLastError();
  std::wstring buffer(size, L'\0');
  const DWORD n = ::GetCurrentDirectoryW(size, buffer.data());
  if (n == 0 || n >= size) ThrowLastError();
  buffer.resize(n);
  return Narrow(buffer);
}

void Win32Host::SetCurrentDirectory(const std::string& path) {
  if (!::SetCurrentDirectoryW(Wide(path).c_str())) ThrowLastError();
}

std::string Win32Host::ExpandUNCFileName(const std::string& path) {
  std::wstring full = FullPathName(Wide(path));
  if (full.empty()) return path;
  // A path on a mapped network drive becomes the share's UNC name; local
  // drives are left alone without asking the network providers.
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    const std::wstring root = full.substr(0, 3);
    if (::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) {
      DWORD size = 1024;
      std::vector<BYTE> buffer(size);
      DWORD result = ::WNetGetUniversalNameW(full.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
      if (result == ERROR_MORE_DATA) {
        buffer.resize(size);
        result = ::WNetGetUniversalNameW(full.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size);
      }
      if (result == NO_ERROR) full = reinterpret_cast<UNIVERSAL_NAME_INFOW*>(buffer.data())->lpUniversalName;
    }
  }
  return Narrow(full);
}

std::string Win32Host::ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                                     const std::string& fallback) {
  // A relative name is taken from the current directory (the profile
  // functions would look in the Windows directory).
  std::string text;
  try {
    text = ReadFileText(file);
  } catch (const Exception&) {
    return fallback;
  }
  // A file saved as Unicode (UTF-16 with its byte order mark) is read as
  // the profile functions read it; any other as Windows-1251.
  if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') {
    std::wstring wide((text.size() - 2) / 2, L'\0');
    std::memcpy(wide.data(), text.data() + 2, wide.size() * sizeof(wchar_t));
    text = Narrow(wide);
  }
  return FindIniValue(text, section, key).value_or(fallback);
}

}  // namespace korvel::host::win32

namespace korvel::host {

using namespace win32;

std::string ToFileNameEncoding(std::string_view text) { return std::string(text); }

}  // namespace korvel::host
