#pragma once
// Metadata atoms built by rivetta itself: the iTunes and text forms of the
// user data, the movie and track "USMT" uuid atoms and the "PROF" profile atom.
#include "atoms/bytes.h"

// The tool identification text: "Lunvik" and the maker's web address.
extern const char* const kMakerAddress;
ByteString ToolIdentification();

// Appends the built atoms to InsertList as Build_iTunes and MQV say; prints
// the missing-track warnings and sets ExitStatus to -2 for them.
void AppendMetadataItems();
