// Start-up decisions that need no platform call.
#pragma once

// 's' (started at log-on) or 'u' (uninstall) when the command line begins
// with that lower-case letter; 0 otherwise. No blanks are skipped.
char LaunchLetter(const char* commandLine);
