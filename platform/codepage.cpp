#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

const std::string& SystemCodePage() {
  static const std::string name = [] {
    const char* env = std::getenv("LUNVIK_CODEPAGE");
    return std::string(env && *env ? env : "CP932");
  }();
  return name;
}

namespace {

// Converts `input` from one charset to another. Invalid or unconvertible
// input bytes are skipped one at a time and `replacement` (already in the
// target charset) is written in their place.
std::string Convert(std::string_view input, const std::string& from, const std::string& to,
                    std::string_view replacement) {
  iconv_t cd = ::iconv_open(to.c_str(), from.c_str());
  if (cd == iconv_t(-1)) return std::string(input);  // unknown charset: bytes as they are
  std::string out;
  std::vector<char> buffer(input.size() * 4 + 16);
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft > 0) {
    char* o = buffer.data();
    size_t oLeft = buffer.size();
    size_t r = ::iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer.data(), size_t(o - buffer.data()));
    if (r == size_t(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: skip one byte of input.
      out.append(replacement);
      ++in;
      --inLeft;
    }
  }
  char* o = buffer.data();
  size_t oLeft = buffer.size();
  ::iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buffer.data(), size_t(o - buffer.data()));
  ::iconv_close(cd);
  return out;
}

}  // namespace

std::string CodePageToUtf8(std::string_view text) {
  return Convert(text, SystemCodePage(), "UTF-8", "\xEF\xBF\xBD");
}

std::u16string CodePageToUtf16(std::string_view text) {
  std::string bytes = Convert(text, SystemCodePage(), "UTF-16BE", std::string_view("\xFF\xFD", 2));
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = char16_t(uint8_t(bytes[2 * i]) << 8 | uint8_t(bytes[2 * i + 1]));
  return units;
}

std::string Utf8ToCodePage(std::string_view utf8) {
  return Convert(utf8, "UTF-8", SystemCodePage(), "?");
}

std::string Utf16BEBytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(char(unit >> 8));
    bytes.push_back(char(unit & 0xFF));
  }
  return bytes;
}
