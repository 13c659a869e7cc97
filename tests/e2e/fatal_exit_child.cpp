// Calls the program's fatal-error routine with the first argument, so that a
// test can watch the box and the exit code from outside.
#include <cstdlib>

#include "store/settings_store.h"

int main(int argc, char** argv) {
  FatalExit(argc > 1 ? argv[1] : "Registry Problem");
  return 3;  // never reached: the routine ends the process with 0
}
