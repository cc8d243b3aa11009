#include "dbservice/db_service.h"

#include <gtest/gtest.h>

#include "fb/client_library.h"
#include "host/cp1251.h"
#include "host/testing/temp_dir.h"

namespace korvel::dbservice {
namespace {

using namespace korvel::literals;

TEST(TDbServiceCreate, AdministratorLoginOnEveryComponent) {
  fb::ClientLibrary client(testing::SystemHost(), fb::DefaultClientLibraryName());
  TDbService service(testing::SystemHost(), client);
  const std::vector<std::string> login = {"user_name=SYSDBA", "password=pinecrest"};
  EXPECT_EQ(service.svConfig.Params, login);
  EXPECT_EQ(service.svBackup.Params, login);
  EXPECT_EQ(service.svRestore.Params, login);
  EXPECT_EQ(service.svSweep.Params, login);
  EXPECT_EQ(service.svRestore.PageSize, 8192);
  EXPECT_TRUE(service.svBackup.Verbose);
  EXPECT_TRUE(service.VerboseLines.empty());

  std::vector<std::string> messages;
  service.Log("без получателя"_cp);
  service.OnMessage = [&](const std::string& m) { messages.push_back(m); };
  service.Log("с получателем"_cp);
  EXPECT_EQ(messages, std::vector<std::string>{"с получателем"_cp});
  try {
    service.Fail("Отказ"_cp);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.TypeName(), "Exception");
    EXPECT_EQ(e.Message(), "Отказ"_cp);
  }
}

}  // namespace
}  // namespace korvel::dbservice
