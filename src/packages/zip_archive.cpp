#include "packages/zip_archive.h"

#include <zip.h>

#include <cstdint>

#include "host/cp1251.h"
#include "host/text.h"
#include "packages/shown_name.h"
#include "packages/zip_host_source.h"

namespace korvel::packages {

using namespace korvel::literals;

namespace {

constexpr std::size_t kBlock = 1 << 16;
// The size from which a file unpacked is sent to the disk at once.
constexpr std::uint64_t kWriteBackSize = 1 << 20;

// The archive says how a name is written: the UTF-8 flag (bit 11) or an
// Info-ZIP Unicode path field (0x7075) whose CRC matches the raw name
// declare UTF-8; any other name is in the OEM code page 866. libzip reads
// both declarations when it opens the archive (it refuses a flagged name
// that is not UTF-8 and puts a matching Unicode path in place of the raw
// name) and then hands the name back untouched in its strict mode, while
// an undeclared one comes back converted from code page 437. A name is
// never guessed from its bytes: code page 866 text can be valid UTF-8.
std::string EntryNameToCp1251(const char* raw, const char* strict) {
  const std::string_view name(raw);
  bool ascii = true;
  for (char c : name) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(name);
  const bool declared_utf8 = strict != nullptr && name == strict;
  return declared_utf8 ? cp1251::FromUtf8(name) : cp1251::FromOem866(name);
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Names Windows keeps for devices in every directory, with any extension.
bool IsDeviceName(const std::string& step) {
  std::string base = UpperCase(step.substr(0, step.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : kDevices) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '0' && base[3] <= '9';
}

std::string ZipErrorText(zip_error_t* error) { return cp1251::FromUtf8(zip_error_strerror(error)); }

}  // namespace

struct ZipReader::Archive {
  zip_t* zip = nullptr;
  ~Archive() {
    if (zip != nullptr) zip_discard(zip);
  }
};

ZipReader::ZipReader(host::File& file, std::unique_ptr<ReadRanges> reads, std::unique_ptr<Archive> archive)
    : file_(file), reads_(std::move(reads)), archive_(std::move(archive)) {}

ZipReader::~ZipReader() = default;

std::unique_ptr<ZipReader> ZipReader::Open(host::File& file, std::string* error, ArchiveUse use) {
  zip_error_t zip_error;
  zip_error_init(&zip_error);
  auto reads = use == ArchiveUse::kConsume ? std::make_unique<ReadRanges>() : nullptr;
  zip_source_t* source = NewBorrowedFileSource(file, &zip_error, reads.get());
  zip_t* zip = source == nullptr ? nullptr : zip_open_from_source(source, ZIP_RDONLY, &zip_error);
  if (zip == nullptr) {
    if (source != nullptr) zip_source_free(source);
    if (error != nullptr) *error = ZipErrorText(&zip_error);
    zip_error_fini(&zip_error);
    return nullptr;
  }
  zip_error_fini(&zip_error);
  auto archive = std::make_unique<Archive>();
  archive->zip = zip;
  std::unique_ptr<ZipReader> reader(new ZipReader(file, std::move(reads), std::move(archive)));

  const zip_int64_t count = zip_get_num_entries(zip, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    zip_stat_t st;
    const char* raw = zip_get_name(zip, index, ZIP_FL_ENC_RAW);
    if (raw == nullptr || zip_stat_index(zip, index, ZIP_FL_ENC_RAW, &st) != 0) {
      if (error != nullptr) *error = ZipErrorText(zip_get_error(zip));
      return nullptr;
    }
    // Copied: the next call may reuse the buffer behind `raw`.
    const std::string raw_name(raw);
    ZipEntry entry;
    entry.name = EntryNameToCp1251(raw_name.c_str(), zip_get_name(zip, index, ZIP_FL_ENC_STRICT));
    entry.directory = !entry.name.empty() && IsSeparator(entry.name.back());
    if (st.valid & ZIP_STAT_SIZE) entry.size = st.size;
    if (st.valid & ZIP_STAT_MTIME) entry.time = LocalDateTimeFromUnixTime(static_cast<std::int64_t>(st.mtime));
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(zip, index, 0, &opsys, &attributes) == 0 && opsys == ZIP_OPSYS_UNIX) {
      constexpr zip_uint32_t kTypeMask = 0170000, kLink = 0120000, kRegular = 0100000;
      const zip_uint32_t mode = attributes >> 16;
      entry.link = (mode & kTypeMask) == kLink;
      entry.executable = (mode & kTypeMask) == kRegular && (mode & 0111) != 0;
    }
    reader->entries_.push_back(std::move(entry));
  }
  return reader;
}

void ZipReader::ReadEntry(std::size_t index, const std::function<void(std::string_view)>& sink) {
  // The entry's reads (its local header and data) are recorded from its
  // opening until this returns, however it returns; the directory, read
  // when the archive was opened, is not.
  struct Recording {
    ReadRanges* reads;
    ~Recording() {
      if (reads != nullptr) reads->recording = false;
    }
  } recording{reads_.get()};
  if (reads_) {
    reads_->ranges.clear();
    reads_->recording = true;
  }
  zip_file_t* file = zip_fopen_index(archive_->zip, index, 0);
  if (file == nullptr) throw Exception(ZipErrorText(zip_get_error(archive_->zip)));
  // One buffer for every entry: thousands of small files cost no
  // allocation each.
  buffer_.resize(kBlock);
  try {
    for (;;) {
      const zip_int64_t got = zip_fread(file, buffer_.data(), buffer_.size());
      if (got < 0) throw Exception(ZipErrorText(zip_file_get_error(file)));
      if (got == 0) break;
      sink(std::string_view(buffer_.data(), static_cast<std::size_t>(got)));
    }
  } catch (...) {
    zip_fclose(file);
    throw;
  }
  zip_fclose(file);
  ReleaseRead();
}

void ZipReader::ReleaseRead() {
  if (!reads_) return;
  // Whole pages only: a page the entry shares with its neighbours stays.
  constexpr std::int64_t kPage = 4096;
  for (const auto& [start, end] : reads_->ranges) {
    const std::int64_t first = (start + kPage - 1) / kPage * kPage, last = end / kPage * kPage;
    if (last > first) file_.Release(first, last - first);
  }
  reads_->ranges.clear();
}

std::string JoinEntryPath(const std::vector<std::string>& steps, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count && i < steps.size(); ++i) {
    if (i > 0) path += host::kPathDelim;
    path += steps[i];
  }
  return path;
}

std::string EntryNameLead() { return "Недопустимое имя файла в архиве"_cp; }

std::vector<std::string> SafeEntryPath(const std::string& name, const std::string& lead) {
  const auto refuse = [&](std::string_view why) {
    throw Exception(lead + " \"" + ShownName(name) + "\": " + std::string(why));
  };
  if (name.empty()) refuse("пустое имя"_cp);
  if (IsSeparator(name.front())) refuse("абсолютный путь"_cp);
  if (name.find(':') != std::string::npos) refuse("буква диска или поток файла"_cp);
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) refuse("управляющий символ в имени"_cp);
    // Characters no Windows file name may hold; '?' also stands for those
    // that Windows-1251 lacks. Refused here on every system, so that
    // Windows does not fail halfway through the archive.
    if (std::string_view("<>\"|?*").find(c) != std::string_view::npos) refuse("недопустимый символ в имени"_cp);
  }
  std::vector<std::string> steps;
  std::string step;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparator(name[i])) {
      step += name[i];
      continue;
    }
    if (step == "..") refuse("путь выходит за пределы каталога распаковки"_cp);
    if (!step.empty() && step != ".") {
      // Windows drops trailing dots and blanks from a name, so ".. " would
      // be ".." there and "a." would land on "a": refused on every system.
      if (step.back() == '.' || step.back() == ' ') refuse("имя оканчивается точкой или пробелом"_cp);
      if (IsDeviceName(step)) refuse("имя устройства"_cp);
      steps.push_back(step);
    }
    step.clear();
  }
  if (steps.empty()) refuse("пустое имя"_cp);
  return steps;
}

namespace {

struct PlannedFile {
  std::size_t index;
  std::vector<std::string> steps;
};

}  // namespace

int ExtractArchive(host::Host& host, host::File& archive, const std::string& directory, std::int64_t keep_free,
                   ArchiveUse use) {
  std::unique_ptr<ZipReader> reader = ZipReader::Open(archive, nullptr, use);
  if (!reader) return 0;
  const std::vector<ZipEntry>& entries = reader->Entries();

  // Every name is examined before anything is written.
  std::vector<std::vector<std::string>> directories;
  std::vector<PlannedFile> files;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry& entry = entries[i];
    if (entry.link) throw Exception("Архив содержит символическую ссылку \""_cp + ShownName(entry.name) + "\"");
    std::vector<std::string> steps = SafeEntryPath(entry.name);
    if (entry.directory) {
      directories.push_back(std::move(steps));
    } else {
      files.push_back({i, std::move(steps)});
    }
  }
  if (files.empty()) return 0;

  // The whole payload must fit before the first byte is written; no entry
  // can write more than it declares (see below).
  std::uint64_t total = 0;
  for (const PlannedFile& file : files) {
    const std::uint64_t size = entries[file.index].size;
    total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
  }
  const std::int64_t free = host.DiskFreeBytes(directory);
  const auto reserve = static_cast<std::uint64_t>(keep_free < 0 ? 0 : keep_free);
  if (free < 0 || total > UINT64_MAX - reserve || total + reserve > static_cast<std::uint64_t>(free)) {
    throw Exception("Недостаточно места на диске для распаковки архива: нужно "_cp + std::to_string(total) +
                    " байт"_cp + (reserve > 0 ? " и запас "_cp + std::to_string(reserve) + " байт"_cp : std::string()) +
                    ", свободно "_cp + IntToStr(free < 0 ? 0 : free) + " байт"_cp);
  }

  // Each file is written under one temporary name in its own directory,
  // so that it is made where it stays (the file system places a new file
  // by its directory) and renamed within that directory. The name differs
  // from every name at any level of the archive, so no entry can land on
  // it.
  std::string temp_name = "~korvel-unzip.tmp";
  for (int n = 1;; ++n) {
    bool taken = false;
    const auto check = [&](const std::vector<std::string>& steps) {
      for (const std::string& step : steps) taken = taken || SameText(step, temp_name);
    };
    for (const PlannedFile& file : files) check(file.steps);
    for (const auto& steps : directories) check(steps);
    if (!taken) break;
    temp_name = "~korvel-unzip" + IntToStr(n) + ".tmp";
  }

  // Each directory is made once: the files of one directory follow one
  // another in an archive, so the last one made is remembered.
  std::string last_made;
  const auto make_directory = [&host, &last_made](const std::string& path) {
    if (path == last_made) return;
    if (!host.ForceDirectoriesOrFail(path)) throw Exception("Ошибка создания каталога "_cp + path);
    last_made = path;
  };
  for (const auto& steps : directories) make_directory(host::IncludePathDelimiter(directory + JoinEntryPath(steps)));

  int count = 0;
  for (const PlannedFile& planned : files) {
    const ZipEntry& entry = entries[planned.index];
    const std::string target = directory + JoinEntryPath(planned.steps);
    std::string parent = directory;
    if (planned.steps.size() > 1) {
      parent = host::IncludePathDelimiter(directory + JoinEntryPath(planned.steps, planned.steps.size() - 1));
      make_directory(parent);
    }
    const std::string temp_path = parent + temp_name;
    try {
      {
        std::unique_ptr<host::File> out = host.OpenFile(temp_path, host::OpenMode::kCreate, host::ShareMode::kExclusive);
        std::uint64_t written = 0;
        reader->ReadEntry(planned.index, [&](std::string_view block) {
          written += block.size();
          // More data than the entry declares is a damaged archive; stop
          // before it fills the disk.
          if (written > entry.size) throw Exception("данные длиннее объявленного размера"_cp);
          out->Write(block);
        });
        if (written != entry.size) throw Exception("данные короче объявленного размера"_cp);
        // The disk writes a large file while the next ones are unpacked;
        // the one flush of the tree at the end then has little left to wait
        // for. Small files wait for that flush, which writes them together
        // instead of in a request each.
        if (written >= kWriteBackSize) out->StartWriteBack();
      }
      if (entry.time != 0) host.SetFileWriteTime(temp_path, entry.time);
      // A program stays a program (POSIX; Windows has no such attribute):
      // an executable the package brings must be able to run.
      if (entry.executable) host.MarkExecutable(temp_path);
      // The extraction replaces whatever lies at the entry's place, also a
      // file marked read-only.
      host.ClearFileAttributes(target);
      host.MoveFile(temp_path, target, false);
    } catch (Exception& e) {
      try {
        if (host.FileExists(temp_path)) host.DeleteFile(temp_path);
      } catch (const Exception&) {
        // The temporary file has its own name; the next extraction replaces it.
      }
      e.SetMessage("Ошибка распаковки файла "_cp + ShownName(entry.name) + ": " + e.Message());
      throw;
    }
    ++count;
  }
  return count;
}

}  // namespace korvel::packages
