#include "rivetta/fragment_index.h"

#include <cstdint>
#include <vector>

#include "atoms/atom_io.h"
#include "atoms/bytes.h"
#include "rivetta/state.h"

namespace {

// ISO/IEC 14496-12 section 8.8.10, "tfra" version 0: 32-bit time and moof
// offset, and with all three length-size fields 0 the traf, trun and sample
// numbers take one byte each.
constexpr int64_t kTfraEntrySize = 4 + 4 + 1 + 1 + 1;
// Size, type, version and flags, track ID, length sizes, entry count.
constexpr int64_t kTfraHeaderSize = 24;
// The "mfra" header and the 16-byte "mfro".
constexpr int64_t kMfraOverhead = 8 + 16;

// The traf, trun and sample numbers of an entry as written: 1, 1, 1 in mode
// 2 and for an entry that names no sample (no traf, or neither trun nor
// sample); else their low 8 bits.
void WriteEntryNumbers(uint8_t* at, const FragmentIndexEntry& entry, int32_t mode) {
  bool firstSample = mode == 2 || entry.TrafNumber == 0 ||
                     (entry.TrunNumber == 0 && entry.SampleNumber == 0);
  at[0] = firstSample ? 1 : uint8_t(entry.TrafNumber);
  at[1] = firstSample ? 1 : uint8_t(entry.TrunNumber);
  at[2] = firstSample ? 1 : uint8_t(entry.SampleNumber);
}

}  // namespace

void BuildFragmentIndex(FileHandle& output, int32_t mode) {
  if (FragmentIndex.empty() || Facts.VideoTrackID == 0) return;
  int64_t n = int64_t(FragmentIndex.size());
  int64_t tfraSize = kTfraHeaderSize + kTfraEntrySize * n;
  int64_t mfraSize = tfraSize + kMfraOverhead;
  // Atom sizes are 32-bit: an index that cannot state its own size is not
  // written at all.
  if (mfraSize > int64_t(UINT32_MAX)) return;

  WriteAtom(output, "mfra", nullptr, mfraSize, 0);

  // The whole "tfra" body in one buffer of its exact size.
  std::vector<uint8_t> tfra(size_t(tfraSize - 8), 0);
  WriteU32BE(tfra.data(), 0, 0);  // version 0, flags 0
  WriteU32BE(tfra.data(), 4, Facts.VideoTrackID);
  WriteU32BE(tfra.data(), 8, 0);  // reserved, and one-byte traf/trun/sample numbers
  WriteU32BE(tfra.data(), 12, uint32_t(n));
  int64_t at = 16;
  for (const FragmentIndexEntry& entry : FragmentIndex) {
    WriteU32BE(tfra.data(), at, entry.Time);
    WriteU32BE(tfra.data(), at + 4, uint32_t(entry.MoofOffset));
    WriteEntryNumbers(tfra.data() + at + 8, entry, mode);
    at += kTfraEntrySize;
  }
  WriteAtom(output, "tfra", tfra.data(), tfraSize, int64_t(tfra.size()));

  // "mfro": version and flags, then the size of the whole "mfra", so that a
  // reader can find the index from the end of the file.
  uint8_t mfro[8];
  WriteU32BE(mfro, 0, 0);
  WriteU32BE(mfro, 4, uint32_t(mfraSize));
  WriteAtom(output, "mfro", mfro, 16, 8);
}
