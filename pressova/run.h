#pragma once
// The run sequence of pressova, from the banner to the exit status.
#include <cstdint>

// Runs the whole program; returns the 32-bit exit status: 0, 1, -1, -2 or the
// movie service's error code.
int32_t RunPressova(int argc, char** argv);
