#include "rivetta/run.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "atoms/offset_fixups.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/program.h"
#include "rivetta/analyze.h"
#include "rivetta/fragment_index.h"
#include "rivetta/items.h"
#include "rivetta/metadata.h"
#include "rivetta/rewrite.h"
#include "rivetta/state.h"

namespace {

constexpr const char* kVersion = "0.21";
// Seconds from 1904-01-01 (the movie time base) to 1970-01-01.
constexpr int64_t kMovieEpochOffset = 2082844800;

struct CommandLine {
  bool wrong = false;
};

// Arguments in order: "-..." marks the line wrong; plain ones fill inFile,
// outFile, iniFile, then the title; a fifth plain one is wrong.
CommandLine ReadCommandLine(int argc, char** argv) {
  CommandLine line;
  int plain = 0;
  for (int i = 1; i < argc; ++i) {
    ByteString argument = argv[i];
    if (!argument.empty() && argument[0] == '-') {
      line.wrong = true;
      continue;
    }
    switch (plain++) {
      case 0: Settings.inFile = argument; break;
      case 1: Settings.outFile = argument; break;
      case 2: Settings.iniFile = argument; break;
      case 3:
        Settings.MovieTitle = argument;
        Settings.TitleFromCommandLine = true;
        break;
      default: line.wrong = true; break;
    }
  }
  if (Settings.inFile.empty() || Settings.outFile.empty() || !FileExists(Settings.inFile))
    line.wrong = true;
  return line;
}

// The input's file name without folder and without its last extension.
ByteString TitleFromFileName(const ByteString& path) {
  size_t slash = path.find_last_of('/');
  ByteString name = slash == ByteString::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  return dot == ByteString::npos ? name : name.substr(0, dot);
}

void PrintBanner() {
  PrintLine(ProgramName() + Text(" for Lunvik Version ") + kVersion);
  PrintLine(Text(kMakerAddress));
}

void PrintUsage() {
  PrintLine("");
  PrintLine(Text("Usage:"));
  PrintLine(ProgramName() + Text(" [inFile] [outFile] ([iniFile] ([Title]))"));
  PrintLine(Text("  inFileを読み込み、atomを書き換えoutFileに保存します。"));
}

}  // namespace

void ReadConfig(const IniFile& ini) {
  Settings.UUID = ReadText(ini, "Config", "UUID", "");
  Settings.Build_mfra = ReadInteger(ini, "Config", "Build_mfra", 0);
  Settings.Build_edts = ReadBoolean(ini, "Config", "Build_edts", false);
  Settings.Build_iTunes = ReadBoolean(ini, "Config", "Build_iTunes", false);
  Settings.MQV = ReadInteger(ini, "Config", "MQV", 0);
  Settings.ConfigTitle = ReadText(ini, "Config", "Title", "");
  Settings.iMotion = ReadBoolean(ini, "Config", "iMotion", false);
  Settings.A5504T = ReadBoolean(ini, "Config", "A5504T", false);
  Settings.ForceWidth = ReadInteger(ini, "Config", "ForceWidth", 0);
  Settings.ForceHeight = ReadInteger(ini, "Config", "ForceHeight", 0);
}

namespace {

void AnalyzeInput() {
  FileHandle input = OpenForReading(Settings.inFile);
  if (!IsOpen(input)) return;
  int64_t length = SeekToEnd(input);
  SeekTo(input, 0);
  AnalyzeAtoms(input, Settings.MovieTitle, "\\", length);
  CloseFile(input);
}

// CreationTime from the input's local DOS file date when the movie gave none.
void DeriveTimestamps() {
  if (Facts.CreationTime == 0) {
    if (auto date = ReadFileDate(Settings.inFile))
      Facts.CreationTime = uint32_t(WallClockSecondsSince1970(*date) + kMovieEpochOffset);
  }
  TimestampEscaped = TimestampEscapedOf(Facts.CreationTime);
  TimestampText = TimestampTextOf(Facts.CreationTime);
}

void PrintTrackReport() {
  if (Facts.VideoTrackID != 0) {
    PrintLine(Text("VideoTrack : ") + std::to_string(Facts.VideoTrackID) + " " +
              std::to_string(Facts.VideoWidth) + " x " + std::to_string(Facts.VideoHeight) + " " +
              FrameRateText(Facts.VideoFrameRate) + "fps " + std::to_string(Facts.VideoAvgBitrate) +
              "bps");
  }
  if (Facts.AudioTrackID != 0) {
    PrintLine(Text("AudioTrack : ") + std::to_string(Facts.AudioTrackID) + " " +
              std::to_string(Facts.AudioSampleRate) + "Hz " + std::to_string(Facts.AudioChannels) +
              "ch " + std::to_string(Facts.AudioAvgBitrate) + "bps");
  }
}

// The flag word in the body of the first "dcmd": 0x0909, with 0x0004 for an
// odd output length and 0x0002 for an odd moov size.
void WriteDcmdFlagWord(FileHandle& output) {
  if (!Fragments.DcmdFound) {
    PrintLine(Text("A>Warning: dcmd atomが見つかりません"));
    return;
  }
  int64_t length = SeekToEnd(output);
  uint32_t word = 0x0909;
  if (length & 1) word |= 0x0004;
  if (Facts.MoovSize & 1) word |= 0x0002;
  uint8_t bytes[2];
  WriteU16BE(bytes, 0, word);
  WriteBytesAt(output, Fragments.DcmdPosition + 8, bytes, 2);
}

}  // namespace

ByteString TimestampEscapedOf(uint32_t creationTime) {
  char text[13];
  std::snprintf(text, sizeof text, "%%%02X%%%02X%%%02X%%%02X", creationTime >> 24,
                (creationTime >> 16) & 0xFF, (creationTime >> 8) & 0xFF, creationTime & 0xFF);
  return text;
}

ByteString TimestampTextOf(uint32_t creationTime) {
  time_t unixTime = time_t(int64_t(creationTime) - kMovieEpochOffset);
  struct tm t {};
  gmtime_r(&unixTime, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

ByteString FrameRateText(double framesPerSecond) {
  double rounded = framesPerSecond;
  if (framesPerSecond != 0 && std::isfinite(framesPerSecond)) {
    int digits = int(std::floor(std::log10(std::fabs(framesPerSecond)))) + 1;
    double scale = std::pow(10.0, 5 - digits);
    rounded = std::round(framesPerSecond * scale) / scale;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", rounded);
  // The user's decimal separator.
  ByteString out = text;
  const char* point = std::localeconv()->decimal_point;
  size_t dot = out.find('.');
  if (dot != ByteString::npos && point && *point && ByteString(point) != ".")
    out.replace(dot, 1, point);
  return out;
}

int32_t RunRivetta(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "");
  // Banner, then clean records and the fix-up table.
  PrintBanner();
  ResetRunState();

  CommandLine line = ReadCommandLine(argc, argv);
  if (!Settings.TitleFromCommandLine) Settings.MovieTitle = TitleFromFileName(Settings.inFile);
  if (line.wrong) {
    // Nothing else happens: no settings are read and no file is opened.
    PrintUsage();
    return 1;
  }

  // Settings file: beside the program unless named; relative names are taken
  // under the program's folder, not the working folder.
  Settings.iniFile = Settings.iniFile.empty() ? DefaultSettingsPath()
                                              : ResolveSettingsPath(Settings.iniFile);
  ReadConfig(LoadIniFile(Settings.iniFile));
  PrintLine(Settings.ConfigTitle);

  // First pass: facts, title and the offsets to correct.
  AnalyzeInput();
  DeriveTimestamps();

  // Item lists, read from the settings file a second time.
  {
    IniFile ini = LoadIniFile(Settings.iniFile);
    BuildDeleteList(ini);
    BuildInsertList(ini);
  }

  ExitStatus = 0;
  FileHandle input = OpenForReading(Settings.inFile);
  if (!IsOpen(input)) {
    PrintLine(Text("A>") + Settings.inFile + Text("を開けませんでした。"));
    return -1;
  }
  PrintTrackReport();
  AppendMetadataItems();

  // The input is held open without sharing, so an output naming it (by any
  // path or link) cannot be created and the input stays as it was.
  FileHandle output = CreateForReadWrite(Settings.outFile);
  if (!IsOpen(output)) {
    PrintLine(Text("A>") + Settings.outFile + Text("を開けませんでした。"));
    CloseFile(input);
    return -1;
  }

  // Second pass: the rewrite, the index, then every moved offset.
  int64_t length = SeekToEnd(input);
  SeekTo(input, 0);
  // The output is about as long as the input: its blocks are allocated at
  // once rather than page by page as the rewrite writes.
  ReserveFileSpace(output, length);
  RewriteAtoms(input, output, "\\", length);
  if (Settings.Build_mfra != 0 && Facts.VideoTrackID != 0)
    BuildFragmentIndex(output, Settings.Build_mfra);
  ApplyOffsetFixups(output);

  if (Settings.iMotion) WriteDcmdFlagWord(output);
  // A write that failed (a full disk) leaves an output that is not the
  // movie: it is reported like an output that could not be created, never
  // as success.
  if (HadWriteFailure(output)) {
    PrintLine(Text("A>") + Settings.outFile + Text("を開けませんでした。"));
    ExitStatus = -1;
  }
  // The output takes the input's file date; set last, so that the flag word
  // write does not move it again.
  if (auto date = ReadFileDate(Settings.inFile)) SetFileDate(output, *date);

  CloseFile(input);
  CloseFile(output);
  return ExitStatus;
}
