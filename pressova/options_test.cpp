// The command line and the temporary output name.
#include "pressova/options.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

struct CommandLineCase {
  const char* name;
  std::vector<std::string> arguments;
  bool usageError;
  const char* inFile;
  const char* outFile;
  bool flatten;
  bool useSettings;
  const char* settingsPath;
  uint32_t subtype;
};

constexpr uint32_t k3gpp = 0x33677070;

const CommandLineCase kCommandLines[] = {
    {"no arguments", {}, true, "", "", false, false, "", k3gpp},
    {"input only", {"in.mp4"}, false, "in.mp4", "", false, false, "", k3gpp},
    {"three file names", {"a", "b", "c"}, true, "a", "b", false, false, "", k3gpp},
    {"-c last", {"a", "b", "-c"}, true, "a", "b", false, false, "", k3gpp},
    {"-t last is ignored", {"a", "b", "-t"}, false, "a", "b", false, false, "", k3gpp},
    {"-t mp4 gets a blank", {"a", "b", "-t", "mp4"}, false, "a", "b", false, false, "", 0x6D703420},
    {"-t keeps the case", {"a", "b", "-t", "3GPP"}, false, "a", "b", false, false, "", 0x33475050},
    {"-t of five characters", {"a", "b", "-t", "abcde"}, true, "a", "b", false, false, "", k3gpp},
    {"-f between the files", {"a", "-f", "b"}, false, "a", "b", true, false, "", k3gpp},
    {"-f before the files", {"-F", "a", "b"}, false, "a", "b", true, false, "", k3gpp},
    {"-C is -c", {"a", "b", "-C", "x.ini"}, false, "a", "b", false, true, "x.ini", k3gpp},
    {"-c takes a dash argument", {"a", "b", "-c", "-f"}, false, "a", "b", false, true, "-f", k3gpp},
    {"-t takes a dash argument", {"a", "-t", "-c"}, false, "a", "", false, false, "", 0x2D632020},
    {"lone dash", {"a", "b", "-"}, true, "a", "b", false, false, "", k3gpp},
    {"unknown option", {"a", "b", "-x"}, true, "a", "b", false, false, "", k3gpp},
    {"doubled letter", {"a", "b", "-ff"}, true, "a", "b", false, false, "", k3gpp},
    {"option without input", {"-f"}, true, "", "", true, false, "", k3gpp},
    {"reading goes on after a fault", {"-x", "a", "b", "-f"}, true, "a", "b", true, false, "", k3gpp},
    {"flatten with settings", {"a", "b", "-f", "-c", "s.ini"}, false, "a", "b", true, true, "s.ini", k3gpp},
};

TEST(PressovaOptionsTest, CommandLines) {
  for (const CommandLineCase& c : kCommandLines) {
    ExportOptions o = ParseCommandLine(c.arguments);
    EXPECT_EQ(o.UsageError, c.usageError) << c.name;
    EXPECT_EQ(o.InFile, c.inFile) << c.name;
    EXPECT_EQ(o.OutFile, c.outFile) << c.name;
    EXPECT_EQ(o.FlattenRequested, c.flatten) << c.name;
    EXPECT_EQ(o.UseSettingsFile, c.useSettings) << c.name;
    EXPECT_EQ(o.SettingsFilePath, c.settingsPath) << c.name;
    EXPECT_EQ(o.ExporterSubtype, c.subtype) << c.name;
    EXPECT_TRUE(o.FinalOutFile.empty()) << c.name;
    EXPECT_FALSE(o.RenameAtEnd) << c.name;
  }
}

TEST(PressovaOptionsTest, TemporaryNamesAreFourGroupsOfEightHexDigitsAndDiffer) {
  SeedRandom();
  std::string first = MakeTemporaryName();
  std::string second = MakeTemporaryName();
  std::regex form("[0-9A-F]{8}-[0-9A-F]{8}-[0-9A-F]{8}-[0-9A-F]{8}");
  EXPECT_EQ(first.size(), 35u);
  EXPECT_TRUE(std::regex_match(first, form)) << first;
  EXPECT_TRUE(std::regex_match(second, form)) << second;
  EXPECT_NE(first, second);
}

TEST(PressovaOptionsTest, TemporaryOutputLiesBesideTheOutputWithItsExtension) {
  struct Case {
    const char* outFile;
    const char* expected;
  } cases[] = {
      {"out.3gp", "N.3gp"},
      {"dir/sub/out.3gp", "dir/sub/N.3gp"},
      {"/abs/x.y.mov", "/abs/N.mov"},
      {"dir.d/out", "dir.d/N"},
      {"out", "N"},
      {"dir/.hidden", "dir/N.hidden"},
  };
  for (const Case& c : cases) EXPECT_EQ(TemporaryOutputName(c.outFile, "N"), c.expected) << c.outFile;
}

}  // namespace
