#include "rivetta/analyze.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "atoms/atom_io.h"
#include "atoms/offset_fixups.h"
#include "platform/codepage.h"
#include "platform/console.h"
#include "rivetta/state.h"

namespace {

const ByteString kUdtaPath = "\\moov\\udta\\";

// A body of the input, looked at where it lies (or read into a buffer), with
// the input position of its first byte.
struct Body {
  const char* bytes = nullptr;
  int64_t size = 0;
  int64_t position = 0;
  int64_t length() const { return size; }
  const char* data() const { return bytes; }
  bool Has(int64_t offset, int64_t width) const { return BodyHas(length(), offset, width); }
  uint32_t U32(int64_t offset) const { return ReadU32BE(bytes, offset); }
  uint32_t U16(int64_t offset) const { return ReadU16BE(bytes, offset); }
};

void ReplaceTitle(ByteString& title, const ByteString& text) {
  if (!Settings.TitleFromCommandLine) title = text;
}

// Bytes from `from` up to `to` (clamped to the body), ending earlier at a NUL.
ByteString TextUpToNul(const Body& body, int64_t from, int64_t to) {
  to = std::min(to, body.length());
  if (from >= to) return {};
  std::string_view view(body.data() + from, size_t(to - from));
  size_t nul = view.find('\0');
  return ByteString(view.substr(0, nul));
}

// "©nam" of the movie's user data: a 16-bit length, a language code, the text.
void HandleNameAtom(const Body& body, ByteString& title) {
  if (!body.Has(0, 4)) return;
  uint32_t n = body.U16(0);
  if (n == 0) return;
  ReplaceTitle(title, TextUpToNul(body, 4, 4 + int64_t(n)));
}

// "titl" of the movie's user data: version and flags, language, UTF-8 text.
void HandleTitleAtom(const Body& body, ByteString& title) {
  if (!body.Has(0, 6)) return;
  ReplaceTitle(title, Utf8ToCodePage(TextUpToNul(body, 6, body.length())));
}

// A top-level "uuid" whose extended type begins "prop" holds property
// entries from offset 20: size, type, payload; a "titl" entry is the title.
void HandlePropertyUuid(const Body& body, ByteString& title) {
  if (!body.Has(0, 4) || std::string_view(body.data(), 4) != "prop") return;
  int64_t offset = 20;
  while (offset < body.length() && body.Has(offset, 8)) {
    uint32_t entrySize = body.U32(offset);
    if (entrySize < 8) break;  // the list cannot advance
    if (std::string_view(body.data() + offset + 4, 4) == "titl")
      ReplaceTitle(title, TextUpToNul(body, offset + 8, offset + int64_t(entrySize)));
    offset += entrySize;
  }
}

// Version 1 headers hold 64-bit times (ISO/IEC 14496-12 8.2.2, 8.3.2,
// 8.4.2): their later fields lie further on, and a 32-bit time is the low
// half of the 64-bit one. Reading them at version 0 offsets would take parts
// of the times for track IDs and sizes.
bool IsVersion1(const Body& body) { return body.Has(0, 1) && uint8_t(body.bytes[0]) == 1; }

void HandleMovieHeader(const Body& body) {
  int64_t creation = IsVersion1(body) ? 8 : 4;
  if (body.Has(creation, 4)) Facts.CreationTime = body.U32(creation);
}

// Track header. Width and height are 16.16 numbers at 76 and 80 (version 0);
// the 32 bits two bytes early give their whole parts.
void HandleTrackHeader(const Body& body) {
  const int64_t shift = IsVersion1(body) ? 12 : 0;
  if (!body.Has(0, 82 + shift)) return;
  Facts.CurrentTrackID = body.U32(shift ? 20 : 12);
  uint32_t width = body.U32(74 + shift), height = body.U32(78 + shift), volume = body.U16(36 + shift);
  if (width != 0 && height != 0) {
    if (Facts.VideoTrackID != 0) PrintLine(Text("A>Warning: VideoTrackが複数あります"));
    Facts.VideoTrackID = Facts.CurrentTrackID;
    Facts.VideoWidth = width;
    Facts.VideoHeight = height;
  }
  if (volume != 0) {
    if (Facts.AudioTrackID != 0) PrintLine(Text("A>Warning: AudioTrackが複数あります"));
    Facts.AudioTrackID = Facts.CurrentTrackID;
  }
}

void HandleMediaHeader(const Body& body) {
  if (Facts.CurrentTrackID == 0) {
    PrintLine(Text("A>Warning>mdhd:TrackIDが異常です"));
  } else if (Facts.CurrentTrackID == Facts.VideoTrackID) {
    int64_t timescale = IsVersion1(body) ? 20 : 12;
    if (body.Has(timescale, 4)) Facts.VideoTimescale = body.U32(timescale);
  }
}

// Entries a counted table can hold: the count from the file, bounded by the
// bytes that follow `first` (a count of 0 or less means none).
int64_t BoundedCount(const Body& body, int64_t countAt, int64_t first, int64_t entrySize) {
  if (!body.Has(countAt, 4) || first > body.length()) return 0;
  int64_t count = int32_t(body.U32(countAt));
  if (count <= 0) return 0;
  return std::min(count, (body.length() - first) / entrySize);
}

// Time-to-sample table of the video track: frame rate from the average
// sample delta (integer division first, as the report has always done).
void HandleTimeToSample(const Body& body) {
  int64_t count = BoundedCount(body, 4, 8, 8);
  uint64_t totalDuration = 0, totalSamples = 0;
  for (int64_t i = 0; i < count; ++i) {
    uint64_t sampleCount = body.U32(8 + 8 * i), sampleDelta = body.U32(12 + 8 * i);
    totalDuration += sampleCount * sampleDelta;
    totalSamples += sampleCount;
  }
  if (totalSamples == 0) return;  // no samples: no frame rate to compute
  uint64_t average = totalDuration / totalSamples;
  if (average == 0) return;
  Facts.VideoFrameRate = double(Facts.VideoTimescale) / double(average);
}

// Bit rates from the decoder configuration descriptor of the last "esds" in
// the sample description (ISO/IEC 14496-1 descriptors with one- or four-byte
// lengths); audio sample rate and channel count from the audio sample entry.
void HandleSampleDescription(const Body& body) {
  bool video = Facts.CurrentTrackID == Facts.VideoTrackID;
  int64_t scanStart = 94;
  if (Facts.CurrentTrackID == Facts.AudioTrackID) {
    if (!body.Has(40, 2)) return;
    Facts.AudioSampleRate = body.U16(40);
    Facts.AudioChannels = body.U16(32);
    scanStart = 44;
  }
  int64_t match = -1;
  for (int64_t at = scanStart; at + 4 <= body.length(); ++at)
    if (std::string_view(body.data() + at, 4) == "esds") match = at;
  if (match < 0) return;
  auto byteAt = [&](int64_t p) { return uint8_t(body.bytes[size_t(p)]); };
  int64_t p = match + 8;
  while (p < body.length()) {
    uint8_t tag = byteAt(p);
    if (tag == 3) {
      p += 1;
      if (p < body.length() && byteAt(p) == 0x80) p += 3;
      p += 4;
    } else if (tag == 4) {
      p += 1;
      if (p < body.length() && byteAt(p) == 0x80) p += 3;
      if (!body.Has(p, 14)) return;
      uint32_t maximum = body.U32(p + 6), average = body.U32(p + 10);
      if (video) {
        Facts.VideoMaxBitrate = maximum;
        Facts.VideoAvgBitrate = average;
      } else {
        Facts.AudioMaxBitrate = maximum;
        Facts.AudioAvgBitrate = average;
      }
      return;
    } else {
      return;
    }
  }
}

// The base the track runs of this fragment count their data offsets from.
void NoteTrackRunBase(const Body& body) {
  uint32_t flags = body.U32(0) & 0xFFFFFF;
  RunBase.Base = -1;
  if (flags & 0x000001) {
    if (body.Has(8, 8) && body.U32(8) == 0) RunBase.Base = body.U32(12);
  } else if ((flags & 0x020000) || RunBase.TrafsInMoof == 1) {
    RunBase.Base = RunBase.MoofPosition;
  }
}

// Track fragment header: the low half of a base data offset is an absolute
// file offset; in the A5504T mode it is carried to the track runs instead.
void HandleFragmentHeader(const Body& body) {
  if (!body.Has(0, 4)) return;
  NoteTrackRunBase(body);
  if (!(body.U16(2) & 0x0001) || !body.Has(8, 8)) return;
  if (Settings.A5504T) {
    FragmentBaseOffset = body.U32(12);
  } else {
    if (body.U32(12) != 0) AddOffsetFixup(body.data(), 12, body.position);
    FragmentBaseOffset = 0;
  }
}

// Track run. In the A5504T mode its data offset plus the fragment's base
// becomes an absolute offset, recorded for correction. Otherwise the data
// offset stays relative to its base, and is recorded as such: atoms inserted
// into or deleted from the fragment between the base and the media data
// change it by their size.
void HandleTrackRun(const Body& body) {
  if (!body.Has(0, 4)) return;
  if (!(body.U16(2) & 0x0001) || !body.Has(8, 4)) return;
  if (FragmentBaseOffset != 0) {
    AddOffsetFixupValue(body.position + 8, body.U32(8) + FragmentBaseOffset);
  } else if (RunBase.Base >= 0) {
    AddRelativeOffsetFixup(body.data(), 8, body.position, RunBase.Base);
  }
}

void HandleChunkOffsets(const Body& body) {
  int64_t count = BoundedCount(body, 4, 8, 4);
  for (int64_t i = 0; i < count; ++i) AddOffsetFixup(body.data(), int32_t(8 + 4 * i), body.position);
}

// Track fragment random access: the moof offset of every entry. Version 0
// entries hold a 32-bit time and offset; version 1 entries 64-bit ones, whose
// offset's low half is the field recorded.
void HandleFragmentRandomAccess(const Body& body) {
  if (!body.Has(0, 16)) return;
  uint32_t v = body.U32(8);
  int64_t numbers = ((v >> 4) & 3) + 1 + ((v >> 2) & 3) + 1 + (v & 3) + 1;
  bool version1 = uint8_t(body.bytes[0]) == 1;
  int64_t entrySize = (version1 ? 16 : 8) + numbers;
  int64_t fieldAt = version1 ? 12 : 4;  // within an entry
  int64_t count = BoundedCount(body, 12, 16, entrySize);
  for (int64_t i = 0; i < count; ++i)
    AddOffsetFixup(body.data(), int32_t(16 + i * entrySize + fieldAt), body.position);
}

enum class Handler { None, Name, Title, Property, Mvhd, Tkhd, Mdhd, Stts, Stsd, Tfhd, Trun, Stco, Tfra };

constexpr uint32_t kNam = AtomTypeNumber("\xA9nam"), kNamFB = AtomTypeNumber("\xFBnam"),
                   kTitl = AtomTypeNumber("titl"), kUuid = AtomTypeNumber("uuid"),
                   kMvhd = AtomTypeNumber("mvhd"), kTkhd = AtomTypeNumber("tkhd"),
                   kMdhd = AtomTypeNumber("mdhd"), kStts = AtomTypeNumber("stts"),
                   kStsd = AtomTypeNumber("stsd"), kTfhd = AtomTypeNumber("tfhd"),
                   kTrun = AtomTypeNumber("trun"), kStco = AtomTypeNumber("stco"),
                   kTfra = AtomTypeNumber("tfra"), kMoov = AtomTypeNumber("moov"),
                   kMoof = AtomTypeNumber("moof"), kTraf = AtomTypeNumber("traf");

// Which handler reads an atom of this type at this path, if any.
Handler HandlerFor(uint32_t type, const ByteString& path) {
  switch (type) {
    case kNam:
    case kNamFB: return path == kUdtaPath ? Handler::Name : Handler::None;
    case kTitl: return path == kUdtaPath ? Handler::Title : Handler::None;
    case kUuid: return path == "\\" ? Handler::Property : Handler::None;
    case kMvhd: return Handler::Mvhd;
    case kTkhd: return Handler::Tkhd;
    case kMdhd: return Handler::Mdhd;
    case kStts: return Facts.CurrentTrackID == Facts.VideoTrackID ? Handler::Stts : Handler::None;
    case kStsd:
      return (Facts.CurrentTrackID == Facts.VideoTrackID ||
              Facts.CurrentTrackID == Facts.AudioTrackID)
                 ? Handler::Stsd
                 : Handler::None;
    case kTfhd: return Handler::Tfhd;
    case kTrun: return (FragmentBaseOffset != 0 || RunBase.Base >= 0) ? Handler::Trun : Handler::None;
    case kStco: return Handler::Stco;
    case kTfra: return Handler::Tfra;
    default: return Handler::None;
  }
}

void RunHandler(Handler handler, const Body& body, ByteString& title) {
  switch (handler) {
    case Handler::Name: HandleNameAtom(body, title); break;
    case Handler::Title: HandleTitleAtom(body, title); break;
    case Handler::Property: HandlePropertyUuid(body, title); break;
    case Handler::Mvhd: HandleMovieHeader(body); break;
    case Handler::Tkhd: HandleTrackHeader(body); break;
    case Handler::Mdhd: HandleMediaHeader(body); break;
    case Handler::Stts: HandleTimeToSample(body); break;
    case Handler::Stsd: HandleSampleDescription(body); break;
    case Handler::Tfhd: HandleFragmentHeader(body); break;
    case Handler::Trun: HandleTrackRun(body); break;
    case Handler::Stco: HandleChunkOffsets(body); break;
    case Handler::Tfra: HandleFragmentRandomAccess(body); break;
    case Handler::None: break;
  }
}

// The body at the file's position: looked at where it lies when the file
// allows (a mapped input), else read into a buffer kept for the run. False
// when the file ends inside it.
bool ReadBody(FileHandle& file, int64_t length, Body& body) {
  static std::vector<char> buffer;
  body.position = CurrentPosition(file);
  body.size = length;
  const char* at = nullptr;
  if (PeekBytes(file, length, at) == length) {
    body.bytes = at;
    return true;
  }
  buffer.resize(size_t(length));
  body.bytes = buffer.data();
  return ReadBytes(file, buffer.data(), length) == length;
}

}  // namespace

void AnalyzeAtoms(FileHandle& file, ByteString& title, const ByteString& path, int64_t length,
                  int depth) {
  const int64_t levelStart = CurrentPosition(file);
  int64_t consumed = 0;
  while (consumed < length) {
    AtomHeader header;
    HeaderRead read = ReadAtomHeader(file, header);
    if (read == HeaderRead::EndOfFile) return;  // the file ends inside this level
    if (read == HeaderRead::SizeBelow8) {
      // The rest of the level, this atom included, is not analysed.
      SeekTo(file, levelStart + length);
      return;
    }
    const int64_t bodyPosition = header.position + 8;
    const int64_t bodyLength = int64_t(header.size) - 8;
    const uint32_t type = AtomTypeNumber(header);
    if (type == kMoov) {
      Facts.CurrentTrackID = 0;
      Facts.MoovSize = header.size;
    } else if (type == kMoof) {
      RunBase = TrackRunBase{header.position, 0, -1};
    } else if (type == kTraf) {
      RunBase.TrafsInMoof += 1;
      RunBase.Base = -1;
    }
    if (IsWalkedContainer(header, TypeMatch::Exact) && depth + 1 < kMaxAtomDepth) {
      AnalyzeAtoms(file, title, ChildPath(path, header.type), bodyLength, depth + 1);
    } else {
      Handler handler = HandlerFor(type, path);
      // A handler reads the whole body, but never more than the file holds: a
      // body the file ends inside gives no facts.
      if (handler != Handler::None && bodyLength <= FileLength(file) - bodyPosition) {
        Body body;
        if (ReadBody(file, bodyLength, body)) RunHandler(handler, body, title);
      }
      SeekTo(file, bodyPosition + bodyLength);
    }
    consumed = CurrentPosition(file) - levelStart;
  }
}
