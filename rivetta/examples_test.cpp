// The settings files in examples/ do what their comments say: the lists they
// build, and what the rivetta program makes of a small movie with them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "rivetta/items.h"
#include "rivetta/metadata.h"
#include "rivetta/run.h"
#include "rivetta/state.h"
#include "testing/movie_builder.h"

namespace {

std::string SourceDir() {
  const char* dir = std::getenv("LUNVIK_SOURCE_DIR");
  if (dir && *dir) return dir;
  // Run by hand, outside CTest: this file sits in <source>/rivetta/.
  std::string file = __FILE__;
  return file.substr(0, file.rfind("/rivetta/"));
}

std::string ExamplePath(const std::string& name) { return SourceDir() + "/examples/" + name; }


IniFile LoadExample(const std::string& name) {
  ResetRunState();
  IniFile ini = LoadIniFile(ExamplePath(name));
  EXPECT_TRUE(ini.exists) << ExamplePath(name);
  ReadConfig(ini);
  TimestampEscaped = "%C2%6B%75%65";
  TimestampText = "2007/05/12 13:45:09";
  BuildDeleteList(ini);
  BuildInsertList(ini);
  return ini;
}

const char* const kExamples[] = {"handset.ini", "itunes.ini", "delete-insert.ini"};

TEST(ExamplesTest, EveryLineIsACommentASectionOrAKey) {
  for (const char* name : kExamples) {
    IniFile ini = LoadExample(name);
    ASSERT_FALSE(ini.lines.empty()) << name;
    EXPECT_EQ(ini.lines[0].text.substr(0, 1), ";") << name << " opens with what it is for";
    for (const IniLine& line : ini.lines) {
      const std::string& t = line.text;
      bool fine = t.empty() || t[0] == ';' || t[0] == '[' || t.find('=') != std::string::npos;
      EXPECT_TRUE(fine) << name << ": " << t;
    }
    EXPECT_FALSE(Settings.ConfigTitle.empty()) << name;
  }
}

TEST(ExamplesTest, HandsetBuildsProfileAtomsIndexAndEditLists) {
  LoadExample("handset.ini");
  EXPECT_EQ(Settings.MQV, 2);
  EXPECT_EQ(Settings.Build_mfra, 1);
  EXPECT_TRUE(Settings.Build_edts);
  EXPECT_FALSE(Settings.Build_iTunes);
  EXPECT_EQ(Settings.ForceWidth, 0);
  EXPECT_EQ(Settings.ForceHeight, 0);
  // The input's own index and edit lists are dropped.
  EXPECT_EQ(DeleteList, (std::vector<ByteString>{"mfra", "edts"}));
  EXPECT_TRUE(InsertList.empty());

  Facts.VideoTrackID = 1;
  Facts.AudioTrackID = 2;
  testing::internal::CaptureStdout();
  AppendMetadataItems();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(InsertList.size(), 3u);
  EXPECT_EQ(InsertList[0].Path, "\\moov\\");
  EXPECT_TRUE(InsertList[0].AtEnd);
  EXPECT_EQ(InsertList[0].Data.substr(0, 8), "uuidUSMT");
  EXPECT_EQ(InsertList[1].Path, "\\");
  EXPECT_FALSE(InsertList[1].AtEnd);
  EXPECT_EQ(InsertList[1].Data.substr(0, 8), "uuidPROF");
  EXPECT_EQ(InsertList[2].Path, "\\moov\\trak\\");
  EXPECT_TRUE(InsertList[2].AtEnd);
  EXPECT_EQ(InsertList[2].Data.substr(0, 8), "uuidUSMT");
}

TEST(ExamplesTest, ItunesBuildsOneUserDataAtTheEndOfMoov) {
  LoadExample("itunes.ini");
  EXPECT_TRUE(Settings.Build_iTunes);
  EXPECT_EQ(Settings.MQV, 0);
  EXPECT_TRUE(DeleteList.empty());
  EXPECT_TRUE(InsertList.empty());

  Settings.MovieTitle = "My title";
  AppendMetadataItems();
  ASSERT_EQ(InsertList.size(), 1u);
  EXPECT_EQ(InsertList[0].Path, "\\moov\\");
  EXPECT_TRUE(InsertList[0].AtEnd);
  EXPECT_EQ(InsertList[0].Data.substr(0, 4), "udta");
  EXPECT_EQ(InsertList[0].Data.substr(8, 4), "meta");
  EXPECT_NE(InsertList[0].Data.find("My title"), ByteString::npos);
  EXPECT_NE(InsertList[0].Data.find(ToolIdentification()), ByteString::npos);
}

TEST(ExamplesTest, DeleteInsertDropsFreeAndAddsTwoAtoms) {
  LoadExample("delete-insert.ini");
  EXPECT_EQ(Settings.UUID.size(), 48u);  // 16 escaped bytes
  EXPECT_EQ(DeleteList, std::vector<ByteString>{"free"});
  ASSERT_EQ(InsertList.size(), 2u);

  // First in the file: uuid, the 16-byte extended type, the creation time.
  EXPECT_EQ(InsertList[0].Path, "\\");
  EXPECT_FALSE(InsertList[0].AtEnd);
  EXPECT_EQ(InsertList[0].Data, "uuid" + ByteString("lunvik-demo-uuid") + "\xC2\x6B\x75\x65");

  // Last child of every trak: a udta holding a 13-byte name atom.
  EXPECT_EQ(InsertList[1].Path, "\\moov\\trak\\");
  EXPECT_TRUE(InsertList[1].AtEnd);
  EXPECT_EQ(InsertList[1].Data, "udta" + U32(13) + "name" + "track");
}

// --- The examples through the rivetta program, on a small movie with one
// video and one audio track whose chunks lie in the "mdat" at the end.

TestAtom VideoTrak(uint32_t chunkOffset) {
  return Box("trak", {Leaf("tkhd", TkhdBody(1, 176, 144, 0, 1000)),
                      Box("mdia", {Leaf("mdhd", MdhdBody(15)),
                                   Box("minf", {Box("stbl", {
                                       Leaf("stsd", StsdBody(VisualSampleEntry(
                                                        "mp4v", 176, 144, EsdsAtom(80000, 64000)))),
                                       Leaf("stts", SttsBody({{15, 1}})),
                                       Leaf("stco", StcoBody({chunkOffset}))})})})});
}

TestAtom AudioTrak(uint32_t chunkOffset) {
  return Box("trak", {Leaf("tkhd", TkhdBody(2, 0, 0, 0x0100, 1000)),
                      Box("mdia", {Leaf("mdhd", MdhdBody(16000)),
                                   Box("minf", {Box("stbl", {
                                       Leaf("stsd", StsdBody(AudioSampleEntry(
                                                        "mp4a", 1, 16000, EsdsAtom(32000, 12200, false)))),
                                       Leaf("stts", SttsBody({{16, 1000}})),
                                       Leaf("stco", StcoBody({chunkOffset}))})})})});
}

ByteString SmallMovie(uint32_t mdatBody) {
  return Bytes({Leaf("ftyp", "isom" + U32(0)), Leaf("free", Zeros(8)),
                Box("moov", {Leaf("mvhd", MvhdBody(3261822309u, 1000, 1000)), VideoTrak(mdatBody),
                             AudioTrak(mdatBody + 4), Leaf("free", "")}),
                Leaf("mdat", "VIDEAUDI")});
}

ByteString SmallMovie() {
  // The offsets do not change any size: place them after a first draft.
  ByteString draft = SmallMovie(0);
  return SmallMovie(uint32_t(draft.size() - 8));
}

struct Rewritten {
  CommandResult run;
  ByteString bytes;
  std::vector<ParsedAtom> atoms;
};

Rewritten RunExample(const std::string& name, const std::string& title = "") {
  std::string dir = TempDir();
  WriteFile(dir + "/in.mp4", SmallMovie());
  std::string command = std::string(RIVETTA_PATH) + " " + Quote(dir + "/in.mp4") + " " +
                        Quote(dir + "/out.mp4") + " " + Quote(ExamplePath(name));
  if (!title.empty()) command += " " + Quote(title);
  Rewritten result;
  result.run = RunCommand(command);
  result.bytes = ReadFile(dir + "/out.mp4");
  result.atoms = ParseAtoms(result.bytes);
  return result;
}

// The four bytes each track's first chunk offset points at.
std::vector<ByteString> ChunkBytes(const Rewritten& r) {
  std::vector<ByteString> found;
  for (const ParsedAtom* trak : FindAll(r.atoms, "moov/trak")) {
    const ParsedAtom* stco = FindAtom(trak->children, "mdia/minf/stbl/stco");
    if (!stco || stco->body.size() < 12) continue;
    found.push_back(r.bytes.substr(ReadU32BE(stco->body.data(), 8), 4));
  }
  return found;
}

const std::vector<ByteString> kChunks = {"VIDE", "AUDI"};

TEST(ExamplesTest, SmallMovieChunksPointIntoMdat) {
  ByteString movie = SmallMovie();
  Rewritten r;
  r.bytes = movie;
  r.atoms = ParseAtoms(movie);
  EXPECT_EQ(ChunkBytes(r), kChunks);
}

TEST(ExamplesTest, HandsetRunOnAMovie) {
  Rewritten r = RunExample("handset.ini");
  EXPECT_EQ(r.run.status, 0) << r.run.out;
  ASSERT_FALSE(r.atoms.empty());
  EXPECT_TRUE(ContainersExact(r.atoms, int64_t(r.bytes.size())));
  EXPECT_EQ(r.atoms[0].type, "uuid");
  EXPECT_EQ(r.atoms[0].body.substr(0, 4), "PROF");
  const ParsedAtom* moov = FindAtom(r.atoms, "moov");
  ASSERT_NE(moov, nullptr);
  EXPECT_EQ(moov->children.back().type, "uuid");
  EXPECT_EQ(moov->children.back().body.substr(0, 4), "USMT");
  std::vector<const ParsedAtom*> traks = FindAll(r.atoms, "moov/trak");
  ASSERT_EQ(traks.size(), 2u);
  for (const ParsedAtom* trak : traks) {
    ASSERT_GE(trak->children.size(), 3u);
    EXPECT_EQ(trak->children[0].type, "tkhd");
    EXPECT_EQ(trak->children[1].type, "edts");  // the new edit list
    EXPECT_EQ(trak->children.back().type, "uuid");
    EXPECT_EQ(trak->children.back().body.substr(0, 4), "USMT");
  }
  // No "moof": no index.
  EXPECT_EQ(FindAtom(r.atoms, "mfra"), nullptr);
  EXPECT_EQ(ChunkBytes(r), kChunks);
}

TEST(ExamplesTest, ItunesRunOnAMovie) {
  Rewritten r = RunExample("itunes.ini", "My title");
  EXPECT_EQ(r.run.status, 0) << r.run.out;
  EXPECT_NE(r.run.out.find("iTunes metadata"), ByteString::npos) << r.run.out;
  EXPECT_TRUE(ContainersExact(r.atoms, int64_t(r.bytes.size())));
  const ParsedAtom* moov = FindAtom(r.atoms, "moov");
  ASSERT_NE(moov, nullptr);
  const ParsedAtom& udta = moov->children.back();
  EXPECT_EQ(udta.type, "udta");
  EXPECT_NE(udta.body.find("My title"), ByteString::npos);
  EXPECT_NE(udta.body.find(ToolIdentification()), ByteString::npos);
  EXPECT_EQ(ChunkBytes(r), kChunks);
}

TEST(ExamplesTest, DeleteInsertRunOnAMovie) {
  Rewritten r = RunExample("delete-insert.ini");
  EXPECT_EQ(r.run.status, 0) << r.run.out;
  EXPECT_TRUE(ContainersExact(r.atoms, int64_t(r.bytes.size())));
  EXPECT_EQ(r.bytes.find("free"), ByteString::npos);
  ASSERT_FALSE(r.atoms.empty());
  EXPECT_EQ(r.atoms[0].type, "uuid");
  // The body: the extended type, then the movie's creation time.
  EXPECT_EQ(r.atoms[0].body, "lunvik-demo-uuid" + U32(3261822309u));
  std::vector<const ParsedAtom*> traks = FindAll(r.atoms, "moov/trak");
  ASSERT_EQ(traks.size(), 2u);
  for (const ParsedAtom* trak : traks) {
    const ParsedAtom& udta = trak->children.back();
    EXPECT_EQ(udta.type, "udta");
    ASSERT_EQ(udta.children.size(), 1u);
    EXPECT_EQ(udta.children[0].type, "name");
    EXPECT_EQ(udta.children[0].body, "track");
  }
  EXPECT_EQ(ChunkBytes(r), kChunks);
}

}  // namespace
