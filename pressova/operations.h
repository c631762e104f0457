#pragma once
// The operations that drive the movie service: export through the export
// dialog, export through one export component, flattening, and the list of
// export components. Each starts the service and stops it again on every
// path; the writing ones print one message line when they fail and return
// the result code.
#include <cstdint>
#include <string>

// Result codes besides the service's own error codes.
constexpr int32_t kNoExporter = -1;     // no export component of the subtype opens
constexpr int32_t kUserCancelled = -2;  // the component's settings dialog was cancelled

int32_t ExportWithDialog(const std::string& inFile);

// Exports through the component of `subtype`. Its settings come from
// `settingsFile` when that holds them (section "0" with "childs" of 0 or
// more), otherwise from the component's dialog, whose settings are then saved
// into `settingsFile` (when one is named). When saving fails,
// `settingsWriteFailed` is set, the file is named on standard error and
// nothing is written.
int32_t ExportWithExporter(const std::string& inFile, const std::string& outFile,
                           const std::string& settingsFile, uint32_t subtype, bool& settingsWriteFailed);

int32_t FlattenToFile(const std::string& inFile, const std::string& outFile);

// Writes the subtype of every export component followed by a blank, without
// ending the line.
void ListExporters();
