#pragma once
// INI profile files with the rules of the Windows profile API: section and
// key names compared without regard to case; a value is the text after the
// first "=" with surrounding blanks and one pair of enclosing quotes removed,
// at most 2047 bytes; a missing file, section or key gives the default. The
// file's bytes are taken as they are (code-page texts stay in the code page).
#include <cstdint>
#include <string>
#include <vector>

struct IniLine {
  std::string text;  // the line as in the file, without its line end
};

// A settings file read into memory once.
struct IniFile {
  std::string path;
  std::vector<IniLine> lines;
  bool exists = false;
};

IniFile LoadIniFile(const std::string& path);

// Longest value the reader returns; longer values are cut.
constexpr size_t kMaxIniValue = 2047;

std::string ReadText(const IniFile& file, const std::string& section, const std::string& key,
                     const std::string& fallback);
// Decimal with an optional sign; hexadecimal after "0x"/"0X" (text longer
// than two characters) or after "$". Anything else, the empty text and
// numbers outside the signed 32-bit range give the default.
int32_t ReadInteger(const IniFile& file, const std::string& section, const std::string& key,
                    int32_t fallback);
// ReadInteger with 1 or 0 as the default; true when non-zero.
bool ReadBoolean(const IniFile& file, const std::string& section, const std::string& key,
                 bool fallback);

// The integer rule on a text alone: true and the value, or false.
bool ParseIniInteger(const std::string& text, int32_t& value);

// Writes one key into the file on disk, keeping every other section and key
// and the lines as they were; names match without regard to case. The file is
// replaced atomically (written beside, then renamed), so a failure never
// leaves a half-written settings file. Returns false when it failed.
bool WriteText(const std::string& path, const std::string& section, const std::string& key,
               const std::string& value);
bool WriteInteger(const std::string& path, const std::string& section, const std::string& key,
                  int32_t value);
