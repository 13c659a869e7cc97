// Turns that every Orvalen on the computer takes in order, whoever runs it
// and in whichever session: one at a time steps the clock, or changes the
// pass history.
#pragma once
#include <windows.h>

// A turn of that name in the global namespace, made or opened on first use.
struct MachineTurn {
  const char* name;
  HANDLE handle;
};

// Waits for the turn. It is held for milliseconds: one not given within a
// few seconds (its holder hangs) is taken anyway. Without a turn to be had
// (it could be neither made nor opened) each Orvalen goes on alone.
void TakeTurn(MachineTurn* turn);
void EndTurn(MachineTurn* turn);
