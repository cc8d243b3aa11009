// Checks and unpacks one package the way the utility does, and reports the
// time of each phase and the process's peak memory.
// Usage: package_bench PUBLIC.pem PACKAGE OUT_DIR
#include <chrono>
#include <cstdio>
#include <string>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/text.h"
#include "packages/file_checker.h"
#include "packages/signature.h"
#include "packages/zip_archive.h"

using namespace korvel;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The peak resident set of this process in kB, from /proc (0 elsewhere).
long PeakKilobytes(host::Host& host) {
  try {
    for (const std::string& line : SplitString(host.ReadFileText("/proc/self/status"), '\n')) {
      if (line.rfind("VmHWM:", 0) == 0) return StrToIntDef(Trim(line.substr(6, line.size() - 8)), 0);
    }
  } catch (const Exception&) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::unique_ptr<host::Host> host = host::CreateSystemHost(argc, argv);
  const std::vector<std::string> args = host->Arguments();
  if (args.size() != 4) {
    std::fprintf(stderr, "usage: package_bench PUBLIC.pem PACKAGE OUT_DIR\n");
    return 2;
  }
  try {
    const packages::RsaSignatureDecryptor decryptor(host->ReadFileText(args[1]));
    const std::string out = host::IncludePathDelimiter(args[3]);
    host->ForceDirectoriesOrFail(out);

    auto start = std::chrono::steady_clock::now();
    packages::TFileCheker checker(*host, decryptor, args[2]);
    const bool valid = checker.Check();
    const double check_seconds = Seconds(start);
    if (!valid) {
      std::printf("signature check failed\n");
      return 1;
    }
    std::unique_ptr<host::File> file = checker.TakeCheckedFile();
    start = std::chrono::steady_clock::now();
    host->SetCurrentDirectory(out);
    const int count = packages::ExtractArchive(*host, *file, out);
    const double extract_seconds = Seconds(start);
    std::printf("signature check   %7.2f s\n", check_seconds);
    std::printf("extraction        %7.2f s  (%d files)\n", extract_seconds, count);
    std::printf("total             %7.2f s\n", check_seconds + extract_seconds);
    std::printf("peak memory       %7.1f MB\n", PeakKilobytes(*host) / 1024.0);
    return 0;
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", cp1251::ToUtf8(e.Message()).c_str());
    return 1;
  }
}
