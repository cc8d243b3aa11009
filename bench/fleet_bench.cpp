// korvel-tool fleet over a chain of 100 chains x 100 pharmacies: 10,000
// request packets in dated folders, one in ten a failed run with its log.
// Prints the wall-clock time, the processor time (user and system) and
// the peak memory of each output form, against the goal (2 s, 100 MB),
// beside the time `cat` takes to read the same files, the floor of any
// reader. The goal is judged by the processor time, which a machine busy
// with other work (its load is printed) does not stretch.
//
// Usage: fleet_bench [DIR]   (DIR default: a new directory under /tmp)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdlib.h>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/cp1251.h"
#include "packages/request_packet.h"

namespace {

using namespace korvel::literals;
namespace fs = std::filesystem;

void MakePackets(const fs::path& dir) {
  for (int chain = 1; chain <= 100; ++chain) {
    for (int node = 1; node <= 100; ++node) {
      korvel::packages::RequestPacketData data;
      data.PredId = chain;
      data.NodeId = node;
      data.OldVersion = 1519;
      data.CurVersion = 1519 + (node % 3 != 0);
      data.SysVerNo = 700 + node % 3;
      data.Modules = "2;5";
      data.Date = korvel::EncodeDateTime({2024, 3, 1 + node % 10, 8, node % 60, 0, 0});
      data.ExePath = "C:\\Korvel\\Korvel.exe";
      data.ExeVersion = "1.5.20.1";
      data.Error = node % 10 == 0;
      if (data.Error) {
        data.Messages.push_back("");
        for (int i = 0; i < 30; ++i) data.Messages.push_back("08:00:" + std::to_string(10 + i) + "\t" + "Шаг ..."_cp);
        data.Messages.push_back("08:00:59\tОшибка выполнения скрипта 1520.sql:\r\nTable unknown T1"_cp);
      }
      const fs::path folder = dir / ("2024-03-" + std::to_string(10 + node % 10));
      fs::create_directories(folder);
      std::ofstream(folder / korvel::packages::RequestPacketFileName(chain, node), std::ios::binary)
          << korvel::packages::BuildRequestPacket(data)->SaveToString();
    }
  }
}

struct Measured {
  double seconds = 0;
  double cpu_seconds = 0;
  long peak_kb = 0;
  int exit_code = -1;
};

// Runs `command` under /bin/sh in a child of its own, so that its peak
// memory is that of this command alone.
Measured Run(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measured m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.peak_kb = usage.ru_maxrss;
  m.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  m.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  korvel::ApplyFormatSettings();
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / ("korvel-fleet-bench-" + std::to_string(getpid()));
  fs::remove_all(dir);
  MakePackets(dir / "packets");
  const std::string tool = KORVEL_TOOL;
  const std::string packets = (dir / "packets").string();
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf("fleet over 10000 packets (goal: 2 s, 100 MB); load average %.1f\n", load[0]);
  std::printf("  %-22s %8s %8s %9s\n", "", "wall", "cpu", "memory");
  const Measured cat = Run("find " + packets + " -name '*.UPR' -exec cat {} + >/dev/null");
  std::printf("  %-22s %6.2f s %6.2f s\n", "cat of the same files", cat.seconds, cat.cpu_seconds);
  const struct {
    const char* name;
    std::string args;
  } forms[] = {
      {"fleet (lines)", ""},
      {"fleet --csv", "--csv"},
      {"fleet --html", "--html " + (dir / "fleet.html").string()},
  };
  bool met = true;
  for (const auto& form : forms) {
    const Measured m = Run(tool + " fleet --now '15.03.2024 12:00' " + form.args + " " + packets + " >/dev/null");
    std::printf("  %-22s %6.2f s %6.2f s %6.1f MB  (exit %d, %.2fx cat's cpu)\n", form.name, m.seconds,
                m.cpu_seconds, m.peak_kb / 1024.0, m.exit_code, m.cpu_seconds / cat.cpu_seconds);
    met = met && m.cpu_seconds <= 2 && m.peak_kb <= 100 * 1024 && m.exit_code == 1;
  }
  std::printf("%s\n", met ? "goal met" : "GOAL MISSED");
  fs::remove_all(dir);
  return met ? 0 : 1;
}
