#include "atoms/bytes.h"

namespace {
uint8_t LowerAscii(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }
}  // namespace

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
