// The Firebird client library, loaded at run time by its file name and
// kept loaded for the life of this object. Nothing of the program links
// against it: every isc_* entry point is looked up by name when the
// library is loaded, so a machine without the client still runs every
// step that does not touch the database.
//
// On Windows the client is installed under its legacy name gds32.dll; on
// POSIX it is libfbclient.so.2. A local database path (no "server:" in
// front) is opened by the client through the embedded engine, which the
// client finds among its installation's plugins (on Debian the engine of
// firebird3.0-server-core; the process then needs read and write access to
// the database file and to the engine's lock directory, /tmp/firebird).
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "host/host.h"

namespace korvel::fb {

// The client API's handle type (FB_API_HANDLE of ibase.h): a 32-bit number
// on 64-bit systems, a pointer on 32-bit ones. 0 is "no handle".
using ApiHandle = std::conditional_t<sizeof(void*) == 8, unsigned int, void*>;

// The client library's file name on this platform.
std::string DefaultClientLibraryName();

// The resolved entry points (client_api.h, for the layer's own code).
struct ClientApi;

class ClientLibrary {
 public:
  // Nothing is loaded yet; `name` is what Load() asks the system for.
  ClientLibrary(host::Host& host, std::string name);
  ~ClientLibrary();
  ClientLibrary(const ClientLibrary&) = delete;
  ClientLibrary& operator=(const ClientLibrary&) = delete;

  // Loads the library and resolves every entry point the layer uses.
  // Returns false, and keeps nothing loaded, when the library cannot be
  // loaded or lacks one of them. Once loaded, later calls do nothing.
  bool Load();
  bool Loaded() const { return api_ != nullptr; }
  // Why the last Load() failed: the system's error ("Код: 126: ...") or
  // "an entry point is missing"; empty before a failure.
  const std::string& LoadFailure() const { return load_failure_; }
  const std::string& Name() const { return name_; }

  // The entry points, loading the library first when that has not
  // succeeded yet. Raises EIBClientError "Firebird client library <name>
  // is not loaded" (with LoadFailure() in brackets) when it still cannot be
  // loaded.
  const ClientApi& Api();

 private:
  host::Host& host_;
  std::string name_;
  std::unique_ptr<host::SharedLibrary> library_;
  std::unique_ptr<ClientApi> api_;
  std::string load_failure_;
};

}  // namespace korvel::fb
