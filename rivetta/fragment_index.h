#pragma once
// The movie fragment random access index ("mfra" with one "tfra" for the
// video track and an "mfro") appended after the rewritten movie.
#include <cstdint>

#include "platform/files.h"

// Writes the index at the output's current position from FragmentIndex;
// nothing when FragmentIndex is empty or there is no video track. Mode 2
// writes every traf, trun and sample number as 1.
void BuildFragmentIndex(FileHandle& output, int32_t mode);
