// Test support for the steps of the run: what every step's test opens
// with, so that a new step's test is its own few lines. StepTest gives a
// temporary root, the directories a step reads made below it in one call,
// and the current directory put back after the test (the run changes it);
// StepFixture adds the test host with the executable in root/Korvel and
// the data module on it.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "host/cp1251.h"
#include "host/testing/temp_dir.h"
#include "run/korvel_data.h"
#include "run/run_test_host.h"

namespace korvel::run {

// The names every step's test uses.
using namespace korvel::literals;
using korvel::testing::ReadFile;
using korvel::testing::SystemHost;
using korvel::testing::TempDir;
using korvel::testing::WriteFile;
using testing::RunTestHost;
using V = std::vector<std::string>;

namespace testing {

class StepTest : public ::testing::Test {
 protected:
  StepTest() : saved_cwd_(SystemHost().CurrentDirectory()) {}
  void TearDown() override { SystemHost().SetCurrentDirectory(saved_cwd_); }

  // Makes each directory, and the ones above it.
  static void MakeDirectories(std::initializer_list<std::string> dirs) {
    for (const std::string& dir : dirs) SystemHost().ForceDirectoriesOrFail(dir);
  }

  TempDir root_;

 private:
  std::string saved_cwd_;
};

template <typename StepHost = RunTestHost>
class StepFixture : public StepTest {
 protected:
  StepHost host_{root_ / "Korvel\\", {}};
  TdmKorvel dm_{host_};
};

}  // namespace testing
}  // namespace korvel::run
