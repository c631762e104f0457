// Header times: reading the movie creation time and stamping it into every
// movie, track and media header, on movies built atom by atom.
#include "pressova/header_times.h"

#include <gtest/gtest.h>

#include "atoms/bytes.h"
#include "testing/movie_builder.h"

namespace {

constexpr uint32_t kTime = 0xC2A1B0C0;

ByteString Header(uint32_t time) { return U32(0) + U32(time) + U32(time) + Zeros(12); }

// The version 1 movie header: 64-bit creation and modification times.
ByteString MvhdVersion1(uint64_t time) {
  return U32(0x01000000) + U32(uint32_t(time >> 32)) + U32(uint32_t(time)) + U32(uint32_t(time >> 32)) +
         U32(uint32_t(time)) + U32(1000) + U32(0) + U32(0) + Zeros(80);
}

TestAtom Track(uint32_t id) {
  return Box("trak", {Leaf("tkhd", TkhdBody(id, 176, 144, 0)),
                      Box("mdia", {Leaf("mdhd", MdhdBody(1000)), Leaf("hdlr", Zeros(24))})});
}

ByteString TwoTrackMovie() {
  return Bytes({Leaf("ftyp", "3gp4" + U32(0)),
                Box("moov", {Leaf("mvhd", MvhdBody(0)), Track(1), Track(2), Box("udta", {Leaf("name", "x")})}),
                Leaf("mdat", Zeros(64))});
}

// The bytes with body bytes 4-11 of every listed header set to `time`.
ByteString Stamped(ByteString bytes, const std::vector<int64_t>& headerOffsets, uint32_t time) {
  for (int64_t offset : headerOffsets) {
    WriteU32BE(bytes.data(), offset + 12, time);
    WriteU32BE(bytes.data(), offset + 16, time);
  }
  return bytes;
}

std::vector<int64_t> OffsetsOf(const ByteString& bytes, const std::vector<std::string>& paths) {
  std::vector<int64_t> offsets;
  auto atoms = ParseAtoms(bytes);
  for (const auto& path : paths)
    for (const ParsedAtom* atom : FindAll(atoms, path)) offsets.push_back(atom->offset);
  return offsets;
}

ByteString StampFile(const ByteString& bytes, uint32_t time) {
  std::string path = TempDir() + "/out.mov";
  WriteFile(path, bytes);
  FileHandle file = OpenForReadWrite(path);
  EXPECT_TRUE(IsOpen(file));
  StampHeaderTimes(file, time, FileLength(file));
  CloseFile(file);
  return ReadFile(path);
}

uint32_t ReadTime(const ByteString& bytes, uint32_t startValue = 0) {
  std::string path = TempDir() + "/in.mov";
  WriteFile(path, bytes);
  FileHandle file = OpenForReading(path);
  EXPECT_TRUE(IsOpen(file));
  uint32_t time = ReadMovieCreationTime(file, startValue, FileLength(file));
  CloseFile(file);
  return time;
}

TEST(PressovaHeaderTimesTest, FiveHeadersOfTwoTracksAndNothingElse) {
  ByteString movie = TwoTrackMovie();
  auto headers = OffsetsOf(movie, {"moov/mvhd", "moov/trak/tkhd", "moov/trak/mdia/mdhd"});
  ASSERT_EQ(headers.size(), 5u);
  ByteString stamped = StampFile(movie, kTime);
  EXPECT_EQ(stamped, Stamped(movie, headers, kTime));
  EXPECT_EQ(ReadTime(stamped), kTime);
}

struct StampCase {
  const char* name;
  ByteString bytes;
  std::vector<int64_t> stampedAt;  // offsets of the headers that must change
};

std::vector<StampCase> StampCases() {
  std::vector<StampCase> cases;
  {
    // A trak of 12 bytes is moved over; the movie header after it is found.
    TestAtom small = Leaf("trak", U32(0x11111111));
    ByteString b = Bytes({Box("moov", {small, Leaf("mvhd", Header(0))})});
    cases.push_back({"trak of 12 bytes moved over", b, {20}});
  }
  {
    // A trak of 16 bytes is walked: its 8-byte child, then on after it.
    ByteString b = Bytes({Box("moov", {Box("trak", {Leaf("free")}), Leaf("mvhd", Header(0))})});
    cases.push_back({"trak of 16 bytes walked", b, {24}});
  }
  {
    // Upper-case container types are walked too.
    ByteString b = Bytes({Box("MOOV", {Leaf("mvhd", Header(0))})});
    cases.push_back({"container type without regard to case", b, {8}});
  }
  {
    // Header types match with their case: MVHD is no header.
    ByteString b = Bytes({Box("moov", {Leaf("MVHD", Header(0))})});
    cases.push_back({"header type with its case", b, {}});
  }
  for (uint32_t size : {0u, 1u, 7u}) {
    // A size below 8 ends its level: the rest of the first trak is passed
    // over, the second trak is still stamped.
    ByteString inside = U32(size) + Bytes(Leaf("tkhd", Header(0)));
    ByteString first = U32(uint32_t(8 + inside.size())) + "trak" + inside;
    ByteString moov = first + Bytes(Box("trak", {Leaf("tkhd", Header(0))}));
    ByteString b = U32(uint32_t(8 + moov.size())) + "moov" + moov;
    int64_t secondTkhd = 8 + int64_t(first.size()) + 8;
    cases.push_back({size == 0 ? "size 0 ends the level" : size == 1 ? "size 1 ends the level"
                                                                     : "size 7 ends the level",
                     b, {secondTkhd}});
  }
  {
    // At the top level a size of 1 ends the walk.
    ByteString b = Bytes(Box("moov", {Leaf("mvhd", Header(0))})) + U32(1) + "mdat" + Zeros(8) +
                   Bytes(Box("moov", {Leaf("mvhd", Header(0))}));
    cases.push_back({"size 1 at the top ends the walk", b, {8}});
  }
  {
    // A header too short for both times is left alone.
    ByteString b = Bytes({Box("moov", {Leaf("mvhd", U32(0) + U32(0)), Leaf("tkhd", Header(0))})});
    cases.push_back({"header body of 8 bytes", b, {24}});
  }
  {
    // A version 1 header gets the time in body bytes 4-11 all the same.
    ByteString b = Bytes({Box("moov", {Leaf("mvhd", MvhdVersion1(0))})});
    cases.push_back({"version 1 header", b, {8}});
  }
  {
    // An atom whose size reaches past its container is not handled and ends
    // the container's level; the walk goes on after the container.
    TestAtom longer = Leaf("tkhd", Header(0));
    longer.sizeOverride = 200;
    ByteString b = Bytes({Box("moov", {Box("trak", {longer}), Leaf("mvhd", Header(0))})});
    cases.push_back({"child reaching past its parent", b, {48}});
  }
  return cases;
}

TEST(PressovaHeaderTimesTest, WalkRules) {
  for (const StampCase& c : StampCases()) {
    ByteString stamped = StampFile(c.bytes, kTime);
    EXPECT_EQ(stamped, Stamped(c.bytes, c.stampedAt, kTime)) << c.name;
  }
}

TEST(PressovaHeaderTimesTest, TruncatedFileStampsOnlyWholeHeaders) {
  ByteString movie = TwoTrackMovie();
  auto mdhd = OffsetsOf(movie, {"moov/trak/mdia/mdhd"});
  auto before = OffsetsOf(movie, {"moov/mvhd"});
  auto tkhd = OffsetsOf(movie, {"moov/trak/tkhd"});
  // Cut inside the first media header's body, then inside its atom header.
  for (int64_t cut : {mdhd[0] + 20, mdhd[0] + 6}) {
    ByteString truncated = movie.substr(0, size_t(cut));
    ByteString stamped = StampFile(truncated, kTime);
    EXPECT_EQ(stamped.size(), truncated.size()) << cut;
    EXPECT_EQ(stamped, Stamped(truncated, {before[0], tkhd[0]}, kTime)) << cut;
  }
}

TEST(PressovaHeaderTimesTest, ReadingTheCreationTime) {
  struct Case {
    const char* name;
    ByteString bytes;
    uint32_t startValue;
    uint32_t expected;
  } cases[] = {
      {"movie header", Bytes(Box("moov", {Leaf("mvhd", MvhdBody(kTime))})), 0, kTime},
      {"no movie header keeps the start value", Bytes(Leaf("mdat", Zeros(16))), 77, 77},
      {"the last movie header wins",
       Bytes({Box("moov", {Leaf("mvhd", MvhdBody(5))}), Box("moov", {Leaf("mvhd", MvhdBody(6))})}), 0, 6},
      {"version 1: the upper half, 0 before 2040",
       Bytes(Box("moov", {Leaf("mvhd", MvhdVersion1(kTime))})), 0, 0},
      {"header in a skip container", Bytes(Box("skip", {Leaf("mvhd", MvhdBody(9))})), 0, 9},
      {"truncated movie header", Bytes(Box("moov", {Leaf("mvhd", MvhdBody(kTime))})).substr(0, 30), 3, 3},
      {"not an atom file", ByteString("Hello, this is no movie at all."), 0, 0},
      {"empty file", ByteString(), 4, 4},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadTime(c.bytes, c.startValue), c.expected) << c.name;
}

TEST(PressovaHeaderTimesTest, DeepNestingEndsWithoutRecursingForever) {
  // 100000 empty-headed "moov" atoms nested 8 bytes apart.
  const int depth = 100000;
  ByteString b;
  for (int i = 0; i < depth; ++i) b += U32(uint32_t(8 * (depth - i) + 28)) + "moov";
  b += Bytes(Leaf("mvhd", Header(0)));
  // Below the nesting bound the innermost header is passed over, not stamped.
  EXPECT_EQ(StampFile(b, kTime), b);
}

}  // namespace
