// The text dialogs of the export components: on the controlling terminal, or
// on standard input and standard error when the process has none. The end of
// the input counts as cancelling, so a run without a user never waits.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pressova/quicktime/service.h"

namespace {

struct DialogIo {
  FILE* in = stdin;
  FILE* out = stderr;
  bool terminal = false;
};

DialogIo OpenDialogIo() {
  DialogIo io;
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return io;
  int outFd = ::dup(fd);
  FILE* in = ::fdopen(fd, "r");
  FILE* out = outFd >= 0 ? ::fdopen(outFd, "w") : nullptr;
  if (!in || !out) {
    if (in) std::fclose(in); else ::close(fd);
    if (out) std::fclose(out); else if (outFd >= 0) ::close(outFd);
    return io;
  }
  io.in = in;
  io.out = out;
  io.terminal = true;
  return io;
}

void CloseDialogIo(DialogIo& io) {
  if (!io.terminal) return;
  std::fclose(io.in);
  std::fclose(io.out);
  io = DialogIo{};
}

void Say(DialogIo& io, const std::string& text) {
  std::fputs(text.c_str(), io.out);
  std::fflush(io.out);
}

// One line without its line end; false at the end of the input.
bool AskLine(DialogIo& io, const std::string& prompt, std::string& line) {
  Say(io, prompt);
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(io.in)) != EOF) {
    any = true;
    if (c == '\n') break;
    line.push_back(char(c));
  }
  if (!any) {
    Say(io, "\n");
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

std::string Trimmed(const std::string& text) {
  size_t a = text.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = text.find_last_not_of(" \t");
  return text.substr(a, b - a + 1);
}

bool IsCancel(const std::string& answer) { return answer == "q" || answer == "Q"; }

std::string OnOff(bool value) { return value ? "on" : "off"; }

std::string FixedText(uint32_t value16_16) {
  char buffer[32];
  double v = value16_16 / 65536.0;
  if (value16_16 % 65536 == 0) std::snprintf(buffer, sizeof buffer, "%u", value16_16 >> 16);
  else std::snprintf(buffer, sizeof buffer, "%.3f", v);
  return buffer;
}

std::string SourceOr(uint32_t value) { return value == 0 ? "source" : std::to_string(value); }

std::string CodecChoices(const std::vector<OSType>& codecs) {
  std::string text;
  for (OSType codec : codecs)
    if (CodecAvailable(codec)) text += (text.empty() ? "" : " ") + CodeText(codec);
  return text;
}

// The settings lines, numbered from 1, in the order of the settings atoms.
std::vector<std::pair<std::string, std::string>> SettingLines(const ExporterKind& kind,
                                                              const ExportSettings& s) {
  std::vector<std::pair<std::string, std::string>> lines;
  if (kind.hasVideo) {
    lines.push_back({"Video", OnOff(s.video.enabled)});
    lines.push_back({"Video codec", CodeText(s.video.codec) + "   (" + CodecChoices(kind.videoCodecs) + ")"});
    lines.push_back({"Width", SourceOr(s.video.width)});
    lines.push_back({"Height", SourceOr(s.video.height)});
    lines.push_back({"Frames per second",
                     s.video.framesPerSecond ? FixedText(s.video.framesPerSecond) : "source"});
    lines.push_back({"Video bits per second", std::to_string(s.video.bitRate)});
    lines.push_back({"Key frame every (frames)", std::to_string(s.video.keyFrameInterval)});
  }
  lines.push_back({"Sound", OnOff(s.sound.enabled)});
  lines.push_back({"Sound codec", CodeText(s.sound.codec) + "   (" + CodecChoices(kind.soundCodecs) + ")"});
  lines.push_back({"Sample rate (Hz)", SourceOr(s.sound.rate)});
  lines.push_back({"Channels", SourceOr(s.sound.channels)});
  lines.push_back({"Sound bits per second", std::to_string(s.sound.bitRate)});
  return lines;
}

bool ParseNumber(const std::string& text, uint32_t low, uint32_t high, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v < low || v > high) return false;
  value = uint32_t(v);
  return true;
}

bool ParseOnOff(const std::string& text, bool& value) {
  if (text == "on" || text == "1" || text == "yes") value = true;
  else if (text == "off" || text == "0" || text == "no") value = false;
  else return false;
  return true;
}

bool ParseCodec(const std::string& text, const std::vector<OSType>& allowed, OSType& codec) {
  std::string padded = (text + "    ").substr(0, 4);
  if (text.size() > 4) return false;
  for (OSType a : allowed)
    if (CodeText(a) == padded && CodecAvailable(a)) {
      codec = a;
      return true;
    }
  return false;
}

bool ParseFramesPerSecond(const std::string& text, uint32_t& value) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0 && v <= 240)) return false;
  value = uint32_t(std::lround(v * 65536.0));
  return true;
}

// Applies `text` to setting number `number` (from 1); false when refused.
bool ChangeSetting(const ExporterKind& kind, ExportSettings& s, int number, const std::string& text) {
  if (!kind.hasVideo) number += 7;  // the video lines are not shown
  switch (number) {
    case 1: return ParseOnOff(text, s.video.enabled);
    case 2: return ParseCodec(text, kind.videoCodecs, s.video.codec);
    case 3: return ParseNumber(text, 0, 4096, s.video.width);
    case 4: return ParseNumber(text, 0, 4096, s.video.height);
    case 5: return ParseFramesPerSecond(text, s.video.framesPerSecond);
    case 6: return ParseNumber(text, 1000, 100000000, s.video.bitRate);
    case 7: return ParseNumber(text, 1, 1000, s.video.keyFrameInterval);
    case 8: return ParseOnOff(text, s.sound.enabled);
    case 9: return ParseCodec(text, kind.soundCodecs, s.sound.codec);
    case 10: return ParseNumber(text, 0, 192000, s.sound.rate);
    case 11: return ParseNumber(text, 0, 8, s.sound.channels);
    case 12: return ParseNumber(text, 0, 10000000, s.sound.bitRate);
    default: return false;
  }
}

void ShowSettings(DialogIo& io, const ExporterKind& kind, const ExportSettings& settings) {
  Say(io, std::string(kind.name) + " export settings (" + CodeText(kind.subtype) + ")\n");
  auto lines = SettingLines(kind, settings);
  for (size_t i = 0; i < lines.size(); ++i) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "%4zu  %-26s%s\n", i + 1, lines[i].first.c_str(),
                  lines[i].second.c_str());
    Say(io, buffer);
  }
  Say(io, "AMR-NB (samr) is always 8000 Hz mono; width, height, rate and channels of 0 keep the "
          "source's.\n");
}

bool SettingsDialogOn(DialogIo& io, const ExporterKind& kind, ExportSettings& settings) {
  ExportSettings edited = settings;
  int count = int(SettingLines(kind, edited).size());
  ShowSettings(io, kind, edited);
  for (;;) {
    std::string line;
    if (!AskLine(io, "Number and new value to change a setting, empty line to accept, q to cancel: ",
                 line))
      return false;
    line = Trimmed(line);
    if (line.empty()) break;
    if (IsCancel(line)) return false;
    size_t space = line.find_first_of(" \t");
    std::string numberText = line.substr(0, space);
    std::string value = space == std::string::npos ? "" : Trimmed(line.substr(space));
    uint32_t number = 0;
    if (!ParseNumber(numberText, 1, uint32_t(count), number)) {
      Say(io, "No setting has that number.\n");
      continue;
    }
    if (value.empty()) {
      if (!AskLine(io, "New value: ", value)) return false;
      value = Trimmed(value);
      if (IsCancel(value)) return false;
    }
    if (!ChangeSetting(kind, edited, int(number), value)) {
      Say(io, "Not accepted: " + value + "\n");
      continue;
    }
    ShowSettings(io, kind, edited);
  }
  settings = edited;
  return true;
}

std::string WithExtension(const std::string& path, const char* extension) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (dot == std::string::npos || dot <= nameStart) return path + extension;
  return path.substr(0, dot) + extension;
}

bool NamesTheMovie(const std::string& destination, const std::string& moviePath) {
  return destination == moviePath || SameFile(destination, moviePath);
}

}  // namespace

bool RunSettingsDialog(const ExporterKind& kind, ExportSettings& settings) {
  DialogIo io = OpenDialogIo();
  bool accepted = SettingsDialogOn(io, kind, settings);
  CloseDialogIo(io);
  return accepted;
}

bool RunExportDialog(const std::string& moviePath, const ExporterKind*& kind, ExportSettings& settings,
                     std::string& destination) {
  DialogIo io = OpenDialogIo();
  const auto& components = Service().components;
  bool accepted = false;
  kind = nullptr;
  Say(io, "Export " + moviePath + "\n");
  for (size_t i = 0; i < components.size(); ++i) {
    char buffer[120];
    std::snprintf(buffer, sizeof buffer, "%4zu  %s (%s)\n", i + 1, components[i].kind->name,
                  CodeText(components[i].kind->subtype).c_str());
    Say(io, buffer);
  }
  std::string line;
  while (!kind) {
    if (components.empty() || !AskLine(io, "Number of the format, q to cancel: ", line)) break;
    line = Trimmed(line);
    if (IsCancel(line)) break;
    uint32_t number = 0;
    if (ParseNumber(line, 1, uint32_t(components.size()), number)) kind = components[number - 1].kind;
    else Say(io, "No format has that number.\n");
  }
  if (kind) {
    settings = kind->defaults;
    if (SettingsDialogOn(io, *kind, settings)) {
      std::string proposed = WithExtension(moviePath, kind->extension);
      for (;;) {
        if (!AskLine(io, "Save as [" + proposed + "] (q to cancel): ", line)) break;
        line = Trimmed(line);
        if (IsCancel(line)) break;
        std::string chosen = line.empty() ? proposed : line;
        if (NamesTheMovie(chosen, moviePath)) {
          Say(io, "That is the movie being exported; choose another file.\n");
          continue;
        }
        destination = chosen;
        accepted = true;
        break;
      }
    }
  }
  CloseDialogIo(io);
  return accepted;
}
