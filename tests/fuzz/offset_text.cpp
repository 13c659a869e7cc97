// The offset text as the user types it (and as a stored "Offset" shows it).
#include <cstring>
#include <string>

#include "ui/texts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  OffsetMs value = ParseOffset(text.c_str());
  char shown[kTextBufferSize + 1];
  shown[kTextBufferSize] = '\x7f';
  FormatOffset(value, shown);
  if (shown[kTextBufferSize] != '\x7f' || std::strlen(shown) >= kTextBufferSize) __builtin_trap();
  return 0;
}
