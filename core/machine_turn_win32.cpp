#include "core/machine_turn_win32.h"

#include <sddl.h>

HANDLE MachineTurn(const char* name) {
  SECURITY_ATTRIBUTES everyone = {sizeof everyone, nullptr, FALSE};
  ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100001;;;AU)",
                                                       SDDL_REVISION_1, &everyone.lpSecurityDescriptor, nullptr);
  HANDLE turn = CreateMutexA(&everyone, FALSE, name);
  LocalFree(everyone.lpSecurityDescriptor);
  return turn != nullptr ? turn : OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
}
