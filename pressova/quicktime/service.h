#pragma once
// Inside the movie service: the records behind the handles of quicktime.h and
// the process-wide service state. Not for callers of the service.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "pressova/quicktime/quicktime.h"

struct AVFormatContext;
struct AVIOContext;

// The settings of an export component, as its settings atoms hold them.
struct VideoSettings {
  bool enabled = true;
  OSType codec = 0;           // 'mp4v', 'h263', 'avc1' or 'copy'
  uint32_t width = 0;         // 0: the source's
  uint32_t height = 0;
  uint32_t framesPerSecond = 0;  // 16.16 fixed point; 0: the source's
  uint32_t bitRate = 0;       // bits per second
  uint32_t keyFrameInterval = 0;  // frames
};

struct SoundSettings {
  bool enabled = true;
  OSType codec = 0;     // 'mp4a', 'samr', 'lpcm' or 'copy'
  uint32_t rate = 0;    // Hz; 0: the source's
  uint32_t channels = 0;  // 0: the source's
  uint32_t bitRate = 0;
};

struct ExportSettings {
  VideoSettings video;
  SoundSettings sound;
};

// One kind of movie export component.
struct ExporterKind {
  OSType subtype;
  const char* name;       // shown in the dialogs
  const char* extension;  // with the dot
  const char* muxer;      // libavformat's name
  bool hasVideo;          // WAVE writes sound only
  std::vector<OSType> videoCodecs;  // allowed values of vide/codc
  std::vector<OSType> soundCodecs;  // allowed values of soun/codc
  ExportSettings defaults;
};

// The kinds in the order the component list shows them, available or not.
const std::vector<ExporterKind>& ExporterKinds();
// True when the linked FFmpeg has the muxer and the default encoders.
bool ExporterAvailable(const ExporterKind& kind);
// True when the linked libraries can produce the codec ('copy' always).
bool CodecAvailable(OSType codec);

struct ComponentRecord {
  const ExporterKind* kind = nullptr;
};

struct ComponentInstanceRecord {
  const ExporterKind* kind = nullptr;
  ExportSettings settings;
};

// An opened movie file: the input held open without sharing. It stays open
// while its reference or a movie made from it is alive.
struct MovieFileRecord {
  FileHandle file;
  std::string path;
  bool referenceOpen = false;
  int movies = 0;
};

struct MovieRecord {
  std::string path;
  int fileIndex = -1;  // into ServiceState::files
  AVFormatContext* format = nullptr;
  AVIOContext* io = nullptr;
  bool active = true;
  bool packetsRead = false;  // a writer has read it; the next one starts over
};

// Positions the movie at its start for another pass over its packets.
void RewindMovie(MovieRecord& movie);

struct AtomNode {
  QTAtomType type = 0;
  QTAtomID id = 0;
  QTAtom parent = kParentAtomIsContainer;
  std::string data;
  std::vector<QTAtom> children;
};

// Node 0 is the container itself; QTAtom values index `nodes`.
struct AtomContainerRecord {
  std::vector<AtomNode> nodes;
};

struct ServiceState {
  bool initialized = false;  // InitializeQTML
  bool entered = false;      // EnterMovies
  OSErr moviesError = noErr;
  std::vector<ComponentRecord> components;  // the available exporters, in list order
  std::vector<std::unique_ptr<MovieFileRecord>> files;  // refNum - 1
  std::vector<std::unique_ptr<MovieRecord>> movies;
  std::vector<std::unique_ptr<ComponentInstanceRecord>> instances;
  std::vector<std::unique_ptr<AtomContainerRecord>> containers;
};

ServiceState& Service();
// True between EnterMovies and ExitMovies (with QTML initialized).
bool ServiceRunning();
bool MovieAlive(Movie movie);
bool InstanceAlive(ComponentInstance instance);
bool ContainerAlive(QTAtomContainer container);

// Settings <-> atom container.
ExportSettings SettingsFromContainer(const ExporterKind& kind, QTAtomContainer container);
void SettingsToContainer(const ExporterKind& kind, const ExportSettings& settings,
                         QTAtomContainer container);

// The text dialogs. Each returns false when the user cancelled (or the input
// ended).
bool RunSettingsDialog(const ExporterKind& kind, ExportSettings& settings);
// Lets the user pick an available exporter, its settings and the
// destination; a destination naming the movie itself is refused.
bool RunExportDialog(const std::string& moviePath, const ExporterKind*& kind,
                     ExportSettings& settings, std::string& destination);

// Writing. Both write beside `destination` and rename into it only when the
// whole file was written, so a failure never leaves a partial file nor
// touches a file already there.
OSErr ExportMovie(MovieRecord& movie, const ExporterKind& kind, const ExportSettings& settings,
                  const std::string& destination);
OSErr FlattenMovie(MovieRecord& movie, bool movieHeaderFirst, const std::string& destination);

// Tells an ordinary four-character code as text.
std::string CodeText(OSType code);
