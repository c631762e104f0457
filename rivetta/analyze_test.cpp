#include "rivetta/analyze.h"

#include <gtest/gtest.h>

#include "atoms/offset_fixups.h"
#include "rivetta/state.h"
#include "testing/movie_builder.h"

namespace {

// Runs the analysis walk over `bytes` as the whole input; returns stdout.
std::string Analyze(const ByteString& bytes) {
  std::string path = TempDir() + "/in.mp4";
  WriteFile(path, bytes);
  FileHandle f = OpenForReading(path);
  testing::internal::CaptureStdout();
  AnalyzeAtoms(f, Settings.MovieTitle, "\\", int64_t(bytes.size()));
  CloseFile(f);
  return testing::internal::GetCapturedStdout();
}

TestAtom VideoTrak(uint32_t id, uint32_t width, uint32_t height, uint32_t timescale,
                   std::vector<std::pair<uint32_t, uint32_t>> stts, std::vector<uint32_t> stco,
                   uint32_t maxRate = 80000, uint32_t avgRate = 64000) {
  return Box("trak", {Leaf("tkhd", TkhdBody(id, width, height, 0)),
                      Box("mdia", {Leaf("mdhd", MdhdBody(timescale)),
                                   Box("minf", {Box("stbl", {
                                       Leaf("stsd", StsdBody(VisualSampleEntry(
                                                        "mp4v", width, height, EsdsAtom(maxRate, avgRate)))),
                                       Leaf("stts", SttsBody(stts)),
                                       Leaf("stco", StcoBody(stco))})})})});
}

TestAtom AudioTrak(uint32_t id, uint32_t rate, uint32_t channels, std::vector<uint32_t> stco) {
  return Box("trak", {Leaf("tkhd", TkhdBody(id, 0, 0, 0x0100)),
                      Box("mdia", {Leaf("mdhd", MdhdBody(rate)),
                                   Box("minf", {Box("stbl", {
                                       Leaf("stsd", StsdBody(AudioSampleEntry(
                                                        "mp4a", channels, rate, EsdsAtom(32000, 12200, false)))),
                                       Leaf("stts", SttsBody({{10, 1024}})),
                                       Leaf("stco", StcoBody(stco))})})})});
}

ByteString NamAtom(const ByteString& text) { return U16(uint32_t(text.size())) + U16(0x55C4) + text; }

std::vector<int64_t> FixupPositions() {
  std::vector<int64_t> p;
  for (const auto& e : Fixups().Entries) p.push_back(e.Position);
  return p;
}

class Analysis : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    Settings.MovieTitle = "file";
  }
};

}  // namespace

TEST_F(Analysis, LearnsTrackFactsAndRecordsChunkOffsetsInFileOrder) {
  ByteString movie = Bytes({Leaf("ftyp", "3gp4" + U32(0)),
                            Box("moov", {Leaf("mvhd", MvhdBody(3261822309u)),
                                         VideoTrak(1, 176, 144, 30000, {{9, 1001}, {1, 1001}}, {40, 90}),
                                         AudioTrak(2, 16000, 1, {60})})});
  EXPECT_EQ(Analyze(movie), "");
  EXPECT_EQ(Facts.VideoTrackID, 1u);
  EXPECT_EQ(Facts.AudioTrackID, 2u);
  EXPECT_EQ(Facts.VideoWidth, 176u);
  EXPECT_EQ(Facts.VideoHeight, 144u);
  EXPECT_EQ(Facts.VideoTimescale, 30000u);
  EXPECT_NEAR(Facts.VideoFrameRate, 29.97002997, 1e-6);
  EXPECT_EQ(Facts.VideoMaxBitrate, 80000u);
  EXPECT_EQ(Facts.VideoAvgBitrate, 64000u);
  EXPECT_EQ(Facts.AudioSampleRate, 16000u);
  EXPECT_EQ(Facts.AudioChannels, 1u);
  EXPECT_EQ(Facts.AudioAvgBitrate, 12200u);
  EXPECT_EQ(Facts.AudioMaxBitrate, 32000u);
  EXPECT_EQ(Facts.CreationTime, 3261822309u);
  EXPECT_EQ(Facts.MoovSize, ReadU32BE(movie.data(), 16));

  auto atoms = ParseAtoms(movie);
  auto stcos = FindAll(atoms, "moov/trak/mdia/minf/stbl/stco");
  ASSERT_EQ(stcos.size(), 2u);
  int64_t video = stcos[0]->offset + 8, audio = stcos[1]->offset + 8;
  EXPECT_EQ(FixupPositions(), (std::vector<int64_t>{video + 8, video + 12, audio + 8}));
  EXPECT_EQ(Fixups().Entries[1].Value, 90u);
}

TEST_F(Analysis, DefaultsWithoutAMovie) {
  EXPECT_EQ(Analyze(Bytes({Leaf("ftyp", "isom"), Leaf("mdat", "xyz")})), "");
  MovieFacts defaults;
  EXPECT_EQ(Facts.VideoWidth, defaults.VideoWidth);
  EXPECT_EQ(Facts.VideoTimescale, 90000u);
  EXPECT_EQ(Facts.VideoFrameRate, 1.0);
  EXPECT_EQ(Facts.AudioSampleRate, 16000u);
  EXPECT_EQ(Facts.VideoAvgBitrate, 1u);
  EXPECT_EQ(Settings.MovieTitle, "file");
  EXPECT_TRUE(Fixups().Entries.empty());
}

TEST_F(Analysis, FrameRateUsesTheIntegerAverageDelta) {
  Analyze(Bytes(Box("moov", {VideoTrak(1, 320, 240, 90000, {{1, 3003}, {1, 3003}, {1, 3004}}, {})})));
  EXPECT_NEAR(Facts.VideoFrameRate, 90000.0 / 3003, 1e-9);
  // No samples: the rate keeps its value.
  ResetRunState();
  Analyze(Bytes(Box("moov", {VideoTrak(1, 320, 240, 90000, {{0, 3003}}, {})})));
  EXPECT_EQ(Facts.VideoFrameRate, 1.0);
}

TEST_F(Analysis, TitlePrecedence) {
  const ByteString nam("\xA9nam", 4), namFB("\xFBnam", 4);
  auto titl = [](const ByteString& utf8) { return U32(0) + U16(0x55C4) + utf8 + ByteString(1, '\0'); };
  auto prop = [](const ByteString& title) {
    return ByteString("prop") + Zeros(12) + U32(0) + U32(8 + uint32_t(title.size())) + "titl" + title;
  };
  struct Case {
    const char* name;
    std::vector<TestAtom> atoms;
    bool fromCommandLine;
    ByteString want;
  };
  const Case cases[] = {
      {"nam", {Box("moov", {Box("udta", {Leaf(nam, NamAtom("Clip"))})})}, false, "Clip"},
      {"nam ends at NUL", {Box("moov", {Box("udta", {Leaf(namFB, NamAtom(ByteString("Ab\0c", 4)))})})}, false, "Ab"},
      {"nam length 0 keeps", {Box("moov", {Box("udta", {Leaf(nam, U16(0) + U16(0))})})}, false, "file"},
      {"nam longer than body is cut", {Box("moov", {Box("udta", {Leaf(nam, U16(50) + U16(0) + "xy")})})}, false, "xy"},
      {"empty titl after nam", {Box("moov", {Box("udta", {Leaf(nam, NamAtom("Clip")), Leaf("titl", titl(""))})})}, false, ""},
      {"titl converts UTF-8", {Box("moov", {Box("udta", {Leaf("titl", titl("\xE3\x81\x82"))})})}, false, "\x82\xA0"},
      {"track udta is no title", {Box("moov", {Box("trak", {Box("udta", {Leaf(nam, NamAtom("T"))})})})}, false, "file"},
      {"prop uuid", {Leaf("uuid", prop("Prop"))}, false, "Prop"},
      {"command line wins", {Box("moov", {Box("udta", {Leaf(nam, NamAtom("Clip"))})})}, true, "file"},
      {"last title wins", {Leaf("uuid", prop("First")), Box("moov", {Box("udta", {Leaf(nam, NamAtom("Last"))})})}, false, "Last"},
  };
  for (const auto& c : cases) {
    ResetRunState();
    Settings.MovieTitle = "file";
    Settings.TitleFromCommandLine = c.fromCommandLine;
    Analyze(Bytes(c.atoms));
    EXPECT_EQ(Settings.MovieTitle, c.want) << c.name;
  }
}

TEST_F(Analysis, Warnings) {
  std::string out = Analyze(Bytes(Box("moov", {VideoTrak(1, 176, 144, 600, {{1, 40}}, {}),
                                               VideoTrak(3, 320, 240, 900, {{1, 30}}, {})})));
  EXPECT_EQ(out, "A>Warning: VideoTrack\x82\xAA\x95\xA1\x90\x94\x82\xA0\x82\xE8\x82\xDC\x82\xB7\r\n");
  EXPECT_EQ(Facts.VideoTrackID, 3u);
  EXPECT_EQ(Facts.VideoWidth, 320u);
  EXPECT_EQ(Facts.VideoFrameRate, 30.0);

  ResetRunState();
  out = Analyze(Bytes(Box("moov", {Box("trak", {Box("mdia", {Leaf("mdhd", MdhdBody(600))})})})));
  EXPECT_EQ(out, "A>Warning>mdhd:TrackID\x82\xAA\x88\xD9\x8F\xED\x82\xC5\x82\xB7\r\n");

  ResetRunState();
  out = Analyze(Bytes(Box("moov", {AudioTrak(1, 8000, 1, {}), AudioTrak(2, 16000, 2, {})})));
  EXPECT_NE(out.find("A>Warning: AudioTrack"), std::string::npos);
  EXPECT_EQ(Facts.AudioTrackID, 2u);
  EXPECT_EQ(Facts.AudioChannels, 2u);
}

TEST_F(Analysis, FragmentOffsets) {
  auto tfhd = [](uint32_t flags, uint64_t base) {
    return U32(flags) + U32(1) + U32(uint32_t(base >> 32)) + U32(uint32_t(base));
  };
  auto trun = [](uint32_t dataOffset) { return U32(0x000001) + U32(1) + U32(dataOffset); };
  auto tfra0 = [](uint32_t v, std::vector<uint32_t> moofs) {
    ByteString b = U32(0) + U32(1) + U32(v) + U32(uint32_t(moofs.size()));
    for (uint32_t m : moofs) b += U32(0) + U32(m) + Zeros(3 + (v & 3) + ((v >> 2) & 3) + ((v >> 4) & 3));
    return b;
  };
  auto tfra1 = [](std::vector<uint32_t> moofs) {
    ByteString b = U32(0x01000000) + U32(1) + U32(0) + U32(uint32_t(moofs.size()));
    for (uint32_t m : moofs) b += U32(0) + U32(0) + U32(0) + U32(m) + Zeros(3);
    return b;
  };
  ByteString movie = Bytes({Box("moof", {Box("traf", {Leaf("tfhd", tfhd(1, 0x100000200ULL)),
                                                       Leaf("trun", trun(16))})}),
                            Box("moof", {Box("traf", {Leaf("tfhd", tfhd(1, 0)), Leaf("trun", trun(8))})}),
                            Box("mfra", {Leaf("tfra", tfra0(0, {0, 100, 200})), Leaf("tfra", tfra1({0, 300}))})});
  auto atoms = ParseAtoms(movie);
  auto tfhds = FindAll(atoms, "moof/traf/tfhd");
  auto truns = FindAll(atoms, "moof/traf/trun");
  auto tfras = FindAll(atoms, "mfra/tfra");

  Analyze(movie);
  // Without A5504T: non-zero base offsets (low half), run data offsets
  // relative to a known base (the second fragment's explicit base 0; the
  // first one's base has a high half, so its runs are left alone), and the
  // tfra moof offsets of both versions.
  int64_t t0 = tfras[0]->offset + 8, t1 = tfras[1]->offset + 8;
  int64_t run1 = truns[1]->offset + 8 + 8;
  EXPECT_EQ(FixupPositions(), (std::vector<int64_t>{tfhds[0]->offset + 8 + 12, run1, t0 + 20, t0 + 31,
                                                    t0 + 42, t1 + 28, t1 + 28 + 19}));
  EXPECT_EQ(Fixups().Entries[0].Value, 0x200u);
  EXPECT_EQ(Fixups().Entries[1].Base, 0);
  EXPECT_EQ(Fixups().Entries[1].Value, 8u);
  EXPECT_EQ(Fixups().Entries[6].Value, 300u);

  // With A5504T: the first fragment's run offset becomes base + offset, an
  // absolute offset; the second fragment's base has a zero low half, so its
  // run keeps its relative offset.
  ResetRunState();
  Settings.A5504T = true;
  Analyze(movie);
  ASSERT_EQ(Fixups().Entries.size(), 2u + 5u);
  EXPECT_EQ(Fixups().Entries[0].Position, truns[0]->offset + 8 + 8);
  EXPECT_EQ(Fixups().Entries[0].Value, 0x210u);
  EXPECT_EQ(Fixups().Entries[0].Base, -1);
  EXPECT_EQ(Fixups().Entries[1].Position, run1);
  EXPECT_EQ(Fixups().Entries[1].Base, 0);
  EXPECT_EQ(Fixups().Entries[2].Position, t0 + 20);
  (void)truns;
}

TEST_F(Analysis, UnusualSizes) {
  // A size-1 atom in moov ends moov's analysis; the top level goes on.
  ByteString movie = Bytes({Box("moov", {Leaf("mvhd", MvhdBody(5)), Leaf("bad1", ""),
                                         Leaf("mvhd", MvhdBody(6))}),
                            Box("moov", {Leaf("mvhd", MvhdBody(7))})});
  size_t bad = movie.find("bad1");
  WriteU32BE(movie.data(), int64_t(bad) - 4, 1);
  Analyze(movie);
  EXPECT_EQ(Facts.CreationTime, 7u);

  // udta of 12 bytes is passed over, one of 16 is walked.
  ResetRunState();
  Settings.MovieTitle = "file";
  Analyze(Bytes(Box("moov", {Leaf("udta", "abcd"), Box("udta", {Leaf("\xA9nam", NamAtom("A"))})})));
  EXPECT_EQ(Settings.MovieTitle, "A");
}

TEST_F(Analysis, MalformedInputNeverReadsPastABody) {
  // Each case must finish without a crash or sanitizer report, and give no
  // facts from bytes that are not there.
  ByteString trak = Bytes(VideoTrak(1, 176, 144, 600, {{10, 40}}, {1, 2, 3}));
  ByteString movie = Bytes({Leaf("ftyp", "isom"), Box("moov", {Leaf("mvhd", MvhdBody(9))})}) + trak;
  std::vector<ByteString> inputs;
  for (size_t cut = 0; cut < movie.size(); cut += 7) inputs.push_back(movie.substr(0, cut));
  // Counts far larger than their body.
  inputs.push_back(Bytes(Leaf("stco", U32(0) + U32(0x7FFFFFFF) + U32(1))));
  inputs.push_back(Bytes(Box("moov", {Leaf("stts", U32(0) + U32(0x40000000) + U32(1) + U32(1))})));
  inputs.push_back(Bytes(Leaf("tfra", U32(0) + U32(1) + U32(0x3F) + U32(0xFFFFFFF0))));
  inputs.push_back(Bytes(Leaf("uuid", ByteString("prop") + Zeros(16) + U32(4) + "titl")));
  // Bodies too short for their handler.
  for (const char* type : {"mvhd", "tkhd", "mdhd", "stts", "stsd", "tfhd", "trun", "stco", "tfra"})
    inputs.push_back(Bytes(Box("moov", {Leaf(type, U32(0x01) + U16(1))})));
  inputs.push_back(Bytes(Leaf("stsd", Zeros(100) + "esds" + U32(0) + U8(3) + U8(0x80))));
  inputs.push_back(Bytes(Leaf("stsd", Zeros(100) + "esds" + U32(0) + U8(4) + U8(0x80) + Zeros(5))));
  // A size far past the end of the file, on a handled type and a container.
  inputs.push_back(U32(0xFFFFFFF0) + "stco" + U32(0) + U32(3));
  inputs.push_back(U32(0xFFFFFFF0) + "moov" + Bytes(Leaf("mvhd", MvhdBody(4))));
  for (const auto& input : inputs) {
    ResetRunState();
    Analyze(input);
    for (const auto& e : Fixups().Entries) ASSERT_LE(e.Position + 4, int64_t(input.size()));
  }
}

TEST_F(Analysis, DeepNestingIsBounded) {
  // 100,000 nested moov headers, each claiming the rest of the file.
  const int depth = 100000;
  ByteString bytes;
  bytes.reserve(size_t(depth) * 8 + 8);
  for (int i = 0; i < depth; ++i) bytes += U32(uint32_t((depth - i) * 8 + 8)) + "moov";
  bytes += U32(8) + "free";
  Analyze(bytes);
  EXPECT_EQ(Facts.MoovSize, uint32_t(8 * (depth - 255) + 8));  // the deepest walked
}
