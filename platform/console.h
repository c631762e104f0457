#pragma once
// The console: every message is one line on standard output in the system
// code page, ending with CR LF. Nothing else goes to standard output.
#include <string>
#include <string_view>

// Converts a message literal written in the source as UTF-8 to the code page.
std::string Text(std::string_view utf8);

// Writes a line given in the code page, adding CR LF, and flushes.
void PrintLine(std::string_view codePageText);
// Writes text in the code page without a line end, and flushes.
void PrintText(std::string_view codePageText);
