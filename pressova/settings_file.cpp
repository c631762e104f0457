#include "pressova/settings_file.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "atoms/atom_io.h"
#include "platform/ini.h"

namespace {

// Atoms larger than this are cut when read: the "data" value holds at most
// 1023 bytes, the rest would be zeros, and a typed-in size must not make the
// program allocate gigabytes.
constexpr int32_t kMaxSettingsAtomSize = 1 << 20;

std::string HexText(const char* data, int32_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size_t(size) * 2);
  for (int32_t k = 0; k < size; ++k) {
    uint8_t byte = uint8_t(data[k]);
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Byte k is read from the characters 2k and 2k+1 (the one left alone at the
// end); missing or non-hexadecimal characters give 0.
std::string BytesOfHex(const std::string& text, int32_t size) {
  std::string bytes(size_t(size), '\0');
  for (int32_t k = 0; k < size; ++k) {
    size_t at = size_t(k) * 2;
    if (at >= text.size()) break;
    int high = HexDigit(text[at]);
    if (at + 1 >= text.size()) {
      bytes[size_t(k)] = char(high < 0 ? 0 : high);
      break;
    }
    int low = HexDigit(text[at + 1]);
    bytes[size_t(k)] = char(high < 0 || low < 0 ? 0 : high * 16 + low);
  }
  return bytes;
}


std::string Lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return text;
}

// The section names of the file, lower-cased, as the reader matches them.
std::vector<std::string> SectionNames(const IniFile& file) {
  std::vector<std::string> names;
  for (const IniLine& line : file.lines) {
    size_t open = line.text.find_first_not_of(" \t");
    if (open == std::string::npos || line.text[open] != '[') continue;
    size_t close = line.text.find(']', open);
    std::string name = line.text.substr(open + 1, close == std::string::npos ? std::string::npos
                                                                             : close - open - 1);
    size_t a = name.find_first_not_of(" \t"), b = name.find_last_not_of(" \t");
    names.push_back(a == std::string::npos ? "" : Lowered(name.substr(a, b - a + 1)));
  }
  return names;
}

// The child numbers j below `childs` whose section S:j is in the file, in
// order. A child whose section is missing makes no atom and has no children
// of its own, so only present sections need a visit; this keeps a count of
// two thousand million from taking as many steps.
std::vector<int32_t> PresentChildren(const std::vector<std::string>& names, const std::string& section,
                                     int32_t childs) {
  std::string prefix = Lowered(section) + ":";
  std::vector<int32_t> present;
  for (const std::string& name : names) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string digits = name.substr(prefix.size());
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    if (digits.size() > 1 && digits[0] == '0') continue;  // not the name the writer makes
    long long j = std::stoll(digits);
    if (j < childs) present.push_back(int32_t(j));
  }
  std::sort(present.begin(), present.end());
  present.erase(std::unique(present.begin(), present.end()), present.end());
  return present;
}

void LoadSection(const IniFile& file, const std::vector<std::string>& names, QTAtomContainer container,
                 QTAtom parent, const std::string& section, int depth) {
  std::string type = ReadText(file, section, "atom", "");
  if (!type.empty()) {
    int32_t id = ReadInteger(file, section, "id", 1);
    int32_t size = std::clamp(ReadInteger(file, section, "size", 0), 0, kMaxSettingsAtomSize);
    std::string data = BytesOfHex(ReadText(file, section, "data", ""), size);
    QTAtom atom = 0;
    QTInsertChild(container, parent, CodeOfText(type), id, 0, size, size ? data.data() : nullptr, &atom);
    parent = atom;
  }
  // A file cannot nest deeper than a real settings tree by far; the bound
  // keeps a crafted one from exhausting the stack.
  if (depth >= kMaxAtomDepth) return;
  int32_t childs = ReadInteger(file, section, "childs", 0);
  for (int32_t j : PresentChildren(names, section, childs))
    LoadSection(file, names, container, parent, section + ":" + std::to_string(j), depth + 1);
}

}  // namespace

uint32_t CodeOfText(const std::string& text) {
  std::string padded = (text + "    ").substr(0, 4);
  uint32_t code = 0;
  for (char c : padded) code = (code << 8) | uint8_t(c);
  return code;
}

std::string CodeToText(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[size_t(i)] = char((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

bool SaveSettingsTree(const std::string& settingsFile, QTAtomContainer container, QTAtom parent,
                      const std::string& section) {
  QTAtom child = 0;
  for (int32_t i = 0;; ++i) {
    if (QTNextChildAnyType(container, parent, child, &child) != noErr || child == 0) return true;
    QTAtomType type = 0;
    QTAtomID id = 0;
    int32_t size = 0;
    char* data = nullptr;
    QTGetAtomTypeAndID(container, child, &type, &id);
    QTGetAtomDataPtr(container, child, &size, &data);
    std::string childSection = section + ":" + std::to_string(i);
    bool written = WriteInteger(settingsFile, section, "childs", i + 1) &&
                   WriteText(settingsFile, childSection, "atom", CodeToText(type)) &&
                   WriteInteger(settingsFile, childSection, "id", id) &&
                   WriteInteger(settingsFile, childSection, "size", size) &&
                   WriteText(settingsFile, childSection, "data", data ? HexText(data, size) : "");
    if (!written || !SaveSettingsTree(settingsFile, container, child, childSection)) return false;
  }
}

void LoadSettingsTree(const std::string& settingsFile, QTAtomContainer container, QTAtom parent,
                      const std::string& section) {
  IniFile file = LoadIniFile(settingsFile);
  LoadSection(file, SectionNames(file), container, parent, section, 0);
}
