#include "platform/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>


namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

// The section name of a "[name]" line, or false.
bool SectionName(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

// The key and raw value of a "key=value" line, or false.
bool KeyLine(const std::string& line, std::string& key, std::string& value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = t.substr(eq + 1);
  return true;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }

bool NamesMatch(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// Index of the line holding section/key, or -1; `sectionEnd` gets the index
// after the section's last line (or -1 when the section is absent).
long FindKey(const std::vector<IniLine>& lines, const std::string& section, const std::string& key,
             long& sectionLine, long& sectionEnd) {
  sectionLine = -1;
  sectionEnd = -1;
  bool inSection = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (SectionName(lines[i].text, name)) {
      if (inSection) return -1;
      inSection = NamesMatch(name, section);
      if (inSection) {
        sectionLine = long(i);
        sectionEnd = long(i) + 1;
      }
      continue;
    }
    if (!inSection) continue;
    if (!Trim(lines[i].text).empty()) sectionEnd = long(i) + 1;
    if (KeyLine(lines[i].text, k, v) && NamesMatch(k, key)) return long(i);
  }
  return -1;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(const std::string& digits, int32_t& value) {
  if (digits.empty()) return false;
  int64_t v = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + d;
    if (v > INT32_MAX) return false;
  }
  value = int32_t(v);
  return true;
}

bool ParseDecimal(const std::string& text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > int64_t(INT32_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = int32_t(v);
  return true;
}

}  // namespace

IniFile LoadIniFile(const std::string& path) {
  IniFile file;
  file.path = path;
  std::ifstream in(path, std::ios::binary);
  if (!in) return file;
  file.exists = true;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    file.lines.push_back({line});
  }
  return file;
}

std::string ReadText(const IniFile& file, const std::string& section, const std::string& key,
                     const std::string& fallback) {
  long sectionLine, sectionEnd;
  long at = FindKey(file.lines, section, key, sectionLine, sectionEnd);
  if (at < 0) return fallback;
  std::string k, raw;
  KeyLine(file.lines[size_t(at)].text, k, raw);
  std::string value = Trim(raw);
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    value = value.substr(1, value.size() - 2);
  if (value.size() > kMaxIniValue) value.resize(kMaxIniValue);
  return value;
}

bool ParseIniInteger(const std::string& text, int32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return ParseHex(text.substr(2), value);
  if (!text.empty() && text[0] == '$') return ParseHex(text.substr(1), value);
  return ParseDecimal(text, value);
}

int32_t ReadInteger(const IniFile& file, const std::string& section, const std::string& key,
                    int32_t fallback) {
  int32_t value;
  return ParseIniInteger(ReadText(file, section, key, ""), value) ? value : fallback;
}

bool ReadBoolean(const IniFile& file, const std::string& section, const std::string& key,
                 bool fallback) {
  return ReadInteger(file, section, key, fallback ? 1 : 0) != 0;
}

bool WriteText(const std::string& path, const std::string& section, const std::string& key,
               const std::string& value) {
  IniFile file = LoadIniFile(path);
  if (!file.exists && std::ifstream(path).good()) return false;
  long sectionLine, sectionEnd;
  long at = FindKey(file.lines, section, key, sectionLine, sectionEnd);
  std::string line = key + "=" + value;
  if (at >= 0) {
    file.lines[size_t(at)].text = line;
  } else if (sectionLine >= 0) {
    file.lines.insert(file.lines.begin() + sectionEnd, {line});
  } else {
    if (!file.lines.empty() && !Trim(file.lines.back().text).empty()) file.lines.push_back({""});
    file.lines.push_back({"[" + section + "]"});
    file.lines.push_back({line});
  }
  std::string text;
  for (const auto& l : file.lines) text += l.text + "\r\n";

  // Write beside the file, then rename over it.
  std::string temporary = path + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) ok = false;
    else done += size_t(n);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok) ::fchmodat(AT_FDCWD, temporary.c_str(), 0644, 0);
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

bool WriteInteger(const std::string& path, const std::string& section, const std::string& key,
                  int32_t value) {
  return WriteText(path, section, key, std::to_string(value));
}
