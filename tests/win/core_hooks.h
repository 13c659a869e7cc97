#pragma once
#include <string>
#include <vector>

#include "core/view_hooks.h"

namespace hooks {
extern std::vector<StatusLineState> statusLines;
extern std::vector<std::string> buttonTexts;
extern std::vector<std::string> fatalMessages;
extern int exitTimersArmed;
void Reset();
}  // namespace hooks
