// Starting and stopping the service, movie files and movies, and the movie
// export components.
#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include "pressova/quicktime/service.h"

namespace {

// Size of the read buffer between the input file and the demuxer.
constexpr int kInputBufferSize = 256 * 1024;

struct InputReader {
  FileHandle file;
  int64_t position = 0;
};

int ReadInput(void* opaque, uint8_t* buffer, int size) {
  auto* reader = static_cast<InputReader*>(opaque);
  int64_t got = ReadBytesAt(reader->file, reader->position, buffer, size);
  if (got <= 0) return AVERROR_EOF;
  reader->position += got;
  return int(got);
}

int64_t SeekInput(void* opaque, int64_t offset, int whence) {
  auto* reader = static_cast<InputReader*>(opaque);
  int64_t length = FileLength(reader->file);
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return length;
    case SEEK_SET: break;
    case SEEK_CUR: offset += reader->position; break;
    case SEEK_END: offset += length; break;
    default: return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  reader->position = offset;
  return offset;
}

void ReleaseFileIfUnused(int index) {
  auto& files = Service().files;
  if (index < 0 || size_t(index) >= files.size() || !files[size_t(index)]) return;
  MovieFileRecord& record = *files[size_t(index)];
  if (record.referenceOpen || record.movies > 0) return;
  CloseFile(record.file);
  files[size_t(index)].reset();
}

void CloseMovieRecord(MovieRecord& movie) {
  if (movie.format) avformat_close_input(&movie.format);
  if (movie.io) {
    delete static_cast<InputReader*>(movie.io->opaque);
    av_freep(&movie.io->buffer);
    avio_context_free(&movie.io);
  }
  auto& files = Service().files;
  if (movie.fileIndex >= 0 && size_t(movie.fileIndex) < files.size() && files[size_t(movie.fileIndex)]) {
    files[size_t(movie.fileIndex)]->movies--;
    ReleaseFileIfUnused(movie.fileIndex);
  }
  movie.fileIndex = -1;
}

// Releases everything the span made, in the order that nothing dangles.
void ReleaseEverything() {
  ServiceState& state = Service();
  for (auto& movie : state.movies) CloseMovieRecord(*movie);
  state.movies.clear();
  for (auto& file : state.files)
    if (file) CloseFile(file->file);
  state.files.clear();
  state.instances.clear();
  state.containers.clear();
  state.components.clear();
}

MovieFileRecord* FileOfReference(int16_t refNum) {
  auto& files = Service().files;
  if (refNum < 1 || size_t(refNum) > files.size()) return nullptr;
  MovieFileRecord* record = files[size_t(refNum) - 1].get();
  return record && record->referenceOpen ? record : nullptr;
}

bool HasMovieStream(const AVFormatContext* format) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* par = format->streams[i]->codecpar;
    if ((par->codec_type == AVMEDIA_TYPE_VIDEO || par->codec_type == AVMEDIA_TYPE_AUDIO) &&
        par->codec_id != AV_CODEC_ID_NONE)
      return true;
  }
  return false;
}

bool Matches(const ComponentDescription& looking, const ExporterKind& kind) {
  if (looking.componentType != 0 && looking.componentType != MovieExportType) return false;
  return looking.componentSubType == 0 || looking.componentSubType == kind.subtype;
}

}  // namespace

ServiceState& Service() {
  static ServiceState state;
  return state;
}

bool ServiceRunning() { return Service().initialized && Service().entered; }

bool MovieAlive(Movie movie) {
  if (!movie || !ServiceRunning()) return false;
  for (const auto& m : Service().movies)
    if (m.get() == movie) return true;
  return false;
}

bool InstanceAlive(ComponentInstance instance) {
  if (!instance || !ServiceRunning()) return false;
  for (const auto& i : Service().instances)
    if (i.get() == instance) return true;
  return false;
}

bool ContainerAlive(QTAtomContainer container) {
  if (!container || !ServiceRunning()) return false;
  for (const auto& c : Service().containers)
    if (c.get() == container) return true;
  return false;
}

std::string CodeText(OSType code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[size_t(i)] = char((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

OSErr InitializeQTML(int32_t) {
  Service().initialized = true;
  return noErr;
}

OSErr EnterMovies() {
  ServiceState& state = Service();
  if (!state.initialized) return qtmlUninitialized;
  if (state.entered) return noErr;
  av_log_set_level(AV_LOG_QUIET);
  state.entered = true;
  state.moviesError = noErr;
  state.components.clear();
  for (const ExporterKind& kind : ExporterKinds())
    if (ExporterAvailable(kind)) state.components.push_back({&kind});
  return noErr;
}

void ExitMovies() {
  if (!Service().entered) return;
  ReleaseEverything();
  Service().entered = false;
}

void TerminateQTML() {
  ExitMovies();
  Service().initialized = false;
}

OSErr GetMoviesError() { return ServiceRunning() ? Service().moviesError : qtmlUninitialized; }

OSErr NativePathNameToFSSpec(const char* path, FSSpec* spec, int32_t) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!path || !spec) return paramErr;
  spec->path = path;
  return FileExists(spec->path) ? noErr : fnfErr;
}

OSErr OpenMovieFile(const FSSpec* spec, int16_t* refNum, int8_t) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!spec || !refNum) return paramErr;
  *refNum = 0;
  if (!FileExists(spec->path)) return fnfErr;
  auto record = std::make_unique<MovieFileRecord>();
  record->file = OpenForReading(spec->path);
  if (!IsOpen(record->file)) return ioErr;
  record->path = spec->path;
  record->referenceOpen = true;
  auto& files = Service().files;
  if (files.size() >= 0x7FFF) {
    CloseFile(record->file);
    return paramErr;
  }
  files.push_back(std::move(record));
  *refNum = int16_t(files.size());
  return noErr;
}

OSErr CloseMovieFile(int16_t refNum) {
  if (!ServiceRunning()) return qtmlUninitialized;
  MovieFileRecord* record = FileOfReference(refNum);
  if (!record) return paramErr;
  record->referenceOpen = false;
  ReleaseFileIfUnused(refNum - 1);
  return noErr;
}

OSErr NewMovieFromFile(Movie* movie, int16_t refNum, int16_t*, unsigned char*, int16_t newMovieFlags,
                       Boolean* dataRefWasChanged) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!movie) return paramErr;
  *movie = nullptr;
  if (dataRefWasChanged) *dataRefWasChanged = false;
  MovieFileRecord* file = FileOfReference(refNum);
  if (!file) return paramErr;

  auto record = std::make_unique<MovieRecord>();
  record->path = file->path;
  record->active = (newMovieFlags & newMovieActive) != 0;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kInputBufferSize));
  auto* reader = new InputReader{file->file, 0};
  record->io = avio_alloc_context(buffer, kInputBufferSize, 0, reader, ReadInput, nullptr, SeekInput);
  if (!buffer || !record->io) {
    delete reader;
    av_free(buffer);
    if (record->io) avio_context_free(&record->io);
    return ioErr;
  }
  record->fileIndex = refNum - 1;
  file->movies++;

  record->format = avformat_alloc_context();
  record->format->pb = record->io;
  OSErr err = noErr;
  int ret = avformat_open_input(&record->format, nullptr, nullptr, nullptr);
  if (ret < 0) {
    record->format = nullptr;  // freed by avformat_open_input
    err = ret == AVERROR(EIO) ? ioErr : noMovieFound;
  } else if (avformat_find_stream_info(record->format, nullptr) < 0 ||
             !HasMovieStream(record->format)) {
    err = noMovieFound;
  }
  if (err != noErr) {
    CloseMovieRecord(*record);
    return err;
  }
  *movie = record.get();
  Service().movies.push_back(std::move(record));
  return noErr;
}

void RewindMovie(MovieRecord& movie) {
  // A movie fresh from NewMovieFromFile still holds its first packets.
  if (movie.packetsRead) {
    AVFormatContext* format = movie.format;
    int64_t start = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    avformat_seek_file(format, -1, INT64_MIN, start, start, 0);
  }
  movie.packetsRead = true;
}

void SetMovieActive(Movie movie, Boolean active) {
  if (MovieAlive(movie)) movie->active = active;
}

OSErr ConvertMovieToFile(Movie movie, Track, FSSpec* outputFile, OSType, OSType, ScriptCode, int16_t*,
                         int32_t flags, ComponentInstance exporter) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!MovieAlive(movie) || !outputFile) return paramErr;
  if (exporter) {
    if (!InstanceAlive(exporter)) return paramErr;
    return ExportMovie(*movie, *exporter->kind, exporter->settings, outputFile->path);
  }
  if (flags & showUserSettingsDialog) {
    const ExporterKind* kind = nullptr;
    ExportSettings settings;
    std::string destination;
    if (!RunExportDialog(movie->path, kind, settings, destination)) return userCanceledErr;
    return ExportMovie(*movie, *kind, settings, destination);
  }
  // Without exporter and dialog the movie is saved as a QuickTime movie.
  for (const ExporterKind& kind : ExporterKinds())
    if (kind.subtype == FourCharCode("MooV") && ExporterAvailable(kind))
      return ExportMovie(*movie, kind, kind.defaults, outputFile->path);
  return codecErr;
}

Movie FlattenMovieData(Movie movie, int32_t movieFlattenFlags, FSSpec* outputFile, OSType, ScriptCode,
                       int32_t) {
  if (!ServiceRunning()) return nullptr;
  ServiceState& state = Service();
  if (!MovieAlive(movie) || !outputFile) {
    state.moviesError = paramErr;
    return nullptr;
  }
  bool headerFirst = (movieFlattenFlags & flattenForceMovieResourceBeforeMovieData) != 0;
  state.moviesError = FlattenMovie(*movie, headerFirst, outputFile->path);
  return nullptr;
}

ComponentInstance OpenDefaultComponent(OSType componentType, OSType componentSubType) {
  if (!ServiceRunning()) return nullptr;
  ComponentDescription looking;
  looking.componentType = componentType;
  looking.componentSubType = componentSubType;
  if (componentType != MovieExportType) return nullptr;
  for (const ComponentRecord& component : Service().components) {
    if (!Matches(looking, *component.kind)) continue;
    auto instance = std::make_unique<ComponentInstanceRecord>();
    instance->kind = component.kind;
    instance->settings = component.kind->defaults;
    Service().instances.push_back(std::move(instance));
    return Service().instances.back().get();
  }
  return nullptr;
}

OSErr CloseComponent(ComponentInstance instance) {
  if (!ServiceRunning()) return qtmlUninitialized;
  auto& instances = Service().instances;
  for (size_t i = 0; i < instances.size(); ++i)
    if (instances[i].get() == instance) {
      instances.erase(instances.begin() + long(i));
      return noErr;
    }
  return paramErr;
}

Component FindNextComponent(Component previous, ComponentDescription* looking) {
  if (!ServiceRunning() || !looking) return nullptr;
  auto& components = Service().components;
  size_t start = 0;
  if (previous) {
    while (start < components.size() && &components[start] != previous) ++start;
    if (start == components.size()) return nullptr;
    ++start;
  }
  for (size_t i = start; i < components.size(); ++i)
    if (Matches(*looking, *components[i].kind)) return &components[i];
  return nullptr;
}

OSErr GetComponentInfo(Component component, ComponentDescription* description, void*, void*, void*) {
  if (!ServiceRunning()) return qtmlUninitialized;
  auto& components = Service().components;
  bool alive = std::any_of(components.begin(), components.end(),
                           [&](const ComponentRecord& c) { return &c == component; });
  if (!alive || !description) return paramErr;
  *description = ComponentDescription{};
  description->componentType = MovieExportType;
  description->componentSubType = component->kind->subtype;
  return noErr;
}

ComponentResult MovieExportDoUserDialog(ComponentInstance instance, Movie, Track, TimeValue, TimeValue,
                                        Boolean* canceled) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!InstanceAlive(instance) || !canceled) return paramErr;
  ExportSettings settings = instance->settings;
  *canceled = !RunSettingsDialog(*instance->kind, settings);
  if (!*canceled) instance->settings = settings;
  return noErr;
}

ComponentResult MovieExportGetSettingsAsAtomContainer(ComponentInstance instance,
                                                      QTAtomContainer* settings) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!InstanceAlive(instance) || !settings) return paramErr;
  OSErr err = QTNewAtomContainer(settings);
  if (err != noErr) return err;
  SettingsToContainer(*instance->kind, instance->settings, *settings);
  return noErr;
}

ComponentResult MovieExportSetSettingsFromAtomContainer(ComponentInstance instance,
                                                        QTAtomContainer settings) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!InstanceAlive(instance) || !ContainerAlive(settings)) return paramErr;
  instance->settings = SettingsFromContainer(*instance->kind, settings);
  return noErr;
}
