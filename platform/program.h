#pragma once
// The running program: its path and name, settings paths beside it, and the
// exit status as the platform can carry it.
#include <cstdint>
#include <string>

// Full path of the running program (/proc/self/exe resolved).
const std::string& ProgramPath();
// The program's file name without folder and extension.
std::string ProgramName();
// The program's folder, ending in "/".
std::string ProgramFolder();
// ProgramPath with its extension replaced by ".ini".
std::string DefaultSettingsPath();

// A settings path given on the command line: used unchanged when it begins
// with "/" or "\" or has ":" as its second character; otherwise taken under
// the program's folder (not the working folder), "." and ".." resolved.
std::string ResolveSettingsPath(const std::string& path);

// Folds "." and ".." components and repeated separators of an absolute path.
std::string NormalisePath(const std::string& path);

// The 32-bit exit status reduced to the platform's 8 bits: -1 is 255, -2 is
// 254, -43 is 213; a non-zero status whose low 8 bits are 0 exits with 2, so a
// failure is never reported as success.
int ProcessExitCode(int32_t status);

// Replaces the program path for tests that pretend to run from elsewhere.
void SetProgramPathForTesting(const std::string& path);
