#pragma once
// The rewrite walk: copies the input's atom tree into the output, leaving out
// DeleteList types, writing InsertList items and edit lists, folding fragment
// base offsets (A5504T), patching container sizes, reporting every size change
// to the offset fix-up table and collecting the random-access index entries.
#include <cstdint>

#include "atoms/bytes.h"
#include "platform/files.h"

// Copies `length` input bytes from the input's current position as the level
// `path`; returns bytes written minus bytes read.
int32_t RewriteAtoms(FileHandle& input, FileHandle& output, const ByteString& path, int64_t length,
                     int depth = 0);
