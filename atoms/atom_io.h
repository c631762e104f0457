#pragma once
// The atom header as both programs read and write it, the container rule,
// AtomPath, and atom writing. ISO/IEC 14496-12 section 4.2: a 32-bit
// big-endian size that counts the 8 header bytes, then a four-byte type.
// Only the 32-bit size exists here: a size below 8 (0 "to end of file" and
// 1 "64-bit size" included) is never followed as a length.
#include <cstdint>
#include <string_view>

#include "atoms/bytes.h"
#include "platform/files.h"

// Nesting deeper than this is passed over by the analysis and copied as a
// leaf by the rewrite: a crafted file of containers 8 bytes apart must not
// exhaust the stack. Real movies nest about ten deep.
constexpr int kMaxAtomDepth = 256;

enum class HeaderRead {
  Ok,         // size >= 8 and type read
  SizeBelow8, // the level ends here (size read, type not read)
  EndOfFile,  // fewer bytes than a header: the file ends here
};

struct AtomHeader {
  int64_t position = 0;  // file position of the size field
  uint32_t size = 0;
  ByteString type;       // exactly four bytes when Ok
};

// A four-character type as one big-endian number: the walks test every atom
// against several types, and an integer compare is much cheaper than a
// string compare.
constexpr uint32_t AtomTypeNumber(const char (&type)[5]) {
  return uint32_t(uint8_t(type[0])) << 24 | uint32_t(uint8_t(type[1])) << 16 |
         uint32_t(uint8_t(type[2])) << 8 | uint32_t(uint8_t(type[3]));
}

// The type of a header read whole as such a number (0 when it has no type).
inline uint32_t AtomTypeNumber(const AtomHeader& header) {
  return header.type.size() == 4 ? ReadU32BE(header.type.data(), 0) : 0;
}

// Reads size and type at the current position. A short read is EndOfFile, so
// no stale bytes are ever taken as a size or type.
HeaderRead ReadAtomHeader(FileHandle& file, AtomHeader& header);

// The 14 container types, in their fixed order.
const ByteString* ContainerTypes();
constexpr int kContainerTypeCount = 14;

enum class TypeMatch { Exact, IgnoringCase };
// True when `type` is one of ContainerTypes. The analysis walk compares
// exactly, the rewrite walk and the header stamping without regard to case.
bool IsContainerType(std::string_view type, TypeMatch match);
// A container is walked only when its type is listed and its size is at least
// 16; a listed atom of 8 to 15 bytes is handled like any other atom.
bool IsWalkedContainer(const AtomHeader& header, TypeMatch match);

// AtomPath of the level inside a container: the level's path, the type, "\".
ByteString ChildPath(const ByteString& path, std::string_view type);

// Writes the low 32 bits of `size`, then the type if not empty, then
// `bodyLength` bytes of `body` if given. Returns false on a failed write.
bool WriteAtom(FileHandle& file, std::string_view type, const void* body, int64_t size,
               int64_t bodyLength);
// Writes length(data) + 4 as the size, then data (type and body); returns the
// size written.
int64_t WriteAtomString(FileHandle& file, const ByteString& data);
