// Test support: a fresh directory under the system's temporary directory,
// removed with everything in it when the object goes.
#pragma once

#include <string>

#include "host/host.h"

namespace korvel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory with its trailing separator (Windows-1251).
  const std::string& path() const { return path_; }
  // path() + relative, backslashes converted.
  std::string operator/(std::string_view relative) const { return host::JoinPath(path_, relative); }

 private:
  std::string path_;
};

// The real host of the platform, for tests.
host::Host& SystemHost();

// Writes a file, creating its directory.
void WriteFile(const std::string& path, std::string_view content);
std::string ReadFile(const std::string& path);

}  // namespace korvel::testing
