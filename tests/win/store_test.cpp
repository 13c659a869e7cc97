// The settings store against the real registry.
#include <gtest/gtest.h>

#include <cstring>

#include "store/settings_store.h"
#include "tests/win/core_hooks.h"
#include "tests/win/registry.h"

namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::DeleteKey();
    hooks::Reset();
  }
  void TearDown() override {
    reg::DeleteKey();
    EXPECT_TRUE(hooks::fatalMessages.empty());
  }
};

TEST_F(StoreTest, ValueTypesFollowTheSize) {
  ASSERT_FALSE(reg::KeyExists());
  uint32_t version = 17968;
  int64_t offset = -5;
  uint8_t placement[44] = {44};
  uint8_t record[152] = {'a'};
  WriteSetting("Version", &version, 4);  // creates the key
  WriteSetting("Offset", &offset, 8);
  WriteSetting("WindowPlacement", placement, 44);
  WriteSetting("Server000", record, 152);
  EXPECT_EQ(reg::Read("Version").type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(reg::As<uint32_t>(reg::Read("Version")), 17968u);
  for (const char* name : {"Offset", "WindowPlacement", "Server000"})
    EXPECT_EQ(reg::Read(name).type, static_cast<DWORD>(REG_BINARY)) << name;
  EXPECT_EQ(reg::As<int64_t>(reg::Read("Offset")), -5);
  EXPECT_EQ(reg::Read("Server000").bytes.size(), 152u);
}

TEST_F(StoreTest, NullDataOrZeroSizeDeletes) {
  uint32_t one = 1;
  WriteSetting("Schedule", &one, 4);
  WriteSetting("Schedule", nullptr, 4);
  EXPECT_FALSE(reg::Read("Schedule").exists);
  WriteSetting("Schedule", &one, 4);
  WriteSetting("Schedule", &one, 0);
  EXPECT_FALSE(reg::Read("Schedule").exists);
  WriteSetting("Schedule", nullptr, 0);  // deleting a missing value is no error
  EXPECT_TRUE(reg::KeyExists());
}

TEST_F(StoreTest, MissingKeyOrValueLeavesTheDestination) {
  uint32_t destination = 0xAAAAAAAA;
  EXPECT_FALSE(ReadSetting("Schedule", &destination, 4));
  EXPECT_FALSE(reg::KeyExists());  // a read never creates the key
  uint32_t version = 17968;
  WriteSetting("Version", &version, 4);
  EXPECT_FALSE(ReadSetting("Schedule", &destination, 4));
  EXPECT_EQ(destination, 0xAAAAAAAAu);
}

TEST_F(StoreTest, ReadsCopyStoredBytesWithinTheDestination) {
  uint32_t version = 17968;
  WriteSetting("Version", &version, 4);

  // An empty value reads, and leaves the destination as it was.
  reg::Write("Offset", REG_BINARY, "", 0);
  int64_t offset = 77;
  EXPECT_TRUE(ReadSetting("Offset", &offset, 8));
  EXPECT_EQ(offset, 77);

  // A short value fills only the leading bytes.
  uint32_t low = 0x01020304;
  reg::Write("Offset", REG_BINARY, &low, 4);
  offset = 0;
  EXPECT_TRUE(ReadSetting("Offset", &offset, 8));
  EXPECT_EQ(offset, 0x01020304);

  // A longer value is not ours: it reads as missing, and nothing past the
  // destination is touched.
  uint8_t big[300];
  memset(big, 0x5A, sizeof big);
  reg::Write("Server001", REG_BINARY, big, sizeof big);
  struct {
    uint8_t record[152];
    uint8_t guard[16];
  } target;
  memset(&target, 0, sizeof target);
  EXPECT_FALSE(ReadSetting("Server001", target.record, 152));
  for (uint8_t b : target.record) ASSERT_EQ(b, 0);
  for (uint8_t b : target.guard) ASSERT_EQ(b, 0);
}

TEST_F(StoreTest, CorrectOnLaunchIsTheFirstStoredByte) {
  uint32_t version = 17968;
  WriteSetting("Version", &version, 4);
  struct Case {
    DWORD type;
    uint32_t value;
    DWORD size;
    bool expected;
  } cases[] = {
      {REG_DWORD, 1, 4, true}, {REG_BINARY, 1, 1, true},
      {REG_DWORD, 0, 4, false}, {REG_DWORD, 256, 4, false},  // the low byte is 0
  };
  for (const Case& c : cases) {
    reg::Write("CorrectOnLaunch", c.type, &c.value, c.size);
    uint32_t flag = 0;
    ReadSetting("CorrectOnLaunch", &flag, 4);
    EXPECT_EQ((flag & 0xFF) != 0, c.expected) << c.value;
  }
}

}  // namespace
