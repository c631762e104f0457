// rivetta end to end: the program run on real movies made with ffmpeg, its
// console bytes (Shift_JIS, CR LF), exit statuses and outputs checked with
// ffprobe, packet checksums and the atom tree.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/files.h"
#include "testing/movie_builder.h"

namespace {

const std::string kRivetta = RIVETTA_PATH;
const std::string kBanner = "rivetta for Lunvik Version 0.21\r\nhttps://lunvik.example/\r\n";
const std::string kUsage =
    "\r\nUsage:\r\nrivetta [inFile] [outFile] ([iniFile] ([Title]))\r\n"
    "  inFile\x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDD\x81\x41\x61tom\x82\xF0\x8F\x91\x82\xAB\x8A\xB7\x82\xA6"
    "outFile\x82\xC9\x95\xDB\x91\xB6\x82\xB5\x82\xDC\x82\xB7\x81\x42\r\n";

CommandResult Rivetta(const std::vector<std::string>& args) {
  std::string command = Quote(kRivetta);
  for (const auto& a : args) command += " " + Quote(a);
  return RunCommand(command + " 2>/dev/null");
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

// The movies of these tests, made once and kept in the test movie cache.
const char* kAv = "-f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=frequency=440:sample_rate=16000 -t 2 ";

std::string Movie3gp() {
  return TestMovie("e2e-176x144.3gp", std::string(kAv) + "-c:v mpeg4 -b:v 64k -c:a aac -b:a 24k -ac 1 -ar 16000");
}
std::string MovieNtsc() {
  return TestMovie("e2e-ntsc.mp4", "-f lavfi -i testsrc=size=160x120:rate=30000/1001 -t 1 -c:v mpeg4");
}
std::string MovieProgressive() {  // moov after mdat, as ffmpeg writes by default
  return TestMovie("e2e-progressive.mp4",
                   "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=44100 -t 2 "
                   "-c:v mpeg4 -c:a aac");
}
std::string MovieFragmented() {  // tfhd atoms with base data offsets
  return TestMovie("e2e-fragmented.mp4",
                   "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=44100 -t 3 "
                   "-c:v mpeg4 -g 25 -c:a aac -movflags frag_keyframe+empty_moov");
}
std::string MovieIsmv() {  // fragments with an mfra of version 1 tfra atoms
  return TestMovie("e2e-fragmented.ismv",
                   "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=44100 -t 3 "
                   "-c:v libx264 -g 25 -c:a aac");
}

// What an offset points at: the ordinal of the top-level atom it opens (its
// size may have changed), else up to 8 bytes there, within the top-level atom
// that holds them.
std::string Target(const ByteString& file, const std::vector<ParsedAtom>& atoms, uint32_t offset) {
  std::map<ByteString, int> seen;
  for (const auto& a : atoms) {
    int n = seen[a.type]++;
    if (a.offset == int64_t(offset)) return "atom " + a.type + " #" + std::to_string(n);
    if (a.offset < int64_t(offset) && int64_t(offset) < a.offset + a.size)
      return file.substr(offset, size_t(std::min<int64_t>(8, a.offset + a.size - offset)));
  }
  return "outside every atom";
}

// Every chunk offset and fragment base offset of the output points at the
// same bytes as the matching one of the input.
void ExpectOffsetsPointAtTheSameBytes(const ByteString& in, const ByteString& out) {
  auto inAtoms = ParseAtoms(in), outAtoms = ParseAtoms(out);
  auto inStco = FindAll(inAtoms, "moov/trak/mdia/minf/stbl/stco");
  auto outStco = FindAll(outAtoms, "moov/trak/mdia/minf/stbl/stco");
  ASSERT_EQ(inStco.size(), outStco.size());
  for (size_t t = 0; t < inStco.size(); ++t) {
    uint32_t count = ReadU32BE(inStco[t]->body.data(), 4);
    ASSERT_EQ(ReadU32BE(outStco[t]->body.data(), 4), count);
    for (uint32_t i = 0; i < count; ++i)
      ASSERT_EQ(Target(in, inAtoms, ReadU32BE(inStco[t]->body.data(), 8 + 4 * i)),
                Target(out, outAtoms, ReadU32BE(outStco[t]->body.data(), 8 + 4 * i)))
          << "track " << t << " chunk " << i;
  }
  auto inTfhd = FindAll(inAtoms, "moof/traf/tfhd");
  auto outTfhd = FindAll(outAtoms, "moof/traf/tfhd");
  ASSERT_EQ(inTfhd.size(), outTfhd.size());
  for (size_t i = 0; i < inTfhd.size(); ++i) {
    if (!(ReadU16BE(inTfhd[i]->body.data(), 2) & 1)) continue;
    ASSERT_EQ(Target(in, inAtoms, ReadU32BE(inTfhd[i]->body.data(), 12)),
              Target(out, outAtoms, ReadU32BE(outTfhd[i]->body.data(), 12)))
        << "fragment " << i;
  }
}

// The new index: one mfra at the end whose entries point at the moofs.
void ExpectIndexPointsAtFragments(const ByteString& out) {
  auto atoms = ParseAtoms(out);
  auto moofs = FindAll(atoms, "moof");
  auto mfras = FindAll(atoms, "mfra");
  ASSERT_EQ(mfras.size(), 1u);
  EXPECT_EQ(&atoms.back(), mfras[0]);
  auto tfra = FindAtom(atoms, "mfra/tfra");
  ASSERT_TRUE(tfra);
  uint32_t count = ReadU32BE(tfra->body.data(), 12);
  EXPECT_EQ(count, moofs.size());
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t moof = ReadU32BE(tfra->body.data(), 16 + 11 * int64_t(i) + 4);
    EXPECT_EQ(out.substr(moof + 4, 4), "moof") << i;
  }
  EXPECT_EQ(out.substr(out.size() - 4), U32(mfras[0]->size));
}

const char* kFullSettings =
    "[Config]\nMQV=2\nBuild_iTunes=1\nBuild_edts=1\nBuild_mfra=1\nTitle=full\n"
    "[DeleteAtom]\nItem0=free\n"
    "[InsertAtom]\nItem0=\\skip%00%00%00%01\nItem1=/moov/trak/free%00%00\n";

}  // namespace

TEST(RivettaEndToEnd, UsageAndExitStatuses) {
  std::string dir = TempDir();
  WriteFile(dir + "/in.mp4", Bytes(Leaf("free", "")));
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"no arguments", {}},
      {"a switch with valid files", {dir + "/in.mp4", dir + "/out.mp4", "-h"}},
      {"five plain arguments", {dir + "/in.mp4", dir + "/out.mp4", "x.ini", "title", "five"}},
      {"input is a folder", {dir, dir + "/out.mp4"}},
      {"input is missing", {dir + "/none.mp4", dir + "/out.mp4"}},
      {"output missing", {dir + "/in.mp4"}},
  };
  for (const auto& c : cases) {
    CommandResult r = Rivetta(c.args);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, kBanner + kUsage) << c.name;
  }
  EXPECT_FALSE(FileExists(dir + "/out.mp4"));
}

TEST(RivettaEndToEnd, TrackReportOnA3gp) {
  std::string movie = Movie3gp();
  ASSERT_FALSE(movie.empty()) << "ffmpeg could not make the movie";
  std::string dir = TempDir();
  WriteFile(dir + "/empty.ini", "");
  CommandResult r = Rivetta({movie, dir + "/out.3gp", dir + "/empty.ini"});
  EXPECT_EQ(r.status, 0);
  // Bit rates as the decoder configurations hold them; the channel count as
  // the sample entry holds it (ffmpeg writes the template value 2 there).
  ByteString bytes = ReadFile(movie);
  auto atoms = ParseAtoms(bytes);
  auto stsds = FindAll(atoms, "moov/trak/mdia/minf/stbl/stsd");
  ASSERT_EQ(stsds.size(), 2u);
  auto avgBitrate = [](const ByteString& stsd) {
    size_t esds = stsd.rfind("esds");
    size_t config = stsd.find('\x04', esds + 8);  // decoder configuration tag
    size_t p = config + 1;
    if (uint8_t(stsd[p]) == 0x80) p += 3;
    return std::to_string(ReadU32BE(stsd.data(), int64_t(p) + 10));
  };
  EXPECT_EQ(ProbeStream(movie, 1, "channels"), "1");
  std::string channels = std::to_string(ReadU16BE(stsds[1]->body.data(), 32));
  EXPECT_EQ(r.out, kBanner + Lines({"", "VideoTrack : 1 176 x 144 15.00fps " + avgBitrate(stsds[0]->body) + "bps",
                                    "AudioTrack : 2 16000Hz " + channels + "ch " + avgBitrate(stsds[1]->body) + "bps"}));
  // An empty settings file copies the movie byte for byte.
  EXPECT_EQ(ReadFile(dir + "/out.3gp"), bytes);
}

TEST(RivettaEndToEnd, NtscFrameRate) {
  std::string movie = MovieNtsc();
  ASSERT_FALSE(movie.empty());
  std::string dir = TempDir();
  CommandResult r = Rivetta({movie, dir + "/out.mp4", dir + "/none.ini"});
  EXPECT_NE(r.out.find("VideoTrack : 1 160 x 120 29.97fps "), std::string::npos) << r.out;
}

TEST(RivettaEndToEnd, SettingsFileBesideTheProgramAndUnderItsFolder) {
  std::string dir = TempDir();
  ASSERT_EQ(RunCommand("cp " + Quote(kRivetta) + " " + Quote(dir + "/rivetta")).status, 0);
  ::mkdir((dir + "/sub").c_str(), 0755);
  WriteFile(dir + "/rivetta.ini", "[Config]\nTitle=beside\n");
  WriteFile(dir + "/sub/x.ini", "[Config]\nTitle=below\n");
  WriteFile(dir + "/in.mp4", Bytes(Leaf("free", "")));
  // Run from another working folder: relative names are not taken from it.
  std::string run = "cd / && " + Quote(dir + "/rivetta") + " " + Quote(dir + "/in.mp4") + " " +
                    Quote(dir + "/out.mp4");
  EXPECT_EQ(RunCommand(run).out, kBanner + "beside\r\n");
  EXPECT_EQ(RunCommand(run + " 'sub\\x.ini'").out, kBanner + "below\r\n");
  EXPECT_EQ(RunCommand(run + " sub/x.ini").out, kBanner + "below\r\n");
  EXPECT_EQ(RunCommand(run + " missing.ini").out, kBanner + "\r\n");
}

TEST(RivettaEndToEnd, AnOutputNamingTheInputFailsAndLeavesTheInput) {
  std::string movie = Movie3gp();
  ASSERT_FALSE(movie.empty());
  std::string dir = TempDir();
  ByteString bytes = ReadFile(movie);
  WriteFile(dir + "/in.3gp", bytes);
  ASSERT_EQ(::symlink((dir + "/in.3gp").c_str(), (dir + "/soft.3gp").c_str()), 0);
  ASSERT_EQ(::link((dir + "/in.3gp").c_str(), (dir + "/hard.3gp").c_str()), 0);
  for (const char* name : {"/in.3gp", "/soft.3gp", "/hard.3gp"}) {
    CommandResult r = Rivetta({dir + "/in.3gp", dir + name, dir + "/none.ini"});
    EXPECT_EQ(r.status, 255) << name;
    std::string message = "A>" + dir + name + "\x82\xF0\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81\x42\r\n";
    EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message) << name;
    EXPECT_EQ(ReadFile(dir + "/in.3gp"), bytes) << name;
  }
}

TEST(RivettaEndToEnd, FullSettingsKeepEveryMovieDecodingAlike) {
  struct Case {
    const char* name;
    std::string movie;
    bool fragmented;
  };
  const Case cases[] = {
      {"3gp", Movie3gp(), false},
      {"progressive mp4", MovieProgressive(), false},
      {"fragmented mp4", MovieFragmented(), true},
      {"ismv with mfra", MovieIsmv(), true},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.movie.empty()) << c.name << ": ffmpeg could not make the movie";
    std::string dir = TempDir();
    WriteFile(dir + "/full.ini", kFullSettings);
    CommandResult r = Rivetta({c.movie, dir + "/out.mp4", dir + "/full.ini"});
    EXPECT_EQ(r.status, 0) << c.name << r.out;
    ByteString in = ReadFile(c.movie), out = ReadFile(dir + "/out.mp4");
    auto atoms = ParseAtoms(out);
    EXPECT_TRUE(ContainersExact(atoms, int64_t(out.size()))) << c.name;
    EXPECT_EQ(ProbeWarnings(dir + "/out.mp4"), ProbeWarnings(c.movie)) << c.name;
    // The same samples at the same media times. The new edit lists present
    // every track from media time 0 for its header's duration, which drops
    // ffmpeg's encoder-delay edit, so the samples are compared as stored.
    EXPECT_EQ(PacketChecksums(dir + "/out.mp4", true), PacketChecksums(c.movie, true)) << c.name;
    ExpectOffsetsPointAtTheSameBytes(in, out);
    if (c.fragmented) ExpectIndexPointsAtFragments(out);
    // The profile atom follows the settings' own first item at the top.
    ASSERT_GE(atoms.size(), 2u);
    EXPECT_EQ(atoms[0].type, "skip");
    EXPECT_EQ(atoms[1].body.substr(0, 4), "PROF");
    EXPECT_EQ(out.find(Bytes(Leaf("free", Zeros(0)))), ByteString::npos) << "free atoms are deleted";
  }
}

TEST(RivettaEndToEnd, WithoutNewEditListsPacketTimesStayExact) {
  const std::string settings =
      "[Config]\nMQV=2\nBuild_mfra=1\n[DeleteAtom]\nItem0=free\n"
      "[InsertAtom]\nItem0=\\skip%00\nItem1=/moov/trak/free%00%00\nItem2=/moof/traf/free%00%00%00\n";
  for (const std::string& movie : {Movie3gp(), MovieProgressive(), MovieFragmented(), MovieIsmv()}) {
    ASSERT_FALSE(movie.empty());
    std::string dir = TempDir();
    WriteFile(dir + "/s.ini", settings);
    CommandResult r = Rivetta({movie, dir + "/out.mp4", dir + "/s.ini"});
    EXPECT_EQ(r.status, 0) << movie;
    EXPECT_EQ(PacketChecksums(dir + "/out.mp4"), PacketChecksums(movie)) << movie;
    ExpectOffsetsPointAtTheSameBytes(ReadFile(movie), ReadFile(dir + "/out.mp4"));
  }
}

TEST(RivettaEndToEnd, A5504TStillDecodesIdentically) {
  std::string movie = MovieFragmented();
  ASSERT_FALSE(movie.empty());
  std::string dir = TempDir();
  WriteFile(dir + "/s.ini", "[Config]\nA5504T=1\nMQV=2\n[InsertAtom]\nItem0=/moof/traf/free%00%00%00\n");
  CommandResult r = Rivetta({movie, dir + "/out.mp4", dir + "/s.ini"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(PacketChecksums(dir + "/out.mp4"), PacketChecksums(movie));
  ByteString out = ReadFile(dir + "/out.mp4");
  auto atoms = ParseAtoms(out);
  for (auto* tfhd : FindAll(atoms, "moof/traf/tfhd")) EXPECT_EQ(ReadU32BE(tfhd->body.data(), 12), 0u);
}

TEST(RivettaEndToEnd, ItunesMetadataReadsBackWithAtomicParsley) {
  if (!HaveProgram("AtomicParsley")) GTEST_SKIP() << "AtomicParsley is not installed";
  std::string movie = MovieProgressive();
  ASSERT_FALSE(movie.empty());
  std::string dir = TempDir();
  WriteFile(dir + "/s.ini", "[Config]\nBuild_iTunes=1\n");
  CommandResult r = Rivetta({movie, dir + "/out.mp4", dir + "/s.ini", "My Clip"});
  EXPECT_EQ(r.status, 0);
  CommandResult tags = RunCommand("AtomicParsley " + Quote(dir + "/out.mp4") + " -t 2>&1");
  EXPECT_NE(tags.out.find("\xC2\xA9nam\" contains: My Clip"), std::string::npos) << tags.out;
  EXPECT_NE(tags.out.find("\xC2\xA9too\" contains: Lunvik https://lunvik.example/"), std::string::npos) << tags.out;
}

TEST(RivettaEndToEnd, MissingTrackForTheProfileStillWritesTheOutput) {
  std::string movie = MovieNtsc();  // video only
  ASSERT_FALSE(movie.empty());
  std::string dir = TempDir();
  WriteFile(dir + "/s.ini", "[Config]\nMQV=2\n");
  CommandResult r = Rivetta({movie, dir + "/out.mp4", dir + "/s.ini"});
  EXPECT_EQ(r.status, 254);
  EXPECT_NE(r.out.find("A>"), std::string::npos);
  EXPECT_EQ(PacketChecksums(dir + "/out.mp4"), PacketChecksums(movie));
}

TEST(RivettaEndToEnd, OutputTakesTheInputFileDate) {
  std::string dir = TempDir();
  WriteFile(dir + "/in.mp4", Bytes({Leaf("ftyp", "isom"), Leaf("dcmd", U16(0) + "ab")}));
  ASSERT_EQ(RunCommand("touch -d '2009-03-04 05:06:07' " + Quote(dir + "/in.mp4")).status, 0);
  WriteFile(dir + "/s.ini", "[Config]\niMotion=1\n");
  CommandResult r = Rivetta({dir + "/in.mp4", dir + "/out.mp4", dir + "/s.ini"});
  EXPECT_EQ(r.status, 0);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/out.mp4").c_str(), &st), 0);
  struct tm local {};
  localtime_r(&st.st_mtime, &local);
  EXPECT_EQ(local.tm_year + 1900, 2009);
  EXPECT_EQ(local.tm_hour, 5);
  EXPECT_EQ(local.tm_sec, 6);  // two-second resolution
  ByteString out = ReadFile(dir + "/out.mp4");
  EXPECT_EQ(ReadU16BE(out.data(), int64_t(out.find("dcmd")) + 4), 0x0909u);
}

TEST(RivettaEndToEnd, AFailedWriteIsReportedNotSuccess) {
  std::string movie = Movie3gp();
  ASSERT_FALSE(movie.empty());
  std::string dir = TempDir();
  // /dev/full takes the output but refuses every byte written to it.
  CommandResult r = Rivetta({movie, "/dev/full", dir + "/none.ini"});
  EXPECT_EQ(r.status, 255);
  const std::string message = "A>/dev/full\x82\xF0\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81\x42\r\n";
  ASSERT_GE(r.out.size(), message.size());
  EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message);
}
