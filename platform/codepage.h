#pragma once
// Text conversion between the system's 8-bit code page and Unicode, with
// glibc's iconv. The code page is CP932 (Shift_JIS) unless the environment
// variable LUNVIK_CODEPAGE names another iconv charset.
#include <string>
#include <string_view>

// The iconv name of the system code page.
const std::string& SystemCodePage();

// Conversions. Bytes that cannot be converted are replaced (by '?' or
// U+FFFD), never dropped silently at the end of a text.
std::string CodePageToUtf8(std::string_view text);
std::u16string CodePageToUtf16(std::string_view text);
std::string Utf8ToCodePage(std::string_view utf8);
// UTF-16 code units written high byte first, without terminator.
std::string Utf16BEBytes(const std::u16string& text);
