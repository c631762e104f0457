#include "atoms/offset_fixups.h"

#include <gtest/gtest.h>

#include "testing/movie_builder.h"

namespace {

// Records a field at input position `position` holding `value`.
void Record(int64_t position, uint32_t value) {
  ByteString body = U32(value);
  AddOffsetFixup(body.data(), 0, position);
}

struct Resolved {
  int64_t position;
  uint32_t value;
};

Resolved ResolvedAt(size_t i) {
  ResolveOffsetFixups(Fixups());
  const OffsetFixup& e = Fixups().Entries[i];
  return {e.Position + e.PositionShift, e.Value + uint32_t(e.ValueShift)};
}

}  // namespace

TEST(OffsetFixups, AddRecordsPositionAndValue) {
  ResetOffsetFixups();
  ByteString body = U32(7) + U32(1234);
  AddOffsetFixup(body.data(), 4, 100);
  ASSERT_EQ(Fixups().Entries.size(), 1u);
  EXPECT_EQ(Fixups().Entries[0].Position, 104);
  EXPECT_EQ(Fixups().Entries[0].Value, 1234u);
}

TEST(OffsetFixups, ShiftRules) {
  struct Case {
    const char* name;
    std::vector<OffsetEdit> edits;
    int64_t position;
    uint32_t value;
    int64_t wantPosition;
    uint32_t wantValue;
  };
  const int64_t P = 1000;
  const Case cases[] = {
      {"insert at P moves a field and an offset at P", {{P, 100}}, P, P, P + 100, P + 100},
      {"insert at P leaves P - 1", {{P, 100}}, P - 1, P - 1, P - 1, P - 1},
      {"delete lowers offsets into the deleted atom", {{P, -500}}, 5000, P + 20, 4500, P - 480},
      {"edits add up", {{10, 8}, {P, -500}, {2000, 36}}, 3000, 2500, 3000 - 456, 2500 - 456},
      {"edits in any order", {{2000, 36}, {10, 8}}, 2000, 10, 2044, 18},
      {"corrected offset wraps modulo 2^32", {{0, 100}}, 50, 0xFFFFFFF0u, 150, 0x54u},
      {"offset above 2 GiB compares unsigned", {{0x90000000LL, 4}}, 0, 0x90000000u, 0, 0x90000004u},
  };
  for (const auto& c : cases) {
    ResetOffsetFixups();
    Record(c.position, c.value);
    for (const auto& e : c.edits) ShiftOffsetFixups(e.Delta, e.InputPosition);
    Resolved r = ResolvedAt(0);
    EXPECT_EQ(r.position, c.wantPosition) << c.name;
    EXPECT_EQ(r.value, c.wantValue) << c.name;
  }
}

TEST(OffsetFixups, ApplyWritesOnlyLiveEntriesInPlace) {
  ResetOffsetFixups();
  Record(8, 100);   // moves with an insert at 0
  Record(12, 104);  // same run as the first
  Record(40, 60);   // lies inside the deleted atom 32..48: never written
  Record(60, 200);
  ShiftOffsetFixups(4, 0);
  NoteDeletedRange(32, 16);
  ShiftOffsetFixups(-16, 32);

  std::string dir = TempDir();
  FileHandle out = CreateForReadWrite(dir + "/out");
  ByteString blank(64, '\xEE');
  WriteBytes(out, blank.data(), int64_t(blank.size()));
  SeekTo(out, 17);
  ApplyOffsetFixups(out);
  EXPECT_EQ(CurrentPosition(out), 17);  // position left where it was
  CloseFile(out);

  ByteString expected = blank;
  expected.replace(12, 8, U32(88) + U32(92));  // values past 32 also lose 16
  expected.replace(48, 4, U32(188));
  EXPECT_EQ(ReadFile(dir + "/out"), expected);
  EXPECT_TRUE(InDeletedRange(Fixups(), 40));
  EXPECT_FALSE(InDeletedRange(Fixups(), 48));
}

TEST(OffsetFixups, LaterEntryAtTheSamePlaceWins) {
  ResetOffsetFixups();
  Record(0, 1);
  Record(0, 2);
  std::string dir = TempDir();
  FileHandle out = CreateForReadWrite(dir + "/out");
  WriteBytes(out, "\0\0\0\0", 4);
  ApplyOffsetFixups(out);
  CloseFile(out);
  EXPECT_EQ(ReadFile(dir + "/out"), U32(2));
}

TEST(OffsetFixups, EmptyTableWritesNothing) {
  ResetOffsetFixups();
  std::string dir = TempDir();
  FileHandle out = CreateForReadWrite(dir + "/out");
  WriteBytes(out, "abcdefgh", 8);
  SeekTo(out, 3);
  ApplyOffsetFixups(out);
  EXPECT_EQ(CurrentPosition(out), 3);
  CloseFile(out);
  EXPECT_EQ(ReadFile(dir + "/out"), "abcdefgh");
}

TEST(OffsetFixups, ManyEditsAgainstManyEntriesMatchTheDirectSums) {
  // Every entry's shift equals the plain sum of the deltas at or before it.
  ResetOffsetFixups();
  std::vector<OffsetEdit> edits;
  for (int i = 0; i < 3000; ++i) edits.push_back({int64_t(i) * 97 % 20011, (i % 7) - 3});
  for (int i = 0; i < 3000; ++i) Record(int64_t(i) * 13 % 20011, uint32_t(i * 31 % 20011));
  for (const auto& e : edits) ShiftOffsetFixups(e.Delta, e.InputPosition);
  ResolveOffsetFixups(Fixups());
  for (const auto& entry : Fixups().Entries) {
    int32_t p = 0, v = 0;
    for (const auto& e : edits) {
      if (entry.Position >= e.InputPosition) p += e.Delta;
      if (int64_t(entry.Value) >= e.InputPosition) v += e.Delta;
    }
    ASSERT_EQ(entry.PositionShift, p);
    ASSERT_EQ(entry.ValueShift, v);
  }
}

TEST(OffsetFixups, SettledWhileGatheredOnceFieldAndTargetArePassed) {
  // Output bytes still gathered (not yet handed to the kernel): a field at
  // input 20 pointing back at 0 settles as soon as the walk passes 24; one
  // pointing forward at 100 only once the walk passes 100.
  ResetOffsetFixups();
  Record(20, 0);
  Record(28, 100);
  std::string dir = TempDir();
  FileHandle out = CreateForReadWrite(dir + "/out");
  ByteString bytes(64, '\xEE');
  ASSERT_TRUE(WriteBytes(out, bytes.data(), int64_t(bytes.size())));
  ShiftOffsetFixups(8, 0);  // an insert at the start moves everything by 8
  SettleOffsetFixups(out, 40);
  EXPECT_TRUE(Fixups().Entries[0].Written);
  EXPECT_FALSE(Fixups().Entries[1].Written);
  ShiftOffsetFixups(-4, 50);  // a deletion between the second field and its target
  SettleOffsetFixups(out, 101);
  EXPECT_TRUE(Fixups().Entries[1].Written);
  ApplyOffsetFixups(out);  // nothing left to write
  CloseFile(out);
  ByteString expected = bytes;
  expected.replace(28, 4, U32(8));        // 0 + 8, at 20 + 8
  expected.replace(36, 4, U32(100 + 4));  // 100 + 8 - 4, at 28 + 8
  EXPECT_EQ(ReadFile(dir + "/out"), expected);
}
