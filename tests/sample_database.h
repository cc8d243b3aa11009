// Test support: the pharmacy database of a temporary installation, made on
// the Firebird test server (fb/testing/test_server.h).
#pragma once

#include <string>
#include <vector>

#include "fb/testing/test_server.h"
#include "installation.h"

namespace korvel::testing {

// Creates <root>/db/base.fdb on the test server with the table ORGANIZATION
// holding one row, the empty tables SCRIPT_LOG and PRICING_PROCS (and then
// `extra` statements); returns its connection
// string "127.0.0.1/3050:<path>" for the ini file's DB key.
std::string MakeSampleDatabase(const Installation& inst, int pred_id, int node_id, int sysverno,
                               const std::vector<std::string>& extra = {});

// The same database file as a plain path, for checks on the file itself.
std::string SampleDatabasePath(const Installation& inst);

}  // namespace korvel::testing
