// Stands in for the database converter in the tests: prints each argument
// it received on a line of its own, then its working directory, every line
// ending in CR LF as a Windows console program's would. Exit code 3, which
// the caller does not look at.
#include <cstdio>
#include <filesystem>

#include "host/host.h"

int main(int argc, char** argv) {
  // Windows' text-mode standard output turns "\n" into CR LF itself.
  const char* eol = korvel::host::kWindows ? "\n" : "\r\n";
  for (int i = 1; i < argc; ++i) std::printf("arg%d=%s%s", i, argv[i], eol);
  std::printf("cwd=%s%s", std::filesystem::current_path().string().c_str(), eol);
  return 3;
}
