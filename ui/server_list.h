// The list view of servers (control 1005).
#pragma once
#include <windows.h>

void SortRows();
void ShowServerMenu(bool atCursor);
void DeleteSelectedServers();
void ToggleSelectedServers();
void TestSelectedServers();
// Enter pressed in the list opens the server menu, where the dialog would
// make it command 1 and start or stop a pass. True when message was that key.
bool TakeServerListEnter(const MSG& message);
// WM_NOTIFY from the list; returns TRUE when handled.
BOOL OnServerListNotify(const NMHDR* header);
