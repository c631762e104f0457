#pragma once
// The offset fix-up table: every absolute file offset found in the input
// (chunk offsets, fragment base and data offsets, random-access moof offsets)
// carried through the insertions and deletions of the rewrite and written,
// corrected, into the output.
//
// The rewrite only inserts and removes whole atoms, so every input position
// reaches its output position by adding the size changes of all edits made at
// or before it. The edits are recorded as they happen and each entry's shifts
// are computed once, when the table is applied: the cost grows as
// (entries + edits) x log(edits), not entries x edits.
#include <cstdint>
#include <vector>

#include "platform/files.h"

struct OffsetFixup {
  int64_t Position = 0;       // input position of the field's first byte
  uint32_t Value = 0;         // the offset the field holds
  int32_t PositionShift = 0;  // filled when the table is resolved
  int32_t ValueShift = 0;
  // -1 for an absolute offset. Otherwise the field holds a signed offset
  // relative to this input position (a track run's data offset from its
  // fragment's base): it changes by the edits made between the two.
  int64_t Base = -1;
  bool Written = false;  // settled while the rewrite ran
};

struct OffsetEdit {
  int64_t InputPosition = 0;  // bytes inserted in front of, or removed from, here
  int32_t Delta = 0;
};

struct DeletedRange {
  int64_t Start = 0;  // input position of the deleted atom's first byte
  int64_t Length = 0;
};

struct OffsetFixupTable {
  std::vector<OffsetFixup> Entries;  // in the order the analysis met the fields
  std::vector<OffsetEdit> Edits;     // in the order the rewrite made them
  std::vector<DeletedRange> Deleted;
  // Settling during the rewrite: running sums of Edits' deltas, whether the
  // edits came in input order, and the entries ordered by the input position
  // from which they can be settled.
  std::vector<int32_t> EditSums;
  bool EditsInOrder = true;
  std::vector<uint32_t> SettleOrder;
  size_t SettleNext = 0;
  bool SettlePrepared = false;
};

// The run's table.
OffsetFixupTable& Fixups();
void ResetOffsetFixups();

// Records the 32-bit field at `offset` of a body read from the input whose
// first byte lies at input position `bodyPosition`.
void AddOffsetFixup(const void* body, int32_t offset, int64_t bodyPosition);
// Records the field at input position `position` with the offset it is to
// hold (a value the analysis computed rather than read).
void AddOffsetFixupValue(int64_t position, uint32_t value);
// Records a field holding a signed 32-bit offset from input position `base`.
void AddRelativeOffsetFixup(const void* body, int32_t offset, int64_t bodyPosition, int64_t base);
// A size change of `delta` bytes at `inputPosition`: + bytes inserted in
// front of it, - bytes removed from it on.
void ShiftOffsetFixups(int32_t delta, int64_t inputPosition);
// An atom the rewrite leaves out: fields inside it have no place in the
// output and are never written.
void NoteDeletedRange(int64_t start, int64_t length);

// Computes the PositionShift and ValueShift of every entry not settled during
// the rewrite from the recorded edits: the sum of the deltas made at or
// before the position (or value).
void ResolveOffsetFixups(OffsetFixupTable& table);
// True when the entry's field lies inside a deleted atom.
bool InDeletedRange(const OffsetFixupTable& table, int64_t position);

// Called by the rewrite as it goes, with the input position it has reached:
// edits are made in input order, so an entry whose field and target both lie
// behind that position has its final shifts. Such entries are written now
// when their field is still among the output's gathered bytes (a fragment's
// headers, shortly after they were written), which costs no system call;
// the others wait for ApplyOffsetFixups.
void SettleOffsetFixups(FileHandle& output, int64_t inputPosition);

// Resolves the shifts and writes the low 32 bits of Value + ValueShift at
// Position + PositionShift of the output, for every entry not deleted and not
// settled before, in table order (a later entry at the same place wins). The
// output position is left where it was.
void ApplyOffsetFixups(FileHandle& output);
