#pragma once
// The process-wide records of one rivetta run. Every record gets its start
// values in ResetRunState, so each run (and each test) starts clean.
#include <cstdint>
#include <vector>

#include "atoms/bytes.h"

// Settings of the run: command line and [Config]. Texts are in the system
// code page, as the command line and the settings file deliver them.
struct RunSettings {
  ByteString inFile;
  ByteString outFile;
  ByteString iniFile;
  ByteString MovieTitle;
  bool TitleFromCommandLine = false;
  ByteString UUID;
  int32_t Build_mfra = 0;
  bool Build_edts = false;
  bool Build_iTunes = false;
  int32_t MQV = 0;
  ByteString ConfigTitle;
  bool iMotion = false;
  bool A5504T = false;
  int32_t ForceWidth = 0;
  int32_t ForceHeight = 0;
};

// What the analysis walk learns about the movie and its video and audio track.
struct MovieFacts {
  uint32_t VideoTrackID = 0;
  uint32_t AudioTrackID = 0;
  uint32_t CurrentTrackID = 0;
  uint32_t VideoWidth = 160;
  uint32_t VideoHeight = 120;
  uint32_t VideoTimescale = 90000;
  double VideoFrameRate = 1.0;
  uint32_t VideoMaxBitrate = 1;
  uint32_t VideoAvgBitrate = 1;
  uint32_t AudioSampleRate = 16000;
  uint32_t AudioChannels = 1;
  uint32_t AudioMaxBitrate = 1;
  uint32_t AudioAvgBitrate = 1;
  uint32_t MoovSize = 0;
  uint32_t CreationTime = 0;
};

// An atom to insert: written as the first (AtEnd false) or last child of every
// container whose AtomPath equals Path; Data is the atom's type and body, the
// size goes in front when it is written.
struct TInsertItem {
  ByteString Path;
  bool AtEnd = false;
  ByteString Data;
};

// One entry of the random-access index, per "moof" written.
struct FragmentIndexEntry {
  int64_t MoofOffset = 0;
  uint32_t Time = 0;
  uint32_t TrafNumber = 0;
  uint32_t TrunNumber = 0;
  uint32_t SampleNumber = 0;
};

// The rewrite walk's running state.
struct FragmentState {
  uint32_t MovieDuration = 0;
  uint32_t FragmentBaseTime = 0;
  uint32_t PendingDuration = 0;
  uint32_t TrexSampleFlags = 0;
  uint32_t TrexSampleDuration = 0;
  uint32_t CurrentSampleFlags = 0;
  uint32_t CurrentSampleDuration = 0;
  uint32_t TrafCount = 0;
  uint32_t TrunCount = 0;
  int64_t DcmdPosition = 0;
  // A "dcmd" was met: its position may be 0, when it opens the output.
  bool DcmdFound = false;
};

extern RunSettings Settings;
extern MovieFacts Facts;
// Base data offset carried from a "tfhd" to the "trun" atoms that follow it
// (analysis walk, A5504T mode only).
extern uint32_t FragmentBaseOffset;
// Where the data offsets of the current track fragment's runs count from
// (ISO/IEC 14496-12 8.8.7): the explicit base data offset, or the start of
// the "moof" (default-base-is-moof, or the first "traf" of the fragment).
// -1 when it cannot be told without sample sizes.
struct TrackRunBase {
  int64_t MoofPosition = -1;  // input position of the current "moof"
  uint32_t TrafsInMoof = 0;
  int64_t Base = -1;
};
extern TrackRunBase RunBase;
extern FragmentState Fragments;
extern std::vector<FragmentIndexEntry> FragmentIndex;
extern std::vector<ByteString> DeleteList;
extern std::vector<TInsertItem> InsertList;
// CreationTime as "YYYY/MM/DD HH:MM:SS", and as four %XX escapes.
extern ByteString TimestampText;
extern ByteString TimestampEscaped;
extern int32_t ExitStatus;

// Start values of every record above and of the offset fix-up table.
void ResetRunState();
