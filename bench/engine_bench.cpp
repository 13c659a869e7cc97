// Times correcting passes through real WinSock against 1, 10 and 50 loopback
// servers that answer at once: the wall time from the first query started to
// the end of the pass (median of several passes) and the CPU time spent.
// Then the accuracy of each protocol: testing passes against one exact
// server whose clock is shifted by a known amount.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/query_engine.h"
#include "core/query_transport_winsock.h"
#include "core/server_table.h"
#include "core/view_hooks.h"
#include "store/settings_store.h"
#include "tests/e2e/timeservers.h"

// Nothing to show: the passes run without a window of the program.
void SyncRows(bool) {
  for (auto& slot : gQuerySlots) slot.dirty = 0;
}
void RefreshDirtyRows() {}
void UpdateStatusLine(StatusLineState) {}
void SetPassButtonText(const char*) {}
void ArmExitTimer() {}
void PassEnded() {}
void HeldPassAskedNoOne(bool) {}
bool ConfirmLargeCorrection(OffsetMs) { return false; }
void FatalExit(const char* message) { std::fprintf(stderr, "%s\n", message); }

namespace {

// Hands look-up and socket completions to the engine, as the main window does.
LRESULT CALLBACK EngineEventProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DispatchNetMessage(message, wParam, lParam) ? 0 : DefWindowProcA(window, message, wParam, lParam);
}

bool CreateEngineEventWindow() {
  WSADATA data;
  if (WSAStartup(0x0101, &data) != 0) return false;
  WNDCLASSA wc = {};
  wc.lpfnWndProc = EngineEventProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "EngineEvents";
  RegisterClassA(&wc);
  gNetEventWindow = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 wc.hInstance, nullptr);
  return gNetEventWindow != nullptr;
}

constexpr int kPasses = 9;
constexpr int kAccuracyPasses = 5;

double Seconds(const LARGE_INTEGER& counts, const LARGE_INTEGER& frequency) {
  return double(counts.QuadPart) / double(frequency.QuadPart);
}

double CpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto join = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return double(join(kernel) + join(user)) / 1e7;
}

// An empty server table, idle slots and no loopback server set up.
void Reset() {
  std::memset(gServerTable, 0, sizeof gServerTable);
  std::memset(gQuerySlots, 0, sizeof gQuerySlots);
  timeservers::Clear();
}

void RunPass(bool testing) {
  if (testing) {
    int slot = 0;
    StartTestingPass(&slot, 1);
  } else {
    StartCorrectingPass(TriggerUser);
  }
  while (gActiveQueries != 0) {
    MSG msg;
    if (GetMessageA(&msg, nullptr, 0, 0) <= 0) break;
    DispatchMessageA(&msg);
  }
}

// The measured offset's error against the shift, over several testing
// passes: the mean and the largest.
void Accuracy(const char* protocol, const char* name, const char* behaviour, int shiftMs) {
  Reset();
  timeservers::Set("127.0.0.100", std::string(behaviour) + " " + std::to_string(shiftMs));
  AddServer(name);
  long long sum = 0, worst = 0;
  for (int pass = 0; pass < kAccuracyPasses; ++pass) {
    RunPass(true);
    long long error = gServerTable[0].offset - shiftMs;
    if (gServerTable[0].status != StatusTested) std::printf("  ended with %u\n", gServerTable[0].status);
    sum += error;
    if (std::llabs(error) > std::llabs(worst)) worst = error;
  }
  std::printf("%8s %+8d %14lld %14lld\n", protocol, shiftMs, sum / kAccuracyPasses, worst);
}

}  // namespace

int main() {
  if (!CreateEngineEventWindow()) return 1;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);

  std::printf("%8s %16s %16s %14s\n", "servers", "median wall ms", "min wall ms", "CPU ms/pass");
  for (int servers : {1, 10, 50}) {
    Reset();
    for (int i = 0; i < servers; ++i) {
      std::string address = "127.0.0." + std::to_string(100 + i);
      timeservers::Set(address, "now 0");
      AddServer(address.c_str());
    }
    std::vector<double> walls;
    double cpu = 0;
    for (int pass = 0; pass < kPasses; ++pass) {
      double cpuBefore = CpuSeconds();
      LARGE_INTEGER start, end;
      QueryPerformanceCounter(&start);
      RunPass(false);
      QueryPerformanceCounter(&end);
      cpu += CpuSeconds() - cpuBefore;
      end.QuadPart -= start.QuadPart;
      walls.push_back(Seconds(end, frequency) * 1000);
      for (int slot = 0; slot < servers; ++slot)
        if (gServerTable[slot].status != StatusMeasured)
          std::printf("  slot %d ended with %u\n", slot, gServerTable[slot].status);
    }
    std::sort(walls.begin(), walls.end());
    std::printf("%8d %16.1f %16.1f %14.1f\n", servers, walls[walls.size() / 2], walls.front(),
                cpu * 1000 / kPasses);
  }

  std::printf("\n%8s %8s %14s %14s\n", "protocol", "shift ms", "mean error ms", "worst error ms");
  for (int shift : {0, 300, -300}) Accuracy("NTP", "ntp://127.0.0.100", "ntp-exact", shift);
  for (int shift : {0, 300, -300}) Accuracy("TIME", "127.0.0.100", "exact", shift);
  timeservers::Clear();
  return 0;
}
