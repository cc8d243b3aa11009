// Writing ZIP archives through libzip with every file access through the
// host: the office's packing tool and the tests make packages with it.
// Entry names are stored with "/" separators, in UTF-8 (flagged as such
// when not plain ASCII), and each entry keeps its file's last-write time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "host/host.h"

namespace korvel::packages {

class ZipWriter {
 public:
  // Starts a new archive that Close writes to `path` (replacing a file
  // there). Throws Exception when libzip cannot start it.
  ZipWriter(host::Host& host, std::string path);
  // Without Close nothing is written.
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Adds the file at `source` under `name` (Windows-1251; "\" or "/"
  // separators); deflated unless `store`.
  void AddFile(const std::string& name, const std::string& source, bool store = false);
  // Adds an entry holding `data`, dated `time` (local; 0 for now).
  void AddData(const std::string& name, std::string data, double time = 0);
  // Adds every entry of the archive at `path` as it is stored there: its
  // compressed data, CRC, sizes, time and attributes, without compressing
  // it again, so that one compressed payload serves many archives. The
  // archive is opened here (shared for reading) and read by Close. Throws
  // Exception with libzip's reason.
  void AddEntriesOf(const std::string& path);
  // Writes the archive. Throws Exception with libzip's reason.
  void Close();

 private:
  struct Archive;
  void SetTime(std::int64_t index, double time);

  host::Host& host_;
  std::string path_;
  std::unique_ptr<Archive> archive_;
};

}  // namespace korvel::packages
