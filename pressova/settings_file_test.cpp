// The export settings file: the atom container written into sections and
// read back.
#include "pressova/settings_file.h"

#include <gtest/gtest.h>

#include "platform/ini.h"
#include "pressova/quicktime/quicktime.h"
#include "testing/movie_builder.h"

namespace {

constexpr QTAtomType Code(const char (&text)[5]) { return FourCharCode(text); }

class PressovaSettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeQTML(0);
    ASSERT_EQ(EnterMovies(), noErr);
    path_ = TempDir() + "/settings.ini";
  }
  void TearDown() override {
    ExitMovies();
    TerminateQTML();
  }

  QTAtomContainer NewContainer() {
    QTAtomContainer c = nullptr;
    EXPECT_EQ(QTNewAtomContainer(&c), noErr);
    return c;
  }

  QTAtom Insert(QTAtomContainer c, QTAtom parent, QTAtomType type, QTAtomID id, const ByteString& data) {
    QTAtom atom = 0;
    EXPECT_EQ(QTInsertChild(c, parent, type, id, 0, int32_t(data.size()), data.empty() ? nullptr : data.data(),
                            &atom),
              noErr);
    return atom;
  }

  // "type:id:HEX{children}" for every atom below `parent`, in order.
  std::string Dump(QTAtomContainer c, QTAtom parent = kParentAtomIsContainer) {
    std::string out;
    QTAtom child = 0;
    while (QTNextChildAnyType(c, parent, child, &child) == noErr && child != 0) {
      QTAtomType type = 0;
      QTAtomID id = 0;
      int32_t size = 0;
      char* data = nullptr;
      QTGetAtomTypeAndID(c, child, &type, &id);
      QTGetAtomDataPtr(c, child, &size, &data);
      static const char kHex[] = "0123456789ABCDEF";
      std::string hex;
      for (int32_t i = 0; i < size; ++i) {
        hex += kHex[uint8_t(data[i]) >> 4];
        hex += kHex[uint8_t(data[i]) & 15];
      }
      out += CodeToText(type) + ":" + std::to_string(id) + ":" + hex;
      std::string below = Dump(c, child);
      if (!below.empty()) out += "{" + below + "}";
      out += " ";
    }
    return out;
  }

  std::string Loaded(const std::string& iniText) {
    WriteFile(path_, iniText);
    QTAtomContainer c = NewContainer();
    LoadSettingsTree(path_, c, kParentAtomIsContainer, "0");
    return Dump(c);
  }

  std::string path_;
};

// The example: abcd (id 1) holding wxyz (id 1, bytes 01 A0 FF), then efgh
// (id 2) without data.
TEST_F(PressovaSettingsFileTest, ExampleTreeWritesItsTableAndReadsBack) {
  QTAtomContainer c = NewContainer();
  QTAtom abcd = Insert(c, kParentAtomIsContainer, Code("abcd"), 1, "");
  Insert(c, abcd, Code("wxyz"), 1, "\x01\xA0\xFF");
  Insert(c, kParentAtomIsContainer, Code("efgh"), 2, "");
  ASSERT_TRUE(SaveSettingsTree(path_, c, kParentAtomIsContainer, "0"));

  struct Key {
    const char* section;
    const char* key;
    const char* value;  // "-" for a key that must be absent
  } table[] = {
      {"0", "childs", "2"},     {"0", "atom", "-"},
      {"0:0", "atom", "abcd"},  {"0:0", "id", "1"},  {"0:0", "size", "0"},
      {"0:0", "data", ""},      {"0:0", "childs", "1"},
      {"0:0:0", "atom", "wxyz"}, {"0:0:0", "id", "1"}, {"0:0:0", "size", "3"},
      {"0:0:0", "data", "01A0FF"}, {"0:0:0", "childs", "-"},
      {"0:1", "atom", "efgh"},  {"0:1", "id", "2"},  {"0:1", "size", "0"},
      {"0:1", "data", ""},      {"0:1", "childs", "-"},
  };
  IniFile ini = LoadIniFile(path_);
  for (const Key& k : table)
    EXPECT_EQ(ReadText(ini, k.section, k.key, "-"), k.value) << k.section << " " << k.key;

  QTAtomContainer back = NewContainer();
  LoadSettingsTree(path_, back, kParentAtomIsContainer, "0");
  EXPECT_EQ(Dump(back), "abcd:1:{wxyz:1:01A0FF } efgh:2: ");
  EXPECT_EQ(Dump(back), Dump(c));
}

TEST_F(PressovaSettingsFileTest, LeafWithZeroByteWritesItsHex) {
  QTAtomContainer c = NewContainer();
  Insert(c, kParentAtomIsContainer, Code("leaf"), 5, ByteString("\x00\x7F", 2));
  ASSERT_TRUE(SaveSettingsTree(path_, c, kParentAtomIsContainer, "0"));
  IniFile ini = LoadIniFile(path_);
  EXPECT_EQ(ReadInteger(ini, "0", "childs", -1), 1);
  EXPECT_EQ(ReadText(ini, "0:0", "size", ""), "2");
  EXPECT_EQ(ReadText(ini, "0:0", "data", ""), "007F");
}

TEST_F(PressovaSettingsFileTest, ReadingRules) {
  struct Case {
    const char* name;
    const char* ini;
    const char* tree;
  } cases[] = {
      {"lower-case hex", "[0]\nchilds=1\n[0:0]\natom=abcd\nsize=2\ndata=7fa0\n", "abcd:1:7FA0 "},
      {"odd digit count", "[0]\nchilds=1\n[0:0]\natom=abcd\nsize=3\ndata=ABC\n", "abcd:1:AB0C00 "},
      {"data longer than size", "[0]\nchilds=1\n[0:0]\natom=abcd\nsize=1\ndata=1234\n", "abcd:1:12 "},
      {"no hex number", "[0]\nchilds=1\n[0:0]\natom=abcd\nsize=2\ndata=zz41\n", "abcd:1:0041 "},
      {"no id gives 1", "[0]\nchilds=1\n[0:0]\natom=abcd\n", "abcd:1: "},
      {"hexadecimal integers", "[0]\nchilds=0x2\n[0:0]\natom=aaaa\nid=$10\n[0:1]\natom=bbbb\nid=-3\n",
       "aaaa:16: bbbb:-3: "},
      {"missing subsections make no atom",
       "[0]\nchilds=3\n[0:0]\natom=aaaa\n[0:2]\natom=cccc\n", "aaaa:1: cccc:1: "},
      {"sections beyond childs are not read", "[0]\nchilds=1\n[0:0]\natom=aaaa\n[0:1]\natom=bbbb\n",
       "aaaa:1: "},
      {"a section without atom hands its children up",
       "[0]\nchilds=1\n[0:0]\nchilds=1\n[0:0:0]\natom=wxyz\n", "wxyz:1: "},
      {"names without regard to case", "[0]\nCHILDS=1\n[0:0]\nAtom=abcd\nSIZE=1\nData=ff\n", "abcd:1:FF "},
      {"a blank of the type comes back", "[0]\nchilds=1\n[0:0]\natom=fps \nsize=0\n", "fps :1: "},
      {"a huge count costs no time", "[0]\nchilds=2147483647\n[0:0]\natom=aaaa\n", "aaaa:1: "},
      {"a negative size makes no data", "[0]\nchilds=1\n[0:0]\natom=aaaa\nsize=-5\ndata=FF\n", "aaaa:1: "},
      {"no childs key", "[0]\n[0:0]\natom=aaaa\n", ""},
      {"missing file", nullptr, ""},
  };
  for (const Case& c : cases) {
    if (c.ini) {
      EXPECT_EQ(Loaded(c.ini), c.tree) << c.name;
    } else {
      QTAtomContainer container = NewContainer();
      LoadSettingsTree(TempDir() + "/absent.ini", container, kParentAtomIsContainer, "0");
      EXPECT_EQ(Dump(container), c.tree) << c.name;
    }
  }
}

TEST_F(PressovaSettingsFileTest, SavingKeepsOtherKeysAndSurplusSections) {
  WriteFile(path_, "[0]\nchilds=2\nnote=kept\n[0:0]\natom=oldA\n[0:1]\natom=oldB\nsize=0\n[other]\nx=1\n");
  QTAtomContainer c = NewContainer();
  Insert(c, kParentAtomIsContainer, Code("newA"), 7, "\x01");
  ASSERT_TRUE(SaveSettingsTree(path_, c, kParentAtomIsContainer, "0"));
  IniFile ini = LoadIniFile(path_);
  EXPECT_EQ(ReadText(ini, "0", "childs", ""), "1");
  EXPECT_EQ(ReadText(ini, "0", "note", ""), "kept");
  EXPECT_EQ(ReadText(ini, "0:0", "atom", ""), "newA");
  EXPECT_EQ(ReadText(ini, "0:1", "atom", ""), "oldB");
  EXPECT_EQ(ReadText(ini, "other", "x", ""), "1");
  QTAtomContainer back = NewContainer();
  LoadSettingsTree(path_, back, kParentAtomIsContainer, "0");
  EXPECT_EQ(Dump(back), "newA:7:01 ");
}

TEST_F(PressovaSettingsFileTest, DeepTreeWithLongDataRoundTrips) {
  QTAtomContainer c = NewContainer();
  ByteString big;
  for (int i = 0; i < 1023; ++i) big.push_back(char(i * 7));
  QTAtom a = Insert(c, kParentAtomIsContainer, Code("lvl1"), -1, "");
  QTAtom b = Insert(c, a, Code("lvl2"), 2, "");
  Insert(c, b, Code("big "), 3, big);
  Insert(c, b, Code("zero"), 0, ByteString(1, '\0'));
  Insert(c, a, Code("tail"), 4, "xyz");
  Insert(c, kParentAtomIsContainer, Code("last"), 9, "");
  ASSERT_TRUE(SaveSettingsTree(path_, c, kParentAtomIsContainer, "0"));
  QTAtomContainer back = NewContainer();
  LoadSettingsTree(path_, back, kParentAtomIsContainer, "0");
  EXPECT_EQ(Dump(back), Dump(c));
}

TEST_F(PressovaSettingsFileTest, UnwritableFileFailsTheSave) {
  QTAtomContainer c = NewContainer();
  Insert(c, kParentAtomIsContainer, Code("abcd"), 1, "\x01");
  EXPECT_FALSE(SaveSettingsTree(TempDir() + "/no/such/folder/s.ini", c, kParentAtomIsContainer, "0"));
}

}  // namespace
