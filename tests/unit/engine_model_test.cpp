// The query engine under random event orders: deadlines, stale and
// mismatched events, cancellations and edits across all 50 slots. The
// fuzz target engine_events searches further with the same script.
#include <gtest/gtest.h>

#include <random>

#include "tests/unit/engine_script.h"

TEST(EngineModel, RandomEventOrdersKeepTheRules) {
  std::mt19937 random(20261206u);
  uint8_t script[400];
  for (int run = 0; run < 10000; ++run) {
    for (uint8_t& byte : script) byte = static_cast<uint8_t>(random());
    ASSERT_EQ(RunEngineScript(script, sizeof script), "") << "run " << run;
  }
}
