// The rewrite as a whole run over built movies: deletions, inserts, edit
// lists, size patches, offsets, the random-access index and the flag word.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rivetta/run.h"
#include "rivetta/state.h"
#include "testing/movie_builder.h"

namespace {

struct Result {
  int32_t status = 0;
  std::string console;
  ByteString output;
};

// Runs rivetta in this process on `input` with the settings text.
Result Rewrite(const ByteString& input, const std::string& settings) {
  std::string dir = TempDir();
  WriteFile(dir + "/in.mp4", input);
  WriteFile(dir + "/s.ini", settings);
  std::vector<std::string> args = {"rivetta", dir + "/in.mp4", dir + "/out.mp4", dir + "/s.ini", "T"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  Result r;
  testing::internal::CaptureStdout();
  r.status = RunRivetta(int(argv.size()), argv.data());
  r.console = testing::internal::GetCapturedStdout();
  r.output = ReadFile(dir + "/out.mp4");
  return r;
}

// A movie whose chunk offsets point at marked bytes in "mdat", with a "free"
// before the media data and user data in the movie.
ByteString MovieWithChunks(bool moovFirst) {
  TestAtom moov = Box("moov", {Leaf("mvhd", MvhdBody(3261822309u, 600, 1200)),
                               Box("trak", {Leaf("tkhd", TkhdBody(1, 176, 144, 0, 1200)),
                                            Box("edts", {Leaf("elst", U32(0) + U32(0))}),
                                            Box("mdia", {Leaf("mdhd", MdhdBody(600)),
                                                         Box("minf", {Box("stbl", {Leaf("stco", StcoBody({0, 0, 0}))})})})}),
                               Box("udta", {Leaf("free", "xx")})});
  TestAtom mdat = Leaf("mdat", "chunk-A.chunk-B.chunk-C.");
  std::vector<TestAtom> atoms = {Leaf("ftyp", "3gp4" + U32(0)), Leaf("free", Zeros(5))};
  if (moovFirst) atoms.insert(atoms.end(), {moov, mdat});
  else atoms.insert(atoms.end(), {mdat, moov});
  ByteString bytes = Bytes(atoms);
  // Point the three chunk offsets at "chunk-A", "chunk-B", "chunk-C".
  auto parsed = ParseAtoms(bytes);
  int64_t stco = FindAtom(parsed, "moov/trak/mdia/minf/stbl/stco")->offset + 8;
  for (int i = 0; i < 3; ++i) {
    int64_t at = int64_t(bytes.find("chunk-" + std::string(1, char('A' + i))));
    WriteU32BE(bytes.data(), stco + 8 + 4 * i, uint32_t(at));
  }
  return bytes;
}

// The bytes at each chunk offset of the movie's first "stco".
std::vector<ByteString> ChunkBytes(const ByteString& movie) {
  std::vector<ByteString> chunks;
  auto atoms = ParseAtoms(movie);
  auto stco = FindAtom(atoms, "moov/trak/mdia/minf/stbl/stco");
  if (!stco) return chunks;
  for (uint32_t i = 0; i < ReadU32BE(stco->body.data(), 4); ++i)
    chunks.push_back(movie.substr(ReadU32BE(stco->body.data(), 8 + 4 * i), 7));
  return chunks;
}

const std::vector<ByteString> kChunks = {"chunk-A", "chunk-B", "chunk-C"};

}  // namespace

TEST(Rewrite, EmptySettingsCopyTheMovieByteForByte) {
  for (bool moovFirst : {true, false}) {
    ByteString movie = MovieWithChunks(moovFirst);
    Result r = Rewrite(movie, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, movie);
  }
}

TEST(Rewrite, DeletionsAndInsertsKeepEveryOffsetAndSize) {
  const std::string settings =
      "[DeleteAtom]\nItem0=FREE\nItem1=\\moov\\udta\n"
      "[InsertAtom]\n"
      "Item0=head%00%01\n"
      "Item1=/tail%00%02\n"
      "Item2=\\moov\\trak\\trk1\n"
      "Item3=/moov/trak/trk2\n"
      "Item4=/moov/udta/none\n";
  for (bool moovFirst : {true, false}) {
    ByteString movie = MovieWithChunks(moovFirst);
    Result r = Rewrite(movie, settings);
    ASSERT_EQ(r.status, 0);
    auto atoms = ParseAtoms(r.output);
    EXPECT_TRUE(ContainersExact(atoms, int64_t(r.output.size())));
    EXPECT_EQ(ChunkBytes(r.output), kChunks) << moovFirst;
    // Head insert opens the file, tail insert follows the last atom.
    EXPECT_EQ(r.output.substr(0, 10), ByteString("\0\0\0\x0Ahead\0\x01", 10));
    EXPECT_EQ(atoms.back().type, "tail");
    // Every free atom is gone, whatever the case; a path value deletes nothing.
    EXPECT_EQ(r.output.find("free"), ByteString::npos);
    auto trak = FindAtom(atoms, "moov/trak");
    ASSERT_TRUE(trak);
    EXPECT_EQ(trak->children.front().type, "trk1");
    EXPECT_EQ(trak->children.back().type, "trk2");
    // The udta was a container in the input: it loses its child and still
    // receives its insert.
    auto udta = FindAtom(atoms, "moov/udta");
    ASSERT_TRUE(udta);
    ASSERT_EQ(udta->children.size(), 1u);
    EXPECT_EQ(udta->children[0].type, "none");
  }
}

TEST(Rewrite, EditListsFollowMediaTrackHeaders) {
  ByteString movie = Bytes({Box("moov", {Leaf("mvhd", MvhdBody(1, 600, 900)),
                                         Box("trak", {Leaf("tkhd", TkhdBody(1, 176, 144, 0, 900)),
                                                      Box("edts", {Leaf("elst", U32(0) + U32(0))})}),
                                         Box("trak", {Leaf("tkhd", TkhdBody(2, 0, 0, 0x100, 0))}),
                                         Box("trak", {Leaf("tkhd", TkhdBody(3, 0, 0, 0, 500))})})});
  Result r = Rewrite(movie, "[Config]\nBuild_edts=1\n");
  auto atoms = ParseAtoms(r.output);
  EXPECT_TRUE(ContainersExact(atoms, int64_t(r.output.size())));
  auto traks = FindAll(atoms, "moov/trak");
  ASSERT_EQ(traks.size(), 3u);
  // A media track with a duration: exactly one new edit list after its header.
  ASSERT_EQ(traks[0]->children.size(), 2u);
  EXPECT_EQ(r.output.substr(size_t(traks[0]->children[1].offset), 36),
            U32(36) + "edts" + U32(0x1C) + "elst" + U32(0) + U32(1) + U32(900) + U32(0) + U32(0x10000));
  // Zero duration, or no size and no volume: no edit list at all.
  EXPECT_EQ(traks[1]->children.size(), 1u);
  EXPECT_EQ(traks[2]->children.size(), 1u);
}

TEST(Rewrite, SizeBelowEightCopiesTheRestOfTheLevel) {
  ByteString movie = Bytes({Box("moov", {Leaf("mvhd", MvhdBody(1)), Leaf("bad!", "tail-bytes"),
                                         Leaf("free", "zz")}),
                            Leaf("free", "yy"), Leaf("mdat", "media")});
  size_t bad = movie.find("bad!");
  WriteU32BE(movie.data(), int64_t(bad) - 4, 1);
  // A head insert into moov changes its size; the bytes after the bad size
  // are copied as they are and counted.
  Result r = Rewrite(movie, "[InsertAtom]\nItem0=\\moov\\ins1\n[DeleteAtom]\nItem0=free\n");
  ByteString moov = movie.substr(0, ReadU32BE(movie.data(), 0));
  uint32_t newSize = ReadU32BE(r.output.data(), 0);
  EXPECT_EQ(newSize, moov.size() + 8);
  EXPECT_EQ(r.output.substr(newSize - (moov.size() - bad + 4)), moov.substr(bad - 4) + Bytes(Leaf("mdat", "media")));
}

TEST(Rewrite, DcmdFlagWordAndWarnings) {
  ByteString dcmd = Bytes(Leaf("dcmd", U16(0) + "rest"));
  struct Case {
    const char* name;
    std::vector<TestAtom> atoms;
    bool iMotion;
    uint32_t word;  // 0: none written
    int warnings;
  };
  ByteString oddMoov = Bytes(Box("moov", {Leaf("mvhd", MvhdBody(1)), Leaf("free", "x")}));
  const Case cases[] = {
      {"even sizes", {Leaf("ftyp", "3gp4"), Leaf("dcmd", U16(0) + "ab")}, true, 0x0909, 0},
      {"odd output", {Leaf("ftyp", "3gp4"), Leaf("dcmd", U16(0) + "abc")}, true, 0x090D, 0},
      {"odd moov", {Box("moov", {Leaf("mvhd", MvhdBody(1)), Leaf("free", "x")}), Leaf("dcmd", U16(0) + "a")}, true, 0x090B, 0},
      {"two dcmd: the first", {Leaf("dcmd", U16(0) + "ab"), Leaf("dcmd", U16(0) + "ab")}, true, 0x0909, 1},
      {"off", {Leaf("dcmd", U16(0) + "ab")}, false, 0, 0},
  };
  for (const auto& c : cases) {
    Result r = Rewrite(Bytes(c.atoms), c.iMotion ? "[Config]\niMotion=1\n" : "");
    size_t at = r.output.find("dcmd");
    ASSERT_NE(at, ByteString::npos) << c.name;
    EXPECT_EQ(ReadU16BE(r.output.data(), int64_t(at) + 4), c.word) << c.name;
    size_t warnings = 0;
    for (size_t p = 0; (p = r.console.find("A>Warning: dcmd atom", p)) != std::string::npos; ++p) ++warnings;
    EXPECT_EQ(int(warnings), c.warnings) << c.name;
  }
  Result none = Rewrite(Bytes(Leaf("ftyp", "3gp4")), "[Config]\niMotion=1\n");
  EXPECT_NE(none.console.find("A>Warning: dcmd atom\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\r\n"),
            std::string::npos);
  EXPECT_EQ(none.status, 0);
  (void)oddMoov;
  (void)dcmd;
}

namespace {

// A fragmented movie: moov with trex defaults for track 1, then fragments
// whose track runs carry per-sample flags, then an old random-access index.
ByteString FragmentedMovie() {
  auto trex = U32(0) + U32(1) + U32(1) + U32(100) + U32(0) + U32(0x00010000);
  auto tfhd = [](uint32_t track) { return U32(0x000001) + U32(track) + U32(0) + U32(0); };
  // Three samples: durations 10, 20, 30; the second is the sync sample.
  auto trun = U32(0x000501) + U32(3) + U32(0) + U32(10) + U32(0x00010000) + U32(20) + U32(0) + U32(30) +
              U32(0x00010000);
  auto moof = [&](uint32_t seq) {
    return Box("moof", {Leaf("mfhd", U32(0) + U32(seq)),
                        Box("traf", {Leaf("tfhd", tfhd(2)), Leaf("trun", U32(1) + U32(0) + U32(0))}),
                        Box("traf", {Leaf("tfhd", tfhd(1)), Leaf("trun", trun)})});
  };
  ByteString bytes = Bytes({Leaf("ftyp", "isom"),
                            Box("moov", {Leaf("mvhd", MvhdBody(1, 1000, 0)),
                                         Box("trak", {Leaf("tkhd", TkhdBody(1, 160, 120, 0))}),
                                         Box("trak", {Leaf("tkhd", TkhdBody(2, 0, 0, 0x100))}),
                                         Box("mvex", {Leaf("trex", trex)})}),
                            moof(1), Leaf("mdat", "fragment-one"), moof(2), Leaf("mdat", "fragment-two"),
                            Box("mfra", {Leaf("tfra", U32(0) + U32(1) + U32(0) + U32(2) + U32(0) + U32(0) +
                                                          Zeros(3) + U32(0) + U32(0) + Zeros(3)),
                                         Leaf("mfro", U32(0) + U32(0))})});
  // Base data offsets point at each fragment's mdat; the old tfra at each moof.
  auto atoms = ParseAtoms(bytes);
  auto moofs = FindAll(atoms, "moof");
  auto tfhds = FindAll(atoms, "moof/traf/tfhd");
  auto tfra = FindAtom(atoms, "mfra/tfra");
  for (size_t i = 0; i < tfhds.size(); ++i) {
    size_t mdat = bytes.find(i < 2 ? "fragment-one" : "fragment-two");
    WriteU32BE(bytes.data(), tfhds[i]->offset + 8 + 12, uint32_t(mdat));
  }
  for (size_t i = 0; i < moofs.size(); ++i)
    WriteU32BE(bytes.data(), tfra->offset + 8 + 20 + 11 * int64_t(i), uint32_t(moofs[i]->offset));
  return bytes;
}

}  // namespace

TEST(Rewrite, FragmentOffsetsAndTheNewIndex) {
  ByteString movie = FragmentedMovie();
  // Insert into every traf and at the top; the old index is dropped.
  Result r = Rewrite(movie, "[Config]\nBuild_mfra=1\n[InsertAtom]\nItem0=\\top%00\nItem1=/moof/traf/pad!%00%00\n");
  ASSERT_EQ(r.status, 0);
  auto atoms = ParseAtoms(r.output);
  EXPECT_TRUE(ContainersExact(atoms, int64_t(r.output.size())));
  // Base data offsets still point at their media data.
  auto tfhds = FindAll(atoms, "moof/traf/tfhd");
  ASSERT_EQ(tfhds.size(), 4u);
  for (size_t i = 0; i < tfhds.size(); ++i)
    EXPECT_EQ(r.output.substr(ReadU32BE(tfhds[i]->body.data(), 12), 12), i < 2 ? "fragment-one" : "fragment-two");
  // One mfra, at the end: entries point at the moofs, with the sync sample
  // found in the second run (the video traf is the second of each moof).
  auto mfras = FindAll(atoms, "mfra");
  ASSERT_EQ(mfras.size(), 1u);
  EXPECT_EQ(mfras[0]->size, 48u + 11 * 2);
  auto tfra = FindAtom(atoms, "mfra/tfra");
  auto moofs = FindAll(atoms, "moof");
  const ByteString& body = tfra->body;
  EXPECT_EQ(ReadU32BE(body.data(), 4), 1u);
  for (int i = 0; i < 2; ++i) {
    int64_t e = 16 + 11 * i;
    EXPECT_EQ(ReadU32BE(body.data(), e + 4), uint32_t(moofs[size_t(i)]->offset));
    EXPECT_EQ(body.substr(size_t(e + 8), 3), ByteString("\x02\x02\x02", 3)) << i;
  }
  // Times: the movie duration (0 here) per fragment plus the durations in
  // front of the sync sample; what was pending is dropped at a new moof.
  EXPECT_EQ(ReadU32BE(body.data(), 16), 10u);
  EXPECT_EQ(ReadU32BE(body.data(), 27), 10u);
  // The old index's entries were inside the deleted mfra: the bytes in front
  // of its place are untouched, so the last mdat still reads whole.
  EXPECT_NE(r.output.find(Bytes(Leaf("mdat", "fragment-two"))), ByteString::npos);

  Result mode2 = Rewrite(movie, "[Config]\nBuild_mfra=2\n");
  auto mode2Atoms = ParseAtoms(mode2.output);
  auto tfra2 = FindAtom(mode2Atoms, "mfra/tfra");
  ASSERT_TRUE(tfra2);
  EXPECT_EQ(tfra2->body.substr(24, 3), ByteString("\x01\x01\x01", 3));

  // Deleted moofs get no entry: without fragments no index is written, and
  // the input's own index is dropped all the same.
  Result deleted = Rewrite(movie, "[Config]\nBuild_mfra=1\n[DeleteAtom]\nItem0=MOOF\n");
  auto deletedAtoms = ParseAtoms(deleted.output);
  EXPECT_EQ(FindAtom(deletedAtoms, "mfra"), nullptr);
  EXPECT_EQ(FindAtom(deletedAtoms, "moof"), nullptr);
}

TEST(Rewrite, A5504TFoldsBaseOffsetsIntoRunOffsets) {
  ByteString movie = FragmentedMovie();
  // Give the video run a data offset of 4 relative to its base.
  auto atoms = ParseAtoms(movie);
  auto truns = FindAll(atoms, "moof/traf/trun");
  for (auto* t : truns) WriteU32BE(movie.data(), t->offset + 8 + 8, 4);
  Result r = Rewrite(movie, "[Config]\nA5504T=1\n[InsertAtom]\nItem0=\\top%00\n");
  auto out = ParseAtoms(r.output);
  auto tfhds = FindAll(out, "moof/traf/tfhd");
  auto outTruns = FindAll(out, "moof/traf/trun");
  for (size_t i = 0; i < tfhds.size(); ++i) {
    EXPECT_EQ(ReadU32BE(tfhds[i]->body.data(), 12), 0u);
    // The run's offset is now absolute: 4 bytes into its fragment's media data.
    EXPECT_EQ(r.output.substr(ReadU32BE(outTruns[i]->body.data(), 8), 8), i < 2 ? "ment-one" : "ment-two");
  }
}

TEST(Rewrite, TimestampsComeFromTheMovieHeader) {
  EXPECT_EQ(TimestampTextOf(3261822309u), "2007/05/12 13:45:09");
  EXPECT_EQ(TimestampEscapedOf(3261822309u), "%C2%6B%75%65");
  EXPECT_EQ(TimestampTextOf(2082844800u), "1970/01/01 00:00:00");
  EXPECT_EQ(TimestampEscapedOf(2082844800u), "%7C%25%B0%80");
  struct Rate { double fps; const char* text; };
  for (Rate c : {Rate{15, "15.00"}, Rate{30000.0 / 1001, "29.97"}, Rate{1, "1.00"}, Rate{59.94005994, "59.94"},
                 Rate{119.8801, "119.88"}, Rate{1234.567, "1234.60"}, Rate{0.0999999, "0.10"}})
    EXPECT_EQ(FrameRateText(c.fps), c.text);
  // The placeholder takes the four bytes of the movie's creation time.
  ByteString movie = Bytes({Box("moov", {Leaf("mvhd", MvhdBody(2082844800u))})});
  Result r = Rewrite(movie, "[InsertAtom]\nItem0=time<%timestamp%>\n");
  EXPECT_EQ(r.output.substr(0, 12), U32(12) + "time" + ByteString("\x7C\x25\xB0\x80", 4));
}
