#include "platform/console.h"

#include <cstdio>

#include "platform/codepage.h"

std::string Text(std::string_view utf8) { return Utf8ToCodePage(utf8); }

void PrintLine(std::string_view codePageText) {
  std::fwrite(codePageText.data(), 1, codePageText.size(), stdout);
  std::fwrite("\r\n", 1, 2, stdout);
  std::fflush(stdout);
}

void PrintText(std::string_view codePageText) {
  std::fwrite(codePageText.data(), 1, codePageText.size(), stdout);
  std::fflush(stdout);
}
