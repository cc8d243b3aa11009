#include "fb/dataset.h"

#include <gtest/gtest.h>

#include "fb/testing/test_server.h"
#include "host/cp1251.h"

namespace korvel::fb {
namespace {

using namespace korvel::literals;
using testing::ScratchDatabase;

// A table of versions like the pharmacy database's, on a connection with
// the program's read-committed transaction, which the dataset starts.
class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_FB_SERVER();
    std::string note;
    for (int i = 0; i < 3000; ++i) note += "Строка "_cp + std::to_string(i) + "\r\n";
    note_ = note;
    scratch_ = std::make_unique<ScratchDatabase>(std::vector<std::string>{
        "create table ITEMS (ID integer not null primary key, STATUS integer, CODE char(6), "
        "NAME varchar(40), PRICE numeric(15,2), NOTE blob sub_type text)",
        "insert into ITEMS values (1, 0, 'A', '  старая  ', 1.25, 'first')"_cp,
        "insert into ITEMS values (2, null, 'BC', ' Аспирин ', 12.5, '"_cp + note_ + "')",
    });
    database_ = std::make_unique<Database>(*testing::TestClient());
    testing::SetProgramParams(*database_);
    database_->DatabaseName = scratch_->Connection();
    database_->Open();
    read_ = std::make_unique<Transaction>(*database_);
    read_->Params = {"write", "nowait", "rec_version", "read_committed"};
    dataset_ = std::make_unique<DataSet>(*database_, *read_);
    dataset_->SelectSQL = {"select first 1 i.*", "from ITEMS i", "order by i.ID desc"};
    dataset_->UpdateSQL = {"update ITEMS", "set STATUS=?STATUS", "where ID=?ID;"};
    dataset_->TrimCharFields = true;
  }

  std::string Select(const std::string& sql) { return testing::SelectValue(scratch_->Connection(), sql); }

  std::string note_;
  std::unique_ptr<ScratchDatabase> scratch_;
  std::unique_ptr<Database> database_;
  std::unique_ptr<Transaction> read_;
  std::unique_ptr<DataSet> dataset_;
};

TEST_F(DataSetTest, OpenStartsTheTransactionAndReadsTheFirstRow) {
  DataSet& ds = *dataset_;
  EXPECT_FALSE(read_->InTransaction());
  ds.Open();
  EXPECT_TRUE(read_->InTransaction());
  EXPECT_TRUE(ds.Active());
  ASSERT_FALSE(ds.Eof());
  EXPECT_EQ(ds.FieldByName("id").AsInteger(), 2);
  // A null integer reads as 0.
  EXPECT_TRUE(ds.FieldByName("STATUS").IsNull());
  EXPECT_EQ(ds.FieldByName("STATUS").AsInteger(), 0);
  EXPECT_EQ(ds.FieldByName("CODE").AsString(), "BC");
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "Аспирин"_cp);
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), note_);
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  try {
    ds.FieldByName("SCRIPT");
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Field 'SCRIPT' not found");
  }

  // Untrimmed, CHAR keeps its padding and VARCHAR its blanks.
  ds.TrimCharFields = false;
  ds.Open();
  EXPECT_EQ(ds.FieldByName("CODE").AsString(), "BC    ");
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), " Аспирин "_cp);
  ds.Close();
  EXPECT_FALSE(ds.Active());

  ds.SelectSQL = {"select i.* from ITEMS i where i.ID > 2"};
  ds.Open();
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.FieldByName("ID").IsNull());
}

TEST_F(DataSetTest, PostRunsTheUpdateTextWithTheEditedRow) {
  DataSet& ds = *dataset_;
  ds.Open();
  ds.Edit();
  EXPECT_TRUE(ds.Editing());
  ds.FieldByName("STATUS").SetInteger(1);
  EXPECT_EQ(ds.FieldByName("STATUS").AsInteger(), 1);
  ds.Post();
  EXPECT_FALSE(ds.Editing());
  EXPECT_EQ(ds.FieldByName("STATUS").AsInteger(), 1);
  // Not committed yet: another connection still sees the old value.
  EXPECT_EQ(Select("select coalesce(STATUS, -1) from ITEMS where ID = 2"), "-1");
  read_->Commit();
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(Select("select list(ID || '=' || coalesce(STATUS, -1)) from (select * from ITEMS order by ID)"),
            "1=0,2=1");

  // Every column of the row goes back as read unless it was changed: a
  // padded CHAR, a text with blanks, a scaled number, a long BLOB, a null.
  read_->StartTransaction();
  database_->ExecuteImmediate(*read_, "update ITEMS set STATUS = null where ID = 2");
  ds.UpdateSQL = {"update ITEMS set STATUS=:STATUS, CODE=:CODE, NAME=?NAME, PRICE=?price, NOTE=?NOTE",
                  "where ID=?ID"};
  ds.Open();
  ds.Edit();
  ds.FieldByName("CODE").SetString("XY");
  ds.Post();
  read_->Commit();
  EXPECT_EQ(Select("select CODE || '|' || NAME || '|' || PRICE || '|' || coalesce(STATUS, 'null') from ITEMS "
                   "where ID = 2"),
            "XY    | Аспирин |12.50|null"_cp);
  EXPECT_EQ(Select("select NOTE from ITEMS where ID = 2"), note_);
  EXPECT_EQ(Select("select NOTE from ITEMS where ID = 1"), "first");

  // Set to null, and a text set on an integer column.
  ds.Open();
  ds.Edit();
  ds.FieldByName("PRICE").Clear();
  ds.FieldByName("STATUS").SetString("7");
  EXPECT_TRUE(ds.FieldByName("PRICE").IsNull());
  EXPECT_EQ(ds.FieldByName("STATUS").AsInteger(), 7);
  ds.Post();
  read_->Commit();
  EXPECT_EQ(Select("select coalesce(PRICE, -1) || '/' || STATUS from ITEMS where ID = 2"), "-1.00/7");
}

TEST_F(DataSetTest, EditModeRules) {
  DataSet& ds = *dataset_;
  ds.Open();
  EXPECT_THROW(ds.FieldByName("STATUS").SetInteger(1), EIBClientError);
  try {
    ds.Post();
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Dataset not in edit mode");
  }

  // Cancel drops what was set.
  ds.Edit();
  ds.FieldByName("STATUS").SetInteger(5);
  ds.Cancel();
  EXPECT_TRUE(ds.FieldByName("STATUS").IsNull());

  // A parameter that names no column, and an update the server refuses:
  // the row stays in edit mode with its changes.
  ds.UpdateSQL = {"update ITEMS set STATUS=?NEW_STATUS where ID=?ID"};
  ds.Edit();
  ds.FieldByName("STATUS").SetInteger(5);
  try {
    ds.Post();
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Field 'NEW_STATUS' not found");
  }
  ds.UpdateSQL = {"update ITEMS set ID=?STATUS where ID=?ID"};
  ds.FieldByName("STATUS").SetInteger(1);
  EXPECT_THROW(ds.Post(), EIBInterBaseError);  // primary key of row 1
  EXPECT_TRUE(ds.Editing());
  EXPECT_EQ(ds.FieldByName("STATUS").AsInteger(), 1);
  ds.UpdateSQL = {};
  EXPECT_THROW(ds.Post(), EIBClientError);

  // Reopening fetches the row anew and drops every change.
  ds.Open();
  EXPECT_FALSE(ds.Editing());
  EXPECT_TRUE(ds.FieldByName("STATUS").IsNull());

  // Ending the transaction ends the row and edit mode.
  ds.Edit();
  read_->Rollback();
  EXPECT_FALSE(ds.Editing());
  EXPECT_THROW(ds.FieldByName("STATUS").SetInteger(1), EIBClientError);

  // Without a row there is nothing to edit.
  ds.SelectSQL = {"select i.* from ITEMS i where i.ID = 0"};
  ds.Open();
  try {
    ds.Edit();
    FAIL() << "no exception";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.Message(), "Dataset has no current row");
  }
}

TEST_F(DataSetTest, ReopensAfterTheConnectionWasClosed) {
  DataSet& ds = *dataset_;
  ds.Open();
  ds.Edit();
  database_->Close();
  EXPECT_FALSE(ds.Active());
  EXPECT_FALSE(ds.Editing());
  database_->Open();
  // Both statements are prepared again on the new attachment.
  ds.Open();
  ds.Edit();
  ds.FieldByName("STATUS").SetInteger(3);
  ds.Post();
  read_->Commit();
  EXPECT_EQ(Select("select STATUS from ITEMS where ID = 2"), "3");
}

}  // namespace
}  // namespace korvel::fb
