// Takes one update package in as the utility does (signature check on the
// bytes read once into a private copy, extraction from that copy, one flush
// of the unpacked tree, manifest) and reports its time and the process's
// peak memory. The package must be made for chain 1, pharmacy 5, version
// 1520 (as run_package_bench.sh makes it). Without TMP_DIR it runs the
// signature check alone: one SHA-256 pass and one Ed25519 verification of
// microseconds.
// Usage: package_bench PUBLIC.pem PACKAGE [TMP_DIR]
#include <chrono>
#include <cstdio>
#include <string>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/text.h"
#include "packages/file_checker.h"
#include "packages/package_intake.h"
#include "packages/signature.h"

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
  if (args.size() != 3 && args.size() != 4) {
    std::fprintf(stderr, "usage: package_bench PUBLIC.pem PACKAGE [TMP_DIR]\n");
    return 2;
  }
  try {
    const packages::Ed25519SignatureVerifier verifier(host->ReadFileText(args[1]));

    auto start = std::chrono::steady_clock::now();
    if (args.size() == 3) {
      const bool valid = packages::CheckFileSignature(*host, verifier, args[2]);
      const double check_seconds = Seconds(start);
      if (!valid) {
        std::printf("signature check failed\n");
        return 1;
      }
      std::printf("signature check alone          %7.3f s\n", check_seconds);
      return 0;
    }
    const std::string tmp = host::IncludePathDelimiter(args[3]);
    host->ForceDirectoriesOrFail(tmp);
    packages::PackageIntake intake(*host, verifier, [](std::string_view) {});
    intake.InDir = host::ExtractFilePath(args[2]);
    intake.TmpDir = tmp;
    intake.PredId = 1;
    intake.NodeId = 5;
    intake.CurVersion = 1520;
    start = std::chrono::steady_clock::now();
    intake.CheckPackage(host::ExtractFileName(args[2]), packages::kUpdatePackageType);
    const double intake_seconds = Seconds(start);
    std::printf("CheckPackage (check, unpack,   %7.2f s\n", intake_seconds);
    std::printf("  flush, manifest)\n");
    std::printf("peak memory                    %7.1f MB\n", PeakKilobytes(*host) / 1024.0);
    return 0;
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", cp1251::ToUtf8(e.Message()).c_str());
    return 1;
  }
}
