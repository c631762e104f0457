#include "testing/movie_builder.h"

#include <stdlib.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "atoms/atom_io.h"

TestAtom Leaf(const ByteString& type, const ByteString& body) {
  TestAtom a;
  a.type = type;
  a.body = body;
  return a;
}

TestAtom Box(const ByteString& type, std::vector<TestAtom> children) {
  TestAtom a;
  a.type = type;
  a.children = std::move(children);
  a.container = true;
  return a;
}

ByteString Bytes(const TestAtom& atom) {
  ByteString body = atom.container ? Bytes(atom.children) : atom.body;
  int64_t size = atom.sizeOverride >= 0 ? atom.sizeOverride : int64_t(body.size() + 8);
  return U32BEBytes(uint32_t(size)) + atom.type + body;
}

ByteString Bytes(const std::vector<TestAtom>& atoms) {
  ByteString out;
  for (const auto& a : atoms) out += Bytes(a);
  return out;
}

ByteString U8(uint32_t v) { return ByteString(1, char(v)); }
ByteString U16(uint32_t v) { return U16BEBytes(v); }
ByteString U32(uint32_t v) { return U32BEBytes(v); }
ByteString Zeros(size_t n) { return ByteString(n, '\0'); }

ByteString MvhdBody(uint32_t creationTime, uint32_t timescale, uint32_t duration) {
  // version/flags, creation, modification, timescale, duration, then 80 bytes
  return U32(0) + U32(creationTime) + U32(creationTime) + U32(timescale) + U32(duration) +
         U32(0x00010000) + U16(0x0100) + Zeros(10) + Zeros(36) + Zeros(24) + U32(2);
}

ByteString TkhdBody(uint32_t trackID, uint32_t width, uint32_t height, uint32_t volume,
                    uint32_t duration) {
  // version/flags, creation, modification, track ID, reserved, duration,
  // reserved 8, layer, alternate group, volume, reserved, matrix 36, width, height
  ByteString b = U32(7) + U32(0) + U32(0) + U32(trackID) + U32(0) + U32(duration) + Zeros(8) +
                 U16(0) + U16(0) + U16(volume) + U16(0);
  b += U32(0x00010000) + U32(0) + U32(0) + U32(0) + U32(0x00010000) + U32(0) + U32(0) + U32(0) +
       U32(0x40000000);
  b += U32(width << 16) + U32(height << 16);
  return b;
}

ByteString MdhdBody(uint32_t timescale, uint32_t duration) {
  return U32(0) + U32(0) + U32(0) + U32(timescale) + U32(duration) + U16(0x55C4) + U16(0);
}

ByteString SttsBody(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
  ByteString b = U32(0) + U32(uint32_t(entries.size()));
  for (auto [count, delta] : entries) b += U32(count) + U32(delta);
  return b;
}

ByteString StcoBody(const std::vector<uint32_t>& offsets) {
  ByteString b = U32(0) + U32(uint32_t(offsets.size()));
  for (uint32_t o : offsets) b += U32(o);
  return b;
}

ByteString EsdsAtom(uint32_t maxBitrate, uint32_t avgBitrate, bool longLengths) {
  auto len = [&](uint32_t n) {
    return longLengths ? ByteString("\x80\x80\x80", 3) + U8(n) : U8(n);
  };
  ByteString decoderSpecific = U8(5) + len(2) + ByteString("\x12\x10", 2);
  ByteString config = U8(0x40) + U8(0x15) + U8(0) + U16(0) + U32(maxBitrate) + U32(avgBitrate) +
                      decoderSpecific;
  ByteString decoderConfig = U8(4) + len(uint32_t(config.size())) + config;
  ByteString sl = U8(6) + len(1) + U8(2);
  ByteString esBody = U16(1) + U8(0) + decoderConfig + sl;
  ByteString es = U8(3) + len(uint32_t(esBody.size())) + esBody;
  ByteString body = U32(0) + es;
  return U32(uint32_t(body.size() + 8)) + "esds" + body;
}

ByteString VisualSampleEntry(const ByteString& format, uint32_t width, uint32_t height,
                             const ByteString& extraAtoms) {
  ByteString b = Zeros(6) + U16(1) + Zeros(16) + U16(width) + U16(height) + U32(0x00480000) +
                 U32(0x00480000) + U32(0) + U16(1) + Zeros(32) + U16(24) + U16(0xFFFF);
  b += extraAtoms;
  return U32(uint32_t(b.size() + 8)) + format + b;
}

ByteString AudioSampleEntry(const ByteString& format, uint32_t channels, uint32_t sampleRate,
                            const ByteString& extraAtoms) {
  ByteString b = Zeros(6) + U16(1) + Zeros(8) + U16(channels) + U16(16) + U16(0) + U16(0) +
                 U32(sampleRate << 16);
  b += extraAtoms;
  return U32(uint32_t(b.size() + 8)) + format + b;
}

ByteString StsdBody(const ByteString& sampleEntry) { return U32(0) + U32(1) + sampleEntry; }

namespace {
std::vector<ParsedAtom> ParseRange(const ByteString& bytes, int64_t start, int64_t length,
                                   int depth) {
  std::vector<ParsedAtom> atoms;
  int64_t at = start;
  while (at + 8 <= start + length) {
    ParsedAtom a;
    a.offset = at;
    a.size = ReadU32BE(bytes.data(), at);
    if (a.size < 8) break;
    a.type = bytes.substr(size_t(at + 4), 4);
    int64_t end = std::min<int64_t>(at + a.size, int64_t(bytes.size()));
    a.body = bytes.substr(size_t(at + 8), size_t(end - at - 8));
    if (a.size >= 16 && IsContainerType(a.type, TypeMatch::Exact) && depth < kMaxAtomDepth)
      a.children = ParseRange(bytes, at + 8, end - at - 8, depth + 1);
    atoms.push_back(std::move(a));
    at += atoms.back().size;
  }
  return atoms;
}

void Collect(const std::vector<ParsedAtom>& atoms, const std::vector<std::string>& parts,
             size_t i, std::vector<const ParsedAtom*>& found) {
  for (const auto& a : atoms) {
    if (a.type != parts[i]) continue;
    if (i + 1 == parts.size()) found.push_back(&a);
    else Collect(a.children, parts, i + 1, found);
  }
}
}  // namespace

std::vector<ParsedAtom> ParseAtoms(const ByteString& bytes) {
  return ParseRange(bytes, 0, int64_t(bytes.size()), 0);
}

std::vector<const ParsedAtom*> FindAll(const std::vector<ParsedAtom>& atoms, const std::string& path) {
  std::vector<std::string> parts;
  std::stringstream ss(path);
  for (std::string p; std::getline(ss, p, '/');) parts.push_back(p);
  std::vector<const ParsedAtom*> found;
  if (!parts.empty()) Collect(atoms, parts, 0, found);
  return found;
}

const ParsedAtom* FindAtom(const std::vector<ParsedAtom>& atoms, const std::string& path) {
  auto all = FindAll(atoms, path);
  return all.empty() ? nullptr : all.front();
}

bool ContainersExact(const std::vector<ParsedAtom>& atoms, int64_t length) {
  int64_t sum = 0;
  for (const auto& a : atoms) {
    sum += a.size;
    if (!a.children.empty() && !ContainersExact(a.children, int64_t(a.size) - 8)) return false;
  }
  return sum == length;
}

namespace {
// Folders made by TempDir, removed when the test program ends (kept when
// LUNVIK_KEEP_TEMP is set, to look at what a failing test wrote).
std::vector<std::string>& TempDirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

void RemoveTempDirs() {
  if (std::getenv("LUNVIK_KEEP_TEMP")) return;
  for (const auto& dir : TempDirs()) std::system(("rm -rf " + Quote(dir)).c_str());
}
}  // namespace

std::string TempDir() {
  char pattern[] = "/tmp/lunvik-test-XXXXXX";
  char* dir = ::mkdtemp(pattern);
  if (!dir) return "/tmp";
  if (TempDirs().empty()) std::atexit(RemoveTempDirs);
  TempDirs().push_back(dir);
  return dir;
}

void WriteFile(const std::string& path, const ByteString& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

ByteString ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string Quote(const std::string& argument) {
  std::string q = "'";
  for (char c : argument) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

bool HaveProgram(const std::string& name) {
  return RunCommand("command -v " + Quote(name) + " >/dev/null 2>&1").status == 0;
}

namespace {
std::string MovieCacheDir() {
  const char* env = std::getenv("LUNVIK_MOVIE_CACHE");
  std::string dir = env && *env ? env : "/tmp/lunvik-test-movies";
  RunCommand("mkdir -p " + Quote(dir));
  return dir;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string l; std::getline(ss, l);) lines.push_back(l);
  return lines;
}
}  // namespace

std::string TestMovie(const std::string& name, const std::string& args) {
  std::string path = MovieCacheDir() + "/" + name;
  std::string argsPath = path + ".args";
  if (ReadFile(argsPath) == args && !ReadFile(path).empty()) return path;
  // Made beside and renamed, so tests running at once never see half a movie.
  std::string temporary = path + ".part." + std::to_string(::getpid()) + "." +
                          name.substr(name.find_last_of('.') + 1);
  CommandResult r = RunCommand("ffmpeg -nostdin -loglevel error -y " + args + " " + Quote(temporary) +
                               " 2>&1");
  if (r.status != 0) return "";
  std::rename(temporary.c_str(), path.c_str());
  WriteFile(argsPath + "." + std::to_string(::getpid()), args);
  std::rename((argsPath + "." + std::to_string(::getpid())).c_str(), argsPath.c_str());
  return path;
}

std::vector<std::string> PacketChecksums(const std::string& path, bool ignoreEditLists) {
  CommandResult r = RunCommand(std::string("ffmpeg -nostdin -loglevel error ") +
                               (ignoreEditLists ? "-ignore_editlist 1 " : "") + "-i " + Quote(path) +
                               " -map 0 -c copy -f framemd5 - 2>/dev/null");
  std::vector<std::string> out;
  for (const auto& line : Lines(r.out))
    if (!line.empty() && line[0] != '#') out.push_back(line);
  return out;
}

std::string ProbeWarnings(const std::string& path) {
  return RunCommand("ffprobe -v warning -show_streams -show_format " + Quote(path) +
                    " 2>&1 >/dev/null").out;
}

std::string ProbeStream(const std::string& path, int index, const std::string& field) {
  CommandResult r = RunCommand("ffprobe -v error -select_streams " + std::to_string(index) +
                               " -show_entries stream=" + field +
                               " -of default=noprint_wrappers=1:nokey=1 " + Quote(path));
  std::string v = r.out;
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  return v;
}
