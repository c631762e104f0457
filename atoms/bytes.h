#pragma once
// Byte strings and big-endian field access, shared by every walk and builder.
#include <cstdint>
#include <string>
#include <string_view>

// A byte string holds any byte value, NUL included, and knows its length.
// Atom types, AtomPath values, built atoms, settings values and texts in the
// system code page are all byte strings.
using ByteString = std::string;

// Field access in a body held in memory. No bounds check: the caller makes
// sure the bytes are there (see BodyHas).
// Inline: the walks read a few fields of every atom.
inline uint32_t ReadU16BE(const void* buffer, int64_t offset) {
  const uint8_t* b = static_cast<const uint8_t*>(buffer) + offset;
  return uint32_t(b[0]) << 8 | b[1];
}

inline uint32_t ReadU32BE(const void* buffer, int64_t offset) {
  const uint8_t* b = static_cast<const uint8_t*>(buffer) + offset;
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

inline void WriteU16BE(void* buffer, int64_t offset, uint32_t value) {
  uint8_t* b = static_cast<uint8_t*>(buffer) + offset;
  b[0] = uint8_t(value >> 8);
  b[1] = uint8_t(value);
}

inline void WriteU32BE(void* buffer, int64_t offset, uint32_t value) {
  uint8_t* b = static_cast<uint8_t*>(buffer) + offset;
  b[0] = uint8_t(value >> 24);
  b[1] = uint8_t(value >> 16);
  b[2] = uint8_t(value >> 8);
  b[3] = uint8_t(value);
}

// The four bytes of a 32-bit value, most significant first.
ByteString U32BEBytes(uint32_t value);
// Bits 15-8, then bits 7-0; higher bits are ignored.
ByteString U16BEBytes(uint32_t value);

// True when a body of `length` bytes holds `width` bytes at `offset`.
// Compares offset first so that nothing is subtracted from an unsigned size.
inline bool BodyHas(int64_t length, int64_t offset, int64_t width) {
  return offset >= 0 && width >= 0 && offset <= length && width <= length - offset;
}

// Case-insensitive comparison of two byte strings of equal length (ASCII
// letters only: atom types are compared this way in deletions and lookups).
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
