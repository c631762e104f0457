#pragma once
// The command line of pressova and the temporary output beside the requested
// one.
#include <cstdint>
#include <string>
#include <vector>

// The settings of one run, as the command line gives them.
struct ExportOptions {
  std::string InFile;
  std::string OutFile;        // replaced by the temporary output before the conversion
  std::string FinalOutFile;   // OutFile as typed
  std::string SettingsFilePath;
  bool UseSettingsFile = false;
  bool FlattenRequested = false;
  uint32_t ExporterSubtype = 0x33677070;  // '3gpp'
  bool UsageError = false;
  bool RenameAtEnd = false;
};

// Reads the arguments (without the program name) into a fresh ExportOptions.
// All of them are read, also after a fault.
ExportOptions ParseCommandLine(const std::vector<std::string>& arguments);

// Seeds the generator of MakeTemporaryName; every run gets other names.
void SeedRandom();
// Four groups of eight upper-case hexadecimal digits joined by "-".
std::string MakeTemporaryName();
// The folder of `outFile` (up to its last "/"), then `name`, then the
// extension of `outFile` (from its last "." after the folder, if any).
std::string TemporaryOutputName(const std::string& outFile, const std::string& name);
