// The query engine fed arbitrary event sequences.
#include <cstdio>

#include "tests/unit/engine_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string broken = RunEngineScript(data, size);
  if (!broken.empty()) {
    std::fprintf(stderr, "engine rule broken: %s\n", broken.c_str());
    __builtin_trap();
  }
  return 0;
}
