// Stands in for the database converter in the tests: prints each argument
// it received on a line of its own, then its working directory, every line
// ending in CR LF as a Windows console program's would. Exit code 3, which
// the caller does not look at.
#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) std::printf("arg%d=%s\r\n", i, argv[i]);
  std::printf("cwd=%s\r\n", std::filesystem::current_path().string().c_str());
  return 3;
}
