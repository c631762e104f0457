#include "rivetta/items.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rivetta/state.h"

namespace {

// A settings file held in memory, one string per line.
IniFile IniOf(const std::vector<std::string>& lines) {
  IniFile file;
  file.path = "memory.ini";
  file.exists = true;
  for (const std::string& line : lines) file.lines.push_back({line});
  return file;
}

ByteString B(const char* bytes, size_t length) { return ByteString(bytes, length); }

class ItemsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetRunState(); }
};

struct DecodeCase {
  const char* name;
  ByteString text;
  ByteString bytes;
};

TEST_F(ItemsTest, DecodeValueReadsEscapes) {
  const DecodeCase cases[] = {
      {"plain", "abcd", "abcd"},
      {"upper hex", "%A9cmt", "\xA9" "cmt"},
      {"lower hex", "%a9%ff", "\xA9\xFF"},
      {"nul bytes", "free%00%00", B("free\0\0", 6)},
      {"literal percent", "%25", "%"},
      {"not hex gives 0 and eats both", "%G1x", B("\0x", 2)},
      {"percent after percent", "%%41", B("\0" "1", 2)},
      {"one digit at the end", "ab%4", "ab\x04"},
      {"lone percent at the end", "ab%", B("ab\0", 3)},
      {"blank", "drm%20", "drm "},
      {"separators stay plain", "%5C%2F\\/", "\\/\\/"},
      {"empty", "", ""},
  };
  for (const DecodeCase& c : cases) EXPECT_EQ(DecodeValue(c.text), c.bytes) << c.name;
}

TEST_F(ItemsTest, TakeDecodedTakesBytesAndLeavesTheRest) {
  ByteString text = "%A9nam\\rest";
  EXPECT_EQ(TakeDecoded(text, 4), "\xA9nam");
  EXPECT_EQ(text, "\\rest");

  ByteString shortText = "ab%4";
  EXPECT_EQ(TakeDecoded(shortText, 4), "ab\x04");
  EXPECT_EQ(shortText, "");

  ByteString untouched = "moov";
  EXPECT_EQ(TakeDecoded(untouched, 0), "");
  EXPECT_EQ(untouched, "moov");
}

struct InsertCase {
  const char* value;
  ByteString path;
  bool atEnd;
  ByteString data;
};

TEST_F(ItemsTest, InsertItemsSplitIntoPathPlaceAndData) {
  const InsertCase cases[] = {
      {"/moov/udta/abcdXYZ", "\\moov\\udta\\", true, "abcdXYZ"},
      {"\\moov\\udta\\%A9cmt%00%03%00%00abc", "\\moov\\udta\\", false,
       B("\xA9" "cmt\0\x03\0\0abc", 11)},
      {"\\moov/trak\\free%00%00", "\\moov\\trak\\", false, B("free\0\0", 6)},
      {"abcd", "\\", false, "abcd"},
      // An escape counts as one byte of a path level.
      {"\\%6Doov\\free", "\\moov\\", false, "free"},
      // An escaped separator is data, not a level.
      {"\\moov\\free%2Fx", "\\moov\\", false, "free/x"},
      // No separator after the four bytes: the test is made again on what
      // follows the removed separator.
      {"\\\\abcd", "\\", false, "abcd"},
      // "/" only at the start sets AtEnd.
      {"\\moov/free", "\\moov\\", false, "free"},
  };
  for (const InsertCase& c : cases) {
    ResetRunState();
    BuildInsertList(IniOf({"[InsertAtom]", std::string("Item0=") + c.value}));
    ASSERT_EQ(InsertList.size(), 1u) << c.value;
    EXPECT_EQ(InsertList[0].Path, c.path) << c.value;
    EXPECT_EQ(InsertList[0].AtEnd, c.atEnd) << c.value;
    EXPECT_EQ(InsertList[0].Data, c.data) << c.value;
  }
}

TEST_F(ItemsTest, InsertListStopsAtTheFirstMissingKey) {
  BuildInsertList(IniOf({"[InsertAtom]", "Item0=aaaa", "Item1=bbbb", "Item3=dddd"}));
  ASSERT_EQ(InsertList.size(), 2u);
  EXPECT_EQ(InsertList[0].Data, "aaaa");
  EXPECT_EQ(InsertList[1].Data, "bbbb");

  ResetRunState();
  BuildInsertList(IniOf({"[InsertAtom]", "Item1=bbbb"}));
  EXPECT_TRUE(InsertList.empty());
}

TEST_F(ItemsTest, InsertItemWithEmptyDataIsKeptAndEndsTheList) {
  BuildInsertList(IniOf({"[InsertAtom]", "Item0=aaaa", "Item1=\\moov\\udta\\", "Item2=cccc"}));
  ASSERT_EQ(InsertList.size(), 2u);
  EXPECT_EQ(InsertList[1].Path, "\\moov\\udta\\");
  EXPECT_FALSE(InsertList[1].AtEnd);
  EXPECT_EQ(InsertList[1].Data, "");
}

TEST_F(ItemsTest, PlaceholdersAreReplacedInAnyLetterCase) {
  Settings.UUID = "%01%02";
  TimestampEscaped = "%C2%6B%75%65";
  BuildInsertList(IniOf({"[InsertAtom]", "Item0=uuid<%UUID%>", "Item1=uuid<%uuid%>",
                         "Item2=/moov/tsmp<%TimeStamp%>", "Item3=<%TIMESTAMP%><%timestamp%>x"}));
  ASSERT_EQ(InsertList.size(), 4u);
  EXPECT_EQ(InsertList[0].Data, "uuid\x01\x02");
  EXPECT_EQ(InsertList[1].Data, "uuid\x01\x02");
  EXPECT_EQ(InsertList[2].Path, "\\moov\\");
  EXPECT_EQ(InsertList[2].Data, "tsmp\xC2\x6B\x75\x65");
  EXPECT_EQ(InsertList[3].Data, "\xC2\x6B\x75\x65\xC2\x6B\x75\x65x");
}

TEST_F(ItemsTest, UuidTextIsReplacedBeforeTheTimestamp) {
  // The UUID text is used as read: its escapes are decoded with the value and
  // a timestamp placeholder inside it is replaced as well.
  Settings.UUID = "%AA<%timestamp%>";
  TimestampEscaped = "%7C%25%B0%80";
  BuildInsertList(IniOf({"[InsertAtom]", "Item0=uuid<%UUID%>"}));
  ASSERT_EQ(InsertList.size(), 1u);
  EXPECT_EQ(InsertList[0].Data, "uuid\xAA\x7C\x25\xB0\x80");
}

TEST_F(ItemsTest, EmptyUuidMakesThePlaceholderDisappear) {
  BuildInsertList(IniOf({"[InsertAtom]", "Item0=abcd<%Uuid%>efgh", "Item1=<%UUID%>", "Item2=zzzz"}));
  // Item1 is empty once the placeholder is gone: it is kept, empty, and ends
  // the list.
  ASSERT_EQ(InsertList.size(), 2u);
  EXPECT_EQ(InsertList[0].Data, "abcdefgh");
  EXPECT_EQ(InsertList[1].Path, "\\");
  EXPECT_EQ(InsertList[1].Data, "");
}

TEST_F(ItemsTest, DeleteListReadsItemsThenAddsMfraAndEdts) {
  Settings.Build_mfra = 2;
  Settings.Build_edts = true;
  BuildDeleteList(IniOf({"[DeleteAtom]", "Item0=SKIP", "Item1=drm%20", "Item2=free", "Item4=wide"}));
  const std::vector<ByteString> expected = {"SKIP", "drm ", "free", "mfra", "edts"};
  EXPECT_EQ(DeleteList, expected);
}

TEST_F(ItemsTest, DeleteListWithoutSectionHoldsOnlyTheAutomaticEntries) {
  BuildDeleteList(IniOf({}));
  EXPECT_TRUE(DeleteList.empty());

  Settings.Build_edts = true;
  BuildDeleteList(IniOf({"[Config]", "MQV=2"}));
  EXPECT_EQ(DeleteList, std::vector<ByteString>{"edts"});
}

TEST_F(ItemsTest, DeleteListDoesNotReplacePlaceholders) {
  Settings.UUID = "abcd";
  BuildDeleteList(IniOf({"[DeleteAtom]", "Item0=<%UUID%>"}));
  // Decoded as it stands: "%UU" and "%>" are bad escapes and give 0.
  EXPECT_EQ(DeleteList, std::vector<ByteString>{B("<\0ID\0", 5)});
}

TEST_F(ItemsTest, DeleteListMatchesFourByteTypesIgnoringCase) {
  BuildDeleteList(IniOf({"[DeleteAtom]", "Item0=SKIP", "Item1=drm ", "Item2=\\moov\\udta"}));
  EXPECT_TRUE(InDeleteList("skip"));
  EXPECT_TRUE(InDeleteList("Skip"));
  EXPECT_FALSE(InDeleteList("free"));
  // A plain trailing blank is trimmed by the reader: "drm" matches nothing.
  EXPECT_FALSE(InDeleteList("drm "));
  // A path is no type.
  EXPECT_FALSE(InDeleteList("udta"));
  EXPECT_FALSE(InDeleteList("\\moo"));
}

}  // namespace
