#pragma once
// The analysis walk: one read-only pass over the input's atom tree that fills
// MovieFacts, replaces the movie title with one stored in the file, and records
// every absolute offset a later change of size would make wrong.
#include <cstdint>

#include "atoms/bytes.h"
#include "platform/files.h"

// Walks `length` bytes from the file's current position as the level `path`.
void AnalyzeAtoms(FileHandle& file, ByteString& title, const ByteString& path, int64_t length,
                  int depth = 0);
