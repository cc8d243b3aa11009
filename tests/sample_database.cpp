#include "sample_database.h"

namespace korvel::testing {

std::string SampleDatabasePath(const Installation& inst) { return inst.root() / "db\\base.fdb"; }

std::string MakeSampleDatabase(const Installation& inst, int pred_id, int node_id, int sysverno,
                               const std::vector<std::string>& extra) {
  SystemHost().ForceDirectoriesOrFail(inst.root() / "db");
  fb::testing::MakeServerAccessible(inst.root() / "db");
  std::vector<std::string> statements = fb::testing::PharmacyStatements(pred_id, node_id, sysverno);
  statements.insert(statements.end(), extra.begin(), extra.end());
  const std::string connection = fb::testing::kServerPrefix + SampleDatabasePath(inst);
  fb::testing::CreateDatabase(connection, statements);
  return connection;
}

}  // namespace korvel::testing
