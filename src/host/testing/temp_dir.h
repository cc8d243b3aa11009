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

// Writes a file whose name is given as the file system's own UTF-8 bytes
// (on POSIX any bytes), for names that Windows-1251 cannot spell.
void WriteFileWithSystemName(const std::string& directory, const std::string& utf8_name, std::string_view content);

// Makes a FIFO at `path`; false where the system has none (Windows).
bool MakeFifo(const std::string& path);

// Sets the environment variable `name` of this process (and of the programs
// it starts) to `value` (the file system's encoding); empty removes it.
void SetEnvironment(const std::string& name, const std::string& value);

// Ends the test program after `seconds` unless disarmed (0), so that a call
// that blocks fails the test instead of hanging it. Nothing on Windows.
void ArmWatchdog(unsigned seconds);

}  // namespace korvel::testing
