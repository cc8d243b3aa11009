#include "fb/ib_error.h"

#include <algorithm>

#include "fb/client_api.h"

namespace korvel::fb {

bool EIBInterBaseError::HasErrorCode(ErrorCode code) const {
  return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
}

namespace {

// The vector is a run of clusters ended by isc_arg_end: a type word, then
// one value (two for a counted string). The codes are the values of the
// isc_arg_gds clusters.
std::vector<ErrorCode> ErrorCodesOf(const ISC_STATUS* status) {
  std::vector<ErrorCode> codes;
  // A vector holds at most ISC_STATUS_LENGTH words; a damaged one must not
  // run the scan off its end.
  for (int i = 0; i < ISC_STATUS_LENGTH - 1 && status[i] != isc_arg_end;) {
    const ISC_STATUS type = status[i];
    if (type == isc_arg_gds) codes.push_back(static_cast<ErrorCode>(status[i + 1]));
    i += type == isc_arg_cstring ? 3 : 2;
  }
  return codes;
}

}  // namespace

std::string StatusText(const ClientApi& api, const ISC_STATUS* status) {
  std::string text;
  const ISC_STATUS* cursor = status;
  char line[1024];
  bool first = true;
  while (api.fb_interpret(line, sizeof line, &cursor) > 0) {
    if (!first) text += "\r\n-";
    text += line;
    first = false;
  }
  return text;
}

void CheckStatus(const ClientApi& api, const ISC_STATUS* status) {
  if (status[0] != 1 || status[1] == 0) return;
  throw EIBInterBaseError(StatusText(api, status), static_cast<std::int32_t>(api.isc_sqlcode(status)),
                          ErrorCodesOf(status));
}

}  // namespace korvel::fb
