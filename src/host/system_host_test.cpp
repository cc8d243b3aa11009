// The system backend on the real system, where its behaviour is the same on
// every platform: the single-instance lock across processes and ini values
// read fresh from disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "host/cp1251.h"
#include "host/host.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"

namespace korvel::host {
namespace {

using namespace korvel::literals;
using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;

// Runs korvel_mutex_probe (built beside this test program) on the lock
// `name` in a process of its own: 0 free, 1 held elsewhere.
int RunMutexProbe(const std::string& name) {
  const std::string probe =
      ExtractFilePath(SystemHost().ExecutablePath()) + "korvel_mutex_probe" + (kWindows ? ".exe" : "");
  const std::string command = "\"" + probe + "\" " + name;
  const int status = std::system(command.c_str());
#ifdef _WIN32
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

std::string UniqueMutexName() {
  std::random_device random;
  return "KorvelTest" + std::to_string(random());
}

TEST(NamedMutex, HeldLockRefusesOtherProcessesUntilReleased) {
  const std::string name = UniqueMutexName();
  EXPECT_EQ(RunMutexProbe(name), 0);  // free, and free again when the probe has ended
  {
    NamedMutex held = SystemHost().CreateNamedMutex(name);
    ASSERT_TRUE(held.handle);
    EXPECT_FALSE(held.already_existed);
    EXPECT_EQ(RunMutexProbe(name), 1);
    {
      // A second attempt in this process sees it taken too, and letting go
      // of that attempt does not release the first one's hold.
      NamedMutex second = SystemHost().CreateNamedMutex(name);
      EXPECT_TRUE(second.handle);
      EXPECT_TRUE(second.already_existed);
    }
    EXPECT_EQ(RunMutexProbe(name), 1);
  }
  EXPECT_EQ(RunMutexProbe(name), 0);
  if (!kWindows) std::remove(("/tmp/" + name + ".lock").c_str());
}

TEST(ReadIniString, SeesEditsBetweenReads) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string ini = dir / "Korvel.ini";
  WriteFile(ini, "[Path]\r\nWorkDir=C:\\One\r\n");
  EXPECT_EQ(host.ReadIniString(ini, "Path", "WorkDir", ""), "C:\\One");
  // Same size, same second: only a fresh read tells the difference.
  WriteFile(ini, "[Path]\r\nWorkDir=C:\\Two\r\n");
  EXPECT_EQ(host.ReadIniString(ini, "Path", "WorkDir", ""), "C:\\Two");
  WriteFile(ini, "[Other]\r\nWorkDir=C:\\Three\r\n");
  EXPECT_EQ(host.ReadIniString(ini, "Path", "WorkDir", "gone"), "gone");
}

TEST(ReadIniString, MatchesNamesWithoutLetterCaseAndKeepsWindows1251Values) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string ini = dir / "Korvel.ini";
  WriteFile(ini, "[Path]\r\nDB = srv/3051:D:\\Базы\\аптека.gdb \r\nModules=2;200\r\n"_cp);
  EXPECT_EQ(host.ReadIniString(ini, "PATH", "db", ""), "srv/3051:D:\\Базы\\аптека.gdb"_cp);
  EXPECT_EQ(host.ReadIniString(ini, "path", "MODULES", ""), "2;200");
  EXPECT_EQ(host.ReadIniString(ini, "Path", "InDir", "none"), "none");
  EXPECT_EQ(host.ReadIniString(ini, "Missing", "DB", "none"), "none");
  EXPECT_EQ(host.ReadIniString(dir / "Missing.ini", "Path", "DB", "none"), "none");
}

TEST(ReadIniString, RelativeNamesAreTakenFromTheCurrentDirectory) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "Korvel.ini", "[Path]\r\nModules=2\r\n");
  const std::string previous = host.CurrentDirectory();
  host.SetCurrentDirectory(dir.path());
  const std::string value = host.ReadIniString("Korvel.ini", "Path", "Modules", "");
  host.SetCurrentDirectory(previous);
  EXPECT_EQ(value, "2");
}

TEST(SystemDirectory, IsAnAbsoluteDirectoryWithoutTrailingSeparator) {
  const std::string dir = SystemHost().SystemDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), kPathDelim);
  if (kWindows) {
    EXPECT_TRUE(SystemHost().DirectoryExists(dir)) << dir;
    EXPECT_TRUE(EndsText("\\system32", dir)) << dir;
  } else {
    EXPECT_EQ(dir, "/usr/local/lib");
  }
}

}  // namespace
}  // namespace korvel::host
