#include <windows.h>
#include <mmsystem.h>

#include "core/time_base.h"
#include "store/fatal_exit.h"

namespace {

uint64_t gTickFactor;  // 0 until the first reading
using ReadTimeFunction = void(WINAPI*)(FILETIME*);
ReadTimeFunction gReadTime;  // null until the first reading
bool gPlainClock;  // the reading that moves only at each timer interrupt
bool gNoPerformanceCounter;
bool gClockFine;
// Two default interrupt periods: a clock that has not moved by then never will.
constexpr TickMs kClockMovesWithinMs = 32;

uint64_t Join(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The clock in 100 ns units since 1601.
uint64_t ReadClock() {
  // The plain reading moves only at each timer interrupt, up to 15.6 ms
  // behind: both ends of an NTP offset and the step would inherit that.
  // Windows 8 and later read the precise time.
  if (gReadTime == nullptr) {
    auto precise = reinterpret_cast<ReadTimeFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    gReadTime = precise != nullptr ? precise : GetSystemTimeAsFileTime;
    gPlainClock = precise == nullptr;
  }
  FILETIME now;
  gReadTime(&now);
  return Join(now);
}

// The reading a step is made from: a plain one just as it has moved, or
// the clock would be set back by as much as it lagged.
uint64_t ReadClockFresh() {
  const uint64_t now = ReadClock();  // the first reading also picks the reader
  return gPlainClock ? ReadClockAsItMoves(ReadClock, ReadTickMs, kClockMovesWithinMs) : now;
}

}  // namespace

Ms1900 CurrentMs1900() { return FileTimeToMs1900(ReadClock()); }

void KeepClockFine(bool fine) {
  if (fine == gClockFine) return;
  gClockFine = fine;
  // The interrupt at 1 ms moves the plain reading each millisecond. The new
  // period takes over at an interrupt: readings lag as before until then,
  // and a pass's first requests go out at once.
  if (fine) {
    timeBeginPeriod(1);
    for (int interrupt = 0; interrupt < 2; ++interrupt) ReadClockFresh();
  } else {
    timeEndPeriod(1);
  }
}

Ms1900 StepSystemClock(OffsetMs delta) {
  // Realtime priority keeps the read and the set together: nothing else on
  // the machine runs between the reading and the step that is based on it.
  SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
  // The clock is set in whole milliseconds: from the nearest one, not the
  // one before, or every step would land half a millisecond early.
  Ms1900 target = FileTimeToMs1900(ReadClockFresh() + kFileTimeUnitsPerMs / 2) + delta;
  uint64_t units = Ms1900ToFileTime(target);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(units);
  ft.dwHighDateTime = static_cast<DWORD>(units >> 32);
  // A target the calendar cannot hold (before 1601, after 30827) is a step
  // refused, like one the process has no right to make.
  SYSTEMTIME st;
  bool converted = FileTimeToSystemTime(&ft, &st) != FALSE;
  bool set = converted && SetSystemTime(&st) != FALSE;
  DWORD error = GetLastError();
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  if (converted && !set && error != ERROR_PRIVILEGE_NOT_HELD)
    FatalExit("Cannot set the system time");
  return set ? target : 0;
}

TickMs ReadTickMs() {
  if (gTickFactor == 0 && !gNoPerformanceCounter) {
    LARGE_INTEGER frequency;
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0)
      gTickFactor = TickFactorFor(static_cast<uint64_t>(frequency.QuadPart));
    else
      gNoPerformanceCounter = true;
  }
  // Without a high-resolution counter the system's millisecond tick serves:
  // it wraps the same way, only with coarser steps.
  if (gNoPerformanceCounter) return GetTickCount();
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return TickFromCounter(static_cast<uint64_t>(count.QuadPart), gTickFactor);
}
