#include "ui/placement.h"

namespace {

// The length field of a 32-bit WINDOWPLACEMENT, the record stored as
// "WindowPlacement"; any other length is a record of something else.
constexpr uint32_t kPlacementRecordSize = 44;
// How much of the saved rectangle, in pixels, must lie on the screen in each
// direction for the user to be able to grab the window again.
constexpr int64_t kVisibleMarginPx = 20;

}  // namespace

bool PlacementAccepted(uint32_t length, const SavedRect& normal, int cx, int cy) {
  return length == kPlacementRecordSize && normal.left <= cx - kVisibleMarginPx &&
         normal.right >= kVisibleMarginPx && normal.top <= cy - kVisibleMarginPx &&
         normal.bottom >= kVisibleMarginPx;
}
