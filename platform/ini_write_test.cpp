// Writing INI files: one key at a time, the rest of the file kept, names
// matched without regard to case, the file replaced in one rename.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/ini.h"
#include "testing/movie_builder.h"

namespace {

struct Write {
  const char* section;
  const char* key;
  const char* value;
};

struct WriteCase {
  const char* name;
  const char* before;  // nullptr: no file yet
  std::vector<Write> writes;
  const char* after;
};

const WriteCase kWriteCases[] = {
    {"a new file", nullptr, {{"S", "k", "v"}}, "[S]\r\nk=v\r\n"},
    {"a key replaced, the others stay", "[A]\r\nk=1\r\nother=2\r\n[B]\r\nk=3\r\n", {{"A", "k", "9"}},
     "[A]\r\nk=9\r\nother=2\r\n[B]\r\nk=3\r\n"},
    {"section and key without regard to case", "[Alpha]\r\nKey=1\r\n", {{"ALPHA", "key", "2"}},
     "[Alpha]\r\nkey=2\r\n"},
    {"a new key after the section's last line", "[A]\r\nk=1\r\n\r\n[B]\r\nx=1\r\n", {{"A", "new", "5"}},
     "[A]\r\nk=1\r\nnew=5\r\n\r\n[B]\r\nx=1\r\n"},
    {"a new section at the end", "[A]\r\nk=1\r\n", {{"C", "x", "1"}}, "[A]\r\nk=1\r\n\r\n[C]\r\nx=1\r\n"},
    {"comments and blank lines stay", "; top\r\n[A]\r\n;k=0\r\nk=1\r\n\r\n", {{"A", "k", "2"}},
     "; top\r\n[A]\r\n;k=0\r\nk=2\r\n\r\n"},
    {"line ends become CR LF", "[A]\nk=1\nz=2\n", {{"A", "k", "3"}}, "[A]\r\nk=3\r\nz=2\r\n"},
    {"several writes in turn", nullptr, {{"0", "childs", "1"}, {"0:0", "atom", "abcd"}, {"0", "childs", "2"}},
     "[0]\r\nchilds=2\r\n\r\n[0:0]\r\natom=abcd\r\n"},
    {"a value with blanks and bytes of the code page", "[A]\r\n", {{"A", "t", "a b\x82\xA0"}},
     "[A]\r\nt=a b\x82\xA0\r\n"},
};

TEST(IniWrite, TextRules) {
  for (const WriteCase& c : kWriteCases) {
    std::string dir = TempDir();
    std::string path = dir + "/s.ini";
    if (c.before) WriteFile(path, c.before);
    for (const Write& w : c.writes) EXPECT_TRUE(WriteText(path, w.section, w.key, w.value)) << c.name;
    EXPECT_EQ(ReadFile(path), c.after) << c.name;
    // Nothing is left beside the file.
    EXPECT_EQ(RunCommand("ls -A " + Quote(dir)).out, "s.ini\n") << c.name;
  }
}

TEST(IniWrite, IntegersReadBackAndTheFileIsReadableByOthers) {
  std::string path = TempDir() + "/s.ini";
  struct Case {
    const char* key;
    int32_t value;
    const char* text;
  } cases[] = {{"zero", 0, "0"}, {"negative", -2, "-2"}, {"large", 2147483647, "2147483647"},
               {"smallest", -2147483647 - 1, "-2147483648"}};
  for (const Case& c : cases) ASSERT_TRUE(WriteInteger(path, "N", c.key, c.value)) << c.key;
  IniFile ini = LoadIniFile(path);
  for (const Case& c : cases) {
    EXPECT_EQ(ReadText(ini, "n", c.key, ""), c.text) << c.key;
    EXPECT_EQ(ReadInteger(ini, "N", c.key, 7), c.value) << c.key;
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0444, 0444u);
}

TEST(IniWrite, FailuresReportFalseAndLeaveNothingBehind) {
  std::string dir = TempDir();
  WriteFile(dir + "/plain", "not a folder");
  ::mkdir((dir + "/folder.ini").c_str(), 0755);
  const std::string paths[] = {
      dir + "/missing/s.ini",  // a folder that does not exist
      dir + "/plain/s.ini",    // a file where a folder should be
      dir + "/folder.ini",     // a folder where the file should be
  };
  for (const std::string& path : paths) {
    EXPECT_FALSE(WriteText(path, "A", "k", "v")) << path;
    EXPECT_FALSE(WriteInteger(path, "A", "k", 1)) << path;
  }
  EXPECT_EQ(ReadFile(dir + "/plain"), "not a folder");
  EXPECT_EQ(RunCommand("ls -A " + Quote(dir)).out, "folder.ini\nplain\n");
  EXPECT_EQ(RunCommand("ls -A " + Quote(dir + "/folder.ini")).out, "");
}

}  // namespace
