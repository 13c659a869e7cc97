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
  ServerTable[3].status = StatusMeasured, ServerTable[3].latencyMs = 99;  // not read while the status is 0
  EXPECT_EQ(AddServer(std::string(200, 'x').c_str()), 3);
  EXPECT_EQ(ServerTable[3].name, std::string(127, 'x'));
  EXPECT_EQ(ServerTable[3].status, StatusNone);
  EXPECT_EQ(ServerTable[3].enabled, 1u);
  EXPECT_EQ(ServerTable[3].latencyMs, 99u);
  EXPECT_EQ(QuerySlots[3].dirty, 1);
}

TEST(ServerTable, LoadKeepsSlotNumbersAndWhatWasStored) {
  fake::Reset();
  FirstRun = false;
  const struct { const char* value; std::string name; size_t size; } stored[] = {
      {"Server000", "a.example", 152}, {"Server001", "short.example", 130},  // half of `enabled`
      {"Server007", std::string(128, 'z'), 152},                           // unterminated
  };
  for (const auto& s : stored) {
    ServerRecord r = {};
    s.name.copy(r.name, sizeof r.name);
    r.reserved = 0xCAFE, r.offset = -1234;
    fake::store[s.value].assign(reinterpret_cast<uint8_t*>(&r), reinterpret_cast<uint8_t*>(&r) + s.size);
  }
  ServerTable[1].status = StatusNetDown;
  std::strcpy(ServerTable[3].name, "stale");  // a missing value frees the slot
  ServerTable[3].status = StatusMeasured;
  LoadServerTable();
  for (int i = 0; i < kMaxServers; ++i) EXPECT_EQ(IsNamed(i), i < 2 || i == 7) << i;
  EXPECT_EQ(ServerTable[3].status, StatusNone);
  EXPECT_EQ(QuerySlots[3].dirty, 0);  // the full sync after the read cleared it
  EXPECT_EQ(ServerTable[0].reserved, 0xCAFEu);
  EXPECT_EQ(ServerTable[0].offset, -1234);
  EXPECT_STREQ(ServerTable[1].name, "short.example");
  EXPECT_EQ(ServerTable[1].status, StatusNetDown);  // beyond the stored bytes
  EXPECT_EQ(std::strlen(ServerTable[7].name), 127u);
  EXPECT_EQ(fake::Count("sync"), kMaxServers);
  EXPECT_EQ(fake::store.size(), 3u);  // nothing written
}
