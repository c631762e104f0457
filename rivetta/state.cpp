#include "rivetta/state.h"

#include "atoms/offset_fixups.h"

RunSettings Settings;
MovieFacts Facts;
uint32_t FragmentBaseOffset = 0;
TrackRunBase RunBase;
FragmentState Fragments;
std::vector<FragmentIndexEntry> FragmentIndex;
std::vector<ByteString> DeleteList;
std::vector<TInsertItem> InsertList;
ByteString TimestampText;
ByteString TimestampEscaped;
int32_t ExitStatus = 0;

void ResetRunState() {
  Settings = RunSettings{};
  Facts = MovieFacts{};
  FragmentBaseOffset = 0;
  RunBase = TrackRunBase{};
  Fragments = FragmentState{};
  FragmentIndex.clear();
  DeleteList.clear();
  InsertList.clear();
  TimestampText.clear();
  TimestampEscaped.clear();
  ExitStatus = 0;
  ResetOffsetFixups();
}
