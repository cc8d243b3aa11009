#include "fb/client_library.h"

#include "fb/client_api.h"
#include "fb/ib_error.h"

namespace korvel::fb {

std::string DefaultClientLibraryName() { return host::kWindows ? "gds32.dll" : "libfbclient.so.2"; }

ClientLibrary::ClientLibrary(host::Host& host, std::string name) : host_(host), name_(std::move(name)) {}

ClientLibrary::~ClientLibrary() = default;

bool ClientLibrary::Load() {
  if (api_) return true;
  std::unique_ptr<host::SharedLibrary> library;
  try {
    library = host_.LoadLibrary(name_);
  } catch (const EOSError& e) {
    load_failure_ = LastErrorText(e.Cause());
    return false;
  }
  auto api = std::make_unique<ClientApi>();
  bool complete = true;
#define KORVEL_FB_RESOLVE(name)                                             \
  api->name = reinterpret_cast<decltype(api->name)>(library->Symbol(#name)); \
  complete = complete && api->name != nullptr;
  KORVEL_FB_ENTRY_POINTS(KORVEL_FB_RESOLVE)
#undef KORVEL_FB_RESOLVE
  if (!complete) {
    load_failure_ = "an entry point is missing";
    return false;
  }
  load_failure_.clear();
  library_ = std::move(library);
  api_ = std::move(api);
  return true;
}

const ClientApi& ClientLibrary::Api() {
  // A library that was missing at the first attempt may have been put in
  // place since (the run copies the client beside the executable).
  if (!api_ && !Load()) {
    throw EIBClientError("Firebird client library " + name_ + " is not loaded" +
                         (load_failure_.empty() ? "" : " (" + load_failure_ + ")"));
  }
  return *api_;
}

}  // namespace korvel::fb
