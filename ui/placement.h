// Whether a stored window position may be used.
#pragma once
#include <cstdint>

struct SavedRect {
  int32_t left, top, right, bottom;
};

// A stored window placement is used only when its length field is right and
// at least 20 pixels of its normal rectangle lie inside the full-screen area
// (cx by cy) in each direction.
bool PlacementAccepted(uint32_t length, const SavedRect& normal, int cx, int cy);
