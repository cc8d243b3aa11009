#include "packages/zip_writer.h"

#include <zip.h>

#include <list>

#include "host/cp1251.h"
#include "host/datetime.h"
#include "packages/zip_host_source.h"

namespace korvel::packages {

namespace {

std::string StoredName(const std::string& name) {
  std::string stored = cp1251::ToUtf8(name);
  for (char& c : stored) {
    if (c == '\\') c = '/';
  }
  return stored;
}

std::string ErrorText(zip_error_t* error) { return cp1251::FromUtf8(zip_error_strerror(error)); }

}  // namespace

struct ZipWriter::Archive {
  // Archives whose entries this one takes over, read when it is written.
  struct Source {
    std::unique_ptr<host::File> file;
    zip_t* zip = nullptr;
  };
  zip_t* zip = nullptr;
  // Buffers handed to libzip stay alive until the archive is written.
  std::list<std::string> buffers;
  std::list<Source> sources;
  ~Archive() {
    if (zip != nullptr) zip_discard(zip);
    for (Source& source : sources) {
      if (source.zip != nullptr) zip_discard(source.zip);
    }
  }
};

ZipWriter::ZipWriter(host::Host& host, std::string path)
    : host_(host), path_(std::move(path)), archive_(std::make_unique<Archive>()) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = NewArchiveTarget(host_, path_, &error);
  archive_->zip = target == nullptr ? nullptr : zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive_->zip == nullptr) {
    if (target != nullptr) zip_source_free(target);
    const std::string reason = ErrorText(&error);
    zip_error_fini(&error);
    throw Exception("Cannot create the archive " + path_ + ": " + reason);
  }
  zip_error_fini(&error);
}

ZipWriter::~ZipWriter() = default;

void ZipWriter::SetTime(std::int64_t index, double time) {
  if (time == 0) return;
  const DateTimeParts p = DecodeDateTime(time);
  // DOS date and time, two-second resolution; the format starts in 1980.
  const int year = p.year < 1980 ? 1980 : p.year > 2107 ? 2107 : p.year;
  const auto dos_time = static_cast<zip_uint16_t>((p.hour << 11) | (p.minute << 5) | (p.second / 2));
  const auto dos_date = static_cast<zip_uint16_t>(((year - 1980) << 9) | (p.month << 5) | p.day);
  if (zip_file_set_dostime(archive_->zip, static_cast<zip_uint64_t>(index), dos_time, dos_date, 0) != 0) {
    throw Exception("Cannot set the time of an entry: " + ErrorText(zip_get_error(archive_->zip)));
  }
}

void ZipWriter::AddFile(const std::string& name, const std::string& source, bool store) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* data = NewPathSource(host_, source, &error);
  zip_error_fini(&error);
  if (data == nullptr) throw Exception("Cannot add " + source);
  const zip_int64_t index =
      zip_file_add(archive_->zip, StoredName(name).c_str(), data, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(data);
    throw Exception("Cannot add " + source + ": " + ErrorText(zip_get_error(archive_->zip)));
  }
  if (store && zip_set_file_compression(archive_->zip, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0) {
    throw Exception("Cannot store " + source + ": " + ErrorText(zip_get_error(archive_->zip)));
  }
  const auto time = host_.FileWriteTime(source);
  SetTime(index, time ? *time : 0);
  // A program is recorded as one (the Unix mode rwxr-xr-x), so that the
  // utility on POSIX extracts it executable, as unzip would.
  const auto attributes = host_.GetAttributes(source);
  if (attributes && attributes->executable) {
    constexpr zip_uint32_t kExecutableMode = 0100755;
    if (zip_file_set_external_attributes(archive_->zip, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                         kExecutableMode << 16) != 0) {
      throw Exception("Cannot mark " + source + " as a program: " + ErrorText(zip_get_error(archive_->zip)));
    }
  }
}

void ZipWriter::AddData(const std::string& name, std::string data, double time) {
  const std::string& buffer = archive_->buffers.emplace_back(std::move(data));
  zip_source_t* source = zip_source_buffer(archive_->zip, buffer.data(), buffer.size(), 0);
  if (source == nullptr) throw Exception("Cannot add " + name + ": " + ErrorText(zip_get_error(archive_->zip)));
  const zip_int64_t index =
      zip_file_add(archive_->zip, StoredName(name).c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
  if (index < 0) {
    zip_source_free(source);
    throw Exception("Cannot add " + name + ": " + ErrorText(zip_get_error(archive_->zip)));
  }
  SetTime(index, time);
}

void ZipWriter::AddEntriesOf(const std::string& path) {
  Archive::Source& source = archive_->sources.emplace_back();
  source.file = host_.OpenFile(path, host::OpenMode::kRead, host::ShareMode::kRead);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* data = NewBorrowedFileSource(*source.file, &error);
  source.zip = data == nullptr ? nullptr : zip_open_from_source(data, ZIP_RDONLY, &error);
  if (source.zip == nullptr) {
    if (data != nullptr) zip_source_free(data);
    const std::string reason = ErrorText(&error);
    zip_error_fini(&error);
    throw Exception("Cannot read the archive " + path + ": " + reason);
  }
  zip_error_fini(&error);
  const zip_int64_t count = zip_get_num_entries(source.zip, 0);
  for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
    const char* name = zip_get_name(source.zip, i, ZIP_FL_ENC_RAW);
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    // The compressed bytes as they are: libzip writes them without
    // inflating and deflating again when the method stays the same.
    zip_source_t* entry = name == nullptr ? nullptr : zip_source_zip(archive_->zip, source.zip, i, ZIP_FL_COMPRESSED, 0, -1);
    if (entry == nullptr || zip_file_get_external_attributes(source.zip, i, 0, &opsys, &attributes) != 0) {
      if (entry != nullptr) zip_source_free(entry);
      throw Exception("Cannot take over an entry of " + path + ": " + ErrorText(zip_get_error(archive_->zip)));
    }
    // The names were stored as UTF-8 (zip_writer writes no other).
    const zip_int64_t index = zip_file_add(archive_->zip, name, entry, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    if (index < 0) {
      zip_source_free(entry);
      throw Exception("Cannot take over " + std::string(name) + ": " + ErrorText(zip_get_error(archive_->zip)));
    }
    if (zip_file_set_external_attributes(archive_->zip, static_cast<zip_uint64_t>(index), 0, opsys, attributes) != 0) {
      throw Exception("Cannot take over the attributes of " + std::string(name) + ": " +
                      ErrorText(zip_get_error(archive_->zip)));
    }
  }
}

void ZipWriter::Close() {
  if (zip_close(archive_->zip) != 0) {
    const std::string reason = ErrorText(zip_get_error(archive_->zip));
    throw Exception("Cannot write the archive " + path_ + ": " + reason);
  }
  archive_->zip = nullptr;
}

}  // namespace korvel::packages
