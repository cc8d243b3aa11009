// libzip data sources whose every read and write goes through the host, so
// that libzip itself never touches the file system.
#pragma once

#include <zip.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"

namespace korvel::packages {

// The parts of a file that libzip has read, as [start, end) ranges in
// the order read, one read that follows another joining its range; kept
// only while `recording`.
struct ReadRanges {
  bool recording = false;
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;

  void Add(std::int64_t start, std::int64_t end);
};

// Reads an open file that the caller keeps open for the source's lifetime;
// what libzip reads is recorded in `reads` when it is given.
zip_source_t* NewBorrowedFileSource(host::File& file, zip_error_t* error, ReadRanges* reads = nullptr);

// Reads the file at `path`, opened (shared for reading) when libzip starts
// reading it; for the files added to a new archive.
zip_source_t* NewPathSource(host::Host& host, std::string path, zip_error_t* error);

// The archive being written to `path`: libzip writes `path` + ".tmp" and
// the commit renames it over `path`; a rollback deletes it. Until then the
// source reads as an empty, absent archive.
zip_source_t* NewArchiveTarget(host::Host& host, std::string path, zip_error_t* error);

}  // namespace korvel::packages
