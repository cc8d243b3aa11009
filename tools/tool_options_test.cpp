#include "tools/tool_options.h"

#include <gtest/gtest.h>

namespace korvel::tool {
namespace {

struct Parsed {
  bool flag = false;
  std::string value;
  std::optional<std::int32_t> number;
  std::vector<std::string> values, positional;
};

Parsed Parse(const std::vector<std::string>& args) {
  Parsed parsed;
  parsed.positional = ToolOptions()
                          .Flag("--flag", parsed.flag)
                          .Value("--value", parsed.value)
                          .Number("--number", parsed.number)
                          .Values("--each", parsed.values)
                          .Parse(args);
  return parsed;
}

TEST(ToolOptions, BothFormsAndPositionalsInAnyOrder) {
  // A later value wins.
  const Parsed parsed = Parse({"a", "--value", "first", "--value", "v=1", "--flag", "b", "--number=-7", "--each", "x", "--each=y", "--",
                               "--flag", "c"});
  EXPECT_TRUE(parsed.flag);
  EXPECT_EQ(parsed.value, "v=1");
  EXPECT_EQ(parsed.number, -7);
  EXPECT_EQ(parsed.values, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(parsed.positional, (std::vector<std::string>{"a", "b", "--flag", "c"}));
}

TEST(ToolOptions, RefusalsNameTheOption) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--value"}, "--value needs a value"},
      {{"--value", "--flag"}, "--value needs a value"},
      {{"--value="}, "--value needs a value"},
      {{"--number", "x"}, "--number needs a number, not 'x'"},
      {{"--flag=1"}, "--flag takes no value"},
      {{"--bogus=1"}, "unknown option --bogus"},
  };
  for (const auto& c : cases) {
    try {
      Parse(c.args);
      ADD_FAILURE() << c.message;
    } catch (const UsageError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  bool flag = false;
  EXPECT_THROW(ToolOptions().Flag("--flag", flag).Parse({"a"}, 2, "A and B"), UsageError);
}

}  // namespace
}  // namespace korvel::tool
