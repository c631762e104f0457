#pragma once
// The movie creation time carried from the input into the headers of the
// written movie, through ordinary file access.
#include <cstdint>

#include "platform/files.h"

// Walks the atoms of the `length` bytes from the file's current position and
// returns the creation time of the last movie header ("mvhd") met, or
// `startValue` when there is none.
uint32_t ReadMovieCreationTime(FileHandle& file, uint32_t startValue, int64_t length);

// Writes `time` as creation and modification time into every movie, track
// and media header ("mvhd", "tkhd", "mdhd") in the `length` bytes from the
// file's current position. No other byte changes.
void StampHeaderTimes(FileHandle& file, uint32_t time, int64_t length);
