#include "app/launch.h"

char LaunchLetter(const char* commandLine) {
  if (commandLine == nullptr) return 0;
  const char first = commandLine[0];
  return first == 's' || first == 'u' ? first : 0;
}
