#include "core/machine_turn_win32.h"

#include <sddl.h>

namespace {

constexpr DWORD kTurnWaitMs = 5000;

}  // namespace

void TakeTurn(MachineTurn* turn) {
  if (turn->handle == nullptr) {
    // Open to every account that may take it: the creator's default rights
    // would shut out another's.
    SECURITY_ATTRIBUTES everyone = {sizeof everyone, nullptr, FALSE};
    ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;AU)",
                                                         SDDL_REVISION_1, &everyone.lpSecurityDescriptor, nullptr);
    turn->handle = CreateMutexA(&everyone, FALSE, turn->name);
    LocalFree(everyone.lpSecurityDescriptor);
    if (turn->handle == nullptr) turn->handle = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, turn->name);
  }
  if (turn->handle != nullptr) WaitForSingleObject(turn->handle, kTurnWaitMs);
}

void EndTurn(MachineTurn* turn) {
  if (turn->handle != nullptr) ReleaseMutex(turn->handle);
}
