#pragma once

extern const char kUninstallKey[];

// Removes the autostart value and writes the uninstall entry.
void UpdateSystemEntries();
