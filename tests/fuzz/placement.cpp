// A stored window placement: any length and rectangle, any screen size.
#include <cstring>

#include "ui/placement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  struct {
    uint32_t length;
    SavedRect normal;
    int32_t cx, cy;
  } in = {};
  std::memcpy(&in, data, size < sizeof in ? size : sizeof in);
  PlacementAccepted(in.length, in.normal, in.cx, in.cy);
  return 0;
}
