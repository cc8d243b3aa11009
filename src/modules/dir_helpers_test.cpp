#include "modules/dir_helpers.h"

#include <gtest/gtest.h>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"

namespace korvel::modules {
namespace {

using namespace korvel::literals;
using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;

TEST(CurrentVersion, HighestMarkerWins) {
  TempDir dir;
  WriteFile(dir / "001519.ver", "");
  WriteFile(dir / "001520.VER", "");
  WriteFile(dir / "notes.ver", "");
  WriteFile(dir / "001600.txt", "");
  EXPECT_EQ(CurrentVersion(SystemHost(), dir.path(), true), 1520);
}

TEST(CurrentVersion, NoMarker) {
  TempDir dir;
  WriteFile(dir / "notes.ver", "");
  EXPECT_EQ(CurrentVersion(SystemHost(), dir.path(), false), -1);
  try {
    CurrentVersion(SystemHost(), dir.path(), true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка определения текущей версии ПО (файл NNNNNN.ver в каталоге "_cp + dir.path() + ")");
  }
}

TEST(VersionMarkerName, PadsToSixDigits) {
  EXPECT_EQ(VersionMarkerName(1522), "001522.ver");
  EXPECT_EQ(VersionMarkerName(1234567), "1234567.ver");
}

TEST(CheckDirectory, TrimsChecksAndCreates) {
  TempDir dir;
  const std::string work = dir / "Work";
  SystemHost().CreateDirectory(work);
  EXPECT_EQ(CheckDirectory(SystemHost(), " " + work + " ", false), host::IncludePathDelimiter(work));
  const std::string missing = host::IncludePathDelimiter(dir / "Missing");
  try {
    CheckDirectory(SystemHost(), missing, false);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Каталог "_cp + missing + " не найден"_cp);
  }
  EXPECT_EQ(CheckDirectory(SystemHost(), dir / "New\\Deep", true), host::IncludePathDelimiter(dir / "New\\Deep"));
  EXPECT_TRUE(SystemHost().DirectoryExists(dir / "New\\Deep"));
  WriteFile(dir / "file", "");
  const std::string blocked = host::IncludePathDelimiter(dir / "file\\sub");
  try {
    CheckDirectory(SystemHost(), blocked, true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Ошибка создания каталога "_cp + blocked);
  }
}

TEST(DeleteOldFiles, KeepsTheBoundaryDayAndDeletesOlder) {
  TempDir dir;
  host::Host& host = SystemHost();
  const TDateTime midnight = DateOf(host.Now());
  WriteFile(dir / "keep.log", "");
  WriteFile(dir / "old.log", "");
  WriteFile(dir / "recent.log", "");
  host.CreateDirectory(dir / "olddir");
  host.SetFileWriteTime(dir / "keep.log", midnight - 90);
  host.SetFileWriteTime(dir / "old.log", midnight - 90 - 1.0 / 1440);
  host.SetFileWriteTime(dir / "olddir", midnight - 200);
  DeleteOldFiles(host, dir.path(), 90);
  EXPECT_TRUE(host.FileExists(dir / "keep.log"));
  EXPECT_FALSE(host.FileExists(dir / "old.log"));
  EXPECT_TRUE(host.FileExists(dir / "recent.log"));
  EXPECT_TRUE(host.DirectoryExists(dir / "olddir"));
}

TEST(ClearFileAttributes, ClearsReadOnlyOnlyWhereAFileExists) {
  TempDir dir;
  host::Host& host = SystemHost();
  host.ClearFileAttributes(dir / "missing");
  WriteFile(dir / "ro", "");
  host.SetAttributes(dir / "ro", host::FileAttributes{.read_only = true, .archive = true});
  host.ClearFileAttributes(dir / "ro");
  EXPECT_FALSE(host.GetAttributes(dir / "ro")->read_only);
}

}  // namespace
}  // namespace korvel::modules
