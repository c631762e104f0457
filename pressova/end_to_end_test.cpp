// The pressova program end to end, on small movies made with the ffmpeg
// command and checked with ffprobe and packet checksums. The program runs in
// its own session (setsid), so its dialogs have no terminal and read standard
// input, as they do for a caller without a user.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "atoms/bytes.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "testing/movie_builder.h"

namespace {

const std::string kProgram = PRESSOVA_PATH;
const ByteString kBanner = "pressova for Lunvik Version 0.08\r\nhttps://lunvik.example/\r\n";
// Seconds from 1904-01-01 to 1970-01-01.
constexpr int64_t kMacEpochOffset = 2082844800;

struct ProgramRun {
  int status = -1;
  ByteString out;
  ByteString err;
};

// Runs pressova in `dir` with `arguments` (already quoted), `input` on
// standard input, in the default code page unless `codePage` is given.
ProgramRun RunPressova(const std::string& dir, const std::string& arguments, const std::string& input = "",
                const std::string& codePage = "") {
  std::string inputFile = dir + "/.stdin";
  std::string errFile = dir + "/.stderr";
  WriteFile(inputFile, input);
  std::string env = codePage.empty() ? "env -u LUNVIK_CODEPAGE" : "env LUNVIK_CODEPAGE=" + codePage;
  CommandResult r = RunCommand("cd " + Quote(dir) + " && setsid -w " + env + " " + Quote(kProgram) + " " +
                               arguments + " <" + Quote(inputFile) + " 2>" + Quote(errFile));
  ProgramRun run{r.status, r.out, ReadFile(errFile)};
  RunCommand("rm -f " + Quote(inputFile) + " " + Quote(errFile));
  return run;
}

// UTF-8 text in Shift_JIS, by iconv, as an oracle apart from the program.
ByteString ShiftJis(const std::string& utf8) {
  std::string dir = TempDir();
  WriteFile(dir + "/t", utf8);
  return RunCommand("iconv -f UTF-8 -t CP932 " + Quote(dir + "/t")).out;
}

std::string DatedMovie() {
  return TestMovie("pressova-dated.mp4",
                   "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 "
                   "-t 1 -c:v mpeg4 -c:a aac -metadata creation_time=2020-01-02T03:04:05Z");
}

std::string UndatedMovie() {
  return TestMovie("pressova-undated.mp4",
                   "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=44100 "
                   "-t 1 -c:v mpeg4 -c:a aac");
}

// A fresh folder holding a copy of `movie` as in.mp4.
std::string FolderWith(const std::string& movie) {
  std::string dir = TempDir();
  WriteFile(dir + "/in.mp4", ReadFile(movie));
  return dir;
}

std::string Listing(const std::string& dir) { return RunCommand("ls " + Quote(dir)).out; }

const char kChildsZero[] = "[0]\r\nchilds=0\r\n";
const char kAmrSettings[] =
    "[0]\r\nchilds=1\r\n[0:0]\r\natom=soun\r\nid=1\r\nsize=0\r\nchilds=1\r\n"
    "[0:0:0]\r\natom=codc\r\nid=1\r\nsize=4\r\ndata=73616D72\r\n";

// The stream facts that the settings decide.
std::string StreamFacts(const std::string& path) {
  return RunCommand("ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,"
                    "channels -of compact " +
                    Quote(path))
      .out;
}

struct HeaderTime {
  std::string type;
  uint32_t creation;
  uint32_t modification;
};

std::vector<HeaderTime> HeaderTimes(const std::string& path) {
  std::vector<HeaderTime> times;
  auto atoms = ParseAtoms(ReadFile(path));
  for (const char* p : {"moov/mvhd", "moov/trak/tkhd", "moov/trak/mdia/mdhd"})
    for (const ParsedAtom* a : FindAll(atoms, p))
      times.push_back({a->type, ReadU32BE(a->body.data(), 4), ReadU32BE(a->body.data(), 8)});
  return times;
}

// The subtypes whose muxer and default encoders the ffmpeg command lists.
std::string ExpectedComponents() {
  std::string muxers = RunCommand("ffmpeg -hide_banner -muxers 2>/dev/null").out;
  std::string encoders = RunCommand("ffmpeg -hide_banner -encoders 2>/dev/null").out;
  auto muxer = [&](const char* name) {
    return std::regex_search(muxers, std::regex(std::string("\\n  ?E  *") + name + " "));
  };
  auto encoder = [&](const char* name) {
    return std::regex_search(encoders, std::regex(std::string("\\n [VA][.A-Z]{5} ") + name + " "));
  };
  std::string list;
  if (muxer("3gp") && encoder("mpeg4") && encoder("aac")) list += "3gpp ";
  if (muxer("3g2") && encoder("mpeg4") && encoder("aac")) list += "3gp2 ";
  if (muxer("mp4") && encoder("mpeg4") && encoder("aac")) list += "mpg4 ";
  if (muxer("mov")) list += "MooV ";
  if (muxer("wav") && encoder("pcm_s16le")) list += "WAVE ";
  return list;
}

ByteString UsageText() {
  const char* lines[] = {
      "",
      "Usage:",
      "pressova [inFile]",
      "  inFileを読み込み、保存先と処理内容をダイアログで指定し保存します",
      "",
      "pressova [inFile] [outFile]",
      "  inFileを読み込み、処理内容をダイアログで指定しoutFileに保存します",
      "",
      "pressova [inFile] [outFile] -f",
      "  inFileを読み込み、outFileに保存します",
      "",
      "pressova [inFile] [outFile] -c [iniFile] -t [type]",
      "  inFileを読み込み、iniFileに従った処理をしoutFileに保存します",
      "  iniFileが見つからなかった場合は処理内容を指定するダイアログを表示し、",
      "  設定内容をiniFileに保存します。",
      "  typeを指定した場合は処理内容ダイアログの種別を変更できます。",
      "",
  };
  std::string utf8;
  for (const char* line : lines) utf8 += std::string(line) + "\r\n";
  utf8 += "[type]の一覧：" + ExpectedComponents() + "\r\n";
  return ShiftJis(utf8);
}

TEST(PressovaProgramTest, UsageListsExactlyTheComponentsThatExist) {
  std::string dir = TempDir();
  ByteString expected = kBanner + UsageText();
  // The list line holds the code page's bytes: "[type]の一覧：" in Shift_JIS.
  ASSERT_NE(expected.find("[type]\x82\xCC\x88\xEA\x97\x97\x81\x46"), std::string::npos);
  for (const char* arguments : {"", "a b c", "in.mp4 out.3gp -c", "in.mp4 out.3gp -t abcde", "a b -x"}) {
    ProgramRun run = RunPressova(dir, arguments);
    EXPECT_EQ(run.status, 1) << arguments;
    EXPECT_EQ(run.out, expected) << arguments;
  }
  EXPECT_EQ(Listing(dir), "");
  // Another code page converts the same texts.
  ProgramRun utf8 = RunPressova(dir, "", "", "UTF-8");
  EXPECT_NE(utf8.out.find("[type]の一覧：3gpp "), std::string::npos);
}

TEST(PressovaProgramTest, SettingsFileWithoutAtomsGivesThe3gppDefaults) {
  std::string dir = FolderWith(UndatedMovie());
  WriteFile(dir + "/s.ini", kChildsZero);
  ProgramRun run = RunPressova(dir, "in.mp4 out.3gp -c " + Quote(dir + "/s.ini"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kBanner);
  EXPECT_EQ(run.err, "");  // no dialog, and no progress bar without a terminal
  EXPECT_EQ(StreamFacts(dir + "/out.3gp"),
            "stream|codec_name=mpeg4|width=176|height=144|r_frame_rate=15/1\n"
            "stream|codec_name=aac|sample_rate=16000|channels=1|r_frame_rate=0/0\n");
  EXPECT_EQ(Listing(dir), "in.mp4\nout.3gp\ns.ini\n");
  EXPECT_EQ(ReadFile(dir + "/s.ini"), kChildsZero);
}

TEST(PressovaProgramTest, AmrNbSoundIsEncodedAt8kHzMono) {
  std::string dir = FolderWith(UndatedMovie());
  WriteFile(dir + "/amr.ini", kAmrSettings);
  ProgramRun run = RunPressova(dir, "in.mp4 out.3gp -c " + Quote(dir + "/amr.ini"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(StreamFacts(dir + "/out.3gp"),
            "stream|codec_name=mpeg4|width=176|height=144|r_frame_rate=15/1\n"
            "stream|codec_name=amr_nb|sample_rate=8000|channels=1|r_frame_rate=0/0\n");
  // Every decoded sample of the input goes into 20 ms frames of 160 samples,
  // the last one padded: no sound is lost or repeated.
  std::string decodedBytes = RunCommand("ffmpeg -nostdin -v error -i " + Quote(dir + "/in.mp4") +
                                        " -map 0:a -ac 1 -f s16le - | wc -c").out;
  double seconds = std::stod(decodedBytes) / 2 / 44100;
  int expected = int(std::ceil(seconds * 8000 / 160));
  std::string packets = RunCommand("ffprobe -v error -select_streams a -count_packets -show_entries "
                                   "stream=nb_read_packets -of csv=p=0 " +
                                   Quote(dir + "/out.3gp"))
                            .out;
  EXPECT_NEAR(std::stoi(packets), expected, 1) << packets;
}

TEST(PressovaProgramTest, FlatteningCopiesEveryPacketWithTheMovieHeaderFirst) {
  std::string dir = FolderWith(DatedMovie());
  for (const char* arguments : {"in.mp4 flat.mov -f", "in.mp4 -f flat2.mov", "-F in.mp4 flat3.mov -c none.ini"}) {
    ProgramRun run = RunPressova(dir, arguments);
    EXPECT_EQ(run.status, 0) << arguments;
    EXPECT_EQ(run.out, kBanner) << arguments;
  }
  for (const char* name : {"flat.mov", "flat2.mov", "flat3.mov"}) {
    std::string out = dir + "/" + name;
    auto atoms = ParseAtoms(ReadFile(out));
    std::vector<std::string> top;
    for (const auto& a : atoms) top.push_back(a.type);
    auto moov = std::find(top.begin(), top.end(), "moov");
    auto mdat = std::find(top.begin(), top.end(), "mdat");
    ASSERT_NE(moov, top.end()) << name;
    ASSERT_NE(mdat, top.end()) << name;
    EXPECT_LT(moov - top.begin(), mdat - top.begin()) << name;
    EXPECT_EQ(PacketChecksums(out), PacketChecksums(dir + "/in.mp4")) << name;
    EXPECT_EQ(ProbeStream(out, 0, "codec_name"), "mpeg4");
  }
  EXPECT_FALSE(FileExists(dir + "/none.ini"));  // flattening reads no settings file
}

TEST(PressovaProgramTest, DialogSettingsAreSavedAndASecondRunAsksNothing) {
  std::string dir = FolderWith(UndatedMovie());
  std::string ini = dir + "/new.ini";
  ProgramRun first = RunPressova(dir, "in.mp4 one.3gp -c " + Quote(ini), "9 samr\n3 128\n4 96\n\n");
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out, kBanner);
  EXPECT_NE(first.err.find("3GPP export settings (3gpp)"), std::string::npos);
  ByteString saved = ReadFile(ini);
  ASSERT_NE(saved.find("[0]\r\nchilds=2\r\n"), std::string::npos) << saved;
  ASSERT_NE(saved.find("data=73616D72"), std::string::npos) << saved;

  // Any question now would read "q" and cancel.
  ProgramRun second = RunPressova(dir, "in.mp4 two.3gp -c " + Quote(ini), "q\n");
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(ReadFile(ini), saved);
  std::string facts = StreamFacts(dir + "/one.3gp");
  EXPECT_EQ(facts,
            "stream|codec_name=mpeg4|width=128|height=96|r_frame_rate=15/1\n"
            "stream|codec_name=amr_nb|sample_rate=8000|channels=1|r_frame_rate=0/0\n");
  EXPECT_EQ(StreamFacts(dir + "/two.3gp"), facts);
}

TEST(PressovaProgramTest, DialogSettingsGoIntoAFileWithoutThemAndNowhereWithoutAFile) {
  std::string dir = FolderWith(UndatedMovie());
  WriteFile(dir + "/s.ini", "[0]\r\nnote=kept\r\n[other]\r\nx=1\r\n");
  ProgramRun run = RunPressova(dir, "in.mp4 a.3gp -c " + Quote(dir + "/s.ini"), "\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("3GPP export settings"), std::string::npos);
  IniFile ini = LoadIniFile(dir + "/s.ini");
  EXPECT_EQ(ReadText(ini, "0", "note", ""), "kept");
  EXPECT_EQ(ReadText(ini, "other", "x", ""), "1");
  EXPECT_EQ(ReadInteger(ini, "0", "childs", -1), 2);
  EXPECT_EQ(ReadText(ini, "0:1", "atom", ""), "soun");

  // Without "-c" the dialog is always shown and nothing is saved.
  ProgramRun plain = RunPressova(dir, "in.mp4 b.3gp", "\n");
  EXPECT_EQ(plain.status, 0);
  EXPECT_NE(plain.err.find("3GPP export settings"), std::string::npos);
  EXPECT_EQ(Listing(dir), "a.3gp\nb.3gp\nin.mp4\ns.ini\n");
}

TEST(PressovaProgramTest, CancelledDialogLeavesSettingsAndOutputAsTheyWere) {
  std::string dir = FolderWith(UndatedMovie());
  const ByteString settings = "[0]\r\nnote=kept\r\n[other]\r\nx=1\r\n";
  WriteFile(dir + "/s.ini", settings);
  WriteFile(dir + "/out.3gp", "an older file");
  // "q", and an input that simply ends, both cancel.
  for (const char* input : {"q\n", "2 h263\n", ""}) {
    ProgramRun run = RunPressova(dir, "in.mp4 out.3gp -c " + Quote(dir + "/s.ini"), input);
    EXPECT_EQ(run.status, 254) << input;
    EXPECT_EQ(run.out, kBanner + "A>ConvertMovieToFile:User cancelled\r\n") << input;
    EXPECT_EQ(ReadFile(dir + "/s.ini"), settings) << input;
    EXPECT_EQ(ReadFile(dir + "/out.3gp"), "an older file") << input;
    EXPECT_EQ(Listing(dir), "in.mp4\nout.3gp\ns.ini\n") << input;
  }
}

TEST(PressovaProgramTest, FailuresPrintTheirLineAndExitWithTheirCode) {
  std::string dir = FolderWith(UndatedMovie());
  WriteFile(dir + "/s.ini", kChildsZero);
  WriteFile(dir + "/noise.mp4", ByteString(5000, 'Z'));
  WriteFile(dir + "/out.3gp", "an older file");
  struct Case {
    std::string arguments;
    ByteString line;
    int status;
  } cases[] = {
      {"in.mp4 out.3gp -c s.ini -t abc", "A>ConvertMovieToFile:OpenDefaultComponent Error", 255},
      {"in.mp4 out.3gp -c " + Quote(dir + "/s.ini") + " -t abc",
       "A>ConvertMovieToFile:OpenDefaultComponent Error", 255},
      {"missing.mp4 out.3gp", "A>ConvertMovieToFile:OpenMovieFile Error", 213},     // -43
      {"noise.mp4 out.3gp", "A>ConvertMovieToFile:NewMovieFromFile Error", 2},      // -2048
      {"missing.mp4 out.3gp -f", "A>pressova:OpenMovieFile Error", 213},
      {"noise.mp4 out.3gp -f", "A>pressova:NewMovieFromFile Error", 2},
      {"missing.mp4", "A>ConvertMovieToFile:OpenMovieFile Error", 213},
      {"in.mp4 missing-folder/out.3gp -f", "A>pressova:FlattenMovie Error", 195},   // -61
  };
  for (const Case& c : cases) {
    ProgramRun run = RunPressova(dir, c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments;
    EXPECT_EQ(run.out, kBanner + c.line + "\r\n") << c.arguments;
    // The file already under the output name stays, and no temporary is left.
    EXPECT_EQ(ReadFile(dir + "/out.3gp"), "an older file") << c.arguments;
    EXPECT_EQ(Listing(dir), "in.mp4\nnoise.mp4\nout.3gp\ns.ini\n") << c.arguments;
  }
}

TEST(PressovaProgramTest, OutputHeadersCarryTheInputCreationTime) {
  std::string dated = DatedMovie();
  auto inputTimes = HeaderTimes(dated);
  ASSERT_FALSE(inputTimes.empty());
  uint32_t created = inputTimes[0].creation;
  ASSERT_EQ(created, uint32_t(1577934245 + kMacEpochOffset));  // 2020-01-02 03:04:05 UTC

  std::string dir = FolderWith(dated);
  WriteFile(dir + "/s.ini", kChildsZero);
  ASSERT_EQ(RunPressova(dir, "in.mp4 out.3gp -c " + Quote(dir + "/s.ini")).status, 0);
  auto times = HeaderTimes(dir + "/out.3gp");
  EXPECT_EQ(times.size(), 5u);  // one movie header, two tracks of two headers
  for (const HeaderTime& t : times) {
    EXPECT_EQ(t.creation, created) << t.type;
    EXPECT_EQ(t.modification, created) << t.type;
  }

  // An input created at time 0 leaves the output as written: the export's
  // own time of making, now.
  std::string undated = FolderWith(UndatedMovie());
  ASSERT_EQ(HeaderTimes(undated + "/in.mp4")[0].creation, 0u);
  WriteFile(undated + "/s.ini", kChildsZero);
  int64_t before = int64_t(std::time(nullptr)) + kMacEpochOffset;
  ASSERT_EQ(RunPressova(undated, "in.mp4 out.3gp -c " + Quote(undated + "/s.ini")).status, 0);
  int64_t after = int64_t(std::time(nullptr)) + kMacEpochOffset;
  auto written = HeaderTimes(undated + "/out.3gp");
  ASSERT_EQ(written.size(), 5u);
  for (const HeaderTime& t : written) {
    EXPECT_GE(int64_t(t.creation), before - 2) << t.type;
    EXPECT_LE(int64_t(t.creation), after + 2) << t.type;
    EXPECT_EQ(t.creation, written[0].creation) << t.type;
  }
}

TEST(PressovaProgramTest, OneFileFormAsksFormatSettingsAndDestination) {
  std::string dir = FolderWith(UndatedMovie());
  // The proposed destination: the input's name with the format's extension.
  ProgramRun proposed = RunPressova(dir, "in.mp4 -f -t mpg4", "1\n\n\n");
  EXPECT_EQ(proposed.status, 0);
  EXPECT_EQ(proposed.out, kBanner);
  EXPECT_NE(proposed.err.find("Save as [in.3gp]"), std::string::npos) << proposed.err;
  EXPECT_EQ(ProbeStream(dir + "/in.3gp", 0, "width"), "176");

  // The input itself is refused and asked again.
  ProgramRun refused = RunPressova(dir, "in.mp4", "5\n\nin.mp4\nsound.wav\n");
  EXPECT_EQ(refused.status, 0);
  EXPECT_NE(refused.err.find("That is the movie being exported"), std::string::npos);
  EXPECT_EQ(ProbeStream(dir + "/sound.wav", 0, "codec_name"), "pcm_s16le");

  ProgramRun cancelled = RunPressova(dir, "in.mp4", "1\n");
  EXPECT_EQ(cancelled.status, 128);  // -128
  EXPECT_EQ(cancelled.out, kBanner + "A>ConvertMovieToFile:ConvertMovieToFile Error\r\n");
  EXPECT_EQ(Listing(dir), "in.3gp\nin.mp4\nsound.wav\n");
}

TEST(PressovaProgramTest, RelativeSettingsPathLiesUnderTheProgramFolder) {
  std::string dir = FolderWith(UndatedMovie());
  std::string programFolder = kProgram.substr(0, kProgram.rfind('/') + 1);
  std::string name = "settings-" + dir.substr(dir.rfind('/') + 1) + ".ini";
  WriteFile(programFolder + name, kChildsZero);
  // Not under the working folder: there the file does not exist, and a
  // dialog would be cancelled by the empty input.
  ProgramRun run = RunPressova(dir, "in.mp4 out.3gp -c " + Quote(name));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  std::remove((programFolder + name).c_str());
}

TEST(PressovaProgramTest, AFinalNameThatCannotBeTakenIsReported) {
  std::string dir = FolderWith(UndatedMovie());
  RunCommand("mkdir " + Quote(dir + "/out.mov"));
  ProgramRun run = RunPressova(dir, "in.mp4 out.mov -f");
  EXPECT_EQ(run.status, 195);  // -61
  EXPECT_EQ(run.out, kBanner + "A>out.mov" + ShiftJis("を作成できませんでした。") + "\r\n");
  EXPECT_EQ(Listing(dir), "in.mp4\nout.mov\n");
  EXPECT_EQ(Listing(dir + "/out.mov"), "");
}

TEST(PressovaProgramTest, ProgressBarOnlyOnATerminal) {
  if (!HaveProgram("script")) GTEST_SKIP() << "no script command to give the program a terminal";
  std::string dir = FolderWith(UndatedMovie());
  WriteFile(dir + "/s.ini", kChildsZero);
  // script runs the program on a pseudo-terminal: standard error is one.
  CommandResult r = RunCommand("cd " + Quote(dir) + " && script -qec " +
                               Quote(Quote(kProgram) + " in.mp4 out.3gp -c " + Quote(dir + "/s.ini")) +
                               " /dev/null </dev/null");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\r[" + std::string(40, '#') + "] 100%"), std::string::npos) << r.out;
  // Without a terminal nothing but the lines: the other tests check that
  // standard error stays empty.
}

TEST(PressovaProgramTest, UnwritableSettingsFileEndsWithStatus1AndNoMovie) {
  std::string dir = FolderWith(UndatedMovie());
  std::string ini = dir + "/no-such-folder/s.ini";
  ProgramRun run = RunPressova(dir, "in.mp4 out.3gp -c " + Quote(ini), "\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, kBanner);
  EXPECT_NE(run.err.find(ini), std::string::npos) << run.err;
  EXPECT_EQ(Listing(dir), "in.mp4\n");
}

}  // namespace
