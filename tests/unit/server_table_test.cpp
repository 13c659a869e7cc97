#include "core/server_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/query_slot.h"
#include "tests/unit/fakes.h"

namespace {

class ServerTableTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  static void Store(int slot, const ServerRecord& record, size_t size = sizeof(ServerRecord)) {
    char name[10];
    ServerValueName(slot, name);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    fake::store[name].assign(bytes, bytes + size);
  }

  static ServerRecord Record(const char* name, uint32_t status) {
    ServerRecord r = {};
    std::strcpy(r.name, name);
    r.enabled = 1;
    r.status = status;
    r.latencyMs = 42;
    r.reserved = 0xCAFE;
    r.offset = -1234;
    return r;
  }
};

TEST_F(ServerTableTest, FirstRunSeedsTheDefaultsAndPersistsEverySlot) {
  FirstRun = true;
  LoadServerTable();
  EXPECT_FALSE(FirstRun);
  for (int i = 0; i < kMaxServers; ++i) {
    char name[10];
    ServerValueName(i, name);
    if (i < kDefaultServerCount) {
      EXPECT_STREQ(ServerTable[i].name, DefaultServers[i]);
      EXPECT_EQ(ServerTable[i].enabled, 1u);
      EXPECT_EQ(ServerTable[i].status, StatusNone);
      ASSERT_EQ(fake::store.count(name), 1u) << name;
      EXPECT_EQ(fake::store[name].size(), 152u);
    } else {
      EXPECT_FALSE(IsNamed(i));
      EXPECT_EQ(fake::store.count(name), 0u) << name;
    }
  }
  // Every slot is written or deleted, in order.
  ASSERT_EQ(fake::storeWrites.size(), 50u);
  EXPECT_EQ(fake::storeWrites.front(), "Server000");
  EXPECT_EQ(fake::storeWrites.back(), "Server049");
}

TEST_F(ServerTableTest, AddServerTakesTheLowestFreeSlotAndKeepsOldBytes) {
  for (int i = 0; i < 5; ++i) AddServer(("host" + std::to_string(i)).c_str());
  ServerTable[3].latencyMs = 99;
  ServerTable[3].offset = 777;
  ServerTable[3].status = StatusMeasured;
  ServerTable[3].enabled = 0;
  ServerTable[3].name[0] = '\0';
  QuerySlots[3].dirty = 0;

  EXPECT_EQ(AddServer("New Server"), 3);
  EXPECT_STREQ(ServerTable[3].name, "New Server");
  EXPECT_EQ(ServerTable[3].status, StatusNone);
  EXPECT_EQ(ServerTable[3].enabled, 1u);
  EXPECT_EQ(ServerTable[3].latencyMs, 99u);  // not interpreted while status is 0
  EXPECT_EQ(ServerTable[3].offset, 777);
  EXPECT_EQ(QuerySlots[3].dirty, 1);
  EXPECT_EQ(AddServer("next"), 5);
}

TEST_F(ServerTableTest, AddServerRefusesEmptyNamesAndAFullTable) {
  EXPECT_EQ(AddServer(""), -1);
  EXPECT_EQ(AddServer(nullptr), -1);
  for (int i = 0; i < kMaxServers; ++i) EXPECT_EQ(AddServer("same.host"), i);
  EXPECT_EQ(AddServer("one.too.many"), -1);
}

TEST_F(ServerTableTest, LongNamesAreCutTo127Characters) {
  std::string name(200, 'x');
  int slot = AddServer(name.c_str());
  EXPECT_EQ(std::string(ServerTable[slot].name), name.substr(0, 127));
}

TEST_F(ServerTableTest, LoadKeepsSlotNumbersAndStoredResults) {
  FirstRun = false;
  Store(0, Record("a.example", StatusMeasured));
  Store(7, Record("b.example", StatusDisabled));
  ServerTable[3] = Record("stale", StatusMeasured);  // a missing value frees the slot
  LoadServerTable();
  for (int i = 0; i < kMaxServers; ++i) EXPECT_EQ(IsNamed(i), i == 0 || i == 7) << i;
  EXPECT_EQ(ServerTable[3].status, StatusNone);
  EXPECT_EQ(QuerySlots[3].dirty, 0);  // the full sync after the read cleared it
  EXPECT_EQ(ServerTable[7].status, StatusDisabled);
  EXPECT_EQ(ServerTable[0].reserved, 0xCAFEu);
  EXPECT_EQ(ServerTable[0].offset, -1234);
  EXPECT_EQ(fake::fullSyncs, kMaxServers);
  EXPECT_TRUE(fake::storeWrites.empty());
}

TEST_F(ServerTableTest, LoadTakesShortRecordsOverDefaultsAndTerminatesNames) {
  FirstRun = false;
  ServerRecord full = Record("short.example", StatusMeasured);
  Store(1, full, 130);  // name and half of `enabled`
  ServerRecord unterminated = Record("", StatusMeasured);
  std::memset(unterminated.name, 'z', sizeof unterminated.name);
  Store(2, unterminated);
  ServerTable[1].status = 5;
  LoadServerTable();
  EXPECT_STREQ(ServerTable[1].name, "short.example");
  EXPECT_EQ(ServerTable[1].status, 5u);  // beyond the stored bytes
  EXPECT_EQ(std::strlen(ServerTable[2].name), 127u);
}

TEST_F(ServerTableTest, SaveWritesOrDeletesTheSlotsValue) {
  int slot = AddServer("a.example");
  SaveServer(slot);
  ASSERT_EQ(fake::store.count("Server000"), 1u);
  EXPECT_EQ(0, std::memcmp(fake::store["Server000"].data(), &ServerTable[slot], 152));
  ServerTable[slot].name[0] = '\0';
  UpdateServer(slot);
  EXPECT_EQ(fake::store.count("Server000"), 0u);
  EXPECT_EQ(fake::fullSyncs, 1);
}

}  // namespace
