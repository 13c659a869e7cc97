// Drives the query engine with an arbitrary sequence of events, decoded from
// bytes: pass starts and stops, look-ups, connections and replies (TIME and
// NTP, fitting or not, for live and closed sockets), time passing, and edits
// of the list. After every event it checks what must always hold; the
// randomized unit test and the fuzzer share it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Runs the script over a fresh table (fake::Reset first) and returns the
// first broken rule, or "" when every rule held.
std::string RunEngineScript(const uint8_t* data, size_t size);
