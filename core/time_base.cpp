#include "core/time_base.h"

Ms1900 FileTimeToMs1900(uint64_t fileTime) {
  return static_cast<Ms1900>(fileTime / kFileTimeUnitsPerMs) - kMs1601To1900;
}

uint64_t Ms1900ToFileTime(Ms1900 time) {
  return static_cast<uint64_t>(time + kMs1601To1900) * kFileTimeUnitsPerMs;
}

uint64_t TickFactorFor(uint64_t frequency) {
  return (1000ULL << 32) / frequency;
}

TickMs TickFromCounter(uint64_t count, uint64_t tickFactor) {
  return static_cast<TickMs>((count * tickFactor) >> 32);
}
