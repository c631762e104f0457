// Files keep their position and length in the process and gather small reads
// and writes in a buffer; these tests check that every call still sees the
// file as if each read and write had gone straight to it.
#include <gtest/gtest.h>

#include "platform/files.h"

#include <sys/stat.h>
#include "testing/movie_builder.h"

namespace {

// Bytes that differ from position to position, so that a byte read from the
// wrong place shows.
ByteString Pattern(size_t length, int seed = 0) {
  ByteString bytes;
  bytes.reserve(length);
  for (size_t i = 0; i < length; ++i) bytes.push_back(char((i * 131 + i / 251 + size_t(seed)) & 0xFF));
  return bytes;
}

ByteString ReadAll(FileHandle& file, int64_t count) {
  ByteString bytes(size_t(count), '\0');
  bytes.resize(size_t(ReadBytes(file, bytes.data(), count)));
  return bytes;
}

}  // namespace

TEST(Files, SmallAndLargeReadsFollowThePosition) {
  std::string dir = TempDir();
  ByteString data = Pattern(300000);
  WriteFile(dir + "/in", data);
  FileHandle in = OpenForReading(dir + "/in");
  EXPECT_EQ(FileLength(in), int64_t(data.size()));
  EXPECT_EQ(ReadAll(in, 8), data.substr(0, 8));
  EXPECT_EQ(CurrentPosition(in), 8);
  // Past what the first read brought in, and larger than the buffer.
  EXPECT_EQ(ReadAll(in, 100000), data.substr(8, 100000));
  EXPECT_EQ(SeekTo(in, 70000), 70000);  // back into bytes read before
  EXPECT_EQ(ReadAll(in, 4), data.substr(70000, 4));
  EXPECT_EQ(SeekBy(in, 200000), 270004);
  EXPECT_EQ(ReadAll(in, 100000), data.substr(270004));  // short at the end
  EXPECT_EQ(CurrentPosition(in), int64_t(data.size()));
  EXPECT_EQ(ReadAll(in, 10), "");
  EXPECT_EQ(SeekTo(in, -1), -1);  // refused, and the position stays
  EXPECT_EQ(CurrentPosition(in), int64_t(data.size()));
  EXPECT_EQ(SeekToEnd(in), int64_t(data.size()));
  char byte = 0;
  EXPECT_EQ(ReadBytesAt(in, 5, &byte, 1), 1);
  EXPECT_EQ(byte, data[5]);
  EXPECT_EQ(CurrentPosition(in), int64_t(data.size()));  // a read at a place leaves it
  EXPECT_FALSE(WriteBytes(in, "x", 1));  // opened for reading only
  EXPECT_FALSE(WriteBytesAt(in, 0, "x", 1));
  CloseFile(in);
  EXPECT_EQ(ReadFile(dir + "/in"), data);
}

TEST(Files, GatheredWritesAreSeenByReadsLengthsAndPatches) {
  std::string dir = TempDir();
  FileHandle f = CreateForReadWrite(dir + "/out");
  ByteString expected;
  for (int i = 0; i < 2000; ++i) {  // many small writes, past the buffer's size
    ByteString piece = Pattern(size_t(1 + i % 97), i);
    ASSERT_TRUE(WriteBytes(f, piece.data(), int64_t(piece.size())));
    expected += piece;
  }
  EXPECT_EQ(CurrentPosition(f), int64_t(expected.size()));
  EXPECT_EQ(FileLength(f), int64_t(expected.size()));
  // A patch into bytes still gathered, and one into bytes already written out.
  int64_t tail = int64_t(expected.size()) - 3;
  ASSERT_TRUE(WriteBytesAt(f, tail, "ABC", 3));
  expected.replace(size_t(tail), 3, "ABC");
  ASSERT_TRUE(WriteBytesAt(f, 10, "defg", 4));
  expected.replace(10, 4, "defg");
  EXPECT_EQ(CurrentPosition(f), int64_t(expected.size()));
  // Reads see every write, wherever it went.
  char bytes[8];
  EXPECT_EQ(ReadBytesAt(f, tail - 2, bytes, 5), 5);
  EXPECT_EQ(ByteString(bytes, 5), expected.substr(size_t(tail - 2), 5));
  SeekTo(f, 8);
  EXPECT_EQ(ReadAll(f, 8), expected.substr(8, 8));
  // A write after a read replaces what was read.
  SeekTo(f, 12);
  ASSERT_TRUE(WriteBytes(f, "XY", 2));
  expected.replace(12, 2, "XY");
  SeekTo(f, 8);
  EXPECT_EQ(ReadAll(f, 8), expected.substr(8, 8));
  // A write past the end makes the file longer.
  SeekToEnd(f);
  ASSERT_TRUE(WriteBytes(f, "end", 3));
  expected += "end";
  EXPECT_EQ(FileLength(f), int64_t(expected.size()));
  CloseFile(f);
  EXPECT_EQ(ReadFile(dir + "/out"), expected);
}

TEST(Files, ReplacingAFileEmptiesItFirst) {
  std::string dir = TempDir();
  WriteFile(dir + "/out", "old content");
  FileHandle f = CreateForReadWrite(dir + "/out");
  EXPECT_EQ(FileLength(f), 0);
  WriteBytes(f, "new", 3);
  CloseFile(f);
  EXPECT_EQ(ReadFile(dir + "/out"), "new");
  WriteFile(dir + "/empty", "");
  f = CreateForReadWrite(dir + "/empty");
  EXPECT_EQ(FileLength(f), 0);
  CloseFile(f);
  EXPECT_EQ(ReadFile(dir + "/empty"), "");
}

TEST(Files, CopyFileBytesTakesBytesAlreadyReadThenTheRest) {
  std::string dir = TempDir();
  ByteString data = Pattern(400000);
  WriteFile(dir + "/in", data);
  FileHandle in = OpenForReading(dir + "/in");
  FileHandle out = CreateForReadWrite(dir + "/out");
  ByteString expected;
  // A header read (the buffer now holds what follows), then small and large
  // copies mixed with gathered writes.
  expected += ReadAll(in, 8);
  WriteBytes(out, expected.data(), 8);
  EXPECT_EQ(CopyFileBytes(in, out, 100), 100);
  expected += data.substr(8, 100);
  WriteBytes(out, "ins", 3);
  expected += "ins";
  EXPECT_EQ(CopyFileBytes(in, out, 200000), 200000);
  expected += data.substr(108, 200000);
  EXPECT_EQ(CurrentPosition(in), 200108);
  EXPECT_EQ(CurrentPosition(out), int64_t(expected.size()));
  SeekTo(in, 300000);
  EXPECT_EQ(CopyFileBytes(in, out, 1000000), int64_t(data.size()) - 300000);  // short at the end
  expected += data.substr(300000);
  EXPECT_EQ(FileLength(out), int64_t(expected.size()));
  // The size of an atom written before the copies, patched afterwards.
  WriteBytesAt(out, 0, "SIZE", 4);
  expected.replace(0, 4, "SIZE");
  CloseFile(in);
  CloseFile(out);
  EXPECT_EQ(ReadFile(dir + "/out"), expected);
}

TEST(Files, LargeCopiesLandWhereverTheOutputStands) {
  // Ranges of a mebibyte and more: at the same place within a page as in the
  // input (the kernel copies), and shifted by a few bytes (read and written
  // through memory), each followed by bytes of our own and a patch behind.
  std::string dir = TempDir();
  ByteString data = Pattern((3 << 20) + 12345, 9);
  WriteFile(dir + "/in", data);
  for (int64_t shift : {0, 148, 4096 + 7}) {
    FileHandle in = OpenForReading(dir + "/in");
    FileHandle out = CreateForReadWrite(dir + "/out");
    ByteString expected(size_t(shift), 'h');
    ASSERT_TRUE(WriteBytes(out, expected.data(), shift));
    SeekTo(in, 100);
    ASSERT_EQ(CopyFileBytes(in, out, int64_t(data.size())), int64_t(data.size()) - 100) << shift;
    expected += data.substr(100);
    ASSERT_TRUE(WriteBytes(out, "tail", 4));
    expected += "tail";
    ASSERT_TRUE(WriteBytesAt(out, shift + 5000, "PT", 2));
    expected.replace(size_t(shift + 5000), 2, "PT");
    EXPECT_EQ(FileLength(out), int64_t(expected.size()));
    EXPECT_FALSE(HadWriteFailure(out));
    CloseFile(in);
    CloseFile(out);
    EXPECT_EQ(ReadFile(dir + "/out"), expected) << shift;
  }
}

TEST(Files, ManySmallCopiesFromAMappedInputWithPatchesBehind) {
  // More than the window of mapped pages kept, copied the way the rewrite
  // copies fragments: a header of our own, a body from the input, and now
  // and then a size patched a little behind the end.
  std::string dir = TempDir();
  ByteString data = Pattern(20 << 20, 3);
  WriteFile(dir + "/in", data);
  FileHandle in = OpenForReading(dir + "/in");
  FileHandle out = CreateForReadWrite(dir + "/out");
  ByteString expected;
  int64_t at = 0;
  for (int piece = 0; at < int64_t(data.size()); ++piece) {
    ByteString header = "hd" + std::to_string(piece);
    ASSERT_TRUE(WriteBytes(out, header.data(), int64_t(header.size())));
    expected += header;
    int64_t n = std::min<int64_t>(7000 + piece % 5000, int64_t(data.size()) - at);
    ASSERT_EQ(CopyFileBytes(in, out, n), n);
    expected += data.substr(size_t(at), size_t(n));
    at += n;
    if (piece % 7 == 0) {
      int64_t patchAt = int64_t(expected.size()) - n - int64_t(header.size());
      ASSERT_TRUE(WriteBytesAt(out, patchAt, "PT", 2));
      expected.replace(size_t(patchAt), 2, "PT");
    }
  }
  EXPECT_EQ(CopyFileBytes(in, out, 10), 0);  // the input has ended
  // Reading back through the output sees every byte gathered so far.
  char back[8];
  ASSERT_EQ(ReadBytesAt(out, 0, back, 8), 8);
  EXPECT_EQ(ByteString(back, 8), expected.substr(0, 8));
  EXPECT_FALSE(HadWriteFailure(out));
  CloseFile(in);
  CloseFile(out);
  EXPECT_EQ(ReadFile(dir + "/out"), expected);
}

TEST(Files, ReservedSpacePastTheEndIsGivenBackAndTheDateHolds) {
  std::string dir = TempDir();
  FileHandle out = CreateForReadWrite(dir + "/out");
  ReserveFileSpace(out, 8 << 20);
  ByteString data = Pattern(100000, 5);
  ASSERT_TRUE(WriteBytes(out, data.data(), int64_t(data.size())));
  ASSERT_TRUE(SetFileDate(out, DosDateTime{2001, 2, 3, 4, 5, 6}));
  CloseFile(out);
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/out").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, int64_t(data.size()));
  EXPECT_LT(int64_t(st.st_blocks) * 512, int64_t(1) << 20);  // not the 8 MiB reserved
  auto back = ReadFileDate(dir + "/out");
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->year, 2001);
  EXPECT_EQ(back->second, 6);
  EXPECT_EQ(ReadFile(dir + "/out"), data);
}

TEST(Files, WritesThatFailAreReported) {
  FileHandle full = CreateForReadWrite("/dev/full");
  if (!IsOpen(full)) GTEST_SKIP() << "no /dev/full";
  EXPECT_TRUE(WriteBytes(full, "abc", 3));  // gathered: the failure shows at the flush
  EXPECT_TRUE(HadWriteFailure(full));
  CloseFile(full);

  // Batches written in the background fail the same way: several mebibytes
  // in small writes, then the failure is there at the end.
  full = CreateForReadWrite("/dev/full");
  ASSERT_TRUE(IsOpen(full));
  ByteString piece(4000, 'x');
  bool refused = false;
  for (int i = 0; i < 1000; ++i) refused |= !WriteBytes(full, piece.data(), int64_t(piece.size()));
  EXPECT_TRUE(refused);  // noticed while writing, once a batch had gone out
  EXPECT_TRUE(HadWriteFailure(full));
  CloseFile(full);

  // A large range copied through memory.
  std::string dir = TempDir();
  WriteFile(dir + "/in", ByteString(3 << 20, 'm'));
  FileHandle in = OpenForReading(dir + "/in");
  full = CreateForReadWrite("/dev/full");
  ASSERT_TRUE(IsOpen(full));
  ASSERT_TRUE(WriteBytes(full, "x", 1));
  CopyFileBytes(in, full, 3 << 20);
  EXPECT_TRUE(HadWriteFailure(full));
  CloseFile(full);
  CloseFile(in);
}
