#include "pressova/options.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "pressova/settings_file.h"

namespace {

std::mt19937& Generator() {
  static std::mt19937 generator;
  return generator;
}

std::string UpperCased(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  return text;
}


}  // namespace

ExportOptions ParseCommandLine(const std::vector<std::string>& arguments) {
  ExportOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool hasNext = i + 1 < arguments.size();
    if (!argument.empty() && argument[0] == '-') {
      std::string option = UpperCased(argument.substr(1));
      if (option == "C") {
        if (hasNext) {
          options.SettingsFilePath = arguments[++i];
          options.UseSettingsFile = true;
        } else {
          options.UsageError = true;
        }
      } else if (option == "T") {
        // "-t" as the last argument is passed over.
        if (hasNext) {
          const std::string& type = arguments[++i];
          if (type.size() > 4) options.UsageError = true;
          else options.ExporterSubtype = CodeOfText(type);
        }
      } else if (option == "F") {
        options.FlattenRequested = true;
      } else {
        options.UsageError = true;
      }
    } else if (options.InFile.empty()) {
      options.InFile = argument;
    } else if (options.OutFile.empty()) {
      options.OutFile = argument;
    } else {
      options.UsageError = true;
    }
  }
  if (options.InFile.empty()) options.UsageError = true;
  return options;
}

void SeedRandom() {
  auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  std::seed_seq seed{uint32_t(ticks), uint32_t(uint64_t(ticks) >> 32), uint32_t(::getpid())};
  Generator().seed(seed);
}

std::string MakeTemporaryName() {
  std::uniform_int_distribution<int> number(0, 65535);
  std::string name;
  for (int group = 0; group < 4; ++group) {
    char digits[9];
    int high = number(Generator());
    int low = number(Generator());
    std::snprintf(digits, sizeof digits, "%04X%04X", high, low);
    if (group > 0) name += "-";
    name += digits;
  }
  return name;
}

std::string TemporaryOutputName(const std::string& outFile, const std::string& name) {
  size_t slash = outFile.find_last_of('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::string folder = outFile.substr(0, nameStart);
  size_t dot = outFile.find_last_of('.');
  std::string extension = (dot == std::string::npos || dot < nameStart) ? "" : outFile.substr(dot);
  return folder + name + extension;
}
