#include "rivetta/metadata.h"

#include <cmath>

#include "platform/codepage.h"
#include "platform/console.h"
#include "rivetta/state.h"

const char* const kMakerAddress = "https://lunvik.example/";

ByteString ToolIdentification() { return ByteString("Lunvik ") + kMakerAddress; }

namespace {

// With "USMT" or "PROF" in front, the 16-byte extended type of the uuid
// atoms that the handsets look for.
const ByteString kProfileUuidTail("\x21\xD2\x4F\xCE\xBB\x88\x69\x5C\xFA\xC9\xC7\x40", 12);

// ISO 639-2 codes packed as three 5-bit letters (letter - 0x60), as in the
// language field of "mdhd".
constexpr uint32_t kLanguageUnd = 0x55C4;
constexpr uint32_t kLanguageEng = 0x15C7;
constexpr uint32_t kLanguageJpn = 0x2A0E;

// An atom as bytes: its size (counting the size field), then type and body.
ByteString Atom(const ByteString& type, const ByteString& body) {
  return U32BEBytes(uint32_t(4 + type.size() + body.size())) + type + body;
}

// UTF-16 code units high byte first, ended by 00 00.
ByteString Utf16BEText(const ByteString& codePageText) {
  return Utf16BEBytes(CodePageToUtf16(codePageText)) + ByteString(2, '\0');
}

// A 32-bit zero field.
ByteString Zero32() { return U32BEBytes(0); }

// --- iTunes form: udta/meta/{hdlr, ilst/{©nam, ©too}} (QuickTime metadata
// as iTunes writes it: every item holds a "data" atom of UTF-8 text).

ByteString ItunesTextItem(const ByteString& type, const ByteString& utf8) {
  ByteString data = Atom("data", U32BEBytes(1) + Zero32() + utf8);
  return Atom(type, data);
}

ByteString ItunesMetaAtom() {
  ByteString hdlr = Atom("hdlr", Zero32() + Zero32() + "mdir" + "appl" + Zero32() + Zero32() +
                                     ByteString(2, '\0'));
  ByteString ilst = Atom("ilst", ItunesTextItem("\xA9nam", CodePageToUtf8(Settings.MovieTitle)) +
                                     ItunesTextItem("\xA9too", CodePageToUtf8(ToolIdentification())));
  return Atom("meta", Zero32() + hdlr + ilst);
}

// --- Text form: QuickTime user data text atoms, code-page bytes as held.

ByteString QuickTimeTextAtom(const ByteString& type, const ByteString& text) {
  return Atom(type, U16BEBytes(uint32_t(text.size())) + U16BEBytes(0) + text);
}

ByteString TextFormAtoms() {
  return QuickTimeTextAtom("\xA9nam", Settings.MovieTitle) +
         QuickTimeTextAtom("\xA9" "day", TimestampText) +
         QuickTimeTextAtom("\xA9swr", ToolIdentification()) + Atom("mqds", "");
}

// --- USMT and PROF uuid atoms.

// One MTDT entry: its own 16-bit size, kind, language, text flag, payload.
ByteString MtdtEntry(uint32_t kind, uint32_t language, uint32_t isText, const ByteString& payload) {
  ByteString rest = U32BEBytes(kind) + U16BEBytes(language) + U16BEBytes(isText) + payload;
  return U16BEBytes(uint32_t(2 + rest.size())) + rest;
}

ByteString MtdtAtom(uint32_t count, const ByteString& entries) {
  return Atom("MTDT", U16BEBytes(count) + entries);
}

ByteString MovieUsmtData() {
  ByteString entries = MtdtEntry(0x0B, kLanguageUnd, 0, ByteString("\x02\x1C", 2)) +
                       MtdtEntry(0x04, kLanguageEng, 1, Utf16BEText(ToolIdentification())) +
                       MtdtEntry(0x01, kLanguageJpn, 1, Utf16BEText(Settings.MovieTitle)) +
                       MtdtEntry(0x03, kLanguageUnd, 1, Utf16BEText(TimestampText));
  return "uuid" + ByteString("USMT") + Settings.UUID + MtdtAtom(4, entries);
}

ByteString TrackUsmtData() {
  ByteString entry = MtdtEntry(0x0A, kLanguageUnd, 0, U32BEBytes(1) + Zero32());
  return "uuid" + ByteString("USMT") + Settings.UUID + MtdtAtom(1, entry);
}

// 16.16 fixed point, rounded to nearest with halves to even. A rate too large
// for the field keeps its low 32 bits; one that is not a number gives 0.
uint32_t FixedPoint16(double value) {
  double scaled = std::nearbyint(value * 65536.0);
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18) return 0;
  return uint32_t(int64_t(scaled));
}

uint32_t ChosenSize(int32_t forced, uint32_t measured) {
  return forced != 0 ? uint32_t(forced) : measured;
}

ByteString AudioProfileAtom() {
  return Atom("APRF", Zero32() + U32BEBytes(Facts.AudioTrackID) + "mp4a" + U32BEBytes(0x20F) +
                          Zero32() + U32BEBytes(Facts.AudioMaxBitrate / 1000) +
                          U32BEBytes(Facts.AudioAvgBitrate / 1000) +
                          U32BEBytes(Facts.AudioSampleRate) + U32BEBytes(Facts.AudioChannels));
}

ByteString VideoProfileAtom() {
  uint32_t frameRate = FixedPoint16(Facts.VideoFrameRate);
  return Atom("VPRF", Zero32() + U32BEBytes(Facts.VideoTrackID) + "avc1" + U32BEBytes(0x1F3) +
                          Zero32() + U32BEBytes(Facts.VideoMaxBitrate / 1000) +
                          U32BEBytes(Facts.VideoAvgBitrate / 1000) + U32BEBytes(frameRate) +
                          U32BEBytes(frameRate) +
                          U16BEBytes(ChosenSize(Settings.ForceWidth, Facts.VideoWidth)) +
                          U16BEBytes(ChosenSize(Settings.ForceHeight, Facts.VideoHeight)) +
                          U16BEBytes(1) + U16BEBytes(1));
}

// The profile atom; a missing track is warned about and left out, and the
// run then ends with -2 (the output is still written).
ByteString ProfileData() {
  uint32_t count = 1 + (Facts.AudioTrackID != 0 ? 1 : 0) + (Facts.VideoTrackID != 0 ? 1 : 0);
  ByteString data = "uuid" + ByteString("PROF") + Settings.UUID + Zero32() + U32BEBytes(count);
  data += Atom("FPRF", Zero32() + Zero32() + Zero32());
  if (Facts.AudioTrackID == 0) {
    PrintLine(Text("A>変換中のファイルにオーディオトラックが見つかりません。正常に再生できない可能性があります。"));
    ExitStatus = -2;
  } else {
    data += AudioProfileAtom();
  }
  if (Facts.VideoTrackID == 0) {
    PrintLine(Text("A>変換中のファイルにビデオトラックが見つかりません。正常に再生できない可能性があります。"));
    ExitStatus = -2;
  } else {
    data += VideoProfileAtom();
  }
  return data;
}

void AppendItem(const ByteString& path, bool atEnd, const ByteString& data) {
  InsertList.push_back(TInsertItem{path, atEnd, data});
}

}  // namespace

void AppendMetadataItems() {
  if (Settings.MQV == 1 || Settings.Build_iTunes) {
    ByteString body = Settings.Build_iTunes ? ItunesMetaAtom() : TextFormAtoms();
    AppendItem("\\moov\\", true, "udta" + body);
  }
  if (Settings.MQV == 2) {
    // The profile tail takes the place of the UUID setting, which has already
    // served the <%UUID%> placeholders of [InsertAtom].
    Settings.UUID = kProfileUuidTail;
    AppendItem("\\moov\\", true, MovieUsmtData());
    AppendItem("\\", false, ProfileData());
    AppendItem("\\moov\\trak\\", true, TrackUsmtData());
  }
}
