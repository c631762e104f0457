#include "pressova/operations.h"

#include <cstdio>

#include "platform/console.h"
#include "platform/ini.h"
#include "pressova/quicktime/quicktime.h"
#include "pressova/settings_file.h"

namespace {

// What the opening steps of the three writing operations leave.
struct OpenedMovie {
  FSSpec input;
  Movie movie = nullptr;
  int32_t result = 0;
  bool failed = false;
};

void StartMovieService() {
  InitializeQTML(0);
  EnterMovies();
}

void StopMovieService() {
  ExitMovies();
  TerminateQTML();
}

// Opens the input and makes its movie; on a failure prints the line with
// `prefix` and gives the error as the result.
OpenedMovie OpenInputMovie(const std::string& inFile, const std::string& prefix) {
  OpenedMovie opened;
  NativePathNameToFSSpec(inFile.c_str(), &opened.input, 0);
  int16_t refNum = 0;
  OSErr err = OpenMovieFile(&opened.input, &refNum, fsRdPerm);
  if (err != noErr) {
    PrintLine(Text(prefix + ":OpenMovieFile Error"));
    opened.result = err;
    opened.failed = true;
    return opened;
  }
  int16_t resId = 0;
  unsigned char name[256] = {};
  Boolean dataRefWasChanged = false;
  err = NewMovieFromFile(&opened.movie, refNum, &resId, name, newMovieActive, &dataRefWasChanged);
  CloseMovieFile(refNum);
  if (err != noErr) {
    PrintLine(Text(prefix + ":NewMovieFromFile Error"));
    opened.result = err;
    opened.failed = true;
  }
  return opened;
}

// Section "0" of the settings file tells whether it holds settings.
bool SettingsFileHoldsSettings(const std::string& settingsFile) {
  if (settingsFile.empty()) return false;
  return ReadInteger(LoadIniFile(settingsFile), "0", "childs", -1) >= 0;
}

bool SaveExporterSettings(ComponentInstance exporter, const std::string& settingsFile) {
  QTAtomContainer settings = nullptr;
  MovieExportGetSettingsAsAtomContainer(exporter, &settings);
  bool saved = SaveSettingsTree(settingsFile, settings, kParentAtomIsContainer, "0");
  QTDisposeAtomContainer(settings);
  return saved;
}

void LoadExporterSettings(ComponentInstance exporter, const std::string& settingsFile) {
  QTAtomContainer settings = nullptr;
  QTNewAtomContainer(&settings);
  LoadSettingsTree(settingsFile, settings, kParentAtomIsContainer, "0");
  MovieExportSetSettingsFromAtomContainer(exporter, settings);
  QTDisposeAtomContainer(settings);
}

void ReportSettingsWriteFailure(const std::string& settingsFile) {
  std::string line = Text("A>") + settingsFile + Text("に設定を書き込めませんでした。") + "\r\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int32_t ExportWithDialog(const std::string& inFile) {
  StartMovieService();
  OpenedMovie opened = OpenInputMovie(inFile, "A>ConvertMovieToFile");
  int32_t result = opened.result;
  if (!opened.failed && opened.movie) {
    // The dialog proposes the input's own path; the service refuses to
    // write over the movie it reads.
    FSSpec output;
    NativePathNameToFSSpec(inFile.c_str(), &output, 0);
    int16_t resId = 0;
    OSErr err = ConvertMovieToFile(opened.movie, nullptr, &output, 0, kCreatorTVOD, -1, &resId,
                                   createMovieFileDeleteCurFile | showUserSettingsDialog |
                                       movieToFileOnlyExport | movieFileSpecValid,
                                   nullptr);
    if (err != noErr) {
      PrintLine(Text("A>ConvertMovieToFile:ConvertMovieToFile Error"));
      result = err;
    }
  }
  StopMovieService();
  return result;
}

int32_t ExportWithExporter(const std::string& inFile, const std::string& outFile,
                           const std::string& settingsFile, uint32_t subtype, bool& settingsWriteFailed) {
  settingsWriteFailed = false;
  StartMovieService();
  OpenedMovie opened = OpenInputMovie(inFile, "A>ConvertMovieToFile");
  int32_t result = opened.result;
  ComponentInstance exporter = nullptr;
  if (!opened.failed && opened.movie) {
    bool askUser = !SettingsFileHoldsSettings(settingsFile);
    exporter = OpenDefaultComponent(MovieExportType, subtype);
    bool go = true;
    if (!exporter) {
      PrintLine(Text("A>ConvertMovieToFile:OpenDefaultComponent Error"));
      result = kNoExporter;
      go = false;
    }
    bool saveSettings = false;
    if (go && askUser) {
      Boolean canceled = false;
      MovieExportDoUserDialog(exporter, opened.movie, nullptr, 0, 0, &canceled);
      if (canceled) {
        PrintLine(Text("A>ConvertMovieToFile:User cancelled"));
        result = kUserCancelled;
        go = false;
      }
      saveSettings = true;
    } else if (go) {
      LoadExporterSettings(exporter, settingsFile);
    }
    // The settings are saved before the movie is written, and stay saved if
    // the writing fails.
    if (go && saveSettings && !settingsFile.empty() && !SaveExporterSettings(exporter, settingsFile)) {
      ReportSettingsWriteFailure(settingsFile);
      settingsWriteFailed = true;
      result = 1;
      go = false;
    }
    if (go) {
      SetMovieActive(opened.movie, true);
      FSSpec output;
      NativePathNameToFSSpec(outFile.c_str(), &output, 0);
      int16_t resId = 0;
      OSErr err = ConvertMovieToFile(opened.movie, nullptr, &output, 0, kCreatorTVOD, -1, &resId,
                                     createMovieFileDeleteCurFile, exporter);
      if (err != noErr) {
        PrintLine(Text("A>ConvertMovieToFile:ConvertMovieToFile Error"));
        result = err;
      }
    }
  }
  if (exporter) CloseComponent(exporter);
  StopMovieService();
  return result;
}

int32_t FlattenToFile(const std::string& inFile, const std::string& outFile) {
  StartMovieService();
  OpenedMovie opened = OpenInputMovie(inFile, "A>pressova");
  int32_t result = opened.result;
  if (!opened.failed && opened.movie) {
    FSSpec output;
    NativePathNameToFSSpec(outFile.c_str(), &output, 0);
    FlattenMovieData(opened.movie, flattenAddMovieToDataFork | flattenForceMovieResourceBeforeMovieData,
                     &output, kCreatorTVOD, -1, createMovieFileDeleteCurFile);
    OSErr err = GetMoviesError();
    if (err != noErr) {
      PrintLine(Text("A>pressova:FlattenMovie Error"));
      result = err;
    }
  }
  StopMovieService();
  return result;
}

void ListExporters() {
  StartMovieService();
  ComponentDescription looking;
  looking.componentType = MovieExportType;
  Component component = FindNextComponent(nullptr, &looking);
  while (component) {
    ComponentDescription description;
    GetComponentInfo(component, &description, nullptr, nullptr, nullptr);
    PrintText(CodeToText(description.componentSubType) + " ");
    component = FindNextComponent(component, &looking);
  }
  StopMovieService();
}
