#include "atoms/offset_fixups.h"

#include <algorithm>
#include <utility>

#include "atoms/bytes.h"

OffsetFixupTable& Fixups() {
  static OffsetFixupTable table;
  return table;
}

void ResetOffsetFixups() { Fixups() = OffsetFixupTable{}; }

void AddOffsetFixupValue(int64_t position, uint32_t value) {
  OffsetFixup entry;
  entry.Position = position;
  entry.Value = value;
  Fixups().Entries.push_back(entry);
}

void AddOffsetFixup(const void* body, int32_t offset, int64_t bodyPosition) {
  AddOffsetFixupValue(bodyPosition + int64_t(offset), ReadU32BE(body, offset));
}

void AddRelativeOffsetFixup(const void* body, int32_t offset, int64_t bodyPosition, int64_t base) {
  AddOffsetFixup(body, offset, bodyPosition);
  Fixups().Entries.back().Base = base;
}

void ShiftOffsetFixups(int32_t delta, int64_t inputPosition) {
  if (delta == 0) return;
  OffsetFixupTable& table = Fixups();
  if (!table.Edits.empty() && inputPosition < table.Edits.back().InputPosition) table.EditsInOrder = false;
  int32_t before = table.EditSums.empty() ? 0 : table.EditSums.back();
  table.EditSums.push_back(int32_t(uint32_t(before) + uint32_t(delta)));
  table.Edits.push_back({inputPosition, delta});
}

void NoteDeletedRange(int64_t start, int64_t length) {
  if (length > 0) Fixups().Deleted.push_back({start, length});
}

namespace {

// The sum of the deltas of the edits at or before the position, given the
// edits in position order with their running sums. Most positions asked for
// lie near the last edits (the fragment the rewrite has just passed), so the
// search looks at those first.
int32_t SumAtOrBefore(const std::vector<OffsetEdit>& edits, const std::vector<int32_t>& sums,
                      int64_t position) {
  size_t n = edits.size();
  for (size_t back = 0; back < 8 && back < n; ++back)
    if (edits[n - 1 - back].InputPosition <= position) return sums[n - 1 - back];
  auto it = std::upper_bound(edits.begin(), edits.end(), position,
                             [](int64_t p, const OffsetEdit& e) { return p < e.InputPosition; });
  return it == edits.begin() ? 0 : sums[size_t(it - edits.begin()) - 1];
}

// Edits in position order with running sums: the shift of a position X is
// the sum of all deltas whose position is <= X.
struct ShiftIndex {
  std::vector<OffsetEdit> sorted;  // used only when the edits came out of order
  std::vector<int32_t> sortedSums;
  const std::vector<OffsetEdit>* edits = nullptr;
  const std::vector<int32_t>* sums = nullptr;

  explicit ShiftIndex(const OffsetFixupTable& table) {
    if (table.EditsInOrder) {
      edits = &table.Edits;
      sums = &table.EditSums;
      return;
    }
    // The rewrite makes its edits in input order; sorting keeps this right
    // for any order, since a sum does not depend on it.
    sorted = table.Edits;
    std::stable_sort(sorted.begin(), sorted.end(), [](const OffsetEdit& a, const OffsetEdit& b) {
      return a.InputPosition < b.InputPosition;
    });
    uint32_t running = 0;
    for (const auto& e : sorted) {
      running += uint32_t(e.Delta);
      sortedSums.push_back(int32_t(running));
    }
    edits = &sorted;
    sums = &sortedSums;
  }

  int32_t ShiftAt(int64_t position) const { return SumAtOrBefore(*edits, *sums, position); }
};

}  // namespace

void ResolveOffsetFixups(OffsetFixupTable& table) {
  ShiftIndex index(table);
  std::sort(table.Deleted.begin(), table.Deleted.end(),
            [](const DeletedRange& a, const DeletedRange& b) { return a.Start < b.Start; });
  for (auto& entry : table.Entries) {
    if (entry.Written) continue;  // settled during the rewrite
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

namespace {

// Fields are written in spans: a chunk offset table as runs of adjacent
// fields, and the few fields of one fragment's headers (base and data offsets
// some tens of bytes apart) as one span, read from the output once, changed in
// place and written back, rather than one write each. A span ends where the
// next field lies further than kSpanGap bytes on, lies before the span, or
// would make it longer than kSpanLimit.
constexpr int64_t kSpanGap = 256;
constexpr int64_t kSpanLimit = 64 * 1024;

struct Span {
  int64_t start = 0;
  int64_t end = 0;          // one past the last byte of the last field
  bool hasGaps = false;     // bytes between fields, to be read from the output first
  std::vector<std::pair<int64_t, uint32_t>> fields;  // (output position, value), table order
  std::vector<uint8_t> bytes;

  bool Takes(int64_t at) const {
    return fields.empty() ||
           (at >= start && at <= end + kSpanGap && at + 4 - start <= kSpanLimit);
  }

  void Add(int64_t at, uint32_t value) {
    if (fields.empty()) {
      start = end = at;
      hasGaps = false;
    }
    if (at > end) hasGaps = true;
    end = std::max(end, at + 4);
    fields.emplace_back(at, value);
  }

  void Write(FileHandle& output) {
    if (fields.empty()) return;
    bytes.assign(size_t(end - start), 0);
    if (hasGaps) ReadBytesAt(output, start, bytes.data(), end - start);
    // In table order: a later entry at the same place wins.
    for (const auto& [at, value] : fields) WriteU32BE(bytes.data(), at - start, value);
    WriteBytesAt(output, start, bytes.data(), end - start);
    fields.clear();
  }
};

}  // namespace

namespace {

// Where an entry's offset points in the input.
int64_t TargetOf(const OffsetFixup& entry) {
  return entry.Base < 0 ? int64_t(entry.Value) : entry.Base + int64_t(int32_t(entry.Value));
}

// The input position from which the entry's shifts are final: past its field,
// its target and its base.
int64_t SettlePoint(const OffsetFixup& entry) {
  return std::max({entry.Position + 4, TargetOf(entry) + 1, entry.Base + 1});
}

// The sum of the deltas of the edits made so far at or before the position
// (the edits being in input order).
int32_t ShiftSoFar(const OffsetFixupTable& table, int64_t position) {
  return SumAtOrBefore(table.Edits, table.EditSums, position);
}

}  // namespace

void SettleOffsetFixups(FileHandle& output, int64_t inputPosition) {
  OffsetFixupTable& table = Fixups();
  if (!table.EditsInOrder) return;
  if (!table.SettlePrepared) {
    // Entries by settle point, in table order among equal points. The
    // points are computed once; most entries arrive nearly in order.
    std::vector<std::pair<int64_t, uint32_t>> points(table.Entries.size());
    for (size_t i = 0; i < table.Entries.size(); ++i)
      points[i] = {SettlePoint(table.Entries[i]), uint32_t(i)};
    if (!std::is_sorted(points.begin(), points.end())) std::sort(points.begin(), points.end());
    table.SettleOrder.resize(points.size());
    for (size_t i = 0; i < points.size(); ++i) table.SettleOrder[i] = points[i].second;
    table.SettlePrepared = true;
  }
  while (table.SettleNext < table.SettleOrder.size()) {
    OffsetFixup& entry = table.Entries[table.SettleOrder[table.SettleNext]];
    if (SettlePoint(entry) > inputPosition) break;
    ++table.SettleNext;
    if (InDeletedRange(table, entry.Position)) continue;
    int64_t at = entry.Position + int64_t(ShiftSoFar(table, entry.Position));
    uint32_t shift = uint32_t(ShiftSoFar(table, TargetOf(entry)));
    if (entry.Base >= 0) shift -= uint32_t(ShiftSoFar(table, entry.Base));
    uint8_t bytes[4];
    WriteU32BE(bytes, 0, entry.Value + shift);
    if (at >= 0 && PatchGatheredBytes(output, at, bytes, 4)) entry.Written = true;
  }
}

void ApplyOffsetFixups(FileHandle& output) {
  OffsetFixupTable& table = Fixups();
  ResolveOffsetFixups(table);
  Span span;
  for (const auto& entry : table.Entries) {
    if (entry.Written || InDeletedRange(table, entry.Position)) continue;
    int64_t at = entry.Position + int64_t(entry.PositionShift);
    uint32_t value = entry.Value + uint32_t(entry.ValueShift);
    if (at < 0) continue;
    if (!span.Takes(at)) span.Write(output);
    span.Add(at, value);
  }
  span.Write(output);
}
