// The program's error types. Every failure is an exception carrying a
// Windows-1251 message; a layer that adds context rewrites the message of
// the same object and rethrows it with `throw;`. The run log names the
// type ("Ошибка " + TypeName() + ":\r\n" + message), so the program's own
// errors are plain Exception and the others carry names of their own.
#pragma once

#include <exception>
#include <string>

namespace korvel {

// What the operating system said about a failed call: its own code (errno
// on POSIX, GetLastError on Windows), a portable reading of that code, and
// the system's text for it in Windows-1251.
enum class SysErrorKind {
  kNone,
  kAccessDenied,      // Windows 5, POSIX EACCES/EPERM/EROFS
  kSharingViolation,  // Windows 32, POSIX EBUSY/ETXTBSY
  kLockViolation,     // Windows 33, POSIX EWOULDBLOCK on a lock
  kNotFound,          // Windows 2/3, POSIX ENOENT/ENOTDIR
  kServiceMissing,    // Windows 1060
  kServiceAlreadyRunning,  // Windows 1056 (also while a start is pending)
  kServiceDisabled,        // Windows 1058
  kDependentServices,      // Windows 1051: a stop refused for running dependents
  kOther,
};

struct SysError {
  int code = 0;
  SysErrorKind kind = SysErrorKind::kNone;
  std::string text;
};

// "Код: " + code + ": " + the system's text, as every file, process and
// service failure message ends.
std::string LastErrorText(const SysError& error);

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  Exception(std::string message, SysError cause) : message_(std::move(message)), cause_(std::move(cause)) {}
  ~Exception() override = default;

  virtual const char* TypeName() const { return "Exception"; }

  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }

  // The system error behind a host failure; kind kNone when there was none.
  const SysError& Cause() const { return cause_; }

  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  SysError cause_;
};

// A call to the operating system failed; the message is LastErrorText.
class EOSError : public Exception {
 public:
  explicit EOSError(SysError cause) : Exception(LastErrorText(cause), cause) {}
  const char* TypeName() const override { return "EOSError"; }
};

// Reading or writing a file failed.
class EInOutError : public Exception {
 public:
  using Exception::Exception;
  const char* TypeName() const override { return "EInOutError"; }
};

// Stops an operation without an error of its own; callers that catch the
// general family still see it.
class EAbort : public Exception {
 public:
  using Exception::Exception;
  const char* TypeName() const override { return "EAbort"; }
};

// A text did not convert to a number or a date.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
  const char* TypeName() const override { return "EConvertError"; }
};

// An index outside a list.
class EListError : public Exception {
 public:
  using Exception::Exception;
  const char* TypeName() const override { return "EListError"; }
};

}  // namespace korvel
