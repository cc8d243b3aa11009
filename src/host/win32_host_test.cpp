// The Win32 backend's own duties, checked against the system's wide calls
// directly: names cross the boundary through the program's Windows-1251
// table, the four attributes, real share modes, local file times, error
// codes with the system's texts, the console code page, the command line,
// version resources, libraries and the event log.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/testing/temp_dir.h"
#include "host/text.h"
#include "host/win32_api.h"

#include <sddl.h>

namespace korvel::host {
namespace {

using namespace korvel::literals;
using testing::ReadFile;
using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;
using win32::Narrow;
using win32::Wide;

DWORD WideAttributes(const std::string& path) { return ::GetFileAttributesW(Wide(path).c_str()); }

TEST(Win32Host, CyrillicNamesReachTheFileSystemAsUnicode) {
  TempDir dir;
  WriteFile(dir / "Обновление №1.upd"_cp, "x");
  const std::wstring wide = Wide(dir.path()) + L"Обновление №1.upd";
  EXPECT_NE(::GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
  // A name Windows-1251 cannot spell comes back with '?' in its place.
  const std::wstring foreign = Wide(dir.path()) + L"\u4E2D.upd";
  ::CloseHandle(::CreateFileW(foreign.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  std::vector<std::string> names;
  SystemHost().ListFiles(dir.path(), "*.upd", names);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"?.upd", "Обновление №1.upd"_cp}));
}

// A name Windows-1251 cannot spell is marked and can still be cleared.
TEST(Win32Host, UnreachableNamesAreMarkedAndCanBeDeleted) {
  TempDir dir;
  const std::wstring foreign = Wide(dir.path()) + L"\u4E2D.upd";
  ::CloseHandle(::CreateFileW(foreign.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr));
  WriteFile(dir / "plain.upd", "x");
  const std::vector<DirEntry> entries = SystemHost().ListFileEntries(dir.path(), "*.upd");
  ASSERT_EQ(entries.size(), 2u);
  for (const DirEntry& entry : entries) {
    if (entry.name == "plain.upd") {
      EXPECT_TRUE(entry.reachable());
    } else {
      EXPECT_EQ(entry.name, "?.upd");
      EXPECT_FALSE(entry.reachable());
      SystemHost().DeleteFoundFile(dir.path(), entry);
    }
  }
  EXPECT_EQ(::GetFileAttributesW(foreign.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Devices reached by name are not files.
TEST(Win32Host, OnlyFilesOnADiskOpen) {
  try {
    SystemHost().OpenFile("NUL", OpenMode::kRead, ShareMode::kReadWrite);
    FAIL() << "NUL opened";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Message(), "Код: 222: Не является обычным файлом"_cp);
  }
}

TEST(Win32Host, FindEntriesReportDotsAndDirectories) {
  TempDir dir;
  Host& host = SystemHost();
  host.CreateDirectory(dir / "sub");
  WriteFile(dir / "file.txt", "");
  std::vector<std::string> directories, files;
  for (const DirEntry& entry : host.FindEntries(dir / "*")) {
    (entry.directory ? directories : files).push_back(entry.name);
  }
  std::sort(directories.begin(), directories.end());
  EXPECT_EQ(directories, (std::vector<std::string>{".", "..", "sub"}));
  EXPECT_EQ(files, (std::vector<std::string>{"file.txt"}));
  EXPECT_TRUE(host.FindEntries(dir / "missing\\*").empty());
}

TEST(Win32Host, TheFourAttributes) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string file = dir / "f";
  WriteFile(file, "");
  host.SetAttributes(file, FileAttributes{.read_only = true, .hidden = true, .system = true, .archive = true});
  EXPECT_EQ(WideAttributes(file) & 0x27u,
            DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE});
  const FileAttributes read = *host.GetAttributes(file);
  EXPECT_TRUE(read.read_only && read.hidden && read.system && read.archive && !read.directory);
  host.ClearFileAttributes(file);
  const FileAttributes cleared = *host.GetAttributes(file);
  EXPECT_FALSE(cleared.read_only || cleared.hidden || cleared.system);
  EXPECT_TRUE(cleared.archive);
  host.SetAttributes(file, FileAttributes{});
  // Wine reports every file as archived; the other three are cleared.
  EXPECT_EQ(WideAttributes(file) & 0x07u, 0u);
  EXPECT_TRUE(host.GetAttributes(dir.path())->directory);
  EXPECT_FALSE(host.GetAttributes(dir / "missing"));
}

TEST(Win32Host, ReadOnlyFilesMayBeRenamedButNotReplaced) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "ro", "r");
  WriteFile(dir / "other", "o");
  host.SetAttributes(dir / "ro", FileAttributes{.read_only = true});
  EXPECT_THROW(host.OpenFile(dir / "ro", OpenMode::kReadWrite, ShareMode::kReadWrite), EOSError);
  EXPECT_THROW(host.OpenFile(dir / "ro", OpenMode::kCreate, ShareMode::kExclusive), EOSError);
  EXPECT_EQ(ReadFile(dir / "ro"), "r");
  host.RenameFileOrFail(dir / "ro", dir / "RO");  // a change of letter case only
  host.RenameFileOrFail(dir / "RO", dir / "moved");
  EXPECT_TRUE(host.GetAttributes(dir / "moved")->read_only);
  EXPECT_THROW(host.RenameFileOrFail(dir / "other", dir / "moved"), Exception);
  EXPECT_EQ(ReadFile(dir / "moved"), "r");
}

TEST(Win32Host, ShareModesAreTheSystemsOwn) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string log = dir / "202601.log";
  // Two writers of the run log share it for reading and writing.
  auto first = host.OpenFile(log, OpenMode::kOpenOrCreate, ShareMode::kReadWrite);
  auto second = host.OpenFile(log, OpenMode::kOpenOrCreate, ShareMode::kReadWrite);
  first->SeekToEnd();
  first->Write("a\r\n");
  second->SeekToEnd();
  second->Write("b\r\n");
  // A reader that denies writing cannot join while they hold it open.
  try {
    host.OpenFile(log, OpenMode::kRead, ShareMode::kRead);
    FAIL();
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Cause().code, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kSharingViolation);
  }
  first.reset();
  second.reset();
  EXPECT_EQ(ReadFile(log), "a\r\nb\r\n");
  auto reader = host.OpenFile(log, OpenMode::kRead, ShareMode::kRead);
  EXPECT_NO_THROW(host.OpenFile(log, OpenMode::kRead, ShareMode::kRead));
  EXPECT_THROW(host.OpenFile(log, OpenMode::kReadWrite, ShareMode::kReadWrite), EOSError);
}

TEST(Win32Host, ErrorsCarryTheCodeAndTheSystemsText) {
  TempDir dir;
  Host& host = SystemHost();
  wchar_t expected[1024];
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        ERROR_FILE_NOT_FOUND, 0, expected, 1024, nullptr);
  ASSERT_GT(length, 0u);
  try {
    host.DeleteFile(dir / "missing");
    FAIL();
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Cause().code, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kNotFound);
    EXPECT_EQ(e.Cause().text, Narrow(std::wstring_view(expected, length)));
    EXPECT_EQ(e.Message(), LastErrorText(e.Cause()));
    EXPECT_GT(static_cast<unsigned char>(e.Message().back()), ' ');
  }
  try {
    host.CreateDirectory(dir / "a\\b\\c");
    FAIL();
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Cause().code, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(e.Cause().kind, SysErrorKind::kNotFound);
  }
  WriteFile(dir / "ro", "");
  host.SetAttributes(dir / "ro", FileAttributes{.read_only = true});
  try {
    host.DeleteFileOrFail(dir / "ro");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Cause().code, ERROR_ACCESS_DENIED);
    const std::string start = "Ошибка удаления файла "_cp + dir / "ro" + " : Код: 5: "_cp;
    EXPECT_EQ(e.Message().rfind(start, 0), 0u) << e.Message();
  }
}

TEST(Win32Host, WriteTimesAreLocalTimes) {
  TempDir dir;
  Host& host = SystemHost();
  WriteFile(dir / "f", "");
  host.CreateDirectory(dir / "d");
  const TDateTime stamp = EncodeDateTime({2024, 7, 15, 13, 45, 31, 250});
  for (const std::string& path : {dir / "f", dir / "d"}) {
    host.SetFileWriteTime(path, stamp);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data));
    FILETIME local;
    SYSTEMTIME st;
    ASSERT_TRUE(::FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) && ::FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wYear, 2024);
    EXPECT_EQ(st.wHour, 13);
    EXPECT_EQ(st.wSecond, 31);
    EXPECT_EQ(st.wMilliseconds, 250);
    EXPECT_EQ(*host.FileWriteTime(path), stamp);
  }
  EXPECT_EQ(host.GetFileDateTime(dir / "f"), EncodeDateTime({2024, 7, 15, 13, 45, 30}));
  EXPECT_FALSE(host.FileWriteTime(dir / "missing"));
}

TEST(Win32Host, NowIsTheLocalClock) {
  SYSTEMTIME before, after;
  ::GetLocalTime(&before);
  const DateTimeParts now = DecodeDateTime(SystemHost().Now());
  ::GetLocalTime(&after);
  EXPECT_TRUE(now.year == before.wYear || now.year == after.wYear);
  EXPECT_TRUE(now.hour == before.wHour || now.hour == after.wHour);
  EXPECT_TRUE(now.minute == before.wMinute || now.minute == after.wMinute);
}

// Runs `write` with standard output going to `file`; what arrived there.
std::string CaptureStandardOutput(const std::string& file, const std::function<void()>& write) {
  const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE capture = ::CreateFileW(Wide(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(capture, INVALID_HANDLE_VALUE);
  ::SetStdHandle(STD_OUTPUT_HANDLE, capture);
  write();
  ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
  ::CloseHandle(capture);
  return ReadFile(file);
}

TEST(Win32Host, ConsoleLinesUseTheConsolesCodePage) {
  UINT code_page = ::GetConsoleOutputCP();
  if (code_page == 0) code_page = ::GetOEMCP();
  if (code_page != 866) GTEST_SKIP() << "console code page " << code_page << ", not a Russian console";
  TempDir dir;
  const std::string line = "Ошибка Exception:\r\nНе найден файл Korvel.ini"_cp;
  const std::string written =
      CaptureStandardOutput(dir / "out.txt", [&] { SystemHost().ConsoleWriteLine(line); });
  EXPECT_EQ(written, cp1251::ToOem866(line) + "\r\n");
  EXPECT_EQ(ToConsoleEncoding("Ёлка"_cp), "\xF0\xAB\xAA\xA0");
}

TEST(Win32Host, ConsoleCodePagesOtherThan866ConvertThroughUnicode) {
  const UINT saved = ::GetConsoleOutputCP();
  if (saved == 0 || !::SetConsoleOutputCP(CP_UTF8)) GTEST_SKIP() << "no console of our own";
  TempDir dir;
  const std::string written = CaptureStandardOutput(dir / "out.txt", [] { SystemHost().ConsoleWriteLine("Ёж"_cp); });
  ::SetConsoleOutputCP(saved);
  EXPECT_EQ(written, "Ёж\r\n");
}

TEST(Win32Host, FullAndUncNames) {
  TempDir dir;
  Host& host = SystemHost();
  const std::string previous = host.CurrentDirectory();
  host.SetCurrentDirectory(dir.path());
  const std::string relative = host.ExpandUNCFileName("Out\\..\\In");
  EXPECT_EQ(host.CurrentDirectory() + "\\", dir.path());
  host.SetCurrentDirectory(previous);
  EXPECT_EQ(relative, dir / "In");
  // A local drive keeps its letter.
  EXPECT_EQ(host.ExpandUNCFileName("C:\\OrvDistrib\\x\\..\\In\\"), "C:\\OrvDistrib\\In\\");
  EXPECT_EQ(host.ExpandUNCFileName(""), "");
}

TEST(Win32Host, CommandLineArgumentsAndExecutable) {
  Host& host = SystemHost();
  EXPECT_EQ(host.CommandLine(), Narrow(::GetCommandLineW()));
  const std::vector<std::string> args = host.Arguments();
  ASSERT_FALSE(args.empty());
  EXPECT_TRUE(EndsText("korvel_host_tests.exe", host.ExecutablePath())) << host.ExecutablePath();
  EXPECT_TRUE(SameText(ExtractFileName(args[0]), ExtractFileName(host.ExecutablePath())) ||
              SameText(ExtractFileName(args[0]) + ".exe", ExtractFileName(host.ExecutablePath())));
  EXPECT_TRUE(host.DirectoryExists(ExtractFileDir(host.ExecutablePath())));
}

TEST(Win32Host, FileVersionsComeFromTheVersionResource) {
  Host& host = SystemHost();
  // This test program carries no version resource.
  EXPECT_EQ(host.FileVersion(host.ExecutablePath()), "");
  EXPECT_EQ(host.FileVersion("C:\\no\\such\\file.exe"), "");
  // An empty FileVersion string gives way to the fixed file version.
  const std::string probe = ExtractFilePath(host.ExecutablePath()) + "korvel_mutex_probe.exe";
  EXPECT_EQ(host.FileVersion(probe), "3.14.15.926");
  wchar_t system[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  const std::string kernel = Narrow(std::wstring_view(system, n)) + "\\kernel32.dll";
  const std::string version = host.FileVersion(kernel);
  EXPECT_FALSE(version.empty());
  EXPECT_TRUE(version[0] >= '0' && version[0] <= '9') << version;
}

// The single-run lock is seen from every session: a scheduled run (session
// 0) and one over a remote desktop exclude each other. One that another
// account made, which this one may not open, is held.
TEST(Win32Host, TheNamedMutexIsGlobalAndOneThatCannotBeOpenedIsHeld) {
  const std::string name = "KorvelTest" + std::to_string(::GetCurrentProcessId());
  {
    const NamedMutex held = SystemHost().CreateNamedMutex(name);
    ASSERT_TRUE(held.handle);
    const HANDLE global = ::OpenMutexW(SYNCHRONIZE, FALSE, (L"Global\\" + Wide(name)).c_str());
    EXPECT_NE(global, nullptr);
    if (global != nullptr) ::CloseHandle(global);
    const HANDLE local = ::OpenMutexW(SYNCHRONIZE, FALSE, (L"Local\\" + Wide(name)).c_str());
    EXPECT_EQ(local, nullptr);
    if (local != nullptr) ::CloseHandle(local);
  }
  // An empty access list: nobody may open it (wine may let its owner in,
  // which then finds it existing: held all the same).
  PSECURITY_DESCRIPTOR nobody = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &nobody, nullptr));
  SECURITY_ATTRIBUTES security{sizeof security, nobody, FALSE};
  const HANDLE other = ::CreateMutexW(&security, FALSE, (L"Global\\" + Wide(name + "Other")).c_str());
  ::LocalFree(nobody);
  ASSERT_NE(other, nullptr);
  const NamedMutex refused = SystemHost().CreateNamedMutex(name + "Other");
  EXPECT_TRUE(refused.already_existed);
  ::CloseHandle(other);
}

// The system's search also matches 8.3 short names (x.update is X~1.UPD,
// or the like under wine): the long name decides.
TEST(Win32Host, MasksMatchTheLongNameNotTheShortOne) {
  TempDir dir;
  WriteFile(dir / "x.update", "12345");
  WriteFile(dir / "a.upd", "1");
  std::vector<std::string> names;
  SystemHost().ListFiles(dir.path(), "*.upd", names);
  EXPECT_EQ(names, (std::vector<std::string>{"a.upd"}));
  EXPECT_EQ(SystemHost().GetFileSize64(dir / "*.upd"), 1);
}

// Paths past 260 characters work in every file operation; targets that are
// hidden or system files are overwritten and copied onto.
TEST(Win32Host, LongPathsAndHiddenTargets) {
  TempDir root;
  Host& host = SystemHost();
  const std::string dir = root / (std::string(100, 'a') + "\\" + std::string(100, 'b') + "\\" + std::string(100, 'c'));
  ASSERT_TRUE(host.ForceDirectoriesOrFail(dir));
  const std::string file = dir + "\\" + std::string(40, 'f') + ".upd";
  host.WriteFileText(file, "one");
  host.CopyFileOrFail(file, file + ".copy");
  host.RenameFileOrFail(file + ".copy", file + ".moved");
  std::vector<std::string> names;
  host.ListFiles(dir, "*.*", names);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.size(), 2u);
  EXPECT_EQ(host.GetFileSize64(file + ".moved"), 3);
  EXPECT_TRUE(host.GetFileDateTime(file) > 0);
  for (const std::string& target : {file, file + ".moved"}) {
    host.SetAttributes(target, FileAttributes{.hidden = true, .system = true});
  }
  host.WriteFileText(file, "two");
  host.CopyFileOrFail(file, file + ".moved");
  EXPECT_EQ(host.ReadFileText(file + ".moved"), "two");
  host.DeleteFileOrFail(file + ".moved");
  host.DeleteDirectoryTree(root / std::string(100, 'a'), false);
  EXPECT_FALSE(host.DirectoryExists(root / std::string(100, 'a')));
}

TEST(Win32Host, LibrariesAndTheirSymbols) {
  auto kernel = SystemHost().LoadLibrary("kernel32.dll");
  ASSERT_TRUE(kernel);
  EXPECT_NE(kernel->Symbol("GetTickCount"), nullptr);
  EXPECT_EQ(kernel->Symbol("NoSuchFunction"), nullptr);
  try {
    SystemHost().LoadLibrary("no-such-library.dll");
    ADD_FAILURE() << "loaded";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Cause().code, ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(e.Cause().text.empty());
  }
}

TEST(Win32Host, EventLogTakesAnErrorEntryOfARegisteredSource) {
  EXPECT_NO_THROW(SystemHost().ReportError("korvel_host_tests.exe", "Ошибка WriteLog:\r\nпроверка"_cp));
  wchar_t file[1024];
  DWORD size = sizeof file;
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\korvel_host_tests.exe";
  ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EventMessageFile", RRF_RT_REG_SZ, nullptr, file, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(Narrow(file), SystemHost().ExecutablePath());
}

TEST(Win32Host, DiskFreeBytesIsTheCallersShare) {
  TempDir dir;
  ULARGE_INTEGER free_to_caller, total, free_total;
  ASSERT_TRUE(::GetDiskFreeSpaceExW(Wide(dir.path()).c_str(), &free_to_caller, &total, &free_total));
  const std::int64_t ours = SystemHost().DiskFreeBytes(dir.path());
  // Other processes write meanwhile: only the volume's size is fixed.
  EXPECT_GT(ours, 0);
  EXPECT_LE(ours, static_cast<std::int64_t>(total.QuadPart));
}

}  // namespace
}  // namespace korvel::host
