#include "rivetta/rewrite.h"

#include <algorithm>

#include "atoms/atom_io.h"
#include "atoms/offset_fixups.h"
#include "platform/console.h"
#include "rivetta/items.h"
#include "rivetta/state.h"

namespace {

// ISO/IEC 14496-12 sample flags: set for a sample that is not a sync sample.
constexpr uint32_t kSampleIsNonSync = 0x00010000;

struct Leaf {
  ByteString body;
  int64_t length() const { return int64_t(body.size()); }
  bool Has(int64_t offset, int64_t width) const { return BodyHas(length(), offset, width); }
  uint32_t U32(int64_t offset) const { return ReadU32BE(body.data(), offset); }
  uint32_t U16(int64_t offset) const { return ReadU16BE(body.data(), offset); }
};

constexpr uint32_t kTkhd = AtomTypeNumber("tkhd"), kMvhd = AtomTypeNumber("mvhd"),
                   kTrex = AtomTypeNumber("trex"), kTfhd = AtomTypeNumber("tfhd"),
                   kTrun = AtomTypeNumber("trun"), kMoof = AtomTypeNumber("moof"),
                   kTraf = AtomTypeNumber("traf"), kDcmd = AtomTypeNumber("dcmd");

// Only the atoms that are inspected are held whole; every other body (media
// data above all) is streamed, so memory does not grow with the input.
bool IsInspected(uint32_t type) {
  return type == kTkhd || type == kMvhd || type == kTrex || type == kTfhd || type == kTrun;
}

int64_t WriteInsertItems(FileHandle& output, const ByteString& path, bool atEnd, int64_t at) {
  int64_t written = 0;
  for (const auto& item : InsertList) {
    if (item.AtEnd != atEnd || item.Path != path) continue;
    int64_t n = WriteAtomString(output, item.Data);
    written += n;
    ShiftOffsetFixups(int32_t(n), at);
  }
  return written;
}

// The one-entry edit list written after a media track's header: the whole
// track duration, media time 0, rate 1.0.
ByteString EditListBytes(uint32_t duration) {
  return ByteString("edts") + U32BEBytes(0x1C) + "elst" + U32BEBytes(0) + U32BEBytes(1) +
         U32BEBytes(duration) + U32BEBytes(0) + U32BEBytes(0x00010000);
}

// Media track header: the two words where the analysis reads width and
// height, or the volume, are not zero. Returns the edit duration (track
// duration in movie time units) or 0.
// Version 1 headers hold 64-bit times and durations; a 32-bit duration is the
// low half of the 64-bit one, and the later fields lie further on.
bool IsVersion1(const Leaf& leaf) { return leaf.Has(0, 1) && uint8_t(leaf.body[0]) == 1; }

uint32_t InspectTrackHeader(const Leaf& leaf) {
  const int64_t shift = IsVersion1(leaf) ? 12 : 0;
  if (!leaf.Has(0, 82 + shift)) return 0;
  bool media = leaf.U32(74 + shift) != 0 || leaf.U32(78 + shift) != 0 || leaf.U16(36 + shift) != 0;
  return media ? leaf.U32(shift ? 32 : 20) : 0;
}

void InspectMovieHeader(const Leaf& leaf) {
  int64_t duration = IsVersion1(leaf) ? 28 : 16;
  if (leaf.Has(duration, 4)) Fragments.MovieDuration = leaf.U32(duration);
}

void InspectTrackExtends(const Leaf& leaf) {
  if (!leaf.Has(0, 24) || leaf.U32(4) != Facts.VideoTrackID) return;
  Fragments.TrexSampleFlags = Fragments.CurrentSampleFlags = leaf.U32(20);
  Fragments.TrexSampleDuration = Fragments.CurrentSampleDuration = leaf.U32(12);
}

// Track fragment header: clears the base data offset's low half in the
// A5504T mode (the track runs' data offsets become absolute instead), and
// takes the video track's defaults for the random-access index.
void InspectFragmentHeader(Leaf& leaf) {
  if (!leaf.Has(0, 4)) return;
  uint32_t flags = leaf.U16(2);
  if (Settings.A5504T && (flags & 0x0001) && leaf.Has(12, 4)) WriteU32BE(leaf.body.data(), 12, 0);
  if (!leaf.Has(4, 4) || leaf.U32(4) != Facts.VideoTrackID) return;
  if (!FragmentIndex.empty()) FragmentIndex.back().TrafNumber = Fragments.TrafCount;
  Fragments.CurrentSampleFlags = Fragments.TrexSampleFlags;
  Fragments.CurrentSampleDuration = Fragments.TrexSampleDuration;
  int64_t offset = 8;
  if (flags & 0x01) offset += 8;
  if (flags & 0x02) offset += 4;
  if (flags & 0x08) {
    if (leaf.Has(offset, 4)) Fragments.CurrentSampleDuration = leaf.U32(offset);
    offset += 4;
  }
  if (flags & 0x10) offset += 4;
  if ((flags & 0x20) && leaf.Has(offset, 4)) Fragments.CurrentSampleFlags = leaf.U32(offset);
}

// Track run: finds the fragment's first sync sample and sums the sample
// durations in front of it into the index entry's time.
void InspectTrackRun(const Leaf& leaf) {
  Fragments.TrunCount += 1;
  if (!leaf.Has(0, 8)) return;
  uint32_t flags = leaf.U16(2);
  int64_t count = leaf.U32(4);
  int64_t header = 8;
  if (flags & 0x001) header += 4;
  if (flags & 0x004) header += 4;
  int64_t record = 0, flagsAt = 0;
  if (flags & 0x100) record += 4;
  if (flags & 0x200) record += 4;
  if (flags & 0x400) {
    flagsAt = record;
    record += 4;
  }
  if (flags & 0x800) record += 4;
  // Per-sample records can only be as many as the body holds.
  if (record > 0) count = std::min(count, std::max<int64_t>(0, leaf.length() - header) / record);

  int64_t sync = 0;
  if (!FragmentIndex.empty() && FragmentIndex.back().SampleNumber == 0) {
    if (flags & 0x400) {
      for (int64_t i = 0; i < count; ++i)
        if (!(leaf.U32(header + i * record + flagsAt) & kSampleIsNonSync)) {
          sync = i + 1;
          break;
        }
    } else if (!(Fragments.CurrentSampleFlags & kSampleIsNonSync)) {
      sync = 1;
    }
    if (sync != 0) {
      FragmentIndexEntry& entry = FragmentIndex.back();
      entry.TrunNumber = Fragments.TrunCount;
      entry.SampleNumber = uint32_t(sync);
      entry.Time += Fragments.PendingDuration;
      Fragments.PendingDuration = 0;
    }
  }
  // Durations of the samples before the sync sample go into the entry's
  // time, the rest wait for the next fragment.
  int64_t before = std::clamp<int64_t>(sync - 1, 0, count);
  if (flags & 0x100) {
    for (int64_t i = 0; i < count; ++i) {
      uint32_t duration = leaf.U32(header + i * record);
      if (i < before) FragmentIndex.back().Time += duration;
      else Fragments.PendingDuration += duration;
    }
  } else {
    uint32_t duration = Fragments.CurrentSampleDuration;
    if (before > 0) FragmentIndex.back().Time += uint32_t(before) * duration;
    Fragments.PendingDuration += uint32_t(count - before) * duration;
  }
}

void StartFragment(FileHandle& output) {
  Fragments.FragmentBaseTime += Fragments.MovieDuration;
  FragmentIndexEntry entry;
  entry.MoofOffset = CurrentPosition(output);
  entry.Time = Fragments.FragmentBaseTime;
  FragmentIndex.push_back(entry);
  Fragments.TrafCount = 0;
  Fragments.TrunCount = 0;
  Fragments.PendingDuration = 0;
}

void NoteDcmd(FileHandle& output) {
  if (Fragments.DcmdFound) {
    PrintLine(Text("A>Warning: dcmd atomが複数あります"));
    return;
  }
  Fragments.DcmdPosition = CurrentPosition(output);
  Fragments.DcmdFound = true;
}

// Copies a leaf atom; inspects (and for "tfhd" changes) the few types the
// index and the edit lists need. Returns the edit duration of a media track
// header, else 0.
uint32_t CopyLeaf(FileHandle& input, FileHandle& output, const AtomHeader& header) {
  const uint32_t type = AtomTypeNumber(header);
  int64_t bodyLength = int64_t(header.size) - 8;
  int64_t available = std::max<int64_t>(0, FileLength(input) - (header.position + 8));
  if (!IsInspected(type) || bodyLength > available) {
    // Not inspected, or the file ends inside the body: copied as it stands.
    WriteAtom(output, header.type, nullptr, header.size, 0);
    CopyFileBytes(input, output, bodyLength);
    return 0;
  }
  Leaf leaf;
  leaf.body.resize(size_t(bodyLength));
  ReadBytes(input, leaf.body.data(), bodyLength);
  uint32_t editDuration = 0;
  if (type == kTkhd) editDuration = InspectTrackHeader(leaf);
  else if (type == kMvhd) InspectMovieHeader(leaf);
  else if (type == kTrex) InspectTrackExtends(leaf);
  else if (type == kTfhd) InspectFragmentHeader(leaf);
  else if (type == kTrun) InspectTrackRun(leaf);
  WriteAtom(output, header.type, leaf.body.data(), header.size, bodyLength);
  return editDuration;
}

// Copies the input from its current position to `end` (or the end of the
// file) unchanged.
void CopyRest(FileHandle& input, FileHandle& output, int64_t from, int64_t end) {
  SeekTo(input, from);
  if (end > from) CopyFileBytes(input, output, end - from);
}

}  // namespace

int32_t RewriteAtoms(FileHandle& input, FileHandle& output, const ByteString& path, int64_t length,
                     int depth) {
  const int64_t start = CurrentPosition(input);
  int64_t delta = WriteInsertItems(output, path, false, start);

  int64_t at = start;
  while (at - start < length) {
    AtomHeader header;
    HeaderRead read = ReadAtomHeader(input, header);
    if (read != HeaderRead::Ok) {
      // A size below 8, or a header the file ends inside: the rest of the
      // level is copied unchanged and counted, so no input byte is lost and
      // every container size written equals the bytes written.
      CopyRest(input, output, header.position, start + length);
      break;
    }
    uint32_t editDuration = 0;
    if (InDeleteList(header.type)) {
      SeekTo(input, header.position + header.size);
      delta -= header.size;
      NoteDeletedRange(header.position, header.size);
      ShiftOffsetFixups(int32_t(0u - header.size), header.position);  // modulo 2^32
    } else {
      const uint32_t type = AtomTypeNumber(header);
      if (type == kMoof) StartFragment(output);
      else if (type == kTraf) Fragments.TrafCount += 1;
      else if (type == kDcmd) NoteDcmd(output);

      if (IsWalkedContainer(header, TypeMatch::IgnoringCase) && depth + 1 < kMaxAtomDepth) {
        int64_t sizeAt = CurrentPosition(output);
        WriteAtom(output, header.type, nullptr, header.size, 0);
        int32_t d = RewriteAtoms(input, output, ChildPath(path, header.type), int64_t(header.size) - 8,
                                 depth + 1);
        if (d != 0) {
          uint8_t size[4];
          WriteU32BE(size, 0, header.size + uint32_t(d));
          WriteBytesAt(output, sizeAt, size, 4);
        }
        delta += d;
      } else {
        editDuration = CopyLeaf(input, output, header);
      }
    }
    if (Settings.Build_edts && editDuration != 0) {
      int64_t n = WriteAtomString(output, EditListBytes(editDuration));
      delta += n;
      ShiftOffsetFixups(int32_t(n), CurrentPosition(input));
    }
    at = CurrentPosition(input);
    // Offsets whose field and target now lie behind are written while the
    // field is still in the output's gathered bytes.
    SettleOffsetFixups(output, at);
  }

  delta += WriteInsertItems(output, path, true, CurrentPosition(input));
  return int32_t(delta);
}
