#include "pressova/quicktime/writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// A write error of the output file, as opposed to a muxer that refused.
OSErr WriteFailure(const OutputFile& output, int averror) {
  if (output.format && output.format->pb && output.format->pb->error < 0) return ioErr;
  if (averror == AVERROR(EIO) || averror == AVERROR(ENOSPC) || averror == AVERROR(EFBIG)) return ioErr;
  return codecErr;
}

// libavformat takes "name:" as a protocol; "file:" keeps any path a path.
std::string FileUrl(const std::string& path) { return "file:" + path; }

struct ProgressState {
  bool shown = false;
  double total = 0;
  int drawn = -1;
};

ProgressState& Progress() {
  static ProgressState state;
  return state;
}

constexpr int kBarWidth = 40;

}  // namespace

OSErr OpenOutputFile(OutputFile& output, const std::string& destination, const char* muxer) {
  output = OutputFile{};
  output.destination = destination;
  std::string pattern = destination + ".XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return wrPermErr;
  // mkstemp makes the file private; the movie gets the usual permissions.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  output.partial = pattern;
  if (avformat_alloc_output_context2(&output.format, nullptr, muxer, FileUrl(output.partial).c_str()) < 0) {
    AbandonOutputFile(output);
    return codecErr;
  }
  if (avio_open(&output.format->pb, FileUrl(output.partial).c_str(), AVIO_FLAG_WRITE) < 0) {
    AbandonOutputFile(output);
    return wrPermErr;
  }
  return noErr;
}

OSErr WriteOutputHeader(OutputFile& output, void* options) {
  int ret = avformat_write_header(output.format, static_cast<AVDictionary**>(options));
  return ret < 0 ? WriteFailure(output, ret) : noErr;
}

OSErr WriteOutputPacket(OutputFile& output, AVPacket* packet) {
  int ret = av_interleaved_write_frame(output.format, packet);
  return ret < 0 ? WriteFailure(output, ret) : noErr;
}

OSErr FinishOutputFile(OutputFile& output) {
  int ret = av_write_trailer(output.format);
  OSErr err = ret < 0 ? WriteFailure(output, ret) : noErr;
  if (avio_closep(&output.format->pb) < 0 && err == noErr) err = ioErr;
  if (err == noErr && ::rename(output.partial.c_str(), output.destination.c_str()) != 0) err = wrPermErr;
  if (err != noErr) {
    AbandonOutputFile(output);
    return err;
  }
  avformat_free_context(output.format);
  output = OutputFile{};
  return noErr;
}

void AbandonOutputFile(OutputFile& output) {
  if (output.format) {
    // Freeing the context also ends the muxer; no trailer is written into a
    // file that is thrown away.
    if (output.format->pb) avio_closep(&output.format->pb);
    avformat_free_context(output.format);
  }
  if (!output.partial.empty()) ::unlink(output.partial.c_str());
  output = OutputFile{};
}

OSErr ReadError(int averror) {
  if (averror == AVERROR_EOF || averror == AVERROR_INVALIDDATA) return noErr;
  return ioErr;
}

void ProgressStart(double totalSeconds) {
  ProgressState& p = Progress();
  p = ProgressState{};
  p.shown = ::isatty(STDERR_FILENO) == 1 && totalSeconds > 0;
  p.total = totalSeconds;
  ProgressAt(0);
}

void ProgressAt(double seconds) {
  ProgressState& p = Progress();
  if (!p.shown) return;
  int percent = int(seconds / p.total * 100.0);
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  if (percent == p.drawn) return;
  p.drawn = percent;
  char bar[kBarWidth + 1];
  int filled = percent * kBarWidth / 100;
  for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kBarWidth] = '\0';
  std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
  std::fflush(stderr);
}

void ProgressEnd() {
  ProgressState& p = Progress();
  if (!p.shown) return;
  ProgressAt(p.total);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  p.shown = false;
}
