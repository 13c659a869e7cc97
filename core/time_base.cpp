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

uint64_t ReadClockAsItMoves(uint64_t (*read)(), TickMs (*tick)(), TickMs limitMs) {
  const uint64_t before = read();
  const TickMs start = tick();
  uint64_t now = before;
  while ((now = read()) == before && static_cast<TickMs>(tick() - start) < limitMs) {
  }
  return now;
}

Ms1900 ServerTimeNear(uint32_t seconds, Ms1900 localNow) {
  constexpr int64_t kEra = int64_t{1} << 32;
  int64_t localSeconds = localNow / 1000;
  int64_t candidate = seconds;
  // Shift by whole eras until the reading lies within half an era of the
  // local clock: from 2036 on the 32-bit count starts again near 1900.
  int64_t distance = localSeconds - candidate + kEra / 2;
  int64_t eras = distance / kEra;
  if (distance < 0 && distance % kEra != 0) --eras;  // floor, not truncation
  return (candidate + eras * kEra) * 1000;
}
