#include "platform/program.h"

#include <unistd.h>

#include <climits>
#include <vector>

namespace {
std::string& StoredProgramPath() {
  static std::string path = [] {
    char buffer[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
  }();
  return path;
}

size_t FileNameStart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// Position of the extension's dot in the file name part, or npos.
size_t ExtensionStart(const std::string& path) {
  size_t name = FileNameStart(path);
  size_t dot = path.find_last_of('.');
  return (dot == std::string::npos || dot < name) ? std::string::npos : dot;
}
}  // namespace

const std::string& ProgramPath() { return StoredProgramPath(); }
void SetProgramPathForTesting(const std::string& path) { StoredProgramPath() = path; }

std::string ProgramName() {
  const std::string& path = ProgramPath();
  size_t name = FileNameStart(path);
  size_t dot = ExtensionStart(path);
  return path.substr(name, dot == std::string::npos ? std::string::npos : dot - name);
}

std::string ProgramFolder() { return ProgramPath().substr(0, FileNameStart(ProgramPath())); }

std::string DefaultSettingsPath() {
  const std::string& path = ProgramPath();
  return path.substr(0, ExtensionStart(path)) + ".ini";
}

std::string NormalisePath(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t next = path.find('/', i);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(i, next - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = next + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string ResolveSettingsPath(const std::string& path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return path;
  if (path.size() >= 2 && path[1] == ':') return path;
  // Backslashes of a relative name are folder separators, as the settings
  // files written for the original platform spell them (sub\x.ini).
  std::string relative = path;
  for (char& c : relative)
    if (c == '\\') c = '/';
  return NormalisePath(ProgramFolder() + relative);
}

int ProcessExitCode(int32_t status) {
  int code = int(uint32_t(status) & 0xFF);
  if (status != 0 && code == 0) return 2;
  return code;
}
