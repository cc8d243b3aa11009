// The Firebird 3 steps of the data module on real files in temporary
// directories: the client files put beside a program, and the database
// conversion run by a stand-in converter of the tests' own, which prints
// the words it received and its working directory. The database's size and
// the free space of its volume come from the host (figures a real disk
// cannot be made to show); no database server is needed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "dbservice/fb3_transition.h"
#include "host/cp1251.h"
#include "run/korvel_data.h"
#include "run/step_test_fixture.h"

namespace korvel::run {
namespace {

using ::testing::HasSubstr;

constexpr std::int64_t kGiB = 1024LL * 1024 * 1024;

// How the free-space message names the volume of `path`.
std::string Volume(const std::string& path) {
  return host::kWindows ? path.substr(0, 2) : host::ExtractFileDir(path);
}

class Fb3Host : public RunTestHost {
 public:
  using RunTestHost::RunTestHost;
  std::int64_t FileSize(const std::string& path) override {
    const auto it = sizes.find(path);
    return it != sizes.end() ? it->second : RunTestHost::FileSize(path);
  }
  std::int64_t DiskFreeBytes(const std::string& directory) override {
    asked.push_back(directory);
    const auto it = free.find(directory);
    return it != free.end() ? it->second : RunTestHost::DiskFreeBytes(directory);
  }
  std::unique_ptr<host::CapturedProcess> StartCapturedProcess(const std::string& command_line,
                                                              const std::string& working_dir) override {
    started.push_back(command_line);
    started_in.push_back(working_dir);
    return RunTestHost::StartCapturedProcess(command_line, working_dir);
  }
  void CopyFile(const std::string& from, const std::string& to) override {
    if (!partial_copy_of.empty() && host::ExtractFileName(from) == partial_copy_of) {
      WriteFile(to, "half a library");
      throw Exception("Код: 28: нет места на диске"_cp);
    }
    copied_to.push_back(to);
    RunTestHost::CopyFile(from, to);
  }

  std::map<std::string, std::int64_t> sizes, free;
  V asked, started, started_in, copied_to;
  std::string partial_copy_of;
};

class Fb3Steps : public testing::StepFixture<Fb3Host> {
 protected:
  void SetUp() override {
    dm_.ExeDir = root_ / "Korvel\\";
    dm_.TmpDir = root_ / "Work\\TMP\\";
    dm_.DistribDir = root_ / "Work\\Distrib\\";
    MakeDirectories({dm_.ExeDir, dm_.TmpDir, dm_.DistribDir});
  }

  // The log's messages without their times.
  V Log() const { return testing::LogMessages(dm_.LogLines); }
};

// ---- The client files ----

class Fb3ClientFiles : public Fb3Steps {
 protected:
  const dbservice::Fb3ClientFileSet& files_ = dbservice::Fb3ClientFiles();
  std::string Source(const std::string& name) const { return dm_.DistribDir + files_.SourceDir + name; }
  void Distribute() {
    WriteFile(Source(files_.Client), "new client");
    for (const std::string& name : files_.Companions) WriteFile(Source(name), "new " + name);
  }
  std::string promo_ = root_ / "Promo\\";
  const std::string exe_warning_ = "Внимание! Файлы FB3 не были скопированы в каталог утилиты Korvel."_cp;
  const std::string promo_warning_ = "Внимание! Файлы FB3 не были обновлены для промо-служб."_cp;
};

TEST_F(Fb3ClientFiles, SetOfThisPlatform) {
  if (host::kWindows) {
    EXPECT_EQ(files_.SourceDir, "Firebird\\bin\\");
    EXPECT_EQ(files_.Required, (V{"msvcp100.dll", "msvcr100.dll", "gds32.dll"}));
    EXPECT_EQ(files_.Companions, (V{"msvcr100.dll", "msvcp100.dll"}));
    EXPECT_EQ(files_.Parked, "gds32.~dll");
  } else {
    EXPECT_EQ(files_.SourceDir, "Firebird/lib/");
    EXPECT_EQ(files_.Required, (V{"libfbclient.so.2"}));
    EXPECT_TRUE(files_.Companions.empty());
    EXPECT_EQ(files_.Parked, "libfbclient.~so.2");
  }
}

TEST_F(Fb3ClientFiles, CompleteSetIsNeverTouchedWhateverItsVersion) {
  Distribute();
  for (const std::string& name : files_.Required) WriteFile(dm_.ExeDir + name, "old " + name);
  dm_.RefreshFb3ClientFiles(dm_.ExeDir, exe_warning_);
  for (const std::string& name : files_.Required) EXPECT_EQ(ReadFile(dm_.ExeDir + name), "old " + name);
  EXPECT_FALSE(SystemHost().FileExists(dm_.ExeDir + files_.Parked));
  EXPECT_TRUE(Log().empty());
}

// The set without its first file (Windows: gds32.dll and msvcr100.dll
// there, msvcp100.dll missing; POSIX: no client at all) is refreshed: the
// old client parked, every file copied.
TEST_F(Fb3ClientFiles, IncompleteSetIsRefreshedAndTheOldClientParked) {
  Distribute();
  for (std::size_t i = 1; i < files_.Required.size(); ++i) {
    WriteFile(dm_.ExeDir + files_.Required[i], "old " + files_.Required[i]);
  }
  WriteFile(dm_.ExeDir + files_.Parked, "parked by an earlier run");
  dm_.RefreshFb3ClientFiles(dm_.ExeDir, exe_warning_);

  EXPECT_EQ(ReadFile(dm_.ExeDir + files_.Client), "new client");
  for (const std::string& name : files_.Companions) EXPECT_EQ(ReadFile(dm_.ExeDir + name), "new " + name);
  if (files_.Required.size() > 1) {
    EXPECT_EQ(ReadFile(dm_.ExeDir + files_.Parked), "old " + files_.Client);
  } else {
    EXPECT_FALSE(SystemHost().FileExists(dm_.ExeDir + files_.Parked));
  }
  EXPECT_TRUE(Log().empty());

  // Complete now: the next run leaves it alone.
  WriteFile(Source(files_.Client), "newer client");
  dm_.RefreshFb3ClientFiles(dm_.ExeDir, exe_warning_);
  EXPECT_EQ(ReadFile(dm_.ExeDir + files_.Client), "new client");
}

TEST_F(Fb3ClientFiles, CompanionsMissingFromTheDistributionAreNoFailure) {
  WriteFile(Source(files_.Client), "new client");
  dm_.RefreshFb3ClientFiles(dm_.ExeDir, exe_warning_);
  EXPECT_EQ(ReadFile(dm_.ExeDir + files_.Client), "new client");
  EXPECT_TRUE(Log().empty());
}

// Without the distribution's client the old client is put back and each
// target warns once with its own text.
TEST_F(Fb3ClientFiles, WithoutTheDistributionsClientTheOldOneIsPutBack) {
  // Both targets incomplete as above, with a client parked by an earlier
  // run.
  for (const std::string& dir : {dm_.ExeDir, promo_}) {
    for (std::size_t i = 1; i < files_.Required.size(); ++i) {
      WriteFile(dir + files_.Required[i], "old " + files_.Required[i]);
    }
    WriteFile(dir + files_.Parked, "stale");
  }
  dm_.RefreshFb3ClientFiles(dm_.ExeDir, exe_warning_);
  dm_.RefreshFb3ClientFiles(promo_, promo_warning_);

  EXPECT_EQ(Log(), (V{exe_warning_, promo_warning_}));
  for (const std::string& dir : {dm_.ExeDir, promo_}) {
    if (files_.Required.size() > 1) {
      EXPECT_EQ(ReadFile(dir + files_.Client), "old " + files_.Client);
    } else {
      EXPECT_FALSE(SystemHost().FileExists(dir + files_.Client));
    }
    EXPECT_FALSE(SystemHost().FileExists(dir + files_.Parked));
  }
}

// A copy that fails half-way leaves no half library under the client's
// name: the parked client replaces it.
TEST_F(Fb3ClientFiles, HalfCopiedClientIsReplacedByTheOldOne) {
  if (files_.Required.size() < 2) GTEST_SKIP() << "a present client is never refreshed here";
  Distribute();
  WriteFile(dm_.ExeDir + files_.Client, "old client");
  host_.partial_copy_of = files_.Client;
  dm_.RefreshFb3ClientFiles(dm_.ExeDir, exe_warning_);
  EXPECT_EQ(ReadFile(dm_.ExeDir + files_.Client), "old client");
  EXPECT_EQ(Log(), V{exe_warning_});
}

// An init script's directory or a program of the system's: never written.
TEST_F(Fb3ClientFiles, SystemDirectoriesAreSkippedAndLogged) {
  if (host::kWindows) GTEST_SKIP() << "Windows copies beside every service program";
  Distribute();
  for (const std::string dir : {"/etc/init.d/", "/usr/bin/"}) {
    dm_.LogLines.clear();
    dm_.RefreshFb3ClientFiles(dir, promo_warning_);
    EXPECT_EQ(Log(), V{"Файлы FB3 не скопированы в системный каталог "_cp + dir});
  }
  EXPECT_TRUE(host_.copied_to.empty());
}

// ---- The database conversion ----

class Fb3Migration : public Fb3Steps {
 protected:
  void SetUp() override {
    Fb3Steps::SetUp();
    db_file_ = root_ / "Data\\apteka.fdb";
    WriteFile(db_file_, "database");
    dm_.DbService = std::make_unique<dbservice::TDbService>(host_, dm_.FbClient);
    dm_.DbService->SetDatabase("127.0.0.1:" + db_file_);
    dm_.DbService->ServiceName = dbservice::kClassicServiceName;
    dm_.DbService->OnMessage = [this](const std::string& m) { dm_.WriteLog(m); };
    dm_.Classic = true;
    dm_.SysVerNo = 799;
    converter_ = dm_.TmpDir + host::NativeSeparators("Utils\\AutoUpdate\\FB3_migrate\\FBConvert.exe");
    converter_dir_ = host::ExtractFilePath(converter_);
  }
  void ProvideConverter() {
    SystemHost().ForceDirectoriesOrFail(converter_dir_);
    SystemHost().CopyFile(KORVEL_FAKE_CONVERTER, converter_);
  }
  // Nothing was done: no message, no program, the run's idea of the
  // server unchanged.
  void ExpectNothingDone() {
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(host_.started.empty());
    EXPECT_TRUE(dm_.Classic);
    EXPECT_EQ(dm_.DbService->ServiceName, dbservice::kClassicServiceName);
  }

  std::string db_file_, converter_, converter_dir_;
};

TEST_F(Fb3Migration, ConverterRunsInItsDirectoryWithItsOutputLogged) {
  ProvideConverter();
  dm_.MigrateToFb3();

  const std::string db_name = "127.0.0.1:" + db_file_;
  const std::string line = converter_ + " /BR \"" + db_name + "\" \"" + converter_dir_ + "\" 1";
  ASSERT_EQ(host_.started, V{line});
  EXPECT_EQ(host_.started_in, V{converter_dir_});
  EXPECT_EQ(dbservice::Fb3ConverterCommandLine(converter_, db_name, true), line);
  const V log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "Переход на Firebird 3..."_cp);
  EXPECT_EQ(log[1], "Конвертирование БД ..."_cp);
  if (host::kWindows) {
    // Windows programs split words by their own runtime's rules (a
    // backslash before a quote escapes it); the line itself is checked above.
    EXPECT_EQ(log[2], "arg1=/BR");
  } else {
    EXPECT_EQ(V(log.begin() + 2, log.end()), (V{"arg1=/BR", "arg2=" + db_name, "arg3=" + converter_dir_, "arg4=1",
                                                "cwd=" + host::ExtractFileDir(converter_)}));
  }
  EXPECT_THAT(log.back(), HasSubstr("cwd="));
  EXPECT_EQ(host_.asked, V{host::ExtractFilePath(db_file_)});
  // The exit code 3 of the converter is no failure; the run goes on with
  // the product's own Firebird 3 server.
  EXPECT_FALSE(dm_.Classic);
  EXPECT_EQ(dm_.DbService->ServiceName, "FirebirdServerPelkora");
}

TEST_F(Fb3Migration, CommandLineEndsWithTheClassicDigit) {
  ProvideConverter();
  dm_.Classic = false;
  dm_.DbService->ServiceName = "FirebirdServerPelkora";
  dm_.MigrateToFb3();
  ASSERT_EQ(host_.started.size(), 1u);
  EXPECT_THAT(host_.started[0], ::testing::EndsWith(host::kPathDelim + std::string("\" 0")));
  if (host::kWindows) {
    EXPECT_EQ(dbservice::Fb3ConverterCommandLine("C:\\T\\FBConvert.exe", "srv:D:\\DB\\APTEKA.FDB", true),
              "C:\\T\\FBConvert.exe /BR \"srv:D:\\DB\\APTEKA.FDB\" \"C:\\T\\\" 1");
  } else {
    EXPECT_EQ(dbservice::Fb3ConverterCommandLine("/t/FBConvert.exe", "srv:/db/apteka.fdb", true),
              "/t/FBConvert.exe /BR \"srv:/db/apteka.fdb\" \"/t/\" 1");
  }
}

TEST_F(Fb3Migration, DueOnlyBelowTheFirebird3SchemaAndWithTheConverter) {
  dm_.MigrateToFb3();  // 799, no converter
  ExpectNothingDone();

  ProvideConverter();
  dm_.SysVerNo = 800;
  dm_.MigrateToFb3();
  ExpectNothingDone();
  dm_.SysVerNo = 1500;
  dm_.MigrateToFb3();
  ExpectNothingDone();

  dm_.SysVerNo = 799;
  dm_.MigrateToFb3();
  EXPECT_EQ(host_.started.size(), 1u);
}

TEST_F(Fb3Migration, ThreeTimesTheDatabaseMustBeFree) {
  ProvideConverter();
  host_.sizes[db_file_] = 10 * kGiB;
  host_.free[host::ExtractFilePath(db_file_)] = 25 * kGiB;
  try {
    dm_.MigrateToFb3();
    FAIL() << "no free-space failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Не хватает места на диске "_cp + Volume(db_file_) +
                               ". Свободно 25600 мб, требуется 30720 мб."_cp);
  }
  EXPECT_TRUE(host_.started.empty());
  EXPECT_TRUE(dm_.Classic);
  EXPECT_EQ(dm_.DbService->ServiceName, dbservice::kClassicServiceName);

  host_.free[host::ExtractFilePath(db_file_)] = 30 * kGiB;  // exactly enough
  dm_.MigrateToFb3();
  EXPECT_EQ(host_.started.size(), 1u);
}

// The shadow is converted too: its own volume must hold twice the
// database.
TEST_F(Fb3Migration, ShadowVolumeMustHoldTwiceTheDatabase) {
  ProvideConverter();
  const std::string shadow = root_ / "Shadow\\apteka.shd";
  WriteFile(shadow, "shadow");
  dm_.DbService->SetShadowFile(shadow);
  host_.sizes[db_file_] = 10 * kGiB;
  host_.free[host::ExtractFilePath(db_file_)] = 40 * kGiB;
  host_.free[host::ExtractFilePath(shadow)] = 15 * kGiB;
  try {
    dm_.MigrateToFb3();
    FAIL() << "no free-space failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Не хватает места на диске "_cp + Volume(shadow) +
                               ". Свободно 15360 мб, требуется 20480 мб."_cp);
  }
  EXPECT_EQ(host_.asked, (V{host::ExtractFilePath(db_file_), host::ExtractFilePath(shadow)}));
  EXPECT_TRUE(host_.started.empty());

  host_.free[host::ExtractFilePath(shadow)] = 20 * kGiB;
  dm_.MigrateToFb3();
  EXPECT_EQ(host_.started.size(), 1u);
}

TEST_F(Fb3Migration, ConverterThatCannotStartFailsTheStep) {
  SystemHost().ForceDirectoriesOrFail(converter_dir_);
  WriteFile(converter_, "not a program");
  try {
    dm_.MigrateToFb3();
    FAIL() << "no start failure";
  } catch (const Exception& e) {
    EXPECT_THAT(e.Message(), HasSubstr("Ошибка запуска программы \""_cp + converter_ + " /BR"));
  }
  EXPECT_TRUE(dm_.Classic);
  EXPECT_EQ(dm_.DbService->ServiceName, dbservice::kClassicServiceName);
}

}  // namespace
}  // namespace korvel::run
