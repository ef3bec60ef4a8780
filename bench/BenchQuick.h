#pragma once
// VLA_BENCH_QUICK=1 (what CI sets): each benchmark runs once at its smallest
// size and shortest time, to show that it still builds and runs; the figures
// of such a run mean nothing.
#include <cstdlib>
#include <cstring>

inline bool benchQuick() {
  const char* quick = std::getenv("VLA_BENCH_QUICK");
  return quick != nullptr && *quick != '\0' && std::strcmp(quick, "0") != 0;
}
