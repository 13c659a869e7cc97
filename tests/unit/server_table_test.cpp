#include "core/server_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/query_slot.h"
#include "tests/unit/fakes.h"

TEST(ServerTable, FirstRunSeedsTheDefaultsAndPersistsThem) {
  fake::Reset();
  LoadServerTable();
  EXPECT_FALSE(FirstRun);
  for (int i = 0; i < kMaxServers; ++i) {
    char value[10];
    ServerValueName(i, value);
    EXPECT_STREQ(ServerTable[i].name, i < kDefaultServerCount ? DefaultServers[i] : "") << value;
    EXPECT_EQ(ServerTable[i].enabled, i < kDefaultServerCount) << value;
    EXPECT_EQ(fake::store[value].size(), i < kDefaultServerCount ? sizeof(ServerRecord) : 0) << value;
  }
}

TEST(ServerTable, AddTakesTheLowestFreeSlot) {
  fake::Reset();
  EXPECT_EQ(AddServer(""), -1);
  EXPECT_EQ(AddServer(nullptr), -1);
  for (int i = 0; i < kMaxServers; ++i) EXPECT_EQ(AddServer("same.host"), i);
  EXPECT_EQ(AddServer("one.too.many"), -1);
  ServerTable[3] = {};
  ServerTable[3].status = StatusMeasured;
  EXPECT_EQ(AddServer(std::string(200, 'x').c_str()), 3);
  EXPECT_EQ(ServerTable[3].name, std::string(127, 'x'));
  EXPECT_EQ(ServerTable[3].status, StatusNone);
  EXPECT_EQ(ServerTable[3].enabled, 1u);
  EXPECT_EQ(QuerySlots[3].dirty, 1);
}

TEST(ServerTable, LoadKeepsSlotNumbersAndWhatWasStored) {
  fake::Reset();
  FirstRun = false;
  for (int slot : {0, 7}) {
    ServerRecord r = {};
    std::memset(r.name, 'a' + slot, sizeof r.name);  // unterminated
    r.offset = -1234;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&r);
    fake::store[slot ? "Server007" : "Server000"].assign(bytes, bytes + sizeof r);
  }
  std::strcpy(ServerTable[3].name, "stale");  // a missing value frees the slot
  ServerTable[3].status = StatusMeasured;
  LoadServerTable();
  for (int i = 0; i < kMaxServers; ++i) EXPECT_EQ(IsNamed(i), i == 0 || i == 7) << i;
  EXPECT_EQ(ServerTable[7].name, std::string(127, 'h'));
  EXPECT_EQ(ServerTable[7].offset, -1234);
  EXPECT_EQ(ServerTable[3].status, StatusNone);
  EXPECT_EQ(fake::Count("sync"), kMaxServers);
  EXPECT_EQ(fake::store.size(), 2u);  // nothing written
}
