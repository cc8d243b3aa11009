// Errors of the database layer. Everything the Firebird client reports
// arrives as EIBInterBaseError, whose message is the client's own text for
// the status vector (the lines of fb_interpret, the first as it stands and
// every further one with "-" in front, joined by CR LF, as the client's
// tools print them; bytes as the client gives them, which for a WIN1251
// connection are Windows-1251) and which keeps the vector's error codes for
// callers that must tell one failure from another. Misuse of the layer
// itself (no client library, a column name that the statement does not
// have, a transaction that is not active) raises EIBClientError.
//
// The run log shows the type names: "Ошибка EIBInterBaseError:" + message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/exception.h"

namespace korvel::fb {

// Firebird's status codes (the isc_* error numbers).
using ErrorCode = std::int64_t;

class EIBError : public Exception {
 public:
  using Exception::Exception;
  const char* TypeName() const override { return "EIBError"; }
};

class EIBInterBaseError : public EIBError {
 public:
  EIBInterBaseError(std::string message, std::int32_t sql_code, std::vector<ErrorCode> codes)
      : EIBError(std::move(message)), sql_code_(sql_code), codes_(std::move(codes)) {}
  const char* TypeName() const override { return "EIBInterBaseError"; }

  // The error codes of the status vector in order, the main one first.
  const std::vector<ErrorCode>& ErrorCodes() const { return codes_; }
  bool HasErrorCode(ErrorCode code) const;
  // The SQLCODE the client derives from the vector (for example -204).
  std::int32_t SQLCode() const { return sql_code_; }

 private:
  std::int32_t sql_code_;
  std::vector<ErrorCode> codes_;
};

class EIBClientError : public EIBError {
 public:
  using EIBError::EIBError;
  const char* TypeName() const override { return "EIBClientError"; }
};

// A few codes callers test for.
inline constexpr ErrorCode kIscNetworkError = 335544721;  // unable to complete network request
inline constexpr ErrorCode kIscIoError = 335544344;       // I/O error for file
inline constexpr ErrorCode kIscLoginError = 335544472;    // user name and password are not defined
inline constexpr ErrorCode kIscBadShutdownMode = 335544835;  // target shutdown mode is invalid

}  // namespace korvel::fb
