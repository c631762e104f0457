#include "atoms/atom_io.h"

#include <gtest/gtest.h>

#include "testing/movie_builder.h"

namespace {
FileHandle OpenBytes(const std::string& dir, const ByteString& bytes) {
  WriteFile(dir + "/in", bytes);
  return OpenForReading(dir + "/in");
}
}  // namespace

TEST(AtomIo, HeaderRulesForSmallSizesAndShortFiles) {
  struct Case { const char* name; ByteString bytes; HeaderRead read; uint32_t size; };
  const Case cases[] = {
      {"size 0", U32(0) + "moov", HeaderRead::SizeBelow8, 0},
      {"size 1", U32(1) + "moov" + Zeros(8), HeaderRead::SizeBelow8, 1},
      {"size 7", U32(7) + "free", HeaderRead::SizeBelow8, 7},
      {"size 8", U32(8) + "free", HeaderRead::Ok, 8},
      {"size past the end", U32(1000) + "mdat", HeaderRead::Ok, 1000},
      {"three bytes", ByteString("\0\0\0", 3), HeaderRead::EndOfFile, 0},
      {"type cut short", U32(16) + "mo", HeaderRead::EndOfFile, 16},
      {"empty", "", HeaderRead::EndOfFile, 0},
  };
  std::string dir = TempDir();
  for (const auto& c : cases) {
    FileHandle f = OpenBytes(dir, c.bytes);
    AtomHeader h;
    EXPECT_EQ(ReadAtomHeader(f, h), c.read) << c.name;
    if (c.read != HeaderRead::EndOfFile || c.size) {
      EXPECT_EQ(h.size, c.size) << c.name;
    }
    if (c.read == HeaderRead::EndOfFile) {
      EXPECT_TRUE(h.type.empty()) << c.name;
    }
    CloseFile(f);
  }
}

TEST(AtomIo, ContainerRuleNeedsListedTypeAndSixteenBytes) {
  AtomHeader h;
  h.type = "udta";
  h.size = 12;
  EXPECT_FALSE(IsWalkedContainer(h, TypeMatch::Exact));
  h.size = 16;
  EXPECT_TRUE(IsWalkedContainer(h, TypeMatch::Exact));
  h.type = "MOOV";
  EXPECT_FALSE(IsWalkedContainer(h, TypeMatch::Exact));
  EXPECT_TRUE(IsWalkedContainer(h, TypeMatch::IgnoringCase));
  for (const char* type : {"meta", "ilst", "stsd", "drm", "mdat"})
    EXPECT_FALSE(IsContainerType(type, TypeMatch::IgnoringCase)) << type;
  for (const char* type : {"skip", "drm ", "mfra", "edts"})
    EXPECT_TRUE(IsContainerType(type, TypeMatch::Exact)) << type;
  EXPECT_EQ(ChildPath("\\moov\\", "udta"), "\\moov\\udta\\");
}

TEST(AtomIo, WritingAtoms) {
  std::string dir = TempDir();
  FileHandle f = CreateForReadWrite(dir + "/out");
  EXPECT_EQ(WriteAtomString(f, "udta"), 8);
  ASSERT_TRUE(WriteAtom(f, "free", nullptr, 20, 0));
  ASSERT_TRUE(WriteAtom(f, "abcd", "xyz", 11, 3));
  ASSERT_TRUE(WriteAtom(f, "", nullptr, 0x100000004LL, 0));  // low 32 bits, no type
  CloseFile(f);
  EXPECT_EQ(ReadFile(dir + "/out"),
            ByteString("\0\0\0\x08udta\0\0\0\x14" "free\0\0\0\x0B" "abcdxyz\0\0\0\x04", 31));
}
