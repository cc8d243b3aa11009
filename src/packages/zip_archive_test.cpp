// Reading and unpacking archives: paths, names, overwriting, trailing
// bytes, and archives that lie about themselves.
#include "packages/zip_archive.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/cp1251.h"
#include "host/forwarding_host.h"
#include "host/testing/temp_dir.h"
#include "packages/shown_name.h"
#include "packages/testing/raw_zip.h"
#include "packages/zip_writer.h"

namespace korvel::packages {
namespace {

using korvel::testing::ReadFile;
using korvel::testing::SystemHost;
using korvel::testing::TempDir;
using korvel::testing::WriteFile;
using namespace korvel::literals;
using namespace korvel::packages::testing;

// Linux frees a range of a file (a hole); other systems keep the bytes.
#ifdef __linux__
constexpr bool kFreesFileRanges = true;
#else
constexpr bool kFreesFileRanges = false;
#endif

RawEntry Entry(std::string name, std::string data) {
  RawEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  return e;
}

// Everything below `dir`, as sorted relative paths with "/".
std::vector<std::string> Tree(const std::string& dir, const std::string& prefix = "") {
  std::vector<std::string> result, files, dirs;
  SystemHost().ListFiles(dir, "*", files);
  SystemHost().ListSubdirectories(dir, dirs);
  for (const std::string& f : files) result.push_back(prefix + f);
  for (const std::string& d : dirs) {
    result.push_back(prefix + d + "/");
    for (const std::string& sub : Tree(host::IncludePathDelimiter(dir + d), prefix + d + "/")) result.push_back(sub);
  }
  std::sort(result.begin(), result.end());
  return result;
}

// A host whose volume has the given room left.
class FreeSpaceHost : public host::ForwardingHost {
 public:
  FreeSpaceHost(host::Host& target, std::int64_t free) : ForwardingHost(target), free_(free) {}
  std::int64_t DiskFreeBytes(const std::string&) override { return free_; }

 private:
  std::int64_t free_;
};

class Extraction : public ::testing::Test {
 protected:
  // Writes `bytes` as the archive and unpacks it into out/.
  int Extract(const std::string& bytes) {
    WriteFile(archive_path(), bytes);
    SystemHost().ForceDirectoriesOrFail(out());
    auto file = SystemHost().OpenFile(archive_path(), host::OpenMode::kRead, host::ShareMode::kRead);
    return ExtractArchive(roomy_, *file, out());
  }
  std::string ExtractError(const std::string& bytes) {
    try {
      Extract(bytes);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "no error";
  }
  std::string archive_path() const { return dir_ / "a.upd"; }
  std::string out() const { return dir_ / "out/"; }

  TempDir dir_;
  // Room enough for the archives that lie about their sizes, whatever the
  // test machine's disk holds.
  FreeSpaceHost roomy_{SystemHost(), std::int64_t{1} << 40};
};

TEST_F(Extraction, RecreatesPathsWithEitherSeparatorAndCountsFiles) {
  const int count = Extract(BuildZip({Entry("contents.xml", "<R/>"), Entry("Scripts\\Numbers\\1521.sql", "select 1;"),
                                      Entry("bin/", ""), Entry("bin/x.dll", "dll"), Entry("./a//b.txt", "b")}));
  EXPECT_EQ(count, 4);
  EXPECT_EQ(Tree(out()), (std::vector<std::string>{"Scripts/", "Scripts/Numbers/", "Scripts/Numbers/1521.sql", "a/",
                                                   "a/b.txt", "bin/", "bin/x.dll", "contents.xml"}));
  EXPECT_EQ(ReadFile(out() + "Scripts/Numbers/1521.sql"), "select 1;");
}

// A private copy is consumed as it is unpacked: the same files come out,
// and on Linux the parts of the copy that held them read as zeros after,
// its directory untouched; a kept archive stays as it was.
TEST_F(Extraction, AConsumedArchiveGivesTheSameFilesAndFreesTheirBytes) {
  std::string big;
  for (int i = 0; i < 300000; ++i) big += static_cast<char>('a' + i % 23);
  const std::vector<RawEntry> entries = {Entry("bin/big.dll", big), Entry("contents.xml", "<R/>"),
                                         Entry("Scripts/Numbers/1.sql", std::string(9000, 's'))};
  const std::string zip = BuildZip(entries);
  for (const ArchiveUse use : {ArchiveUse::kKeep, ArchiveUse::kConsume}) {
    SCOPED_TRACE(use == ArchiveUse::kKeep ? "kept" : "consumed");
    SystemHost().DeleteDirectoryTree(out(), false);
    WriteFile(archive_path(), zip);
    SystemHost().ForceDirectoriesOrFail(out());
    {
      auto file = SystemHost().OpenFile(archive_path(), host::OpenMode::kReadWrite, host::ShareMode::kExclusive);
      EXPECT_EQ(ExtractArchive(roomy_, *file, out(), 0, use), 3);
    }
    for (const RawEntry& e : entries) EXPECT_EQ(ReadFile(out() + e.name), e.data) << e.name;
    const std::string after = ReadFile(archive_path());
    ASSERT_EQ(after.size(), zip.size());
    const bool released = use == ArchiveUse::kConsume && kFreesFileRanges;
    // The big entry's data, whole pages of it, and the directory at the end.
    EXPECT_EQ(after.substr(8192, 4096) == std::string(4096, '\0'), released);
    EXPECT_EQ(after.substr(after.size() - 200), zip.substr(zip.size() - 200));
    if (!released) {
      EXPECT_EQ(after, zip);
    }
  }
}

TEST_F(Extraction, KeepsTheStoredTime) {
  RawEntry e = Entry("a.txt", "x");
  e.dos_date = static_cast<std::uint16_t>(((2024 - 1980) << 9) | (3 << 5) | 15);
  e.dos_time = static_cast<std::uint16_t>((10 << 11) | (20 << 5) | (30 / 2));
  ASSERT_EQ(Extract(BuildZip({e})), 1);
  DateTimeParts expected;
  expected.year = 2024, expected.month = 3, expected.day = 15, expected.hour = 10, expected.minute = 20,
  expected.second = 30;
  EXPECT_EQ(SystemHost().GetFileDateTime(out() + "a.txt"), EncodeDateTime(expected));
}

TEST_F(Extraction, OverwritesExistingFilesReadOnlyOnesToo) {
  WriteFile(out() + "a.txt", "old content that is longer");
  WriteFile(host::JoinPath(out(), "sub\\b.txt"), "old");
  host::FileAttributes read_only;
  read_only.read_only = true;
  SystemHost().SetAttributes(host::JoinPath(out(), "sub\\b.txt"), read_only);
  EXPECT_EQ(Extract(BuildZip({Entry("a.txt", "new"), Entry("sub/b.txt", "new b")})), 2);
  EXPECT_EQ(ReadFile(out() + "a.txt"), "new");
  EXPECT_EQ(ReadFile(host::JoinPath(out(), "sub\\b.txt")), "new b");
  EXPECT_FALSE(SystemHost().GetAttributes(host::JoinPath(out(), "sub\\b.txt"))->read_only);
  // The same name twice: the later entry wins.
  EXPECT_EQ(Extract(BuildZip({Entry("a.txt", "1"), Entry("A.TXT", "2"), Entry("a.txt", "3")})), 3);
  EXPECT_EQ(ReadFile(out() + "a.txt"), "3");
}

// A program the package brings must be able to run (POSIX): the execute
// bits of a Unix entry's mode survive, nothing else of the mode does.
TEST_F(Extraction, ProgramsStayProgramsOnPosix) {
  RawEntry program = Entry("bin/tool", "#!/bin/sh\n"), text = Entry("bin/readme", "x"), dos = Entry("bin/x.exe", "MZ");
  program.made_by_system = text.made_by_system = 3;
  program.external_attributes = 0100700u << 16;
  text.external_attributes = 0100644u << 16;
  dos.external_attributes = 0x20;  // the archive bit of MS-DOS
  ASSERT_EQ(Extract(BuildZip({program, text, dos})), 3);
  EXPECT_EQ(SystemHost().GetAttributes(out() + "bin/tool")->executable, !host::kWindows);
  EXPECT_FALSE(SystemHost().GetAttributes(out() + "bin/readme")->executable);
  EXPECT_FALSE(SystemHost().GetAttributes(out() + "bin/x.exe")->executable);
}

TEST_F(Extraction, ReadsPastTrailingBytesSuchAsTheSignatureTrailer) {
  const std::string zip = BuildZip({Entry("contents.xml", "<R/>")});
  EXPECT_EQ(Extract(zip + "<key>" + std::string(88, 'A') + "</key>" + std::string(9, '\0')), 1);
  EXPECT_EQ(Extract(zip + std::string(108, '\0')), 1);
  std::string noise;
  for (int i = 0; i < 108; ++i) noise += static_cast<char>(i * 37 + 11);
  EXPECT_EQ(Extract(zip + noise), 1);
}

// The archive's own declaration decides a name's encoding; the bytes of a
// name are never guessed at.
TEST_F(Extraction, NamesAreUtf8OnlyWhenTheArchiveSaysSo) {
  RawEntry flagged = Entry("Отчёт.txt", "1");
  flagged.flags = 0x0800;
  // Code page 866 bytes that are valid UTF-8 as well (E1 AA A0 = U+1AA0).
  const std::string ska = cp1251::ToOem866("ска.txt"_cp);
  ASSERT_EQ(ska, "\xE1\xAA\xA0.txt");
  RawEntry unicode_path = Entry(cp1251::ToOem866("Старое.txt"_cp), "4");
  unicode_path.extra = UnicodePathField(unicode_path.name, "Новое.txt");
  // A Unicode path written for another name (its CRC does not match) is
  // ignored, and so is a UTF-8 name without the flag.
  RawEntry stale_path = Entry(cp1251::ToOem866("Прежнее.txt"_cp), "5");
  stale_path.extra = UnicodePathField("other name", "Неверное.txt");
  EXPECT_EQ(Extract(BuildZip({flagged, Entry(cp1251::ToOem866("Справка.txt"_cp), "2"), Entry(ska, "3"), unicode_path,
                              stale_path})),
            5);
  EXPECT_EQ(ReadFile(out() + "Отчёт.txt"_cp), "1");
  EXPECT_EQ(ReadFile(out() + "Справка.txt"_cp), "2");
  EXPECT_EQ(ReadFile(out() + "ска.txt"_cp), "3");
  EXPECT_EQ(ReadFile(out() + "Новое.txt"_cp), "4");
  EXPECT_EQ(ReadFile(out() + "Прежнее.txt"_cp), "5");
  // Unflagged UTF-8 is read as code page 866: "Ё" (D0 81) becomes a box
  // drawing character Windows-1251 lacks and "Б", and the name is refused.
  EXPECT_EQ(ExtractError(BuildZip({Entry("Ё.txt", "6")})),
            "Недопустимое имя файла в архиве \"?Б.txt\": недопустимый символ в имени"_cp);
  // A name flagged UTF-8 that is not is a damaged archive.
  RawEntry false_flag = Entry(ska.substr(0, 2) + ".txt", "x");
  false_flag.flags = 0x0800;
  EXPECT_EQ(Extract(BuildZip({false_flag})), 0);
}

TEST_F(Extraction, NoFilesOrNoArchiveGivesZeroAndWritesNothing) {
  EXPECT_EQ(Extract(BuildZip({})), 0);
  EXPECT_EQ(Extract(BuildZip({Entry("empty/", "")})), 0);
  EXPECT_EQ(Extract("this is not an archive at all"), 0);
  EXPECT_EQ(Extract(""), 0);
  EXPECT_EQ(Extract(BuildZip({Entry("a.txt", "x")}).substr(0, 30)), 0);
  EXPECT_EQ(Tree(out()), std::vector<std::string>{});
}

// Names that would land outside the target fail the whole archive before
// anything is written, also the harmless entries in front of them.
TEST_F(Extraction, PathTricksFailTheArchiveBeforeAnythingIsWritten) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"../evil.txt", "путь выходит за пределы каталога распаковки"},
      {"a/../../evil.txt", "путь выходит за пределы каталога распаковки"},
      {"a\\..\\..\\evil.txt", "путь выходит за пределы каталога распаковки"},
      {"a/..", "путь выходит за пределы каталога распаковки"},
      {"/etc/evil.txt", "абсолютный путь"},
      {"\\evil.txt", "абсолютный путь"},
      {"C:evil.txt", "буква диска или поток файла"},
      {"c:\\evil.txt", "буква диска или поток файла"},
      {"a.txt:stream", "буква диска или поток файла"},
      {"sub/NUL.txt", "имя устройства"},
      {"com1", "имя устройства"},
      {"a\x01.txt", "управляющий символ в имени"},
      {"sub/a?.txt", "недопустимый символ в имени"},
      {"a*", "недопустимый символ в имени"},
      {"<a>|\"b\"", "недопустимый символ в имени"},
      {"./", "пустое имя"},
      // Windows would drop the trailing dot or blank: ".. \\x" would climb
      // out, "a." would land on "a".
      {".. /evil.txt", "имя оканчивается точкой или пробелом"},
      {"...\\evil.txt", "имя оканчивается точкой или пробелом"},
      {"sub/a.", "имя оканчивается точкой или пробелом"},
      {"b /c.txt", "имя оканчивается точкой или пробелом"},
      {"c.txt ", "имя оканчивается точкой или пробелом"},
  };
  for (const auto& [name, why] : cases) {
    const std::string message = ExtractError(BuildZip({Entry("first.txt", "ok"), Entry(name, "evil")}));
    EXPECT_EQ(message, "Недопустимое имя файла в архиве \""_cp + ShownName(name) + "\": " + cp1251::FromUtf8(why)) << name;
    EXPECT_EQ(Tree(out()), std::vector<std::string>{}) << name;
  }
  EXPECT_EQ(Tree(dir_.path()), (std::vector<std::string>{"a.upd", "out/"}));
}

TEST_F(Extraction, LinksFailTheArchive) {
  EXPECT_EQ(ExtractError(BuildZip({Entry("a.txt", "x"), LinkEntry("link", "/etc")})),
            "Архив содержит символическую ссылку \"link\""_cp);
  EXPECT_EQ(Tree(out()), std::vector<std::string>{});
}

TEST_F(Extraction, LyingSizesAndChecksumsLeaveNoFileUnderTheEntryName) {
  RawEntry shorter = Entry("b.txt", "0123456789");
  shorter.declared_size = 4;
  RawEntry bad_crc = Entry("c.txt", "0123456789");
  bad_crc.declared_crc = 12345;
  RawEntry huge = Entry("d.txt", "0123456789");
  huge.declared_size = 0xFFFFFFF0;
  for (const RawEntry& e : {shorter, bad_crc, huge}) {
    WriteFile(out() + "keep.txt", "kept");
    const std::string message = ExtractError(BuildZip({Entry("a.txt", "fine"), e}));
    EXPECT_EQ(message.rfind("Ошибка распаковки файла "_cp + e.name + ": ", 0), 0u) << message;
    // The entries before it are complete; the failed one is not there at
    // all, and no temporary file is left.
    EXPECT_EQ(Tree(out()), (std::vector<std::string>{"a.txt", "keep.txt"})) << e.name;
    EXPECT_EQ(ReadFile(out() + "a.txt"), "fine");
    SystemHost().DeleteDirectoryTree(out(), true);
  }
}

TEST_F(Extraction, PayloadLargerThanTheFreeSpaceIsRefusedBeforeAnythingIsWritten) {
  // Declared sizes count, not the bytes stored: a small archive may unpack
  // to gigabytes.
  RawEntry big = Entry("b.txt", "0123456789");
  big.declared_size = 3000000000;
  const std::string zip = BuildZip({Entry("a.txt", "12345"), big});
  WriteFile(archive_path(), zip);
  SystemHost().ForceDirectoriesOrFail(out());
  FreeSpaceHost host(SystemHost(), 1000000);
  auto file = SystemHost().OpenFile(archive_path(), host::OpenMode::kRead, host::ShareMode::kRead);
  try {
    ExtractArchive(host, *file, out());
    FAIL() << "extracted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(),
              "Недостаточно места на диске для распаковки архива: нужно 3000000005 байт, свободно 1000000 байт"_cp);
  }
  EXPECT_EQ(Tree(out()), std::vector<std::string>{});
  // Exactly enough room is enough.
  file.reset();
  WriteFile(archive_path(), BuildZip({Entry("a.txt", "12345"), Entry("b.txt", "0123456789")}));
  file = SystemHost().OpenFile(archive_path(), host::OpenMode::kRead, host::ShareMode::kRead);
  FreeSpaceHost too_little(SystemHost(), 14), exact(SystemHost(), 15);
  EXPECT_THROW(ExtractArchive(too_little, *file, out()), Exception);
  EXPECT_EQ(ExtractArchive(exact, *file, out()), 2);
  // A margin to keep free counts with the payload.
  try {
    ExtractArchive(exact, *file, out(), 1);
    FAIL() << "extracted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(),
              "Недостаточно места на диске для распаковки архива: нужно 15 байт и запас 1 байт, свободно 15 байт"_cp);
  }
}

TEST_F(Extraction, TemporaryNameNeverCollidesWithAnEntry) {
  EXPECT_EQ(Extract(BuildZip({Entry("~korvel-unzip.tmp", "1"), Entry("~KORVEL-UNZIP1.TMP/x", "2")})), 2);
  EXPECT_EQ(Tree(out()), (std::vector<std::string>{"~KORVEL-UNZIP1.TMP/", "~KORVEL-UNZIP1.TMP/x", "~korvel-unzip.tmp"}));
  EXPECT_EQ(ReadFile(out() + "~korvel-unzip.tmp"), "1");
}

TEST(ShownName, EscapesControlCharactersOnly) {
  EXPECT_EQ(ShownName("a\x01.txt"), "a\\x01.txt");
  EXPECT_EQ(ShownName("x.upd\r\n12:00 forged\x7F"), "x.upd\\x0D\\x0A12:00 forged\\x7F");
  EXPECT_EQ(ShownName("Scripts\\Numbers\\"_cp + "отчёт.sql"_cp), "Scripts\\Numbers\\"_cp + "отчёт.sql"_cp);
}

TEST(SafeEntryPath, SplitsIntoSteps) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SafeEntryPath("a\\b/c.txt"), (V{"a", "b", "c.txt"}));
  EXPECT_EQ(SafeEntryPath("a/./b"), (V{"a", "b"}));
  EXPECT_EQ(SafeEntryPath("..a/b..c/.d"), (V{"..a", "b..c", ".d"}));
  EXPECT_EQ(SafeEntryPath("CONSOLE/COM10/LPT"), (V{"CONSOLE", "COM10", "LPT"}));
}

TEST(ZipWriterRoundTrip, WrittenArchiveReadsBackWithTimesAndNames) {
  TempDir dir;
  host::Host& host = SystemHost();
  WriteFile(dir / "src/big.bin", std::string(200000, 'q'));
  WriteFile(dir / "src/Справка.txt"_cp, "text");
  host.MarkExecutable(dir / "src/big.bin");
  DateTimeParts p;
  p.year = 2023, p.month = 7, p.day = 1, p.hour = 8, p.minute = 30, p.second = 14;
  host.SetFileWriteTime(dir / "src/big.bin", EncodeDateTime(p));
  {
    ZipWriter writer(host, dir / "out.zip");
    writer.AddFile("Dir\\big.bin", dir / "src/big.bin");
    writer.AddFile("Справка.txt"_cp, dir / "src/Справка.txt"_cp, true);
    writer.AddData("contents.xml", "<R/>");
    writer.Close();
  }
  EXPECT_FALSE(host.FileExists(dir / "out.zip.tmp"));
  auto file = host.OpenFile(dir / "out.zip", host::OpenMode::kRead, host::ShareMode::kRead);
  auto reader = ZipReader::Open(*file);
  ASSERT_NE(reader, nullptr);
  ASSERT_EQ(reader->Entries().size(), 3u);
  EXPECT_EQ(reader->Entries()[0].name, "Dir/big.bin");
  EXPECT_EQ(reader->Entries()[0].size, 200000u);
  EXPECT_EQ(reader->Entries()[0].time, EncodeDateTime(p));
  EXPECT_EQ(reader->Entries()[1].name, "Справка.txt"_cp);
  // A program is recorded as one where the system knows programs.
  EXPECT_EQ(reader->Entries()[0].executable, !host::kWindows);
  EXPECT_FALSE(reader->Entries()[1].executable);
  std::string data;
  reader->ReadEntry(0, [&](std::string_view block) { data += block; });
  EXPECT_EQ(data, std::string(200000, 'q'));
}

}  // namespace
}  // namespace korvel::packages
