#include "atoms/bytes.h"

namespace {
const uint8_t* Bytes(const void* buffer) { return static_cast<const uint8_t*>(buffer); }
uint8_t* Bytes(void* buffer) { return static_cast<uint8_t*>(buffer); }
uint8_t LowerAscii(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }
}  // namespace

uint32_t ReadU16BE(const void* buffer, int64_t offset) {
  const uint8_t* b = Bytes(buffer) + offset;
  return uint32_t(b[0]) << 8 | b[1];
}

uint32_t ReadU32BE(const void* buffer, int64_t offset) {
  const uint8_t* b = Bytes(buffer) + offset;
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

void WriteU16BE(void* buffer, int64_t offset, uint32_t value) {
  uint8_t* b = Bytes(buffer) + offset;
  b[0] = uint8_t(value >> 8);
  b[1] = uint8_t(value);
}

void WriteU32BE(void* buffer, int64_t offset, uint32_t value) {
  uint8_t* b = Bytes(buffer) + offset;
  b[0] = uint8_t(value >> 24);
  b[1] = uint8_t(value >> 16);
  b[2] = uint8_t(value >> 8);
  b[3] = uint8_t(value);
}

ByteString U32BEBytes(uint32_t value) {
  ByteString s(4, '\0');
  WriteU32BE(s.data(), 0, value);
  return s;
}

ByteString U16BEBytes(uint32_t value) {
  ByteString s(2, '\0');
  WriteU16BE(s.data(), 0, value);
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(uint8_t(a[i])) != LowerAscii(uint8_t(b[i]))) return false;
  return true;
}
