#include "host/ini_file.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvel::host
