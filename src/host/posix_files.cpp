// The POSIX backend's files and directories: attributes, listing, copy,
// move and delete, flushes, opening under a share mode, the current
// directory and the ini file.
#include "host/posix_backend.h"

namespace korvel::host::posix {

using namespace korvel::literals;

namespace {

bool IsReadOnlyMode(mode_t mode) { return !S_ISDIR(mode) && (mode & 0222) == 0; }

// A file that exists and is read-only refuses to be written, replaced or
// deleted, whoever asks.
void RefuseIfReadOnly(const std::string& sys_path) {
  struct stat st;
  if (::stat(sys_path.c_str(), &st) == 0 && IsReadOnlyMode(st.st_mode)) ThrowErrno(EACCES);
}

// A directory is refused as the system refuses it; anything else that is
// not a regular file (FIFO, socket, device) with a text of our own, since
// the system has no error for it.
void RefuseNonRegular(mode_t mode) {
  if (S_ISDIR(mode)) ThrowErrno(EISDIR);
  if (S_ISREG(mode)) return;
  SysError error;
  error.code = EINVAL;
  error.kind = SysErrorKind::kAccessDenied;
  error.text = "Не является обычным файлом"_cp;
  throw EOSError(error);
}

timespec ToTimespec(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  struct tm local {};
  local.tm_year = p.year - 1900;
  local.tm_mon = p.month - 1;
  local.tm_mday = p.day;
  local.tm_hour = p.hour;
  local.tm_min = p.minute;
  local.tm_sec = p.second;
  local.tm_isdst = -1;
  timespec ts{};
  ts.tv_sec = mktime(&local);
  ts.tv_nsec = static_cast<long>(p.millisecond) * 1000000;
  return ts;
}

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowLastErrno();
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }

  std::size_t Read(void* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) ThrowLastErrno();
    }
  }
  void Write(std::string_view data) override { WriteAll(fd_, data.data(), data.size()); }
  void Seek(std::int64_t position) override {
    if (::lseek(fd_, position, SEEK_SET) < 0) ThrowLastErrno();
  }
  void SeekToEnd() override {
    if (::lseek(fd_, 0, SEEK_END) < 0) ThrowLastErrno();
  }
  std::int64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) ThrowLastErrno();
    return st.st_size;
  }
  void Flush() override {
    if (::fsync(fd_) != 0) ThrowLastErrno();
  }
  void StartWriteBack() override {
#ifdef __linux__
    // Only a start: a failure here shows again at the flush that counts.
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }
  void Release(std::int64_t offset, std::int64_t length) override {
#ifdef __linux__
    // Only a hint: where the file system cannot punch holes, nothing is freed.
    if (length > 0) ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length);
#endif
  }
  void DropCache(std::int64_t offset, std::int64_t length) override {
    if (length > 0) ::posix_fadvise(fd_, offset, length, POSIX_FADV_DONTNEED);
  }

 private:
  int fd_;
};

// Splits "dir/mask" into the directory to open and the mask.
void SplitPattern(const std::string& pattern, std::string& dir, std::string& mask) {
  const std::size_t slash = pattern.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    mask = pattern;
  } else {
    dir = slash == 0 ? "/" : pattern.substr(0, slash);
    mask = pattern.substr(slash + 1);
  }
}

}  // namespace

std::string ReadSmallFile(const std::string& path) {
  std::string text;
  FdGuard fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() > (1 << 20)) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

std::optional<FileAttributes> PosixHost::GetAttributes(const std::string& path) {
  const std::string sys = Sys(path);
  struct stat st;
  if (::lstat(sys.c_str(), &st) != 0) return std::nullopt;
  FileAttributes a;
  if (S_ISLNK(st.st_mode)) {
    a.link = true;
    // A dangling link still exists; it points at nothing.
    if (::stat(sys.c_str(), &st) != 0) return a;
  }
  a.directory = S_ISDIR(st.st_mode);
  a.read_only = IsReadOnlyMode(st.st_mode);
  a.executable = S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
  return a;
}

void PosixHost::SetAttributes(const std::string& path, const FileAttributes& attributes) {
  const std::string sys = Sys(path);
  struct stat st;
  if (::stat(sys.c_str(), &st) != 0) ThrowLastErrno();
  mode_t mode = st.st_mode & 07777;
  if (attributes.read_only) {
    mode &= ~static_cast<mode_t>(0222);
  } else if (IsReadOnlyMode(st.st_mode)) {
    mode |= S_IWUSR;
  }
  if (attributes.executable && S_ISREG(st.st_mode) && (mode & 0111) == 0) mode |= (mode & 0444) >> 2;
  if (mode == (st.st_mode & 07777)) return;
  if (::chmod(sys.c_str(), mode) != 0) ThrowLastErrno();
}

std::vector<DirEntry> PosixHost::FindEntries(const std::string& pattern) {
  std::string dir, mask;
  SplitPattern(Sys(pattern), dir, mask);
  const std::string wanted = cp1251::FromUtf8(mask);
  std::vector<DirEntry> entries;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return entries;
  while (const dirent* e = ::readdir(d)) {
    std::string name = cp1251::FromUtf8(e->d_name);
    if (!MatchesMask(name, wanted)) continue;
    DirEntry entry;
    // A name that does not come back to the same bytes (characters
    // Windows-1251 lacks, bytes that are not UTF-8, more than 260
    // characters) keeps its own spelling, so that it can still be cleared.
    if (name.size() > 260 || cp1251::ToUtf8(name) != e->d_name) entry.system_name = e->d_name;
    if (name.size() > 260) name.resize(260);
    entry.name = name;
    // The type the directory records, where it records one; a link is
    // followed, as GetAttributes follows it.
    if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) {
      entry.directory = e->d_type == DT_DIR;
    } else {
      struct stat st;
      entry.directory = ::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(d);
  return entries;
}

void PosixHost::CopyFile(const std::string& from, const std::string& to) {
  const std::string src = Sys(from), dst = Sys(to);
  // As in OpenFile: only a regular file is copied, and a FIFO cannot hold
  // the open.
  struct stat st;
  if (::stat(src.c_str(), &st) == 0) RefuseNonRegular(st.st_mode);
  FdGuard in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (in.get() < 0) ThrowLastErrno();
  if (::fstat(in.get(), &st) != 0) ThrowLastErrno();
  RefuseNonRegular(st.st_mode);
  const int status = ::fcntl(in.get(), F_GETFL);
  if (status < 0 || ::fcntl(in.get(), F_SETFL, status & ~O_NONBLOCK) != 0) ThrowLastErrno();
  struct stat target;
  if (::stat(dst.c_str(), &target) == 0) {
    // Copying a file onto itself would truncate it.
    if (target.st_dev == st.st_dev && target.st_ino == st.st_ino) ThrowErrno(EBUSY);
    if (IsReadOnlyMode(target.st_mode)) ThrowErrno(EACCES);
  }
  FdGuard out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777));
  if (out.get() < 0) ThrowLastErrno();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowLastErrno();
    }
    WriteAll(out.get(), buffer, static_cast<std::size_t>(n));
  }
  // The owner may only be kept where the process is allowed to set it.
  if (::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
    // Not permitted: the copy belongs to us, as a Windows copy would.
  }
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) ThrowLastErrno();
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (::futimens(out.get(), times) != 0) ThrowLastErrno();
  if (::close(out.release()) != 0) ThrowLastErrno();
}

void PosixHost::MoveFile(const std::string& from, const std::string& to, bool allow_copy) {
  const std::string src = Sys(from), dst = Sys(to);
  struct stat st;
  if (::lstat(src.c_str(), &st) != 0) ThrowLastErrno();
  struct stat target;
  if (::stat(dst.c_str(), &target) == 0 && !(target.st_dev == st.st_dev && target.st_ino == st.st_ino)) {
    if (IsReadOnlyMode(target.st_mode)) ThrowErrno(EACCES);
    if (S_ISDIR(target.st_mode)) ThrowErrno(EACCES);
  }
  if (::rename(src.c_str(), dst.c_str()) == 0) return;
  if (errno != EXDEV || !allow_copy || S_ISDIR(st.st_mode)) ThrowLastErrno();
  CopyFile(from, to);
  if (::unlink(src.c_str()) != 0) ThrowLastErrno();
}

void PosixHost::DeleteFile(const std::string& path) {
  const std::string sys = Sys(path);
  struct stat st;
  if (::lstat(sys.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) ThrowErrno(EACCES);
    // A link has no attributes of its own: it may always go.
    if (!S_ISLNK(st.st_mode)) RefuseIfReadOnly(sys);
  }
  if (::unlink(sys.c_str()) != 0) ThrowLastErrno();
}

void PosixHost::DeleteFoundFile(const std::string& directory, const DirEntry& entry) {
  const std::string sys =
      Sys(IncludePathDelimiter(directory)) + (entry.reachable() ? Sys(entry.name) : entry.system_name);
  struct stat st;
  if (::lstat(sys.c_str(), &st) != 0) ThrowLastErrno();
  if (S_ISDIR(st.st_mode)) ThrowErrno(EACCES);
  const bool read_only = !S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode);
  if (read_only && ::chmod(sys.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) ThrowLastErrno();
  if (::unlink(sys.c_str()) != 0) ThrowLastErrno();
}

void PosixHost::CreateDirectory(const std::string& path) {
  if (::mkdir(Sys(path).c_str(), 0777) != 0) ThrowLastErrno();
}

void PosixHost::RemoveDirectory(const std::string& path) {
  if (::rmdir(Sys(path).c_str()) != 0) ThrowLastErrno();
}

std::int64_t PosixHost::FileSize(const std::string& path) {
  struct stat st;
  if (::stat(Sys(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

std::optional<TDateTime> PosixHost::FileWriteTime(const std::string& path) {
  struct stat st;
  if (::stat(Sys(path).c_str(), &st) != 0) return std::nullopt;
  return FromTimespec(st.st_mtim);
}

void PosixHost::SetFileWriteTime(const std::string& path, TDateTime time) {
  const timespec times[2] = {{0, UTIME_OMIT}, ToTimespec(time)};
  if (::utimensat(AT_FDCWD, Sys(path).c_str(), times, 0) != 0) ThrowLastErrno();
}

void PosixHost::FlushDirectory(const std::string& directory) {
  FdGuard dir(::open(Sys(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) ThrowLastErrno();
  // A rename reaches the disk only with its directory's own entries.
  if (::fsync(dir.get()) != 0) ThrowLastErrno();
}

void PosixHost::FlushTree(const std::string& directory) {
  FdGuard dir(::open(Sys(directory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) ThrowLastErrno();
  // One write-back of the volume costs less than an fsync per file.
  if (::syncfs(dir.get()) != 0) ThrowLastErrno();
}

std::int64_t PosixHost::DiskFreeBytes(const std::string& directory) {
  struct statvfs vfs;
  if (::statvfs(Sys(directory).c_str(), &vfs) != 0) ThrowLastErrno();
  return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
}

std::unique_ptr<File> PosixHost::OpenFile(const std::string& path, OpenMode mode, ShareMode share) {
  const std::string sys = Sys(path);
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::kRead:
      flags |= O_RDONLY;
      break;
    case OpenMode::kReadWrite:
      flags |= O_RDWR;
      break;
    case OpenMode::kCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case OpenMode::kOpenOrCreate:
      flags |= O_RDWR | O_CREAT;
      break;
    case OpenMode::kCreatePrivate:
      flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
    case OpenMode::kAppend:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
  }
  // Only regular files are opened: a FIFO, device or socket dropped where
  // a file is expected would block the read for ever or act on the device.
  // The type is checked before the open, and again on the descriptor,
  // which is opened without blocking so that a FIFO swapped in between
  // cannot hold the open itself. A read-only file is not opened to write.
  struct stat st;
  if (::stat(sys.c_str(), &st) == 0) {
    if (mode != OpenMode::kRead && IsReadOnlyMode(st.st_mode)) ThrowErrno(EACCES);
    RefuseNonRegular(st.st_mode);
  }
  FdGuard fd(::open(sys.c_str(), flags | O_NONBLOCK, mode == OpenMode::kCreatePrivate ? 0600 : 0666));
  if (fd.get() < 0) ThrowLastErrno();
  if (::fstat(fd.get(), &st) != 0) ThrowLastErrno();
  RefuseNonRegular(st.st_mode);
  const int status = ::fcntl(fd.get(), F_GETFL);
  if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) ThrowLastErrno();
  const int lock = share == ShareMode::kExclusive ? LOCK_EX : LOCK_SH;
  if (::flock(fd.get(), lock | LOCK_NB) != 0) ThrowErrno(errno == EWOULDBLOCK ? EBUSY : errno);
  return std::make_unique<PosixFile>(fd.release());
}

std::string PosixHost::CurrentDirectory() {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) == nullptr) ThrowLastErrno();
  return cp1251::FromUtf8(buffer);
}

void PosixHost::SetCurrentDirectory(const std::string& path) {
  if (::chdir(Sys(path).c_str()) != 0) ThrowLastErrno();
}

std::string PosixHost::ExpandUNCFileName(const std::string& path) {
  std::string full = !path.empty() && path[0] == '/' ? path : IncludePathDelimiter(CurrentDirectory()) + path;
  // "." and ".." steps are resolved as text, as GetFullPathName does.
  std::vector<std::string> parts;
  for (const std::string& part : SplitString(full, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  if (result.empty() || (!path.empty() && path.back() == '/')) result += "/";
  return result;
}

std::string PosixHost::ReadIniString(const std::string& file, const std::string& section, const std::string& key,
                                     const std::string& fallback) {
  std::string text;
  try {
    text = ReadFileText(file);
  } catch (const Exception&) {
    return fallback;
  }
  return FindIniValue(text, section, key).value_or(fallback);
}

}  // namespace korvel::host::posix

namespace korvel::host {

using namespace posix;

std::string ToFileNameEncoding(std::string_view text) { return cp1251::ToUtf8(text); }

}  // namespace korvel::host
