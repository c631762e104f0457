#pragma once
// Writing a movie file with libavformat: beside the destination first, then
// renamed into it, with the service's error codes. Shared by export and
// flattening.
#include <cstdint>
#include <string>

#include "pressova/quicktime/quicktime.h"

struct AVFormatContext;
struct AVPacket;

struct OutputFile {
  std::string destination;
  std::string partial;  // the file being written, beside the destination
  AVFormatContext* format = nullptr;
};

// Makes the partial file beside `destination` and a muxer context for it.
// wrPermErr when the folder cannot take a new file.
OSErr OpenOutputFile(OutputFile& output, const std::string& destination, const char* muxer);
// Writes the file header with `options` (an AVDictionary**, may be null).
OSErr WriteOutputHeader(OutputFile& output, void* options);
// Writes a packet in interleaved order; the packet is consumed.
OSErr WriteOutputPacket(OutputFile& output, AVPacket* packet);
// Ends the file and renames it into the destination.
OSErr FinishOutputFile(OutputFile& output);
// Drops a file that is not to be kept.
void AbandonOutputFile(OutputFile& output);

// The code for a failed read of the input (AVERROR values).
OSErr ReadError(int averror);

// A progress bar on standard error, drawn only when it is a terminal.
void ProgressStart(double totalSeconds);
void ProgressAt(double seconds);
void ProgressEnd();
