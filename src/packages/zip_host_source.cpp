#include "packages/zip_host_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace korvel::packages {

void ReadRanges::Add(std::int64_t start, std::int64_t end) {
  if (!recording || end <= start) return;
  if (!ranges.empty() && ranges.back().second == start) {
    ranges.back().second = end;
  } else {
    ranges.emplace_back(start, end);
  }
}

namespace {

class HostSource {
 public:
  enum class Kind { kBorrowed, kPath, kTarget };

  HostSource(Kind kind, host::Host* host, host::File* borrowed, std::string path, ReadRanges* reads = nullptr)
      : kind_(kind), host_(host), borrowed_(borrowed), path_(std::move(path)), reads_(reads) {
    zip_error_init(&error_);
  }
  ~HostSource() { zip_error_fini(&error_); }

  static zip_int64_t Callback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* self = static_cast<HostSource*>(state);
    if (cmd == ZIP_SOURCE_FREE) {
      delete self;
      return 0;
    }
    try {
      return self->Handle(data, len, cmd);
    } catch (const Exception& e) {
      // libzip is C: the failure travels as its error code.
      const int sys = e.Cause().code != 0 ? e.Cause().code : EIO;
      zip_error_set(&self->error_, IsWriteCommand(cmd) ? ZIP_ER_WRITE : ZIP_ER_READ, sys);
      return -1;
    } catch (const std::exception&) {
      zip_error_set(&self->error_, ZIP_ER_MEMORY, 0);
      return -1;
    }
  }

 private:
  static bool IsWriteCommand(zip_source_cmd_t cmd) {
    return cmd == ZIP_SOURCE_BEGIN_WRITE || cmd == ZIP_SOURCE_WRITE || cmd == ZIP_SOURCE_SEEK_WRITE ||
           cmd == ZIP_SOURCE_COMMIT_WRITE || cmd == ZIP_SOURCE_ROLLBACK_WRITE || cmd == ZIP_SOURCE_REMOVE;
  }

  host::File* ReadFile() { return kind_ == Kind::kBorrowed ? borrowed_ : owned_.get(); }

  // A borrowed file's size is taken once: libzip asks for it with every
  // entry it opens.
  std::int64_t BorrowedSize() {
    if (borrowed_size_ < 0) borrowed_size_ = borrowed_->Size();
    return borrowed_size_;
  }

  zip_int64_t Handle(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    switch (cmd) {
      case ZIP_SOURCE_OPEN:
        if (kind_ == Kind::kPath) {
          owned_ = host_->OpenFile(path_, host::OpenMode::kRead, host::ShareMode::kRead);
        } else if (kind_ == Kind::kTarget) {
          zip_error_set(&error_, ZIP_ER_NOENT, ENOENT);
          return -1;
        }
        size_ = kind_ == Kind::kBorrowed ? BorrowedSize() : ReadFile()->Size();
        position_ = 0;
        file_position_ = -1;
        ahead_.clear();
        return 0;
      case ZIP_SOURCE_READ: {
        const std::int64_t left = size_ - position_;
        const std::size_t want = left <= 0 ? 0 : static_cast<std::size_t>(left < static_cast<std::int64_t>(len) ? left : len);
        const std::size_t done = Read(static_cast<char*>(data), want);
        if (reads_ != nullptr) reads_->Add(position_, position_ + static_cast<std::int64_t>(done));
        position_ += static_cast<std::int64_t>(done);
        return static_cast<zip_int64_t>(done);
      }
      case ZIP_SOURCE_CLOSE:
        if (kind_ == Kind::kPath) owned_.reset();
        return 0;
      case ZIP_SOURCE_STAT: {
        zip_stat_t* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &error_);
        if (st == nullptr) return -1;
        zip_stat_init(st);
        // The target of a new archive reads as absent: libzip knows
        // absence by a read error with ENOENT.
        const std::int64_t size = kind_ == Kind::kBorrowed ? BorrowedSize()
                                  : kind_ == Kind::kPath   ? host_->FileSize(path_)
                                                           : -1;
        if (size < 0) {
          zip_error_set(&error_, ZIP_ER_READ, ENOENT);
          return -1;
        }
        st->size = static_cast<zip_uint64_t>(size);
        st->comp_size = st->size;
        st->comp_method = ZIP_CM_STORE;
        st->encryption_method = ZIP_EM_NONE;
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, len);
      case ZIP_SOURCE_SEEK: {
        const zip_int64_t target = zip_source_seek_compute_offset(static_cast<zip_uint64_t>(position_),
                                                                  static_cast<zip_uint64_t>(size_), data, len, &error_);
        if (target < 0) return -1;
        position_ = target;
        return 0;
      }
      case ZIP_SOURCE_TELL:
        return position_;
      case ZIP_SOURCE_SUPPORTS:
        if (kind_ == Kind::kTarget) {
          return ZIP_SOURCE_SUPPORTS_WRITABLE | zip_source_make_command_bitmap(ZIP_SOURCE_ACCEPT_EMPTY, -1);
        }
        return ZIP_SOURCE_SUPPORTS_SEEKABLE | zip_source_make_command_bitmap(ZIP_SOURCE_ACCEPT_EMPTY, -1);
      case ZIP_SOURCE_ACCEPT_EMPTY:
        return 0;
      case ZIP_SOURCE_BEGIN_WRITE:
        write_file_ = host_->OpenFile(TempPath(), host::OpenMode::kCreate, host::ShareMode::kExclusive);
        write_position_ = write_size_ = 0;
        return 0;
      case ZIP_SOURCE_WRITE:
        write_file_->Seek(write_position_);
        write_file_->Write(std::string_view(static_cast<const char*>(data), len));
        write_position_ += static_cast<std::int64_t>(len);
        if (write_position_ > write_size_) write_size_ = write_position_;
        return static_cast<zip_int64_t>(len);
      case ZIP_SOURCE_SEEK_WRITE: {
        const zip_int64_t target = zip_source_seek_compute_offset(
            static_cast<zip_uint64_t>(write_position_), static_cast<zip_uint64_t>(write_size_), data, len, &error_);
        if (target < 0) return -1;
        write_position_ = target;
        return 0;
      }
      case ZIP_SOURCE_TELL_WRITE:
        return write_position_;
      case ZIP_SOURCE_COMMIT_WRITE:
        write_file_.reset();
        host_->MoveFile(TempPath(), path_, false);
        return 0;
      case ZIP_SOURCE_ROLLBACK_WRITE:
        write_file_.reset();
        try {
          host_->DeleteFile(TempPath());
        } catch (const Exception&) {
          // Nothing more can be done about a temporary file that stays.
        }
        return 0;
      case ZIP_SOURCE_REMOVE:
        if (host_->FileExists(path_)) host_->DeleteFile(path_);
        return 0;
      default:
        zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

  // libzip reads the directory a few bytes at a time and compressed data
  // in 8 KB blocks: those reads are served from one larger read-ahead, one
  // read of the file per 64 KB (a 218 MB package of 2,000 files: 3,400
  // reads instead of 35,000). A read as large as the read-ahead goes
  // straight through.
  std::size_t Read(char* data, std::size_t want) {
    std::size_t done = 0;
    while (done < want) {
      const std::int64_t at = position_ + static_cast<std::int64_t>(done);
      if (at >= ahead_start_ && at < ahead_start_ + static_cast<std::int64_t>(ahead_.size())) {
        const std::size_t offset = static_cast<std::size_t>(at - ahead_start_);
        const std::size_t take = std::min(want - done, ahead_.size() - offset);
        std::memcpy(data + done, ahead_.data() + offset, take);
        done += take;
        continue;
      }
      host::File* file = ReadFile();
      if (file_position_ != at) file->Seek(at);
      std::size_t got;
      if (want - done >= kReadAhead) {
        got = file->Read(data + done, want - done);
        done += got;
      } else {
        ahead_.resize(kReadAhead);
        got = file->Read(ahead_.data(), kReadAhead);
        ahead_.resize(got);
        ahead_start_ = at;
      }
      file_position_ = at + static_cast<std::int64_t>(got);
      if (got == 0) break;
    }
    return done;
  }

  std::string TempPath() const { return path_ + ".tmp"; }

  static constexpr std::size_t kReadAhead = 1 << 16;

  Kind kind_;
  host::Host* host_;
  host::File* borrowed_;
  std::string path_;
  ReadRanges* reads_;
  std::unique_ptr<host::File> owned_;
  std::unique_ptr<host::File> write_file_;
  std::int64_t size_ = 0, position_ = 0, file_position_ = -1, borrowed_size_ = -1;
  std::vector<char> ahead_;
  std::int64_t ahead_start_ = 0;
  std::int64_t write_position_ = 0, write_size_ = 0;
  zip_error_t error_;
};

zip_source_t* NewSource(HostSource* state, zip_error_t* error) {
  zip_source_t* source = zip_source_function_create(&HostSource::Callback, state, error);
  if (source == nullptr) delete state;
  return source;
}

}  // namespace

zip_source_t* NewBorrowedFileSource(host::File& file, zip_error_t* error, ReadRanges* reads) {
  return NewSource(new HostSource(HostSource::Kind::kBorrowed, nullptr, &file, {}, reads), error);
}

zip_source_t* NewPathSource(host::Host& host, std::string path, zip_error_t* error) {
  return NewSource(new HostSource(HostSource::Kind::kPath, &host, nullptr, std::move(path)), error);
}

zip_source_t* NewArchiveTarget(host::Host& host, std::string path, zip_error_t* error) {
  return NewSource(new HostSource(HostSource::Kind::kTarget, &host, nullptr, std::move(path)), error);
}

}  // namespace korvel::packages
