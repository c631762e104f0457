// The movie service: its span, its error codes, atom containers and the
// export components, on movies made with the ffmpeg command.
#include "pressova/quicktime/quicktime.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "testing/movie_builder.h"

namespace {

std::string SmallMovie() {
  return TestMovie("service-small.mp4",
                   "-f lavfi -i testsrc=size=160x120:rate=10 -f lavfi -i sine=sample_rate=16000 -t 1 "
                   "-c:v mpeg4 -c:a aac");
}

struct Span {
  Span() {
    InitializeQTML(0);
    EnterMovies();
  }
  ~Span() {
    ExitMovies();
    TerminateQTML();
  }
};

Movie OpenMovie(const std::string& path, OSErr& err) {
  FSSpec spec;
  NativePathNameToFSSpec(path.c_str(), &spec, 0);
  int16_t ref = 0;
  Movie movie = nullptr;
  err = OpenMovieFile(&spec, &ref, fsRdPerm);
  if (err != noErr) return nullptr;
  err = NewMovieFromFile(&movie, ref, nullptr, nullptr, newMovieActive, nullptr);
  CloseMovieFile(ref);
  return movie;
}

TEST(PressovaMovieServiceTest, CallsOutsideTheSpanFail) {
  QTAtomContainer kept = nullptr;
  {
    Span span;
    ASSERT_EQ(QTNewAtomContainer(&kept), noErr);
  }
  // Nothing made inside the span outlives it.
  QTAtomContainer container = nullptr;
  FSSpec spec;
  int16_t ref = 0;
  ComponentDescription any;
  EXPECT_EQ(EnterMovies(), qtmlUninitialized);  // before InitializeQTML
  EXPECT_EQ(QTNewAtomContainer(&container), qtmlUninitialized);
  EXPECT_EQ(QTInsertChild(kept, 0, FourCharCode("abcd"), 1, 0, 0, nullptr, nullptr), qtmlUninitialized);
  EXPECT_EQ(NativePathNameToFSSpec("/tmp", &spec, 0), qtmlUninitialized);
  EXPECT_EQ(OpenMovieFile(&spec, &ref, fsRdPerm), qtmlUninitialized);
  EXPECT_EQ(OpenDefaultComponent(MovieExportType, FourCharCode("3gpp")), nullptr);
  EXPECT_EQ(FindNextComponent(nullptr, &any), nullptr);
  EXPECT_EQ(GetMoviesError(), qtmlUninitialized);

  InitializeQTML(0);
  EXPECT_EQ(QTNewAtomContainer(&container), qtmlUninitialized);  // EnterMovies not yet called
  ASSERT_EQ(EnterMovies(), noErr);
  EXPECT_EQ(QTNewAtomContainer(&container), noErr);
  EXPECT_NE(FindNextComponent(nullptr, &any), nullptr);
  ExitMovies();
  TerminateQTML();
}

TEST(PressovaMovieServiceTest, OpeningErrors) {
  std::string movie = SmallMovie();
  ASSERT_FALSE(movie.empty());
  std::string dir = TempDir();
  WriteFile(dir + "/noise.mp4", ByteString(4000, '\x5A'));
  WriteFile(dir + "/empty.mov", "");
  struct Case {
    std::string path;
    OSErr expected;
  } cases[] = {
      {movie, noErr},
      {dir + "/missing.mp4", fnfErr},
      {dir, fnfErr},  // a folder is no file
      {dir + "/noise.mp4", noMovieFound},
      {dir + "/empty.mov", noMovieFound},
  };
  Span span;
  for (const Case& c : cases) {
    OSErr err = noErr;
    Movie m = OpenMovie(c.path, err);
    EXPECT_EQ(err, c.expected) << c.path;
    EXPECT_EQ(m != nullptr, c.expected == noErr) << c.path;
  }
}

TEST(PressovaMovieServiceTest, AtomContainerOrderAndData) {
  Span span;
  QTAtomContainer c = nullptr;
  ASSERT_EQ(QTNewAtomContainer(&c), noErr);
  QTAtom parent = 0, first = 0, second = 0, front = 0, leaf = 0;
  ASSERT_EQ(QTInsertChild(c, 0, FourCharCode("prnt"), 1, 0, 0, nullptr, &parent), noErr);
  ASSERT_EQ(QTInsertChild(c, parent, FourCharCode("one "), 1, 0, 3, "abc", &first), noErr);
  ASSERT_EQ(QTInsertChild(c, parent, FourCharCode("two "), 2, 0, 1, "z", &second), noErr);
  ASSERT_EQ(QTInsertChild(c, parent, FourCharCode("frnt"), 3, 1, 0, nullptr, &front), noErr);
  // A leaf with data takes no children.
  EXPECT_EQ(QTInsertChild(c, first, FourCharCode("bad "), 1, 0, 0, nullptr, &leaf), paramErr);

  std::vector<QTAtom> order;
  QTAtom child = 0;
  while (QTNextChildAnyType(c, parent, child, &child) == noErr && child != 0) order.push_back(child);
  EXPECT_EQ(order, (std::vector<QTAtom>{front, first, second}));

  int32_t size = -1;
  char* data = nullptr;
  ASSERT_EQ(QTGetAtomDataPtr(c, parent, &size, &data), noErr);
  EXPECT_EQ(size, 0);  // an atom with children
  ASSERT_EQ(QTGetAtomDataPtr(c, first, &size, &data), noErr);
  EXPECT_EQ(std::string(data, size_t(size)), "abc");
  QTAtomType type = 0;
  QTAtomID id = 0;
  ASSERT_EQ(QTGetAtomTypeAndID(c, second, &type, &id), noErr);
  EXPECT_EQ(type, FourCharCode("two "));
  EXPECT_EQ(id, 2);
  EXPECT_EQ(QTDisposeAtomContainer(c), noErr);
  EXPECT_EQ(QTNextChildAnyType(c, 0, 0, &child), paramErr);
}

std::string SubtypeList() {
  std::string list;
  ComponentDescription looking;
  looking.componentType = MovieExportType;
  for (Component c = FindNextComponent(nullptr, &looking); c; c = FindNextComponent(c, &looking)) {
    ComponentDescription d;
    EXPECT_EQ(GetComponentInfo(c, &d, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(d.componentType, MovieExportType);
    for (int shift = 24; shift >= 0; shift -= 8) list += char((d.componentSubType >> shift) & 0xFF);
    list += " ";
  }
  return list;
}

TEST(PressovaMovieServiceTest, ComponentsInTheirOrder) {
  Span span;
  // Debian's FFmpeg has every muxer and default encoder the five need.
  EXPECT_EQ(SubtypeList(), "3gpp 3gp2 mpg4 MooV WAVE ");
  EXPECT_EQ(OpenDefaultComponent(MovieExportType, FourCharCode("abc ")), nullptr);
  EXPECT_EQ(OpenDefaultComponent(FourCharCode("eat "), FourCharCode("3gpp")), nullptr);
  ComponentInstance exporter = OpenDefaultComponent(MovieExportType, FourCharCode("3gpp"));
  ASSERT_NE(exporter, nullptr);
  EXPECT_EQ(CloseComponent(exporter), noErr);
  EXPECT_EQ(CloseComponent(exporter), paramErr);
}

// The data of settings atom `parent`/`child` of an exporter.
std::string SettingData(QTAtomContainer c, OSType parent, OSType child) {
  QTAtom p = 0, a = 0;
  QTAtomType type = 0;
  while (QTNextChildAnyType(c, 0, p, &p) == noErr && p != 0) {
    QTGetAtomTypeAndID(c, p, &type, nullptr);
    if (type != parent) continue;
    while (QTNextChildAnyType(c, p, a, &a) == noErr && a != 0) {
      QTGetAtomTypeAndID(c, a, &type, nullptr);
      int32_t size = 0;
      char* data = nullptr;
      QTGetAtomDataPtr(c, a, &size, &data);
      if (type == child) return std::string(data, size_t(size));
    }
  }
  return "-";
}

TEST(PressovaMovieServiceTest, SettingsAtomsWithDefaultsAndChanges) {
  Span span;
  ComponentInstance exporter = OpenDefaultComponent(MovieExportType, FourCharCode("3gpp"));
  ASSERT_NE(exporter, nullptr);
  QTAtomContainer settings = nullptr;
  ASSERT_EQ(MovieExportGetSettingsAsAtomContainer(exporter, &settings), noErr);
  const OSType vide = FourCharCode("vide"), soun = FourCharCode("soun");
  struct Case {
    OSType parent;
    const char* child;
    ByteString expected;
  } defaults[] = {
      {vide, "enab", "\x01"},
      {vide, "codc", "mp4v"},
      {vide, "wdth", U16(176)},
      {vide, "hght", U16(144)},
      {vide, "fps ", U32(15 << 16)},
      {vide, "bitr", U32(64000)},
      {vide, "keyi", U32(15)},
      {soun, "enab", "\x01"},
      {soun, "codc", "mp4a"},
      {soun, "rate", U32(16000)},
      {soun, "chan", U16(1)},
      {soun, "bitr", U32(24000)},
  };
  for (const Case& c : defaults) {
    char name[5] = {c.child[0], c.child[1], c.child[2], c.child[3], 0};
    OSType child = (OSType(uint8_t(name[0])) << 24) | (OSType(uint8_t(name[1])) << 16) |
                   (OSType(uint8_t(name[2])) << 8) | OSType(uint8_t(name[3]));
    EXPECT_EQ(SettingData(settings, c.parent, child), c.expected) << c.child;
  }

  // A container naming only the sound codec: AMR-NB, the rest as before.
  // Unknown atoms and values of the wrong size are passed over.
  QTAtomContainer change = nullptr;
  QTAtom atom = 0;
  ASSERT_EQ(QTNewAtomContainer(&change), noErr);
  QTInsertChild(change, 0, soun, 1, 0, 0, nullptr, &atom);
  QTInsertChild(change, atom, FourCharCode("codc"), 1, 0, 4, "samr", nullptr);
  QTInsertChild(change, atom, FourCharCode("rate"), 1, 0, 2, "\x1F\x40", nullptr);
  QTInsertChild(change, atom, FourCharCode("what"), 1, 0, 1, "?", nullptr);
  QTInsertChild(change, 0, vide, 1, 0, 0, nullptr, &atom);
  QTInsertChild(change, atom, FourCharCode("codc"), 1, 0, 4, "xvid", nullptr);
  ASSERT_EQ(MovieExportSetSettingsFromAtomContainer(exporter, change), noErr);
  QTAtomContainer after = nullptr;
  ASSERT_EQ(MovieExportGetSettingsAsAtomContainer(exporter, &after), noErr);
  EXPECT_EQ(SettingData(after, soun, FourCharCode("codc")), "samr");
  EXPECT_EQ(SettingData(after, soun, FourCharCode("rate")), U32(16000));
  EXPECT_EQ(SettingData(after, vide, FourCharCode("codc")), "mp4v");
  EXPECT_EQ(SettingData(after, vide, FourCharCode("wdth")), U16(176));
}

TEST(PressovaMovieServiceTest, WritingNeverTouchesTheInputOrAFileItCannotFinish) {
  std::string source = SmallMovie();
  ASSERT_FALSE(source.empty());
  std::string dir = TempDir();
  std::string input = dir + "/in.mp4";
  WriteFile(input, ReadFile(source));
  Span span;
  OSErr err = noErr;
  Movie movie = OpenMovie(input, err);
  ASSERT_EQ(err, noErr);
  ComponentInstance exporter = OpenDefaultComponent(MovieExportType, FourCharCode("3gpp"));
  FSSpec self{input};
  FSSpec nowhere{dir + "/no/such/folder/out.3gp"};
  EXPECT_EQ(ConvertMovieToFile(movie, nullptr, &self, 0, kCreatorTVOD, -1, nullptr,
                               createMovieFileDeleteCurFile, exporter),
            wrPermErr);
  EXPECT_EQ(ConvertMovieToFile(movie, nullptr, &nowhere, 0, kCreatorTVOD, -1, nullptr,
                               createMovieFileDeleteCurFile, exporter),
            wrPermErr);
  FlattenMovieData(movie, 0x41, &self, kCreatorTVOD, -1, createMovieFileDeleteCurFile);
  EXPECT_EQ(GetMoviesError(), wrPermErr);
  EXPECT_EQ(ReadFile(input), ReadFile(source));

  // The Wave exporter writes the sound alone. Written twice from one movie
  // (the second pass starts over at the first packet) gives the same file.
  ComponentInstance wave = OpenDefaultComponent(MovieExportType, FourCharCode("WAVE"));
  FSSpec first{dir + "/a.wav"}, second{dir + "/b.wav"};
  ASSERT_EQ(ConvertMovieToFile(movie, nullptr, &first, 0, kCreatorTVOD, -1, nullptr,
                               createMovieFileDeleteCurFile, wave),
            noErr);
  ASSERT_EQ(ConvertMovieToFile(movie, nullptr, &second, 0, kCreatorTVOD, -1, nullptr,
                               createMovieFileDeleteCurFile, wave),
            noErr);
  EXPECT_EQ(ProbeStream(first.path, 0, "codec_name"), "pcm_s16le");
  EXPECT_EQ(ProbeStream(first.path, 0, "sample_rate"), "44100");
  EXPECT_EQ(ReadFile(first.path), ReadFile(second.path));
  // Nothing but the two written files lies in the folder.
  CommandResult listing = RunCommand("ls " + Quote(dir));
  EXPECT_EQ(listing.out, "a.wav\nb.wav\nin.mp4\n");
}

}  // namespace
