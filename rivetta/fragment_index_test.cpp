#include "rivetta/fragment_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "rivetta/state.h"
#include "testing/movie_builder.h"

namespace {

// Bytes already in the output before the index: the index goes after them.
const ByteString kWrittenMovie = Bytes({Leaf("ftyp", "isom"), Leaf("mdat", "media bytes")});

class FragmentIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    Facts.VideoTrackID = 1;
  }

  // Writes the movie bytes, builds the index after them and returns only
  // what the builder added.
  ByteString BuildAfterMovie(int32_t mode) {
    std::string path = TempDir() + "/out.mp4";
    FileHandle output = CreateForReadWrite(path);
    EXPECT_TRUE(IsOpen(output));
    WriteBytes(output, kWrittenMovie.data(), int64_t(kWrittenMovie.size()));
    BuildFragmentIndex(output, mode);
    CloseFile(output);
    ByteString bytes = ReadFile(path);
    EXPECT_EQ(bytes.substr(0, kWrittenMovie.size()), kWrittenMovie);
    return bytes.substr(kWrittenMovie.size());
  }

  void AddFragments(size_t count) {
    for (size_t i = 0; i < count; ++i)
      FragmentIndex.push_back({int64_t(1000 + 500 * i), uint32_t(3000 * i), 1, 1, uint32_t(i % 3)});
  }
};

TEST_F(FragmentIndexTest, IndexBytes) {
  Facts.VideoTrackID = 7;
  // The moof offset keeps its low 32 bits; the numbers keep their low 8.
  FragmentIndex.push_back({0x100000010LL, 1000, 1, 2, 3});
  FragmentIndex.push_back({5000, 2000, 0x101, 1, 0x205});
  ByteString expected = U32(70) + "mfra" +
                        U32(46) + "tfra" +
                        U32(0) +          // version 0, flags
                        U32(7) +          // track ID
                        U32(0) +          // one-byte traf, trun and sample numbers
                        U32(2) +          // entries
                        U32(1000) + U32(0x10) + U8(1) + U8(2) + U8(3) +
                        U32(2000) + U32(5000) + U8(1) + U8(1) + U8(5) +
                        U32(16) + "mfro" + U32(0) + U32(70);
  EXPECT_EQ(BuildAfterMovie(1), expected);
}

TEST_F(FragmentIndexTest, SizeIs48Plus11PerFragment) {
  for (size_t n : {size_t(1), size_t(3), size_t(400)}) {
    ResetRunState();
    Facts.VideoTrackID = 1;
    AddFragments(n);
    ByteString index = BuildAfterMovie(1);
    ASSERT_EQ(index.size(), 48 + 11 * n) << n;
    EXPECT_EQ(ReadU32BE(index.data(), 0), 48 + 11 * n) << n;
    EXPECT_EQ(ReadU32BE(index.data(), 8), 24 + 11 * n) << n;
    EXPECT_EQ(ReadU32BE(index.data(), 28), n) << n;
    // The last four bytes repeat the size, so a reader finds the index from
    // the end of the file.
    EXPECT_EQ(ReadU32BE(index.data(), int64_t(index.size()) - 4), index.size()) << n;
    std::vector<ParsedAtom> atoms = ParseAtoms(index);
    ASSERT_EQ(atoms.size(), 1u);
    EXPECT_TRUE(ContainersExact(atoms, int64_t(index.size()))) << n;
    ASSERT_EQ(atoms[0].children.size(), 2u);
    EXPECT_EQ(atoms[0].children[0].type, "tfra");
    EXPECT_EQ(atoms[0].children[1].type, "mfro");
  }
}

TEST_F(FragmentIndexTest, EntriesFollowFragmentOrder) {
  AddFragments(5);
  ByteString index = BuildAfterMovie(1);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ReadU32BE(index.data(), int64_t(32 + 11 * i)), 3000 * i) << i;
    EXPECT_EQ(ReadU32BE(index.data(), int64_t(36 + 11 * i)), 1000 + 500 * i) << i;
  }
}

TEST_F(FragmentIndexTest, EntryNumbersRules) {
  struct Case {
    int32_t mode;
    uint32_t traf, trun, sample;
    ByteString written;
  } cases[] = {
      {1, 1, 2, 3, U8(1) + U8(2) + U8(3)},
      {2, 1, 2, 3, U8(1) + U8(1) + U8(1)},   // mode 2: always 1, 1, 1
      {1, 0, 2, 3, U8(1) + U8(1) + U8(1)},   // no traf
      {1, 2, 0, 0, U8(1) + U8(1) + U8(1)},   // neither trun nor sample
      {1, 2, 0, 5, U8(2) + U8(0) + U8(5)},
      {1, 2, 3, 0, U8(2) + U8(3) + U8(0)},
      {1, 0x101, 0x102, 0x1FF, U8(1) + U8(2) + U8(0xFF)},
      {3, 1, 2, 3, U8(1) + U8(2) + U8(3)},   // other non-zero modes are mode 1
  };
  for (const Case& c : cases) {
    ResetRunState();
    Facts.VideoTrackID = 1;
    FragmentIndex.push_back({100, 0, c.traf, c.trun, c.sample});
    ByteString index = BuildAfterMovie(c.mode);
    ASSERT_EQ(index.size(), 59u);
    EXPECT_EQ(index.substr(40, 3), c.written)
        << "mode " << c.mode << " " << c.traf << "/" << c.trun << "/" << c.sample;
  }
}

TEST_F(FragmentIndexTest, NothingWithoutFragmentsOrVideoTrack) {
  EXPECT_EQ(BuildAfterMovie(1), "");

  AddFragments(2);
  Facts.VideoTrackID = 0;
  EXPECT_EQ(BuildAfterMovie(1), "");
  EXPECT_EQ(BuildAfterMovie(2), "");
}

}  // namespace
