#include "sample_database.h"

namespace korvel::testing {

std::string SampleDatabasePath(const Installation& inst) { return inst.root() / "db\\base.fdb"; }

std::string MakeSampleDatabase(const Installation& inst, int pred_id, int node_id, int sysverno,
                               const std::vector<std::string>& extra) {
  SystemHost().ForceDirectoriesOrFail(inst.root() / "db");
  fb::testing::MakeServerAccessible(inst.root() / "db");
  std::vector<std::string> statements = fb::testing::OrganizationStatements(pred_id, node_id, sysverno);
  // The other tables of a pharmacy database that every full run reads: the
  // private scripts' log and the pricing procedure's versions (none due).
  statements.push_back("create table SCRIPT_LOG (SCRIPT_ID varchar(38) not null primary key, "
                       "APPLIED timestamp default current_timestamp)");
  statements.push_back("create table PRICING_PROCS (ID integer not null primary key, STATUS integer, "
                       "SCRIPT blob sub_type text)");
  statements.insert(statements.end(), extra.begin(), extra.end());
  const std::string connection = fb::testing::kServerPrefix + SampleDatabasePath(inst);
  fb::testing::CreateDatabase(connection, statements);
  return connection;
}

}  // namespace korvel::testing
