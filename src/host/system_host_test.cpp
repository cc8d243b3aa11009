// The system backend on the real system, where its behaviour is the same on
// every platform: the single-instance lock across processes and ini values
// read fresh from disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
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
  if (!kWindows) std::remove(NamedMutexFile(name).c_str());
}

#ifndef _WIN32
// The lock's file cannot be turned against another file: a link planted in
// its place is not followed, an existing file keeps its mode, and the lock
// lives where no other account can plant anything.
TEST(NamedMutex, LockFileCannotBeRedirected) {
  const std::string name = UniqueMutexName();
  const std::string lock = NamedMutexFile(name);
  ASSERT_FALSE(lock.empty());
  struct stat dir_stat;
  ASSERT_EQ(::lstat(ExtractFileDir(lock).c_str(), &dir_stat), 0);
  EXPECT_TRUE(S_ISDIR(dir_stat.st_mode));
  EXPECT_EQ(dir_stat.st_uid, ::geteuid());
  EXPECT_EQ(dir_stat.st_mode & 0022, 0u) << lock;  // nobody else may write there

  TempDir dir;
  const std::string victim = dir / "secret";
  WriteFile(victim, "private");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  ASSERT_EQ(::symlink(victim.c_str(), lock.c_str()), 0);
  {
    NamedMutex planted = SystemHost().CreateNamedMutex(name);
    EXPECT_FALSE(planted.handle);  // refused: the run stops as if it were taken
  }
  struct stat st;
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(testing::ReadFile(victim), "private");
  ASSERT_EQ(::unlink(lock.c_str()), 0);

  // An existing lock file is used as it is, never made more open.
  WriteFile(lock, "");
  ASSERT_EQ(::chmod(lock.c_str(), 0600), 0);
  {
    NamedMutex held = SystemHost().CreateNamedMutex(name);
    EXPECT_TRUE(held.handle);
    EXPECT_FALSE(held.already_existed);
  }
  ASSERT_EQ(::stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::remove(lock.c_str());
}
#endif

// The executable's path is the one the process started under, also after
// the file was moved away during the run (as the self-update does).
TEST(ExecutablePath, StaysTheOriginalWhenTheFileMoves) {
  TempDir dir;
  const std::string probe_name = std::string("korvel_exe_path_probe") + (kWindows ? ".exe" : "");
  const std::string probe = dir / probe_name;
  SystemHost().CopyFileOrFail(ExtractFilePath(SystemHost().ExecutablePath()) + probe_name, probe);
  const std::string command = "\"" + probe + "\" " + (dir / "moved.exe") + " " + (dir / "result.txt");
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_FALSE(SystemHost().FileExists(probe));
  EXPECT_TRUE(SystemHost().FileExists(dir / "moved.exe"));
  EXPECT_EQ(testing::ReadFile(dir / "result.txt"), probe);
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
