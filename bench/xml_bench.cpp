// Parse and save speed of the XML library beside pugixml, on a generated
// package manifest of 200,000 FILES entries (about 20 MB) and on a deep
// module descriptor, and the peak memory of a parse.
//
//   korvel_bench [DIR]     writes the inputs to DIR (default: the system's
//                          temporary directory) and prints the table
//
// Times are CPU time of the process (user and system), which the other
// work of a shared machine disturbs less than wall time. "Warm" times are
// the best of ten runs on the same in-memory input, with
// the C library told to keep freed memory (mallopt), so that they show the
// parsers' own work and not the system's page faults (which are slow on
// virtual machines). The first parse in a fresh process, with the C
// library's defaults, is timed too: that is what the utility does once per
// run. Peak memory is measured in that fresh child process (the bench runs
// itself with --peak): the growth of the resident set's high-water mark
// (VmHWM) from before the file is read until the parsed tree is complete,
// so it includes the input buffer. Linux only, like the benchmark's use of
// child processes and /proc.
#include <fcntl.h>
#include <malloc.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "xml/xml_node.h"

extern char** environ;

namespace {

using korvel::xml::TXMLNode;

constexpr int kManifestFiles = 200000;
constexpr int kDescriptorDepth = 900;  // below the parser's limit of 1000
constexpr int kDescriptorBranches = 60;
constexpr int kRuns = 10;

// contents.xml of an update package: a header, the package attributes, a
// few modules and the FILES list with 200,000 entries of about 100 bytes.
std::string MakeManifest() {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
      "<PACKAGE TYPE=\"41\" PRED_ID=\"12\" TO=\"345\" OLD_VERNO=\"1519\" NEW_VERNO=\"1520\">\r\n"
      "  <MODULES>\r\n    <MODULE ID=\"2\" NAME=\"\xD1\xE5\xF0\xE2\xE5\xF0\"/>\r\n"
      "    <MODULE ID=\"200\" NAME=\"Classic\"/>\r\n  </MODULES>\r\n  <FILES>\r\n";
  char line[256];
  for (int i = 0; i < kManifestFiles; ++i) {
    std::snprintf(line, sizeof line,
                  "    <FILE NAME=\"Distrib\\Server\\Modules\\module_%04d\\bin\\library_%06d_%s.dll\" SIZE=\"%d\"/>\r\n",
                  i % 1000, i, (i % 3 == 0) ? "\xEE\xF1\xED\xEE\xE2\xED\xEE\xE9" : "x86_release", 1000 + (i * 7919) % 9000000);
    text += line;
  }
  text += "  </FILES>\r\n</PACKAGE>\r\n";
  return text;
}

// A module descriptor nested far deeper than any real one: branches of
// FILESET elements 900 levels deep, each level with attributes and a
// little text.
std::string MakeDeepDescriptor() {
  std::string text = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<MODULES>\r\n";
  for (int b = 0; b < kDescriptorBranches; ++b) {
    for (int d = 0; d < kDescriptorDepth; ++d) {
      text += "<FILESET Name=\"set" + std::to_string(d) + "\" Dest=\"\\Bin\\" + std::to_string(b) + "\" Replace=\"1\">";
      if (d % 10 == 0) text += "text &amp; more";
    }
    for (int d = 0; d < kDescriptorDepth; ++d) text += "</FILESET>";
    text += "\r\n";
  }
  text += "</MODULES>\r\n";
  return text;
}

// CPU time of this process so far, in seconds.
double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// The best time of `run` over kRuns, with `prepare` run untimed before each.
double BestSeconds(const std::function<void()>& run, const std::function<void()>& prepare = [] {}) {
  double best = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    prepare();
    const double start = CpuSeconds();
    run();
    best = std::min(best, CpuSeconds() - start);
  }
  return best;
}

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

// The high-water mark of this process's resident set, in KB.
long MaxRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Child mode: parse the file with one library and print the growth of the
// peak resident set in KB.
int MeasurePeak(const std::string& library, const std::string& path) {
  const long before = MaxRssKb();
  long after = 0;
  double cold = 0;
  if (library == "korvel") {
    std::unique_ptr<TXMLNode> doc;
    {
      const std::string text = ReadWhole(path);
      const double start = CpuSeconds();
      doc = TXMLNode::CreateFromText(text);
      cold = CpuSeconds() - start;
    }
    after = MaxRssKb();
    if (doc->ChildCount() == 0) return 1;
  } else {
    pugi::xml_document doc;
    const std::string text = ReadWhole(path);
    const double start = CpuSeconds();
    if (!doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8)) return 1;
    cold = CpuSeconds() - start;
    after = MaxRssKb();
  }
  std::printf("%ld %f\n", after - before, cold);
  return 0;
}

struct ChildRun {
  long peak_kb = -1;
  double cold_seconds = 0;
};

ChildRun PeakInChild(const std::string& library, const std::string& path) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string out = path + "." + library + ".peak";
  std::vector<std::string> args = {self, "--peak", library, path};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ChildRun run;
  if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) return run;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  std::istringstream(ReadWhole(out)) >> run.peak_kb >> run.cold_seconds;
  std::filesystem::remove(out);
  return run;
}

void Compare(const std::string& title, const std::string& path) {
  const std::string text = ReadWhole(path);
  const double mb = static_cast<double>(text.size()) / (1024.0 * 1024.0);

  std::unique_ptr<TXMLNode> doc;
  const double korvel_parse = BestSeconds([&] { doc = TXMLNode::CreateFromText(text); }, [&] { doc.reset(); });
  std::string saved;
  const double korvel_save = BestSeconds([&] { saved = doc->SaveToString(); });
  double korvel_free = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    auto copy = TXMLNode::CreateFromText(text);
    const double start = CpuSeconds();
    copy.reset();
    korvel_free = std::min(korvel_free, CpuSeconds() - start);
  }

  pugi::xml_document pdoc;
  const double pugi_parse = BestSeconds(
      [&] {
        if (!pdoc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8)) std::abort();
      },
      [&] { pdoc.reset(); });
  StringWriter writer;
  const double pugi_save = BestSeconds([&] {
    writer.out.clear();
    pdoc.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
  });

  const ChildRun korvel_child = PeakInChild("korvel", path);
  const ChildRun pugi_child = PeakInChild("pugixml", path);
  const long korvel_peak = korvel_child.peak_kb;
  const long pugi_peak = pugi_child.peak_kb;
  const double file_kb = static_cast<double>(text.size()) / 1024.0;

  std::printf("\n%s: %.1f MB (%zu bytes)\n", title.c_str(), mb, text.size());
  std::printf("  %-8s %10s %10s %10s %10s %12s %8s\n", "warm", "parse ms", "parse MB/s", "save ms", "save MB/s",
              "peak MB", "x file");
  std::printf("  %-8s %10.1f %10.0f %10.1f %10.0f %12.1f %8.2f\n", "korvel", korvel_parse * 1e3, mb / korvel_parse,
              korvel_save * 1e3, mb / korvel_save, korvel_peak / 1024.0, korvel_peak / file_kb);
  std::printf("  %-8s %10.1f %10.0f %10.1f %10.0f %12.1f %8.2f\n", "pugixml", pugi_parse * 1e3, mb / pugi_parse,
              pugi_save * 1e3, mb / pugi_save, pugi_peak / 1024.0, pugi_peak / file_kb);
  std::printf("  parse time korvel/pugixml: %.2f (goal <= 3); korvel peak / file size: %.2f (goal <= 8)\n",
              korvel_parse / pugi_parse, korvel_peak / file_kb);
  std::printf("  first parse in a fresh process (fresh memory): korvel %.1f ms, pugixml %.1f ms\n",
              korvel_child.cold_seconds * 1e3, pugi_child.cold_seconds * 1e3);
  std::printf("  korvel destroying the tree: %.1f ms (not in the parse time)\n", korvel_free * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) return MeasurePeak(argv[2], argv[3]);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  const std::filesystem::path dir = argc > 1 ? std::filesystem::path(argv[1]) : std::filesystem::temp_directory_path();
  const std::string manifest = (dir / "korvel_bench_contents.xml").string();
  const std::string descriptor = (dir / "korvel_bench_distrib.xml").string();
  std::ofstream(manifest, std::ios::binary) << MakeManifest();
  std::ofstream(descriptor, std::ios::binary) << MakeDeepDescriptor();
  Compare("Package manifest, 200,000 FILES entries", manifest);
  Compare("Deep module descriptor, 60 branches 900 levels deep", descriptor);
  if (!std::getenv("KORVEL_BENCH_KEEP")) std::filesystem::remove(manifest);
  if (!std::getenv("KORVEL_BENCH_KEEP")) std::filesystem::remove(descriptor);
  return 0;
}
