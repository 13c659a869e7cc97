// The server table's persistence against the real registry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "core/query_slot.h"
#include "core/server_table.h"
#include "tests/win/core_hooks.h"
#include "tests/win/registry.h"

namespace {

class ServerTableRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::DeleteKey();
    memset(ServerTable, 0, sizeof ServerTable);
    memset(QuerySlots, 0, sizeof QuerySlots);
  }
  void TearDown() override { reg::DeleteKey(); }
  static std::string ValueName(int slot) {
    char name[10];
    ServerValueName(slot, name);
    return name;
  }
};

TEST_F(ServerTableRegistry, FirstRunWritesTheDefaultsAndClearsTheRest) {
  // Leftovers from an older list must go.
  uint8_t old[152] = {'o', 'l', 'd'};
  reg::Write("Server020", REG_BINARY, old, sizeof old);
  FirstRun = true;
  LoadServerTable();
  for (int i = 0; i < kMaxServers; ++i) {
    reg::Value v = reg::Read(ValueName(i).c_str());
    if (i < kDefaultServerCount) {
      ASSERT_TRUE(v.exists) << i;
      EXPECT_EQ(v.type, static_cast<DWORD>(REG_BINARY));
      ASSERT_EQ(v.bytes.size(), 152u);
      EXPECT_STREQ(reinterpret_cast<const char*>(v.bytes.data()), DefaultServers[i]);
    } else {
      EXPECT_FALSE(v.exists) << i;
    }
  }
}

TEST_F(ServerTableRegistry, ReloadKeepsFreeSlotsWhereTheyWere) {
  FirstRun = true;
  LoadServerTable();
  ServerTable[3].name[0] = '\0';
  SaveServer(3);
  ServerTable[5].status = StatusMeasured;
  ServerTable[5].offset = -42;
  SaveServer(5);

  memset(ServerTable, 0, sizeof ServerTable);
  LoadServerTable();  // FirstRun is now clear
  EXPECT_FALSE(IsNamed(3));
  EXPECT_STREQ(ServerTable[4].name, DefaultServers[4]);
  EXPECT_EQ(ServerTable[5].status, static_cast<uint32_t>(StatusMeasured));
  EXPECT_EQ(ServerTable[5].offset, -42);
  EXPECT_EQ(AddServer("New Server"), 3);
}

}  // namespace
