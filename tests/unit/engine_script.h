// Drives the query engine with an arbitrary sequence of events decoded from
// bytes, checking after each what must always hold; the randomized unit test
// and the fuzzer share it. Returns the first broken rule, or "".
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

std::string RunEngineScript(const uint8_t* data, size_t size);
