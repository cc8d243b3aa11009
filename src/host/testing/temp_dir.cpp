#include "host/testing/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host/cp1251.h"

namespace korvel::testing {

host::Host& SystemHost() {
  static char program[] = "korvel-test";
  static char* argv[] = {program, nullptr};
  static std::unique_ptr<host::Host> host = host::CreateSystemHost(1, argv);
  return *host;
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device random;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (;;) {
    const std::filesystem::path dir =
        base / ("korvel-" + std::to_string(random()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(dir)) {
      // Temporary directories have plain ASCII names on every platform.
      path_ = host::IncludePathDelimiter(dir.string());
      break;
    }
  }
}

TempDir::~TempDir() {
  // Read-only files are made writable first, so that nothing stays behind.
  std::error_code ignored;
  const std::filesystem::path dir(cp1251::ToUtf8(path_));
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                 ignored);
  }
  std::filesystem::remove_all(dir, ignored);
}

void WriteFile(const std::string& path, std::string_view content) {
  SystemHost().ForceDirectoriesOrFail(host::ExtractFilePath(path));
  SystemHost().WriteFileText(path, content);
}

std::string ReadFile(const std::string& path) { return SystemHost().ReadFileText(path); }

void WriteFileWithSystemName(const std::string& directory, const std::string& utf8_name, std::string_view content) {
  const std::filesystem::path path =
      std::filesystem::path(cp1251::ToUtf8(directory)) /
      std::filesystem::path(std::u8string(utf8_name.begin(), utf8_name.end()));
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw Exception("cannot write a test file with a system name");
}

bool MakeFifo(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return false;
#else
  return ::mkfifo(cp1251::ToUtf8(path).c_str(), 0600) == 0;
#endif
}

void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  ::_putenv_s(name.c_str(), value.c_str());
#else
  if (value.empty()) {
    ::unsetenv(name.c_str());
  } else {
    ::setenv(name.c_str(), value.c_str(), 1);
  }
#endif
}

void ArmWatchdog(unsigned seconds) {
#ifdef _WIN32
  (void)seconds;
#else
  ::alarm(seconds);
#endif
}

}  // namespace korvel::testing
