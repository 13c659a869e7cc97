#pragma once

extern const char kUninstallKey[];

// Removes the autostart value and the log-on task, and writes the uninstall entry.
void UpdateSystemEntries();
