// libzip data sources whose every read and write goes through the host, so
// that libzip itself never touches the file system.
#pragma once

#include <zip.h>

#include <string>

#include "host/host.h"

namespace korvel::packages {

// Reads an open file that the caller keeps open for the source's lifetime.
zip_source_t* NewBorrowedFileSource(host::File& file, zip_error_t* error);

// Reads the file at `path`, opened (shared for reading) when libzip starts
// reading it; for the files added to a new archive.
zip_source_t* NewPathSource(host::Host& host, std::string path, zip_error_t* error);

// The archive being written to `path`: libzip writes `path` + ".tmp" and
// the commit renames it over `path`; a rollback deletes it. Until then the
// source reads as an empty, absent archive.
zip_source_t* NewArchiveTarget(host::Host& host, std::string path, zip_error_t* error);

}  // namespace korvel::packages
