// What the server list shows and how it orders its rows, decided from the
// server table and the query slots alone.
#pragma once
#include "core/query_slot.h"
#include "core/server_table.h"

// Sort state for the life of the process: column 0, 1 or 2, direction +1 or -1.
extern int gSortColumn;     // starts at 1, "Latency (ms)"
extern int gSortDirection;  // starts at +1

using NameCompare = int (*)(const char*, const char*);

// What the list says of a query that ended without a measurement ("Slow
// Response"); null for any other status.
const char* FailureText(uint32_t status);
// 102 for a measured server (status 100 or more); samplesTaken - 3 for a
// query in progress; otherwise the status itself.
int StatusRank(int slot);
// Negative when row a sorts before row b; names compared with compareNames.
int CompareRows(int a, int b, NameCompare compareNames);
// A click on a column header: the same column flips the direction, another
// becomes the sort column in ascending order.
void ClickColumn(int column);
// The texts of the "Latency (ms)" and "Correction" columns; each buffer holds
// kTextBufferSize bytes.
void RowTexts(int slot, char* latency, char* correction);

// Edits made from the list. Each first stops the server's running query
// ("Interrupted"), then brings the rows in line and saves the slot.
void RenameSlot(int slot, const char* name);  // an empty name frees the slot
void DeleteSlot(int slot);
void ToggleSlot(int slot);
void ResetSlots();  // the default list, any pass stopped
