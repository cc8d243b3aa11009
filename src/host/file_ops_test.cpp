#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/host.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"

namespace korvel::host {
namespace {

using namespace korvel::literals;
using testing::ReadFile;
using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;

constexpr char D = kPathDelim;

TEST(PathHelpers, IncludePathDelimiter) {
  EXPECT_EQ(IncludePathDelimiter(""), "");
  EXPECT_EQ(IncludePathDelimiter(std::string("dir") + D), std::string("dir") + D);
  EXPECT_EQ(IncludePathDelimiter("1"), std::string("1") + D);
#ifdef _WIN32
  EXPECT_EQ(IncludePathDelimiter("c"), "c:\\");
  EXPECT_EQ(IncludePathDelimiter("C:\\Db\\"), "C:\\Db\\");
  EXPECT_EQ(IncludePathDelimiter("C:"), "C:\\");
#endif
}

#ifdef _WIN32
TEST(PathHelpers, DrivesAndShares) {
  EXPECT_EQ(ExtractFileDir("C:\\Korvel.exe"), "C:\\");
  EXPECT_EQ(ExtractFilePath("C:Korvel.exe"), "C:");
  EXPECT_EQ(ExtractFileName("C:Korvel.exe"), "Korvel.exe");
  EXPECT_EQ(ExtractFileName("\\\\srv\\share\\In\\a.upd"), "a.upd");
  EXPECT_EQ(ExtractFileDir("\\\\srv\\share\\In\\a.upd"), "\\\\srv\\share\\In");
  EXPECT_EQ(JoinPath("D:\\Distr\\", "Scripts/Numbers\\1.sql"), "D:\\Distr\\Scripts\\Numbers\\1.sql");
}
#endif

TEST(PathHelpers, NamesAndExtensions) {
  const std::string path = std::string("a") + D + "b.c" + D + "file.tar.gz";
  EXPECT_EQ(ExtractFileName(path), "file.tar.gz");
  EXPECT_EQ(ExtractFilePath(path), std::string("a") + D + "b.c" + D);
  EXPECT_EQ(ExtractFileDir(path), std::string("a") + D + "b.c");
  EXPECT_EQ(ExtractFileExt(path), ".gz");
  EXPECT_EQ(ExtractFileExt(std::string("b.c") + D + "noext"), "");
  EXPECT_EQ(ChangeFileExt("Korvel.exe", ".old"), "Korvel.old");
  EXPECT_EQ(ExtractFileNameWithoutExt("Korvel.exe"), "Korvel");
  EXPECT_EQ(JoinPath(std::string("r") + D, "Scripts\\Numbers\\1.sql"),
            std::string("r") + D + "Scripts" + D + "Numbers" + D + "1.sql");
}

TEST(PathHelpers, SystemDirectories) {
  for (const char* dir : {"/etc/init.d", "/usr/bin/", "/usr/sbin", "/lib/", "/lib64/x/", "/var/lib/firebird/", "/",
                          "/usr/", "/usr/local/lib/", "/usr/local/bin", "/opt/orv/../../usr/bin/", "/opt//x/",
                          "relative/dir/", ""}) {
    EXPECT_EQ(IsSystemDirectory(dir), !kWindows) << dir;
  }
  for (const char* dir : {"/opt/orv/promos/", "/opt/orv/promos", "/srv/OrvDistrib/", "/usr/local/orv/",
                          "/home/orv/promos/", "/tmp/korvel-test/", "/optx/"}) {
    EXPECT_FALSE(IsSystemDirectory(dir)) << dir;
  }
}

TEST(FileOps, ListFilesSkipsDirectoriesAndDuplicates) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "001519.ver", "");
  WriteFile(dir / "001520.VER", "");
  WriteFile(dir / "a.upd", "");
  host.CreateDirectory(dir / "sub.ver");
  std::vector<std::string> list;
  host.ListFiles(dir.path(), "*.ver", list);
  host.ListFiles(dir.path(), "0*.VER", list);
  std::sort(list.begin(), list.end());
  EXPECT_EQ(list, (std::vector<std::string>{"001519.ver", "001520.VER"}));
  std::vector<std::string> subdirs;
  host.ListSubdirectories(dir.path(), subdirs);
  EXPECT_EQ(subdirs, (std::vector<std::string>{"sub.ver"}));
  std::vector<std::string> none;
  host.ListFiles(dir / "missing", "*.*", none);
  EXPECT_TRUE(none.empty());
}

// Windows on a volume with 8.3 names: a search also finds the names whose
// short name matches ("*.upd" gives x.update, short name X~1.UPD).
class ShortNameHost : public ForwardingHost {
 public:
  ShortNameHost() : ForwardingHost(SystemHost()) {}
  std::vector<DirEntry> FindEntries(const std::string& pattern) override {
    std::vector<DirEntry> entries = ForwardingHost::FindEntries(pattern);
    const std::string mask = ExtractFileName(pattern);
    for (DirEntry& entry : ForwardingHost::FindEntries(ExtractFilePath(pattern) + "*")) {
      const std::string ext = ExtractFileExt(entry.name);
      const std::string short_name = "X~1" + ext.substr(0, 4);
      if (ext.size() > 4 && MatchesMask(short_name, mask)) entries.insert(entries.begin(), entry);
    }
    return entries;
  }
};

TEST(FileOps, MasksMatchTheLongNameOnly) {
  TempDir dir;
  ShortNameHost host;
  WriteFile(dir / "x.update", "12345");
  WriteFile(dir / "a.upd", "1");
  EXPECT_EQ(host.ListFileEntries(dir.path(), "*.upd").size(), 1u);
  std::vector<std::string> list;
  host.ListFiles(dir.path(), "*.UPD", list);
  EXPECT_EQ(list, (std::vector<std::string>{"a.upd"}));
  EXPECT_EQ(host.GetFileSize64(dir / "*.upd"), 1);
  EXPECT_EQ(host.GetFileSize64(dir / "*.update"), 5);
}

TEST(FileOps, DeleteDirectoryTreeKeepsTopAndReadOnlyFiles) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string top = dir / "top";
  WriteFile(top + D + "a.txt", "a");
  WriteFile(top + D + "x" + D + "y" + D + "b.txt", "b");
  WriteFile(top + D + "ro.txt", "r");
  host.SetAttributes(top + D + "ro.txt", FileAttributes{.read_only = true});
  host.DeleteDirectoryTree(top, true);
  EXPECT_TRUE(host.DirectoryExists(top));
  EXPECT_FALSE(host.DirectoryExists(top + D + "x"));
  EXPECT_TRUE(host.FileExists(top + D + "ro.txt"));
  host.ClearFileAttributes(top + D + "ro.txt");
  host.DeleteDirectoryTree(top, false);
  EXPECT_FALSE(host.DirectoryExists(top));
}

#ifndef _WIN32
TEST(FileOps, DeleteDirectoryTreeRemovesLinksNotWhatTheyPointAt) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "outside\\keep.txt", "precious");
  WriteFile(dir / "top\\a.txt", "a");
  std::filesystem::create_directory_symlink(cp1251::ToUtf8(dir / "outside"), cp1251::ToUtf8(dir / "top\\linkdir"));
  std::filesystem::create_symlink(cp1251::ToUtf8(dir / "outside\\keep.txt"), cp1251::ToUtf8(dir / "top\\linkfile"));
  host.SetAttributes(dir / "outside\\keep.txt", FileAttributes{.read_only = true});
  host.DeleteDirectoryTree(dir / "top", false);
  EXPECT_FALSE(host.DirectoryExists(dir / "top"));
  EXPECT_EQ(ReadFile(dir / "outside\\keep.txt"), "precious");
  EXPECT_TRUE(host.GetAttributes(dir / "outside\\keep.txt")->read_only);
}
#endif

TEST(FileOps, CopyKeepsTimeAndReplacesTarget) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "src", "new content");
  WriteFile(dir / "dst", "old");
  const TDateTime stamp = EncodeDateTime({2020, 5, 6, 7, 8, 10});
  host.SetFileWriteTime(dir / "src", stamp);
  host.CopyFileOrFail(dir / "src", dir / "dst");
  EXPECT_EQ(ReadFile(dir / "dst"), "new content");
  EXPECT_EQ(host.GetFileDateTime(dir / "dst"), stamp);
  EXPECT_EQ(host.GetFileSize64(dir / "dst"), 11);
}

TEST(FileOps, FailureMessagesNameBothFilesAndTheSystemText) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string missing = dir / "missing", target = dir / "t";
  try {
    host.CopyFileOrFail(missing, target);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.TypeName(), "Exception");
    EXPECT_EQ(e.Message().rfind("Ошибка копирования файла "_cp + missing + " в "_cp + target + ".\r\nКод: "_cp, 0), 0u)
        << e.Message();
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kNotFound);
  }
  try {
    host.RenameFileOrFail(missing, target);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка переименования файла "_cp + missing + " в "_cp + target + ":\r\nКод: "_cp, 0),
              0u);
    EXPECT_EQ(e.Message().back(), '.');
    EXPECT_NE(e.Message()[e.Message().size() - 2], '.');  // the system text lost its own full stop
  }
  try {
    host.DeleteFileOrFail(missing);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message().rfind("Ошибка удаления файла "_cp + missing + " : Код: "_cp, 0), 0u);
  }
}

TEST(FileOps, ReadOnlyFilesRefuseToBeReplacedOrDeleted) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "src", "s");
  WriteFile(dir / "ro", "r");
  host.SetAttributes(dir / "ro", FileAttributes{.read_only = true});
  for (auto action : {+[](Host& h, const TempDir& d) { h.CopyFileOrFail(d / "src", d / "ro"); },
                      +[](Host& h, const TempDir& d) { h.RenameFileOrFail(d / "src", d / "ro"); },
                      +[](Host& h, const TempDir& d) { h.DeleteFileOrFail(d / "ro"); }}) {
    try {
      action(host, dir);
      FAIL();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Cause().kind, SysErrorKind::kAccessDenied) << e.Message();
    }
  }
  EXPECT_EQ(ReadFile(dir / "ro"), "r");
  host.ClearFileAttributes(dir / "ro");
  host.RenameFileOrFail(dir / "src", dir / "ro");
  EXPECT_EQ(ReadFile(dir / "ro"), "s");
  EXPECT_FALSE(host.FileExists(dir / "src"));
}

TEST(FileOps, CopyOntoItselfFailsWithoutTruncating) {
  TempDir dir;
  WriteFile(dir / "f", "keep me");
  EXPECT_THROW(SystemHost().CopyFileOrFail(dir / "f", dir / "f"), Exception);
  EXPECT_EQ(ReadFile(dir / "f"), "keep me");
}

TEST(FileOps, SizesTimesAndExistence) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "a.bin", std::string(1000, 'x'));
  EXPECT_EQ(host.GetFileSize64(dir / "a.bin"), 1000);
  EXPECT_EQ(host.GetFileSize64(dir / "*.bin"), 1000);
  EXPECT_EQ(host.GetFileSize64(dir / "*.none"), -1);
  EXPECT_EQ(host.GetFileSize64(dir.path()), -1);
  EXPECT_EQ(host.GetFileDateTime(dir / "none"), 0.0);
  host.SetFileWriteTime(dir / "a.bin", EncodeDateTime({2021, 1, 2, 3, 4, 5, 600}));
  EXPECT_EQ(host.GetFileDateTime(dir / "a.bin"), EncodeDateTime({2021, 1, 2, 3, 4, 4}));
  EXPECT_TRUE(host.FileExists(dir / "a.bin"));
  EXPECT_FALSE(host.DirectoryExists(dir / "a.bin"));
  EXPECT_TRUE(host.DirectoryExists(dir.path()));
  EXPECT_GT(host.GetDiskFreeBytes(dir.path()), 0);
  EXPECT_EQ(host.GetDiskFreeBytes(dir / "missing"), 0);
}

TEST(FileOps, LargeFileSizesAreSixtyFourBit) {
  TempDir dir;
  Host& host = SystemHost();
  {
    auto file = host.OpenFile(dir / "sparse", OpenMode::kCreate, ShareMode::kExclusive);
    file->Seek((std::int64_t{5} << 30) - 1);
    file->Write("x");
  }
  EXPECT_EQ(host.GetFileSize64(dir / "sparse"), std::int64_t{5} << 30);
}

TEST(FileOps, ForceDirectories) {
  TempDir dir;
  Host& host = SystemHost();
  EXPECT_TRUE(host.ForceDirectoriesOrFail(dir / "a\\b\\c\\"));
  EXPECT_TRUE(host.DirectoryExists(dir / "a\\b\\c"));
  EXPECT_TRUE(host.ForceDirectoriesOrFail(std::string(1, D)));
#ifdef _WIN32
  // A bare drive is never created.
  EXPECT_TRUE(host.ForceDirectoriesOrFail("C:"));
  EXPECT_TRUE(host.ForceDirectoriesOrFail("C:\\"));
#endif
  WriteFile(dir / "file", "");
  EXPECT_FALSE(host.ForceDirectoriesOrFail(dir / "file\\sub"));
  try {
    host.ForceDirectoriesOrFail("");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Невозможно создать директорию \"\""_cp);
  }
}

TEST(FileOps, CyrillicNamesSurviveTheSystemBoundary) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string name = "Обновление.upd"_cp;
  WriteFile(dir / name, "x");
  std::vector<std::string> list;
  host.ListFiles(dir.path(), "*.UPD", list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], name);
}

#ifndef _WIN32
// What is not a regular file is refused at once, in every mode: opening a
// FIFO for reading would otherwise wait for a writer for ever.
TEST(FileOps, OnlyRegularFilesOpenAndNothingBlocks) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string fifo = dir / "a.upd";
  ASSERT_EQ(::mkfifo(cp1251::ToUtf8(fifo).c_str(), 0600), 0);
  ::alarm(20);  // a blocked open ends the test program instead of hanging it
  const std::string refused = "Код: 22: Не является обычным файлом"_cp;
  for (const std::string& path : {fifo, std::string("/dev/null")}) {
    for (OpenMode mode : {OpenMode::kRead, OpenMode::kReadWrite, OpenMode::kOpenOrCreate, OpenMode::kCreate}) {
      try {
        host.OpenFile(path, mode, ShareMode::kRead);
        ADD_FAILURE() << path << " opened";
      } catch (const EOSError& e) {
        EXPECT_EQ(e.Message(), refused) << path;
      }
    }
  }
  EXPECT_THROW(host.ReadFileText(fifo), EOSError);
  EXPECT_THROW(host.CopyFile(fifo, dir / "copy"), EOSError);
  EXPECT_FALSE(host.FileExists(dir / "copy"));
  EXPECT_THROW(host.OpenFile(dir.path(), OpenMode::kRead, ShareMode::kRead), EOSError);
  // A link to a FIFO is refused too; a regular file still opens.
  ASSERT_EQ(::symlink(cp1251::ToUtf8(fifo).c_str(), cp1251::ToUtf8(dir / "link.upd").c_str()), 0);
  EXPECT_THROW(host.OpenFile(dir / "link.upd", OpenMode::kRead, ShareMode::kRead), EOSError);
  WriteFile(dir / "f", "x");
  EXPECT_EQ(host.ReadFileText(dir / "f"), "x");
  ::alarm(0);
}

// On POSIX names differing only in letter case are two files, and a name
// Windows-1251 cannot spell is still listed, marked, and can be cleared.
TEST(FileOps, EveryFileOfADirectoryIsListedAndCanBeCleared) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "twin.upd", "1");
  WriteFile(dir / "TWIN.upd", "2");
  const std::string raw_dir = cp1251::ToUtf8(dir.path());
  for (const char* name : {"\xE4\xB8\xAD.upd", "bad\xFF.upd"}) {
    const std::string raw = raw_dir + name;
    std::FILE* f = std::fopen(raw.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  ASSERT_EQ(::chmod((raw_dir + "bad\xFF.upd").c_str(), 0444), 0);
  std::vector<std::string> names;
  host.ListFiles(dir.path(), "*.upd", names);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"?.upd", "TWIN.upd", "bad?.upd", "twin.upd"}));

  std::vector<DirEntry> entries = host.ListFileEntries(dir.path(), "*.UPD");
  ASSERT_EQ(entries.size(), 4u);
  int unreachable = 0;
  for (const DirEntry& entry : entries) {
    if (entry.reachable()) {
      EXPECT_TRUE(host.FileExists(dir / entry.name)) << entry.name;
      continue;
    }
    ++unreachable;
    EXPECT_FALSE(host.FileExists(dir / entry.name)) << entry.name;
    host.DeleteFoundFile(dir.path(), entry);
  }
  EXPECT_EQ(unreachable, 2);
  EXPECT_EQ(host.ListFileEntries(dir.path(), "*").size(), 2u);
}
#endif

TEST(FileOps, ExclusiveOpenShutsOutOthers) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "f", "x");
  auto held = host.OpenFile(dir / "f", OpenMode::kReadWrite, ShareMode::kExclusive);
  EXPECT_THROW(host.OpenFile(dir / "f", OpenMode::kRead, ShareMode::kReadWrite), EOSError);
  held.reset();
  EXPECT_NO_THROW(host.OpenFile(dir / "f", OpenMode::kRead, ShareMode::kReadWrite));
}

TEST(FileOps, PrivateFilesAreNewAndTheOwnersAlone) {
  TempDir dir;
  Host& host = SystemHost();
  {
    auto file = host.OpenFile(dir / "key.pem", OpenMode::kCreatePrivate, ShareMode::kExclusive);
    file->Write("secret");
    file->Flush();
  }
  EXPECT_EQ(ReadFile(dir / "key.pem"), "secret");
  // An existing file is neither truncated nor opened.
  EXPECT_THROW(host.OpenFile(dir / "key.pem", OpenMode::kCreatePrivate, ShareMode::kExclusive), EOSError);
  EXPECT_EQ(ReadFile(dir / "key.pem"), "secret");
#ifndef _WIN32
  namespace fs = std::filesystem;
  const fs::perms perms = fs::status(cp1251::ToUtf8(dir / "key.pem")).permissions();
  EXPECT_EQ(perms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  // Nor is a link followed to create a file elsewhere.
  fs::create_symlink(cp1251::ToUtf8(dir / "elsewhere"), cp1251::ToUtf8(dir / "link.pem"));
  EXPECT_THROW(host.OpenFile(dir / "link.pem", OpenMode::kCreatePrivate, ShareMode::kExclusive), EOSError);
  EXPECT_FALSE(host.FileExists(dir / "elsewhere"));
#endif
}

class SwitchHost : public ForwardingHost {
 public:
  SwitchHost(std::vector<std::string> args) : ForwardingHost(SystemHost()), args_(std::move(args)) {}
  std::vector<std::string> Arguments() override { return args_; }

 private:
  std::vector<std::string> args_;
};

TEST(Switches, FindAndValue) {
  SwitchHost a({"Korvel", "/ini", "/debug"});
  EXPECT_EQ(a.FindSwitch("INI"), 1);
  EXPECT_EQ(a.GetSwitchValue("INI"), "");
  SwitchHost b({"Korvel", "-INI", "other.ini", "-REQUEST"});
  EXPECT_EQ(b.GetSwitchValue("ini"), "other.ini");
  EXPECT_EQ(b.FindSwitch("Request"), 3);
  SwitchHost c({"Korvel", "/Request=1", "/INI"});
  EXPECT_EQ(c.FindSwitch("Request"), 0);
  EXPECT_EQ(c.GetSwitchValue("INI"), "");
#ifndef _WIN32
  SwitchHost d({"Korvel", "/INI", "/etc/korvel/x.ini"});
  EXPECT_EQ(d.GetSwitchValue("INI"), "/etc/korvel/x.ini");
#else
  SwitchHost d({"Korvel", "-INI", "D:\\x.ini"});
  EXPECT_EQ(d.GetSwitchValue("INI"), "D:\\x.ini");
  // Every argument that starts with "/" is a switch on Windows.
  SwitchHost e({"Korvel", "/INI", "/x.ini"});
  EXPECT_EQ(e.GetSwitchValue("INI"), "");
#endif
}

TEST(LastErrorText, StripsTrailingBlanksAndFullStops) {
  EXPECT_EQ(LastErrorText({5, SysErrorKind::kAccessDenied, "Access is denied. \r\n"}), "Код: 5: Access is denied"_cp);
  EXPECT_EQ(LastErrorText({0, SysErrorKind::kOther, "...."}), "Код: 0: "_cp);
}

}  // namespace
}  // namespace korvel::host
