// Turns that every Orvalen on the computer takes in order, whoever runs it
// and in whichever session: one at a time steps the clock, or changes the
// pass history.
#pragma once
#include <windows.h>

// The turn of that name in the global namespace, made open to every account
// that may take it: the creator's default rights would shut out another's.
// Null when it can be neither made nor opened.
HANDLE MachineTurn(const char* name);
