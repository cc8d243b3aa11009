// korvel-tool pack --for against 20 separate pack runs: the packages of 20
// pharmacies from one 50 MB payload (files that deflate about as programs
// and libraries do). Prints both times and their ratio (goal: at most 0.2)
// and checks that both ways wrote the same bytes.
//
// Usage: pack_for_bench [DIR]   (DIR default: a new directory under /tmp)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kPharmacies = 20;

// Bytes drawn from short runs of a small alphabet, with now and then a
// random block: deflate makes about half of it, as of a program.
void MakePayload(const fs::path& dir) {
  std::mt19937 random(1521);
  for (int f = 0; f < 25; ++f) {
    const fs::path path = dir / (f % 5 == 0 ? "Scripts" : "bin") / ("file" + std::to_string(f) + ".dll");
    fs::create_directories(path.parent_path());
    std::string data;
    data.reserve(2 << 20);
    while (data.size() < (2u << 20)) {
      const unsigned kind = random() % 8;
      const std::size_t run = 16 + random() % 64;
      for (std::size_t i = 0; i < run; ++i) {
        data += static_cast<char>(kind == 0 ? random() : 'A' + random() % 12);
      }
    }
    std::ofstream(path, std::ios::binary) << data;
  }
}

double Time(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(2);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Read(const fs::path& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / ("korvel-pack-bench-" + std::to_string(getpid()));
  fs::remove_all(dir);
  MakePayload(dir / "payload");
  fs::create_directories(dir / "single");
  const std::string tool = KORVEL_TOOL;
  const std::string key = (dir / "office.pem").string();
  Time(tool + " keygen " + key + " " + (dir / "office.pub").string() + " >/dev/null");
  std::ofstream list(dir / "chain.txt");
  for (int n = 1; n <= kPharmacies; ++n) list << "12;" << n << "\n";
  list.close();
  const std::string common = tool + " pack --key " + key + " --type 41 --old 1520 --new 1521 --module 2 ";

  double separate = 0;
  for (int n = 1; n <= kPharmacies; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "0012%03d.upd", n);
    separate += Time(common + "--pred 12 --to " + std::to_string(n) + " " + (dir / "payload").string() + " " +
                     (dir / "single" / name).string() + " >/dev/null");
  }
  const double chain = Time(common + "--for " + (dir / "chain.txt").string() + " " + (dir / "payload").string() + " " +
                            (dir / "chain").string() + " >/dev/null");
  bool same = true;
  for (const auto& entry : fs::directory_iterator(dir / "single")) {
    same = same && Read(entry.path()) == Read(dir / "chain" / entry.path().filename());
  }
  const double ratio = chain / separate;
  std::printf("pack for %d pharmacies, 50 MB payload, %u processors\n", kPharmacies,
              static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
  std::printf("  %d separate pack runs  %7.2f s\n", kPharmacies, separate);
  std::printf("  one pack --for         %7.2f s\n", chain);
  std::printf("  ratio %.3f (goal: at most 0.2); packages %s\n", ratio, same ? "identical" : "DIFFER");
  fs::remove_all(dir);
  return ratio <= 0.2 && same ? 0 : 1;
}
