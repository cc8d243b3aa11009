// Test support for runs of the utility's test build (POSIX): an
// installation whose database server services (FirebirdServerPelkora and
// FirebirdServerClassic) are services of the test's own, running, so that a
// run may stop and start them while the shared Firebird test server goes on
// serving its databases, and an instant clock.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fb/testing/test_server.h"
#include "host/testing/dummy_service.h"
#include "installation.h"

namespace korvel::testing {

// Whether `lines` holds `expected` in this order (other lines between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected);

class TestBuildRun : public ::testing::Test {
 protected:
  TestBuildRun();
  // Installs and starts the database server's services and points the test
  // build at them; the directories of the installation at version 1520.
  void SetUp() override;
  void TearDown() override;

  // Runs the test build with `args` after clearing its log; the log's
  // messages (UTF-8, without times).
  std::vector<std::string> Run(const std::vector<std::string>& args = {});
  bool Exists(const std::string& path) { return SystemHost().FileExists(path); }
  // The state of the service the run stops and starts.
  bool ServerServiceRuns();
  // The installation's database on the test server, named by its ini file:
  // ORGANIZATION (chain `pred`, pharmacy `node`, schema `schema`), the
  // pharmacy's other tables and a table T holding one row (1). db_ is its
  // connection string, path_ its file.
  void UseSampleDatabase(int pred, int node, int schema);
  // The office's key pair: office.pem in the root, Korvel.pub beside the
  // executable.
  void MakeOfficeKey();

  DummyServices services_;
  Installation inst_;
  std::string db_, path_;
};

}  // namespace korvel::testing
