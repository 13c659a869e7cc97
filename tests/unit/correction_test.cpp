#include "core/correction.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/query_engine.h"
#include "tests/unit/fakes.h"

struct Server { int slot; OffsetMs offset; uint32_t status = StatusMeasured; bool ntp = false; };

// Places the servers, corrects, and returns the slots rejected.
static std::vector<int> Correct(const std::vector<Server>& servers) {
  for (const Server& s : servers) {
    std::strcpy(ServerTable[s.slot].name, "host");
    ServerTable[s.slot].status = s.status, ServerTable[s.slot].offset = s.offset, QuerySlots[s.slot].ntp = s.ntp;
  }
  ServerTable[9].status = StatusMeasured;  // unnamed slots never count
  CorrectClock();
  std::vector<int> rejected;
  for (int i = 0; i < kMaxServers; ++i)
    if (ServerTable[i].status == StatusRejected) rejected.push_back(i);
  return rejected;
}

TEST(CorrectClock, RejectsOutliersOneAtATimeAndStepsByTheMean) {
  const struct { std::vector<Server> servers; std::vector<int> rejected; const char* log; } cases[] = {
      {{{0, 100}, {1, 150}, {2, 5000}}, {2}, "step 125; "},  // mean 1750, then 125
      {{{0, 5000}, {1, 100}, {2, 150}}, {0}, "step 125; "},  // the outlier in the first slot
      {{{3, -2000}, {7, 2000}}, {7}, "step -2000; "},        // equal deviations: highest slot goes
      {{{0, 0}, {1, 3999}}, {1}, "step 0; "},                // mean 1999: deviation 2000 is out
      {{{0, 0}, {1, 3998}}, {}, "step 1999; "},              // 1999 and 1999 stay
      {{{4, -73000}}, {}, "step -73000; "},                  // a lone server is its own mean
      {{{0, 10}, {1, 20, StatusTested}, {2, 9000, StatusRejected}, {3, 7000, StatusNoResponse}}, {2},
       "step 10; "},  // only measured servers count
      // TIME replies are whole seconds: beside NTP results they go unused.
      {{{0, 900}, {1, -300, StatusMeasured, true}}, {0}, "step -300; "},
      {{{0, -300, StatusMeasured, true}, {1, 900}}, {1}, "step -300; "},
      {{{0, 100, StatusNoResponse}, {1, 100, StatusTested}}, {}, ""},  // nothing measured
  };
  for (const auto& c : cases) {
    fake::Reset();
    EXPECT_EQ(Correct(c.servers), c.rejected) << c.log;
    EXPECT_EQ(fake::log, *c.log ? std::string(c.log) + "announce; " : "");
    EXPECT_EQ(CorrectionFailed, !*c.log);
  }
}

TEST(CorrectClock, RecordsTheStepOrItsRefusal) {
  for (bool refused : {false, true}) {
    fake::Reset();
    ScheduleBase = 12345, ExitAfterCorrection = true, fake::refuseStep = refused;
    Correct({{0, 100}, {1, 150}, {2, 5000}});
    // A refused step keeps the pass's start as the base: no storm of passes.
    const Ms1900 setTo = refused ? 0 : fake::now + 125;
    EXPECT_EQ(LastCorrectionTime, setTo);
    EXPECT_EQ(ScheduleBase, refused ? 12345 : setTo);
    EXPECT_EQ(std::memcmp(fake::store["LastCorrectionTime"].data(), &setTo, 8), 0);
    EXPECT_EQ(fake::store["LastCorrectionValue"], (std::vector<uint8_t>{125, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fake::store.count("Server002"), 1u);  // the rejected server is saved
    EXPECT_EQ(QuerySlots[2].dirty, 1);
    EXPECT_EQ(fake::log, "step 125; exit timer; announce; ");
  }
}
