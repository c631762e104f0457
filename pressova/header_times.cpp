// Both operations walk the atom tree the same way: ISO/IEC 14496-12 atom
// headers, the listed container types (without regard to case, at least 16
// bytes) walked as ranges of their own, every other atom moved over. Each
// range is bounded by what its parent still holds, so neither walk reads or
// writes past a header body, and a file that ends early ends the walk.
#include "pressova/header_times.h"

#include <vector>

#include "atoms/atom_io.h"

namespace {

// Body bytes 4-7 and 8-11 of a version 0 header: creation and modification
// time, seconds since 1904.
constexpr int64_t kCreationTimeOffset = 4;
constexpr int64_t kModificationTimeOffset = 8;

enum class HeaderJob { ReadCreationTime, Stamp };

struct WalkState {
  HeaderJob job;
  uint32_t time;  // the value read so far, or the time to stamp
};

bool IsStampedHeader(const ByteString& type) { return type == "mvhd" || type == "tkhd" || type == "mdhd"; }

// Reads the whole body of a header atom; false when the file ends inside it.
bool ReadBody(FileHandle& file, int64_t bodyLength, std::vector<uint8_t>& body) {
  body.resize(size_t(bodyLength));
  return ReadBytes(file, body.data(), bodyLength) == bodyLength;
}

void HandleHeader(FileHandle& file, const AtomHeader& header, WalkState& state) {
  int64_t bodyStart = header.position + 8;
  int64_t bodyLength = int64_t(header.size) - 8;
  std::vector<uint8_t> body;
  if (state.job == HeaderJob::ReadCreationTime) {
    if (header.type == "mvhd" && BodyHas(bodyLength, kCreationTimeOffset, 4) &&
        ReadBody(file, bodyLength, body))
      state.time = ReadU32BE(body.data(), kCreationTimeOffset);
  } else if (BodyHas(bodyLength, kModificationTimeOffset, 4) && ReadBody(file, bodyLength, body)) {
    WriteU32BE(body.data(), kCreationTimeOffset, state.time);
    WriteU32BE(body.data(), kModificationTimeOffset, state.time);
    WriteBytesAt(file, bodyStart, body.data(), bodyLength);
  }
  SeekTo(file, bodyStart + bodyLength);
}

void WalkRange(FileHandle& file, int64_t length, int depth, WalkState& state) {
  int64_t start = CurrentPosition(file);
  int64_t end = start + length;
  int64_t consumed = 0;
  while (consumed < length) {
    AtomHeader header;
    HeaderRead read = ReadAtomHeader(file, header);
    if (read != HeaderRead::Ok) {
      // A size below 8 ends the level; so does the end of the file.
      SeekTo(file, end);
      return;
    }
    int64_t remaining = length - consumed;
    bool walked = IsWalkedContainer(header, TypeMatch::IgnoringCase) && depth < kMaxAtomDepth;
    if (walked) {
      // A container reaching past its parent is walked as far as the parent goes.
      WalkRange(file, std::min<int64_t>(header.size, remaining) - 8, depth + 1, state);
    } else if (int64_t(header.size) > remaining) {
      // An atom reaching past its parent (or the file): its body is not whole.
      SeekTo(file, end);
      return;
    } else if (IsStampedHeader(header.type)) {
      HandleHeader(file, header, state);
    } else {
      SeekTo(file, header.position + header.size);
    }
    consumed = CurrentPosition(file) - start;
  }
}

}  // namespace

uint32_t ReadMovieCreationTime(FileHandle& file, uint32_t startValue, int64_t length) {
  WalkState state{HeaderJob::ReadCreationTime, startValue};
  WalkRange(file, length, 0, state);
  return state.time;
}

void StampHeaderTimes(FileHandle& file, uint32_t time, int64_t length) {
  WalkState state{HeaderJob::Stamp, time};
  WalkRange(file, length, 0, state);
}
