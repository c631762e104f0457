#include "atoms/offset_fixups.h"

#include <algorithm>

#include "atoms/bytes.h"

OffsetFixupTable& Fixups() {
  static OffsetFixupTable table;
  return table;
}

void ResetOffsetFixups() { Fixups() = OffsetFixupTable{}; }

void AddOffsetFixup(const void* body, int32_t offset, int64_t bodyPosition) {
  OffsetFixup entry;
  entry.Position = bodyPosition + int64_t(offset);
  entry.Value = ReadU32BE(body, offset);
  Fixups().Entries.push_back(entry);
}

void AddRelativeOffsetFixup(const void* body, int32_t offset, int64_t bodyPosition, int64_t base) {
  AddOffsetFixup(body, offset, bodyPosition);
  Fixups().Entries.back().Base = base;
}

void ShiftOffsetFixups(int32_t delta, int64_t inputPosition) {
  if (delta != 0) Fixups().Edits.push_back({inputPosition, delta});
}

void NoteDeletedRange(int64_t start, int64_t length) {
  if (length > 0) Fixups().Deleted.push_back({start, length});
}

namespace {

// Edits sorted by position with running sums: the shift of a position X is
// the sum of all deltas whose position is <= X.
struct ShiftIndex {
  std::vector<int64_t> positions;
  std::vector<int32_t> sums;  // sums[i] = delta of edits 0..i (32-bit, wrapping)

  explicit ShiftIndex(std::vector<OffsetEdit> edits) {
    // The rewrite makes its edits in input order; sorting keeps this right
    // for any order, since a sum does not depend on it.
    std::stable_sort(edits.begin(), edits.end(), [](const OffsetEdit& a, const OffsetEdit& b) {
      return a.InputPosition < b.InputPosition;
    });
    uint32_t running = 0;
    for (const auto& e : edits) {
      running += uint32_t(e.Delta);
      positions.push_back(e.InputPosition);
      sums.push_back(int32_t(running));
    }
  }

  int32_t ShiftAt(int64_t position) const {
    auto it = std::upper_bound(positions.begin(), positions.end(), position);
    if (it == positions.begin()) return 0;
    return sums[size_t(it - positions.begin()) - 1];
  }
};

}  // namespace

void ResolveOffsetFixups(OffsetFixupTable& table) {
  ShiftIndex index(table.Edits);
  std::sort(table.Deleted.begin(), table.Deleted.end(),
            [](const DeletedRange& a, const DeletedRange& b) { return a.Start < b.Start; });
  for (auto& entry : table.Entries) {
    entry.PositionShift = index.ShiftAt(entry.Position);
    if (entry.Base < 0) {
      entry.ValueShift = index.ShiftAt(int64_t(entry.Value));
    } else {
      int64_t target = entry.Base + int64_t(int32_t(entry.Value));
      entry.ValueShift = int32_t(uint32_t(index.ShiftAt(target)) - uint32_t(index.ShiftAt(entry.Base)));
    }
  }
}

bool InDeletedRange(const OffsetFixupTable& table, int64_t position) {
  // Deleted atoms never overlap (nothing inside a deleted atom is visited),
  // so only the last range starting at or before the position can hold it.
  auto it = std::upper_bound(table.Deleted.begin(), table.Deleted.end(), position,
                             [](int64_t p, const DeletedRange& r) { return p < r.Start; });
  if (it == table.Deleted.begin()) return false;
  --it;
  return position < it->Start + it->Length;
}

int64_t CountDroppedFixups(const OffsetFixupTable& table) {
  int64_t dropped = 0;
  for (const auto& entry : table.Entries)
    if (InDeletedRange(table, entry.Position)) ++dropped;
  return dropped;
}

void ApplyOffsetFixups(FileHandle& output) {
  OffsetFixupTable& table = Fixups();
  ResolveOffsetFixups(table);
  // Fields that follow each other in the output (a chunk offset table) are
  // written as one run.
  std::vector<uint8_t> run;
  int64_t runStart = 0;
  auto flush = [&] {
    if (!run.empty()) WriteBytesAt(output, runStart, run.data(), int64_t(run.size()));
    run.clear();
  };
  for (const auto& entry : table.Entries) {
    if (InDeletedRange(table, entry.Position)) continue;
    int64_t at = entry.Position + int64_t(entry.PositionShift);
    uint32_t value = entry.Value + uint32_t(entry.ValueShift);
    if (at < 0) continue;
    if (!run.empty() && at != runStart + int64_t(run.size())) flush();
    if (run.empty()) runStart = at;
    size_t end = run.size();
    run.resize(end + 4);
    WriteU32BE(run.data(), int64_t(end), value);
  }
  flush();
}
