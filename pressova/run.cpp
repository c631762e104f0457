#include "pressova/run.h"

#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/program.h"
#include "pressova/header_times.h"
#include "pressova/operations.h"
#include "pressova/options.h"

namespace {

// Names drawn for the temporary output before giving up on a folder where
// every one of them is taken.
constexpr int kTemporaryNameTries = 16;
// The exit status when the written file cannot take its final name: the
// movie service's code for a file that cannot be written.
constexpr int32_t kCannotCreateOutput = -61;

void PrintBanner() {
  PrintLine(ProgramName() + Text(" for Lunvik Version 0.08"));
  PrintLine(Text("https://lunvik.example/"));
}

void PrintUsage() {
  std::string name = ProgramName();
  const char* lines[] = {
      "",
      "Usage:",
      nullptr,
      "  inFileを読み込み、保存先と処理内容をダイアログで指定し保存します",
      "",
      nullptr,
      "  inFileを読み込み、処理内容をダイアログで指定しoutFileに保存します",
      "",
      nullptr,
      "  inFileを読み込み、outFileに保存します",
      "",
      nullptr,
      "  inFileを読み込み、iniFileに従った処理をしoutFileに保存します",
      "  iniFileが見つからなかった場合は処理内容を指定するダイアログを表示し、",
      "  設定内容をiniFileに保存します。",
      "  typeを指定した場合は処理内容ダイアログの種別を変更できます。",
      "",
  };
  const char* forms[] = {" [inFile]", " [inFile] [outFile]", " [inFile] [outFile] -f",
                         " [inFile] [outFile] -c [iniFile] -t [type]"};
  int form = 0;
  for (const char* line : lines) PrintLine(line ? Text(line) : name + Text(forms[form++]));
  PrintText(Text("[type]の一覧："));
}

// Creates the temporary output beside the requested one, exclusively, so it
// never takes the place of a file already there. When the folder takes no new
// file, the name is still given: the conversion then reports the folder. Empty
// only when every name drawn was taken by another file.
std::string CreateTemporaryOutput(const std::string& outFile) {
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    std::string name = TemporaryOutputName(outFile, MakeTemporaryName());
    FileHandle file = CreateNewForReadWrite(name);
    if (IsOpen(file)) {
      CloseFile(file);
      return name;
    }
    if (!FileExists(name)) return name;
  }
  return "";
}

void ReportOutputNotCreated(const std::string& finalOutFile) {
  PrintLine(Text("A>") + finalOutFile + Text("を作成できませんでした。"));
}

int64_t LengthAtStart(FileHandle& file) {
  int64_t length = SeekToEnd(file);
  SeekTo(file, 0);
  return length;
}

// The input's movie creation time into the headers of the written file.
void CarryHeaderTimes(const std::string& inFile, const std::string& outFile) {
  uint32_t sourceCreationTime = 0;
  FileHandle input = OpenForReading(inFile);
  if (!IsOpen(input)) return;
  sourceCreationTime = ReadMovieCreationTime(input, 0, LengthAtStart(input));
  CloseFile(input);
  if (sourceCreationTime == 0) return;
  FileHandle output = OpenForReadWrite(outFile);
  if (!IsOpen(output)) return;
  StampHeaderTimes(output, sourceCreationTime, LengthAtStart(output));
  CloseFile(output);
}

// The written file takes the requested name in one rename. When the
// conversion failed or wrote nothing, a file already under that name is kept
// and the temporary file removed. A rename that fails (the name is a folder,
// say) is reported rather than left to look like success.
int32_t GiveFinalName(const ExportOptions& options, int32_t result) {
  FileHandle written = OpenForReading(options.OutFile);
  int64_t length = IsOpen(written) ? FileLength(written) : 0;
  CloseFile(written);
  if (result != 0 || length <= 0) {
    DeleteFile(options.OutFile);
    return result;
  }
  if (RenameFile(options.OutFile, options.FinalOutFile)) return result;
  DeleteFile(options.OutFile);
  ReportOutputNotCreated(options.FinalOutFile);
  return kCannotCreateOutput;
}

}  // namespace

int32_t RunPressova(int argc, char** argv) {
  SeedRandom();
  PrintBanner();

  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  ExportOptions options = ParseCommandLine(arguments);
  if (options.UsageError) {
    PrintUsage();
    ListExporters();
    PrintLine("");
    return 1;
  }

  // Only an input: the export dialog chooses everything, options have no effect.
  if (options.OutFile.empty()) return ExportWithDialog(options.InFile);

  options.FinalOutFile = options.OutFile;
  options.OutFile = CreateTemporaryOutput(options.FinalOutFile);
  options.RenameAtEnd = true;
  if (options.OutFile.empty()) {
    ReportOutputNotCreated(options.FinalOutFile);
    return kCannotCreateOutput;
  }

  int32_t result = 0;
  if (options.FlattenRequested) {
    result = FlattenToFile(options.InFile, options.OutFile);
  } else {
    std::string settingsFile = options.UseSettingsFile ? ResolveSettingsPath(options.SettingsFilePath) : "";
    bool settingsWriteFailed = false;
    result = ExportWithExporter(options.InFile, options.OutFile, settingsFile, options.ExporterSubtype,
                                settingsWriteFailed);
    if (settingsWriteFailed) {
      DeleteFile(options.OutFile);
      return 1;
    }
  }

  CarryHeaderTimes(options.InFile, options.OutFile);
  return GiveFinalName(options, result);
}
