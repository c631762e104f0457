#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/program.h"
#include "testing/movie_builder.h"

TEST(Program, ExitCodesNeverReportFailureAsSuccess) {
  struct Case { int32_t status; int code; };
  const Case cases[] = {{0, 0}, {1, 1}, {-1, 255}, {-2, 254}, {-43, 213}, {-2048, 2}, {-8960, 2}, {256, 2}};
  for (const auto& c : cases) EXPECT_EQ(ProcessExitCode(c.status), c.code) << c.status;
}

TEST(Program, SettingsPathsResolveUnderTheProgramFolder) {
  SetProgramPathForTesting("/opt/lunvik/bin/rivetta");
  EXPECT_EQ(ProgramName(), "rivetta");
  EXPECT_EQ(DefaultSettingsPath(), "/opt/lunvik/bin/rivetta.ini");
  struct Case { const char* in; const char* out; };
  const Case cases[] = {
      {"/etc/x.ini", "/etc/x.ini"},
      {"\\x.ini", "\\x.ini"},
      {"C:x.ini", "C:x.ini"},
      {"x.ini", "/opt/lunvik/bin/x.ini"},
      {"sub\\x.ini", "/opt/lunvik/bin/sub/x.ini"},
      {"../etc/./x.ini", "/opt/lunvik/etc/x.ini"},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveSettingsPath(c.in), c.out) << c.in;
  SetProgramPathForTesting("/opt/lunvik/bin/tool.v2.exe");
  EXPECT_EQ(ProgramName(), "tool.v2");
  EXPECT_EQ(DefaultSettingsPath(), "/opt/lunvik/bin/tool.v2.ini");
}

TEST(CodePage, ShiftJisRoundTrip) {
  if (SystemCodePage() != "CP932") GTEST_SKIP() << "LUNVIK_CODEPAGE is set";
  std::string sjis = Utf8ToCodePage("あ");
  EXPECT_EQ(sjis, "\x82\xA0");
  EXPECT_EQ(CodePageToUtf8(sjis), "あ");
  EXPECT_EQ(CodePageToUtf16("A\x82\xA0"), u"Aあ");
  EXPECT_EQ(Utf16BEBytes(u"Aあ"), ByteString("\x00\x41\x30\x42", 4));
  // A lone lead byte is replaced, not dropped with what follows.
  EXPECT_EQ(CodePageToUtf8("\x82"), "\xEF\xBF\xBD");
}

TEST(Files, OpeningWithoutSharingRefusesTheSameFileByAnyName) {
  std::string dir = TempDir();
  WriteFile(dir + "/in.mp4", "movie");
  ASSERT_EQ(::link((dir + "/in.mp4").c_str(), (dir + "/hard.mp4").c_str()), 0);
  ASSERT_EQ(::symlink((dir + "/in.mp4").c_str(), (dir + "/soft.mp4").c_str()), 0);
  FileHandle in = OpenForReading(dir + "/in.mp4");
  ASSERT_TRUE(IsOpen(in));
  for (const char* name : {"/in.mp4", "/hard.mp4", "/soft.mp4"}) {
    FileHandle out = CreateForReadWrite(dir + name);
    EXPECT_FALSE(IsOpen(out)) << name;
  }
  EXPECT_EQ(ReadFile(dir + "/in.mp4"), "movie");  // nothing truncated
  CloseFile(in);
  FileHandle out = CreateForReadWrite(dir + "/hard.mp4");
  EXPECT_TRUE(IsOpen(out));
  CloseFile(out);
  EXPECT_EQ(ReadFile(dir + "/in.mp4"), "");
  EXPECT_TRUE(SameFile(dir + "/in.mp4", dir + "/soft.mp4"));
  EXPECT_FALSE(FileExists(dir));
  EXPECT_FALSE(IsOpen(OpenForReading(dir)));
}

TEST(Files, DosDatesHaveTwoSecondResolutionAndRoundTrip) {
  std::string dir = TempDir();
  WriteFile(dir + "/a", "x");
  DosDateTime date{2007, 5, 12, 13, 45, 9};
  ASSERT_TRUE(SetFileDate(dir + "/a", date));
  auto read = ReadFileDate(dir + "/a");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->year, 2007);
  EXPECT_EQ(read->hour, 13);
  EXPECT_EQ(read->second, 8);
  EXPECT_EQ(WallClockSecondsSince1970({1970, 1, 1, 0, 0, 0}), 0);
  EXPECT_EQ(WallClockSecondsSince1970({2007, 5, 12, 13, 45, 8}) + 2082844800, 3261822308);
}

TEST(Files, CopyFileBytesCopiesARangeAndStopsAtTheEnd) {
  std::string dir = TempDir();
  ByteString data;
  for (int i = 0; i < 300000; ++i) data.push_back(char(i * 7));
  WriteFile(dir + "/in", data);
  FileHandle in = OpenForReading(dir + "/in");
  FileHandle out = CreateForReadWrite(dir + "/out");
  SeekTo(in, 5);
  WriteBytes(out, "hd", 2);
  EXPECT_EQ(CopyFileBytes(in, out, 1000), 1000);
  EXPECT_EQ(CurrentPosition(in), 1005);
  EXPECT_EQ(CopyFileBytes(in, out, 1000000), int64_t(data.size()) - 1005);
  CloseFile(in);
  CloseFile(out);
  EXPECT_EQ(ReadFile(dir + "/out"), "hd" + data.substr(5));
}
