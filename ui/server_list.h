// The list view of servers (control 1005).
#pragma once
#include <windows.h>

void SortRows();
void ShowServerMenu(bool atCursor);
void DeleteSelectedServers();
void ToggleSelectedServers();
void TestSelectedServers();
// WM_NOTIFY from the list; returns TRUE when handled.
BOOL OnServerListNotify(const NMHDR* header);
