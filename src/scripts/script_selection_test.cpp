#include "scripts/script_selection.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "host/testing/temp_dir.h"

namespace korvel::scripts {
namespace {

using testing::SystemHost;
using testing::TempDir;
using testing::WriteFile;

// A path written with "/" in the platform's separators.
std::string N(std::string path) {
  std::replace(path.begin(), path.end(), '/', host::kPathDelim);
  return path;
}

std::vector<std::string> Sorted(std::vector<std::string> list) {
  std::sort(list.begin(), list.end());
  return list;
}

TEST(ListSqlScripts, FullPathsFromEachDirectoryWithoutRepeats) {
  TempDir dir;
  const std::string all = dir / "_all/";
  const std::string server = dir / "_server/";
  WriteFile(all + "a.sql", "");
  WriteFile(all + "b.sql", "");
  WriteFile(all + "notes.txt", "");
  WriteFile(all + N("sub.sql/inner.sql"), "");  // a directory with the extension is no script
  WriteFile(server + "a.sql", "");
  WriteFile(server + "c.sql", "");

  std::vector<std::string> list;
  ListSqlScripts(SystemHost(), all, list);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{all + "a.sql", all + "b.sql"}));
  // The second directory adds its own names; entries from the first stay
  // full paths of the first.
  ListSqlScripts(SystemHost(), server, list);
  EXPECT_EQ(Sorted(list), (std::vector<std::string>{all + "a.sql", all + "b.sql", server + "a.sql",
                                                    server + "c.sql"}));
  // A directory without scripts, or none at all, adds nothing.
  ListSqlScripts(SystemHost(), dir / "missing/", list);
  EXPECT_EQ(list.size(), 4u);
}

TEST(ScriptNumber, TheNameReadAsAnInteger) {
  struct Case {
    const char* path;
    std::int32_t number;
  };
  const Case cases[] = {
      {"1234.sql", 1234},        {"/pkg/Scripts/Numbers/0100.sql", 100}, {"+7.sql", 7},
      {"-3.sql", -3},            {"readme.sql", -1},                     {"12a.sql", -1},
      {".sql", -1},              {"99999999999.sql", -1},                {"1200", 1200},
      {"dir.5/12.sql", 12},
  };
  for (const Case& c : cases) EXPECT_EQ(ScriptNumber(N(c.path)), c.number) << c.path;
}

TEST(SelectNumberedScripts, AboveTheSchemaVersionInAscendingOrder) {
  std::vector<std::string> list = {N("/n/1203.sql"), N("/n/readme.sql"), N("/n/1200.sql"), N("/n/1201.sql"), N("/n/1199.sql")};
  SelectNumberedScripts(list, 1201, 2147483647);
  EXPECT_EQ(list, (std::vector<std::string>{N("/n/1201.sql"), N("/n/1203.sql")}));

  std::vector<std::string> range = {N("/n/5.sql"), N("/n/2.sql"), N("/n/9.sql"), N("/n/3.sql"), N("/n/03.sql")};
  SelectNumberedScripts(range, 3, 5);
  EXPECT_EQ(range, (std::vector<std::string>{N("/n/3.sql"), N("/n/03.sql"), N("/n/5.sql")}));

  // A name that is no number (-1) never remains, even from 0 up.
  std::vector<std::string> names = {N("/n/x.sql"), N("/n/0.sql")};
  SelectNumberedScripts(names, 0, 2147483647);
  EXPECT_EQ(names, std::vector<std::string>{N("/n/0.sql")});
}

TEST(PrivateScriptId, TheWordAfterTheMarker) {
  const std::string id = "{0B7D3C7E-6A1F-4A7B-9C55-1D2E3F405060}";
  ASSERT_EQ(id.size(), 38u);
  EXPECT_EQ(PrivateScriptId("/* PrivateScript " + id + " */"), id);
  EXPECT_EQ(PrivateScriptId("/* privatescript " + id), id);
  EXPECT_EQ(PrivateScriptId("PRIVATESCRIPT " + id), id);
  // Words are split at single spaces: two spaces leave an empty word.
  EXPECT_EQ(PrivateScriptId("/* PrivateScript  " + id + " */"), "");
  EXPECT_EQ(PrivateScriptId("/* PrivateScript {ABCD} */"), "");
  EXPECT_EQ(PrivateScriptId("/* " + id + " PrivateScript"), "");
  EXPECT_EQ(PrivateScriptId("/* PrivateScript " + id.substr(0, 37) + "x */"), "");
  EXPECT_EQ(PrivateScriptId("/* PrivateScripts " + id + " */"), "");
  EXPECT_EQ(PrivateScriptId(""), "");
  // Only the first marker word counts.
  EXPECT_EQ(PrivateScriptId("PrivateScript x PrivateScript " + id), "");
}

}  // namespace
}  // namespace korvel::scripts
