#include "platform/ini.h"

#include <gtest/gtest.h>

#include "testing/movie_builder.h"

namespace {
IniFile IniOf(const std::string& text) {
  std::string path = TempDir() + "/s.ini";
  WriteFile(path, text);
  return LoadIniFile(path);
}
}  // namespace

TEST(Ini, TextRules) {
  IniFile ini = IniOf(
      "[Config]\r\n"
      "  Title =  \"  quoted  \"  \r\n"
      "single='x'\n"
      "half=\"x\n"
      "empty=\n"
      "eq=a=b\n"
      "; note=1\n"
      "[other]\n"
      "Title=wrong\n"
      "[CONFIG]\n"
      "late=ignored\n");
  struct Case { const char* section; const char* key; std::string want; };
  const Case cases[] = {
      {"Config", "Title", "  quoted  "}, {"config", "TITLE", "  quoted  "},
      {"Config", "single", "x"},         {"Config", "half", "\"x"},
      {"Config", "empty", ""},           {"Config", "eq", "a=b"},
      {"Config", "missing", "dflt"},     {"Nope", "Title", "dflt"},
      {"other", "title", "wrong"},       {"Config", "; note", "dflt"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadText(ini, c.section, c.key, "dflt"), c.want) << c.key;
  EXPECT_EQ(ReadText(IniOf(""), "a", "b", "d"), "d");
  EXPECT_EQ(ReadText(LoadIniFile("/nonexistent/x.ini"), "a", "b", "d"), "d");
}

TEST(Ini, ValuesAreCutAt2047Bytes) {
  IniFile ini = IniOf("[s]\nk=" + std::string(3000, 'a') + "\n");
  EXPECT_EQ(ReadText(ini, "s", "k", "").size(), 2047u);
}

TEST(Ini, IntegerRules) {
  struct Case { const char* text; int32_t want; };
  const Case cases[] = {
      {"42", 42},          {"-7", -7},          {"+5", 5},
      {"0x10", 16},        {"0X1f", 31},        {"$FF", 255},
      {"0x", -99},         {"$", -99},          {"0x1G", -99},
      {"1.5", -99},        {"True", -99},       {"", -99},
      {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}, {"2147483648", -99},
      {"0x7FFFFFFF", 2147483647}, {"0x80000000", -99},        {"1 2", -99},
      {"007", 7},
  };
  for (const auto& c : cases) {
    IniFile ini = IniOf(std::string("[s]\nk=") + c.text + "\n");
    EXPECT_EQ(ReadInteger(ini, "s", "k", -99), c.want) << "'" << c.text << "'";
  }
}

TEST(Ini, BooleansAreIntegers) {
  struct Case { const char* text; bool fallback; bool want; };
  const Case cases[] = {
      {"1", false, true}, {"-1", false, true}, {"0x10", false, true}, {"0", true, false},
      {"True", false, false}, {"True", true, true}, {"", true, true},
  };
  for (const auto& c : cases) {
    IniFile ini = IniOf(std::string("[s]\nk=") + c.text + "\n");
    EXPECT_EQ(ReadBoolean(ini, "s", "k", c.fallback), c.want) << c.text;
  }
}
