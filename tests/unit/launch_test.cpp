#include "app/launch.h"
#include "ui/placement.h"

#include <gtest/gtest.h>

namespace {

TEST(LaunchLetter, OnlyALowerCaseFirstCharacterCounts) {
  const struct { const char* commandLine; char letter; } cases[] = {
      {"s", 's'}, {"sx", 's'}, {"u", 'u'}, {"uninstall", 'u'},
      {"S", 0},   {"U", 0},    {" s", 0},  {"x", 0},
      {"", 0},    {nullptr, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LaunchLetter(c.commandLine), c.letter) << (c.commandLine ? c.commandLine : "(null)");
}

TEST(PlacementAccepted, TwentyPixelsMustStayOnScreen) {
  // The full-screen area of a 1024 x 768 display with a 30-pixel task bar.
  const int cx = 1024, cy = 738;
  const struct { uint32_t length; SavedRect rect; bool accepted; const char* why; } cases[] = {
      {44, {100, 100, 400, 300}, true, "well inside"},
      {44, {cx - 20, 100, cx + 280, 300}, true, "left edge 20 px from the right"},
      {44, {cx - 19, 100, cx + 281, 300}, false, "only 19 px visible on the right"},
      {44, {-280, 100, 20, 300}, true, "right edge 20 px from the left"},
      {44, {-281, 100, 19, 300}, false, "only 19 px visible on the left"},
      {44, {100, cy - 20, 400, cy + 180}, true, "top 20 px above the bottom"},
      {44, {100, cy - 19, 400, cy + 181}, false, "only 19 px visible at the bottom"},
      {44, {100, -180, 400, 20}, true, "bottom 20 px below the top"},
      {44, {100, -181, 400, 19}, false, "only 19 px visible at the top"},
      {40, {100, 100, 400, 300}, false, "short record"},
      {48, {100, 100, 400, 300}, false, "long record"},
      {0, {0, 0, 0, 0}, false, "nothing stored"},
  };
  for (const auto& c : cases) EXPECT_EQ(PlacementAccepted(c.length, c.rect, cx, cy), c.accepted) << c.why;
}

}  // namespace
