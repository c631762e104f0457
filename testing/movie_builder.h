#pragma once
// Test support: movies built in memory from atoms as nested values, a parser
// that reads bytes back into a tree, and file and program helpers.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "atoms/bytes.h"

// A node of a movie under construction: a leaf with a body, or a container
// with children. `sizeOverride` writes another size than the real one.
struct TestAtom {
  ByteString type;
  ByteString body;
  std::vector<TestAtom> children;
  bool container = false;
  int64_t sizeOverride = -1;
};

TestAtom Leaf(const ByteString& type, const ByteString& body = "");
TestAtom Box(const ByteString& type, std::vector<TestAtom> children);
// The bytes of the atoms, one after another.
ByteString Bytes(const std::vector<TestAtom>& atoms);
ByteString Bytes(const TestAtom& atom);

// Bodies of common atoms with the fields the programs read.
ByteString U8(uint32_t v);
ByteString U16(uint32_t v);
ByteString U32(uint32_t v);
ByteString Zeros(size_t n);
ByteString MvhdBody(uint32_t creationTime, uint32_t timescale = 1000, uint32_t duration = 0);
ByteString TkhdBody(uint32_t trackID, uint32_t width, uint32_t height, uint32_t volume,
                    uint32_t duration = 0);
ByteString MdhdBody(uint32_t timescale, uint32_t duration = 0);
ByteString SttsBody(const std::vector<std::pair<uint32_t, uint32_t>>& entries);
ByteString StcoBody(const std::vector<uint32_t>& offsets);
// esds atom (size, type and body) with a decoder configuration.
ByteString EsdsAtom(uint32_t maxBitrate, uint32_t avgBitrate, bool longLengths = true);
ByteString VisualSampleEntry(const ByteString& format, uint32_t width, uint32_t height,
                             const ByteString& extraAtoms);
ByteString AudioSampleEntry(const ByteString& format, uint32_t channels, uint32_t sampleRate,
                            const ByteString& extraAtoms);
ByteString StsdBody(const ByteString& sampleEntry);

// A parsed atom: where it lies and what it holds. Containers (the listed
// types of at least 16 bytes) are parsed into children.
struct ParsedAtom {
  ByteString type;
  int64_t offset = 0;
  uint32_t size = 0;
  ByteString body;
  std::vector<ParsedAtom> children;
};
std::vector<ParsedAtom> ParseAtoms(const ByteString& bytes);
// The first atom of the given type path ("moov/trak/tkhd"), or nullptr.
const ParsedAtom* FindAtom(const std::vector<ParsedAtom>& atoms, const std::string& path);
std::vector<const ParsedAtom*> FindAll(const std::vector<ParsedAtom>& atoms, const std::string& path);
// True when every container is filled exactly by its children.
bool ContainersExact(const std::vector<ParsedAtom>& atoms, int64_t length);

// Files.
std::string TempDir();  // a fresh folder for one test
void WriteFile(const std::string& path, const ByteString& bytes);
ByteString ReadFile(const std::string& path);

// Runs a command line through the shell; returns the exit status (0-255) and
// what it wrote to standard output.
struct CommandResult {
  int status = -1;
  ByteString out;
};
CommandResult RunCommand(const std::string& command);
// Shell-quotes one argument.
std::string Quote(const std::string& argument);
// True when a program is on the PATH.
bool HaveProgram(const std::string& name);

// A movie made once with the ffmpeg command and kept in the test movie cache
// (LUNVIK_MOVIE_CACHE, set by CTest, else a folder under /tmp). `args` are
// ffmpeg's arguments between "-y" and the output name. Returns the path, or
// an empty text when ffmpeg failed or is missing.
std::string TestMovie(const std::string& name, const std::string& args);
// Per-packet lines of `ffmpeg -i PATH -map 0 -c copy -f framemd5 -`, without
// comment lines. With `ignoreEditLists` every stored sample is read with its
// media time, whatever the edit lists present.
std::vector<std::string> PacketChecksums(const std::string& path, bool ignoreEditLists = false);
// What ffprobe writes on standard error at level "warning" for the file.
std::string ProbeWarnings(const std::string& path);
// One ffprobe stream field ("codec_name", "width") of stream `index`.
std::string ProbeStream(const std::string& path, int index, const std::string& field);
