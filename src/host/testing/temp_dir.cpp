#include "host/testing/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>

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

}  // namespace korvel::testing
