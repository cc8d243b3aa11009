#include "host/ini_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace korvel::host {
namespace {

TEST(IniFile, FindsValuesLikeTheProfileFunctions) {
  const std::string text =
      "; comment\r\n[Other]\r\nDB=wrong\r\n[ path ]\r\n  db  =  srv/3051:D:\\Db\\base.gdb  \r\n"
      "Quoted=\"C:\\With Space\"\r\nEmpty=\r\nnoequals\r\nDB=second\r\n[Path]\r\nModules=late\n";
  EXPECT_EQ(FindIniValue(text, "Path", "DB"), "srv/3051:D:\\Db\\base.gdb");
  EXPECT_EQ(FindIniValue(text, "PATH", "quoted"), "C:\\With Space");
  EXPECT_EQ(FindIniValue(text, "Path", "Empty"), "");
  EXPECT_EQ(FindIniValue(text, "Path", "Modules"), std::nullopt);  // only the first [Path] counts
  EXPECT_EQ(FindIniValue(text, "Missing", "DB"), std::nullopt);
}

TEST(IniFile, GarbageAndLongLinesGiveNoValues) {
  std::string garbage;
  for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 7919) % 256);
  EXPECT_EQ(FindIniValue(garbage, "Path", "DB"), std::nullopt);
  const std::string text = "[Path]\n" + std::string(1 << 20, 'x') + "\nDB=" + std::string(100000, 'y');
  EXPECT_EQ(FindIniValue(text, "Path", "DB")->size(), 100000u);
  EXPECT_EQ(FindIniValue(std::string("[Path\0]\nDB=1", 12), "Path", "DB"), std::nullopt);
}

// The sample Korvel.ini of the README, copied as it stands, gives the
// values it shows: a value runs to the end of its line, so a comment after
// it would become part of it.
TEST(IniFile, ReadmeSampleWorksAsItStands) {
  std::ifstream readme(KORVEL_README, std::ios::binary);
  ASSERT_TRUE(readme) << KORVEL_README;
  std::string sample, line;
  bool in_sample = false;
  while (std::getline(readme, line)) {
    if (line == "    [Path]") in_sample = true;
    if (in_sample && line.rfind("    ", 0) != 0) break;
    if (in_sample) sample += line.substr(4) + "\r\n";
  }
  ASSERT_FALSE(sample.empty());
  EXPECT_EQ(FindIniValue(sample, "Path", "WorkDir"), "/srv/OrvDistrib");
  EXPECT_EQ(FindIniValue(sample, "Path", "DB"), "dbserver/3050:/var/lib/firebird/data/orvdb.fdb");
  EXPECT_EQ(FindIniValue(sample, "Path", "InDir"), "/srv/exchange/in");
  EXPECT_EQ(FindIniValue(sample, "Path", "OutDir"), "/srv/exchange/out");
  EXPECT_EQ(FindIniValue(sample, "Path", "Modules"), "2;5");
  EXPECT_EQ(FindIniValue(sample, "Path", "Classic"), "0");
}

}  // namespace
}  // namespace korvel::host
