#pragma once
// The movie service that pressova calls: the QuickTime calls it makes, under
// their names and with their arguments, done with FFmpeg's libraries.
//
// The service runs between InitializeQTML + EnterMovies and ExitMovies +
// TerminateQTML. Every other call made outside that span fails (or gives no
// object), and ExitMovies releases every movie, component instance and atom
// container still alive, so nothing outlives the span that made it.
#include <cstdint>
#include <string>

using OSErr = int16_t;
using OSType = uint32_t;
using ComponentResult = int32_t;
using Boolean = bool;
using ScriptCode = int16_t;
using TimeValue = int32_t;

// Four-character codes: the first character in the most significant byte.
constexpr OSType FourCharCode(const char (&text)[5]) {
  return (OSType(uint8_t(text[0])) << 24) | (OSType(uint8_t(text[1])) << 16) |
         (OSType(uint8_t(text[2])) << 8) | OSType(uint8_t(text[3]));
}

// Error codes of the service.
constexpr OSErr noErr = 0;
constexpr OSErr ioErr = -36;             // a read or write failed
constexpr OSErr fnfErr = -43;            // the file does not exist
constexpr OSErr paramErr = -50;          // a handle that is not alive, a null pointer
constexpr OSErr wrPermErr = -61;         // the file cannot be written
constexpr OSErr userCanceledErr = -128;  // the user cancelled the export dialog
constexpr OSErr noMovieFound = -2048;    // the file holds no movie
constexpr OSErr qtmlUninitialized = -2093;  // called outside InitializeQTML..TerminateQTML
constexpr OSErr codecErr = -8960;        // an encoder or the muxer failed

// Flags of ConvertMovieToFile.
constexpr int32_t createMovieFileDeleteCurFile = int32_t(0x80000000);
constexpr int32_t showUserSettingsDialog = 2;
constexpr int32_t movieToFileOnlyExport = 4;
constexpr int32_t movieFileSpecValid = 8;
// Flags of FlattenMovieData.
constexpr int32_t flattenAddMovieToDataFork = 1;
constexpr int32_t flattenForceMovieResourceBeforeMovieData = 0x40;
// Flags of NewMovieFromFile.
constexpr int16_t newMovieActive = 1;
// OpenMovieFile permission.
constexpr int8_t fsRdPerm = 1;

constexpr OSType MovieExportType = FourCharCode("spit");
constexpr OSType kCreatorTVOD = FourCharCode("TVOD");

// A file specification: the path of a file that may not exist yet.
struct FSSpec {
  std::string path;
};

struct MovieRecord;
using Movie = MovieRecord*;
using Track = void*;

struct ComponentRecord;
using Component = ComponentRecord*;
struct ComponentInstanceRecord;
using ComponentInstance = ComponentInstanceRecord*;

struct ComponentDescription {
  OSType componentType = 0;
  OSType componentSubType = 0;
  OSType componentManufacturer = 0;
  uint32_t componentFlags = 0;
  uint32_t componentFlagsMask = 0;
};

// An atom container: a tree of atoms, each with a type, an id and either data
// or child atoms. Atom 0 (kParentAtomIsContainer) is the container itself.
struct AtomContainerRecord;
using QTAtomContainer = AtomContainerRecord*;
using QTAtom = int32_t;
using QTAtomType = uint32_t;
using QTAtomID = int32_t;
constexpr QTAtom kParentAtomIsContainer = 0;

// Starting and stopping.
OSErr InitializeQTML(int32_t flags);
OSErr EnterMovies();
void ExitMovies();
void TerminateQTML();

// Files and movies.
OSErr NativePathNameToFSSpec(const char* path, FSSpec* spec, int32_t flags);
OSErr OpenMovieFile(const FSSpec* spec, int16_t* refNum, int8_t permission);
OSErr NewMovieFromFile(Movie* movie, int16_t refNum, int16_t* resId, unsigned char* resName,
                       int16_t newMovieFlags, Boolean* dataRefWasChanged);
OSErr CloseMovieFile(int16_t refNum);
void SetMovieActive(Movie movie, Boolean active);
// Writes the movie through `exporter`, or, without one and with
// showUserSettingsDialog in `flags`, through the export dialog, which lets the
// user pick the format, its settings and the destination.
OSErr ConvertMovieToFile(Movie movie, Track onlyTrack, FSSpec* outputFile, OSType fileType,
                         OSType creator, ScriptCode scriptTag, int16_t* resId, int32_t flags,
                         ComponentInstance exporter);
// Writes a self-contained QuickTime movie with every stream copied; the error
// is left for GetMoviesError. The flattened movie is not opened: the result is
// always null.
Movie FlattenMovieData(Movie movie, int32_t movieFlattenFlags, FSSpec* outputFile, OSType creator,
                       ScriptCode scriptTag, int32_t createMovieFileFlags);
OSErr GetMoviesError();

// Movie export components.
ComponentInstance OpenDefaultComponent(OSType componentType, OSType componentSubType);
OSErr CloseComponent(ComponentInstance instance);
Component FindNextComponent(Component previous, ComponentDescription* looking);
OSErr GetComponentInfo(Component component, ComponentDescription* description, void* name,
                       void* info, void* icon);
ComponentResult MovieExportDoUserDialog(ComponentInstance instance, Movie movie, Track onlyTrack,
                                        TimeValue start, TimeValue duration, Boolean* canceled);
// Gives a new container holding the exporter's current settings; the caller
// disposes of it.
ComponentResult MovieExportGetSettingsAsAtomContainer(ComponentInstance instance,
                                                      QTAtomContainer* settings);
ComponentResult MovieExportSetSettingsFromAtomContainer(ComponentInstance instance,
                                                        QTAtomContainer settings);

// Atom containers.
OSErr QTNewAtomContainer(QTAtomContainer* container);
OSErr QTDisposeAtomContainer(QTAtomContainer container);
// The child of `parent` after `current` (the first one when `current` is 0);
// `next` is 0 when there is none.
OSErr QTNextChildAnyType(QTAtomContainer container, QTAtom parent, QTAtom current, QTAtom* next);
OSErr QTGetAtomTypeAndID(QTAtomContainer container, QTAtom atom, QTAtomType* type, QTAtomID* id);
// Size 0 and no data for an atom with children.
OSErr QTGetAtomDataPtr(QTAtomContainer container, QTAtom atom, int32_t* dataSize, char** data);
// Index 0 appends the new atom after the parent's existing children.
OSErr QTInsertChild(QTAtomContainer container, QTAtom parent, QTAtomType type, QTAtomID id,
                    int16_t index, int32_t dataSize, const void* data, QTAtom* newAtom);
