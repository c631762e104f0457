// The movie export components, their defaults and their settings atoms.
//
// Settings container: a 'vide' atom with the children 'enab' (1 byte),
// 'codc' (four characters), 'wdth' and 'hght' (16-bit), 'fps ' (16.16),
// 'bitr' (bits per second) and 'keyi' (frames), and a 'soun' atom with
// 'enab', 'codc', 'rate' (Hz), 'chan' (16-bit) and 'bitr'. Numbers are
// big-endian. Unknown atoms are ignored and missing ones keep the defaults.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "atoms/bytes.h"
#include "pressova/quicktime/service.h"

namespace {

constexpr OSType kVide = FourCharCode("vide");
constexpr OSType kSoun = FourCharCode("soun");
constexpr OSType kEnab = FourCharCode("enab");
constexpr OSType kCodc = FourCharCode("codc");
constexpr OSType kWdth = FourCharCode("wdth");
constexpr OSType kHght = FourCharCode("hght");
constexpr OSType kFps = FourCharCode("fps ");
constexpr OSType kBitr = FourCharCode("bitr");
constexpr OSType kKeyi = FourCharCode("keyi");
constexpr OSType kRate = FourCharCode("rate");
constexpr OSType kChan = FourCharCode("chan");

constexpr OSType kMp4v = FourCharCode("mp4v");
constexpr OSType kH263 = FourCharCode("h263");
constexpr OSType kAvc1 = FourCharCode("avc1");
constexpr OSType kCopy = FourCharCode("copy");
constexpr OSType kMp4a = FourCharCode("mp4a");
constexpr OSType kSamr = FourCharCode("samr");
constexpr OSType kLpcm = FourCharCode("lpcm");

ExportSettings Defaults(VideoSettings video, SoundSettings sound) { return {video, sound}; }

std::vector<ExporterKind> BuildKinds() {
  // The 3GPP handset classic: QCIF MPEG-4 Visual at 15 fps with mono AAC.
  ExportSettings handset = Defaults({true, kMp4v, 176, 144, 15 << 16, 64000, 15},
                                    {true, kMp4a, 16000, 1, 24000});
  return {
      {FourCharCode("3gpp"), "3GPP", ".3gp", "3gp", true, {kMp4v, kH263, kAvc1, kCopy},
       {kMp4a, kSamr, kCopy}, handset},
      {FourCharCode("3gp2"), "3GPP2", ".3g2", "3g2", true, {kMp4v, kH263, kAvc1, kCopy},
       {kMp4a, kSamr, kCopy}, handset},
      {FourCharCode("mpg4"), "MPEG-4", ".mp4", "mp4", true, {kMp4v, kAvc1, kCopy}, {kMp4a, kCopy},
       Defaults({true, kMp4v, 320, 240, 15 << 16, 256000, 15}, {true, kMp4a, 44100, 2, 128000})},
      {FourCharCode("MooV"), "QuickTime Movie", ".mov", "mov", true, {kAvc1, kCopy}, {kMp4a, kCopy},
       Defaults({true, kCopy, 0, 0, 0, 1000000, 30}, {true, kCopy, 0, 0, 128000})},
      {FourCharCode("WAVE"), "Wave", ".wav", "wav", false, {}, {kLpcm},
       Defaults({false, 0, 0, 0, 0, 0, 0}, {true, kLpcm, 44100, 2, 0})},
  };
}

QTAtom FindChild(QTAtomContainer container, QTAtom parent, OSType type) {
  QTAtom child = 0;
  while (QTNextChildAnyType(container, parent, child, &child) == noErr && child != 0) {
    QTAtomType childType = 0;
    QTGetAtomTypeAndID(container, child, &childType, nullptr);
    if (childType == type) return child;
  }
  return 0;
}

// The data of a child atom when it has exactly `width` bytes.
bool ReadChild(QTAtomContainer container, QTAtom parent, OSType type, int width, uint32_t& value) {
  QTAtom child = FindChild(container, parent, type);
  if (child == 0) return false;
  int32_t size = 0;
  char* data = nullptr;
  if (QTGetAtomDataPtr(container, child, &size, &data) != noErr || size != width || !data) return false;
  if (width == 1) value = uint8_t(data[0]);
  else if (width == 2) value = ReadU16BE(data, 0);
  else value = ReadU32BE(data, 0);
  return true;
}

void ReadCodec(QTAtomContainer container, QTAtom parent, const std::vector<OSType>& allowed,
               OSType& codec) {
  uint32_t value = 0;
  if (!ReadChild(container, parent, kCodc, 4, value)) return;
  for (OSType a : allowed)
    if (a == value) codec = value;
}

void Insert(QTAtomContainer container, QTAtom parent, OSType type, const ByteString& bytes) {
  QTInsertChild(container, parent, type, 1, 0, int32_t(bytes.size()), bytes.data(), nullptr);
}

}  // namespace

const std::vector<ExporterKind>& ExporterKinds() {
  static const std::vector<ExporterKind> kinds = BuildKinds();
  return kinds;
}

bool CodecAvailable(OSType codec) {
  switch (codec) {
    case kMp4v: return avcodec_find_encoder(AV_CODEC_ID_MPEG4) != nullptr;
    case kH263: return avcodec_find_encoder(AV_CODEC_ID_H263) != nullptr;
    case kAvc1: return avcodec_find_encoder(AV_CODEC_ID_H264) != nullptr;
    case kMp4a: return avcodec_find_encoder(AV_CODEC_ID_AAC) != nullptr;
    case kLpcm: return avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE) != nullptr;
    case kSamr: return true;  // libopencore-amrnb is linked in
    case kCopy: return true;
    default: return false;
  }
}

bool ExporterAvailable(const ExporterKind& kind) {
  if (!av_guess_format(kind.muxer, nullptr, nullptr)) return false;
  if (kind.hasVideo && !CodecAvailable(kind.defaults.video.codec)) return false;
  return CodecAvailable(kind.defaults.sound.codec);
}

ExportSettings SettingsFromContainer(const ExporterKind& kind, QTAtomContainer container) {
  ExportSettings settings = kind.defaults;
  uint32_t value = 0;
  if (kind.hasVideo) {
    if (QTAtom vide = FindChild(container, kParentAtomIsContainer, kVide)) {
      VideoSettings& v = settings.video;
      if (ReadChild(container, vide, kEnab, 1, value)) v.enabled = value != 0;
      ReadCodec(container, vide, kind.videoCodecs, v.codec);
      if (ReadChild(container, vide, kWdth, 2, value)) v.width = value;
      if (ReadChild(container, vide, kHght, 2, value)) v.height = value;
      if (ReadChild(container, vide, kFps, 4, value)) v.framesPerSecond = value;
      if (ReadChild(container, vide, kBitr, 4, value)) v.bitRate = value;
      if (ReadChild(container, vide, kKeyi, 4, value)) v.keyFrameInterval = value;
    }
  }
  if (QTAtom soun = FindChild(container, kParentAtomIsContainer, kSoun)) {
    SoundSettings& s = settings.sound;
    if (ReadChild(container, soun, kEnab, 1, value)) s.enabled = value != 0;
    ReadCodec(container, soun, kind.soundCodecs, s.codec);
    if (ReadChild(container, soun, kRate, 4, value)) s.rate = value;
    if (ReadChild(container, soun, kChan, 2, value)) s.channels = value;
    if (ReadChild(container, soun, kBitr, 4, value)) s.bitRate = value;
  }
  return settings;
}

void SettingsToContainer(const ExporterKind& kind, const ExportSettings& settings,
                         QTAtomContainer container) {
  QTAtom atom = 0;
  if (kind.hasVideo) {
    const VideoSettings& v = settings.video;
    QTInsertChild(container, kParentAtomIsContainer, kVide, 1, 0, 0, nullptr, &atom);
    Insert(container, atom, kEnab, ByteString(1, v.enabled ? '\1' : '\0'));
    Insert(container, atom, kCodc, U32BEBytes(v.codec));
    Insert(container, atom, kWdth, U16BEBytes(v.width));
    Insert(container, atom, kHght, U16BEBytes(v.height));
    Insert(container, atom, kFps, U32BEBytes(v.framesPerSecond));
    Insert(container, atom, kBitr, U32BEBytes(v.bitRate));
    Insert(container, atom, kKeyi, U32BEBytes(v.keyFrameInterval));
  }
  const SoundSettings& s = settings.sound;
  QTInsertChild(container, kParentAtomIsContainer, kSoun, 1, 0, 0, nullptr, &atom);
  Insert(container, atom, kEnab, ByteString(1, s.enabled ? '\1' : '\0'));
  Insert(container, atom, kCodc, U32BEBytes(s.codec));
  Insert(container, atom, kRate, U32BEBytes(s.rate));
  Insert(container, atom, kChan, U16BEBytes(s.channels));
  Insert(container, atom, kBitr, U32BEBytes(s.bitRate));
}
