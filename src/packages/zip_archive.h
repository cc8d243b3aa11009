// Reading ZIP archives through libzip, with every byte read through the
// host: the archive is an open host::File, so that a package is unpacked
// from the very handle its signature was checked on. libzip finds the end
// of the central directory in front of trailing bytes such as the 108-byte
// signature trailer.
//
// Entry names: a name the archive declares UTF-8 (the UTF-8 flag, bit 11,
// or an Info-ZIP Unicode path field whose CRC matches the raw name) is read
// as UTF-8; any other name as the OEM code page 866 that archivers on a
// Russian Windows write, also when its bytes happen to be valid UTF-8.
// Both "/" and "\" separate directories.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/datetime.h"
#include "host/host.h"

namespace korvel::packages {

struct ZipEntry {
  std::string name;  // Windows-1251, separators as stored
  std::uint64_t size = 0;
  TDateTime time = 0;      // local last-write time, 0 when unknown
  bool directory = false;  // the name ends with a separator
  bool link = false;       // a symbolic link (Unix mode in the attributes)
  // A program: a regular file whose Unix mode in the attributes has an
  // execute bit (as zip and korvel-tool pack record it on POSIX).
  bool executable = false;
};

// What becomes of an archive's file as its entries are read: kept whole,
// or consumed, for a file that is removed once it is unpacked (a private
// copy): the part of the file an entry occupies is released once the
// entry has been read (host::File::Release), so that the files unpacked
// from it take the memory that cached it instead of as much again, and
// its pages are normally gone before the system would write them out.
enum class ArchiveUse { kKeep, kConsume };

struct ReadRanges;

class ZipReader {
 public:
  // Reads the central directory of the archive in `file`, which must stay
  // open while the reader lives. Null when the file is not a ZIP archive
  // libzip can read; `error` then says why.
  static std::unique_ptr<ZipReader> Open(host::File& file, std::string* error = nullptr,
                                         ArchiveUse use = ArchiveUse::kKeep);
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  const std::vector<ZipEntry>& Entries() const { return entries_; }

  // Streams the data of entry `index` to `sink` in blocks. Throws
  // Exception with libzip's reason when the entry cannot be read or its
  // data does not match its size or CRC. A consumed archive's entry reads
  // only once: what it read is released when it is done. Entries that
  // share bytes (no archiver writes them) then fail their CRC.
  void ReadEntry(std::size_t index, const std::function<void(std::string_view)>& sink);

 private:
  struct Archive;
  ZipReader(host::File& file, std::unique_ptr<ReadRanges> reads, std::unique_ptr<Archive> archive);
  void ReleaseRead();

  host::File& file_;
  // Outlives the archive, whose source records into it.
  std::unique_ptr<ReadRanges> reads_;
  std::unique_ptr<Archive> archive_;
  std::vector<ZipEntry> entries_;
  std::vector<char> buffer_;
};

// The relative path an entry may be unpacked to, as its steps; throws
// Exception naming the entry when the name would leave the extraction
// directory (an absolute path, a drive letter, a ".." step) or is not a
// name a file may have (control characters, a device name such as NUL, a
// step ending in a dot or a blank, which Windows would silently drop).
// The message is `lead` + " \"" + the name (ShownName) + "\": " + why.
// "Недопустимое имя файла в архиве"
std::string EntryNameLead();
std::vector<std::string> SafeEntryPath(const std::string& name, const std::string& lead = EntryNameLead());
// The first `count` steps (all by default) joined with the platform's
// separator.
std::string JoinEntryPath(const std::vector<std::string>& steps, std::size_t count = SIZE_MAX);

// Unpacks every entry of the archive in `archive` below `directory` (with
// its trailing separator): stored paths are recreated, existing files are
// replaced, read-only ones included, and each file gets its stored time.
// Returns the number of files written; 0, with nothing written, when the
// archive cannot be read or holds no files.
//
// Before anything is written every entry is examined: a name that would
// leave `directory` or a symbolic link fails the whole archive, and so
// does a total unpacked size above the free space of the volume of
// `directory` ("Недостаточно места на диске для распаковки архива: нужно
// N байт, свободно M байт"); `keep_free` bytes more must stay free (the
// volume is often the database's), and the message then names them too
// ("нужно N байт и запас K байт, свободно M байт"). Each file
// is written under a temporary name and renamed into place once it is
// complete, so that a failed extraction never leaves a truncated file
// under an entry's name. Failures raise Exception with the entry's name.
// A consumed archive (ArchiveUse) reads as zeros where it was unpacked.
int ExtractArchive(host::Host& host, host::File& archive, const std::string& directory,
                   std::int64_t keep_free = 0, ArchiveUse use = ArchiveUse::kKeep);

}  // namespace korvel::packages
