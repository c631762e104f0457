#include "rivetta/metadata.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/console.h"
#include "rivetta/state.h"
#include "testing/movie_builder.h"

namespace {

// Bytes written as hexadecimal pairs: "00 0F 00 00".
ByteString Hex(const std::string& pairs) {
  ByteString bytes;
  for (size_t i = 0; i + 1 < pairs.size(); ++i) {
    if (pairs[i] == ' ') continue;
    bytes.push_back(char(std::strtoul(pairs.substr(i, 2).c_str(), nullptr, 16)));
    ++i;
  }
  return bytes;
}

// UTF-16BE of an ASCII text, without terminator.
ByteString Utf16OfAscii(const std::string& text) {
  ByteString bytes;
  for (char c : text) bytes += ByteString(1, '\0') + c;
  return bytes;
}

const ByteString kTool = "Lunvik https://lunvik.example/";  // 30 bytes
const ByteString kDate = "2007/05/12 13:45:09";             // 19 bytes
const ByteString kTail = Hex("21 D2 4F CE BB 88 69 5C FA C9 C7 40");
const ByteString kNoAudio =
    "A>変換中のファイルにオーディオトラックが見つかりません。正常に再生できない可能性があります。";
const ByteString kNoVideo =
    "A>変換中のファイルにビデオトラックが見つかりません。正常に再生できない可能性があります。";

class MetadataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRunState();
    Settings.MovieTitle = "Clip";
    TimestampText = kDate;
  }

  // Runs AppendMetadataItems and returns what it printed.
  std::string AppendAndCapture() {
    ::testing::internal::CaptureStdout();
    AppendMetadataItems();
    return ::testing::internal::GetCapturedStdout();
  }

  void SetBothTracks() {
    Facts.VideoTrackID = 1;
    Facts.AudioTrackID = 2;
  }
};

TEST_F(MetadataTest, ToolIdentificationEndsWithTheMakerAddress) {
  EXPECT_EQ(ToolIdentification(), kTool);
  EXPECT_EQ(ByteString(kMakerAddress), "https://lunvik.example/");
}

TEST_F(MetadataTest, ItunesFormBytes) {
  Settings.Build_iTunes = true;
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 1u);
  EXPECT_EQ(InsertList[0].Path, "\\moov\\");
  EXPECT_TRUE(InsertList[0].AtEnd);

  ByteString hdlr = U32(34) + "hdlr" + U32(0) /* version, flags */ + U32(0) + "mdir" + "appl" +
                    U32(0) + U32(0) + U16(0);
  ByteString nam = U32(28) + "\xA9nam" + U32(20) + "data" + U32(1) /* UTF-8 */ + U32(0) + "Clip";
  ByteString too = U32(54) + "\xA9too" + U32(46) + "data" + U32(1) + U32(0) + kTool;
  ByteString ilst = U32(90) + "ilst" + nam + too;
  ByteString meta = U32(136) + "meta" + U32(0) + hdlr + ilst;
  EXPECT_EQ(hdlr.size(), 34u);
  EXPECT_EQ(InsertList[0].Data, "udta" + meta);
}

TEST_F(MetadataTest, ItunesFormSizesFollowTheTitle) {
  // ©nam is 24 bytes longer than the UTF-8 title, ilst 8 longer than ©nam and
  // ©too, meta 46 longer than ilst.
  const ByteString titles[] = {"", "Clip", Utf8ToCodePage("映画のタイトル")};
  const size_t utf8Lengths[] = {0, 4, 21};
  for (size_t i = 0; i < 3; ++i) {
    ResetRunState();
    Settings.Build_iTunes = true;
    Settings.MovieTitle = titles[i];
    AppendAndCapture();
    ASSERT_EQ(InsertList.size(), 1u);
    const ByteString& data = InsertList[0].Data;
    uint32_t metaSize = ReadU32BE(data.data(), 4);
    uint32_t ilstSize = ReadU32BE(data.data(), 4 + 12 + 34);
    uint32_t namSize = ReadU32BE(data.data(), 4 + 12 + 34 + 8);
    EXPECT_EQ(namSize, 24 + utf8Lengths[i]) << i;
    EXPECT_EQ(ilstSize, 8 + namSize + 24 + kTool.size()) << i;
    EXPECT_EQ(metaSize, 46 + ilstSize) << i;
    EXPECT_EQ(data.size(), 4 + metaSize) << i;
  }
}

TEST_F(MetadataTest, ItunesTitleIsWrittenAsUtf8) {
  Settings.Build_iTunes = true;
  Settings.MovieTitle = Utf8ToCodePage("映画");
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 1u);
  ByteString nam = U32(30) + "\xA9nam" + U32(22) + "data" + U32(1) + U32(0) + "映画";
  EXPECT_NE(InsertList[0].Data.find(nam), ByteString::npos);
}

TEST_F(MetadataTest, TextFormBytes) {
  Settings.MQV = 1;
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 1u);
  EXPECT_EQ(InsertList[0].Path, "\\moov\\");
  EXPECT_TRUE(InsertList[0].AtEnd);
  ByteString expected = "udta" +
                        // size 12 + 4, type, text length, language 0, text
                        U32(16) + "\xA9nam" + U16(4) + U16(0) + "Clip" +
                        U32(31) + "\xA9" "day" + U16(19) + U16(0) + kDate +
                        U32(42) + "\xA9swr" + U16(30) + U16(0) + kTool +
                        U32(8) + "mqds";
  EXPECT_EQ(InsertList[0].Data, expected);
}

TEST_F(MetadataTest, EmptyTitleGivesTheShortestAtoms) {
  Settings.MovieTitle = "";
  Settings.MQV = 1;
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 1u);
  EXPECT_EQ(InsertList[0].Data.substr(4, 12), U32(12) + "\xA9nam" + U16(0) + U16(0));

  ResetRunState();
  TimestampText = kDate;
  Settings.MQV = 2;
  SetBothTracks();
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 3u);
  // The title entry of MTDT: after "uuid", the 16-byte type, the MTDT header
  // and the first two entries (12 and 72 bytes).
  const ByteString& usmt = InsertList[0].Data;
  EXPECT_EQ(usmt.substr(4 + 16 + 10 + 12 + 72, 12), Hex("00 0C 00 00 00 01 2A 0E 00 01 00 00"));
}

TEST_F(MetadataTest, ItunesWinsOverTextForm) {
  Settings.Build_iTunes = true;
  Settings.MQV = 1;
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 1u);
  const ByteString& data = InsertList[0].Data;
  EXPECT_EQ(data.substr(8, 4), "meta");
  EXPECT_EQ(data.find("\xA9" "day"), ByteString::npos);
  EXPECT_EQ(data.find("\xA9swr"), ByteString::npos);
  EXPECT_EQ(data.find("mqds"), ByteString::npos);
}

TEST_F(MetadataTest, OtherMqvValuesBuildNothing) {
  for (int32_t mqv : {0, 3, -1, 0x10}) {
    ResetRunState();
    Settings.MQV = mqv;
    SetBothTracks();
    EXPECT_EQ(AppendAndCapture(), "") << mqv;
    EXPECT_TRUE(InsertList.empty()) << mqv;
    EXPECT_EQ(ExitStatus, 0) << mqv;
  }
}

TEST_F(MetadataTest, Mqv2WithItunesAppendsFourItemsAfterTheSettingsItems) {
  InsertList.push_back(TInsertItem{"\\", false, "abcd"});
  Settings.MQV = 2;
  Settings.Build_iTunes = true;
  Settings.UUID = "%01%02";
  SetBothTracks();
  EXPECT_EQ(AppendAndCapture(), "");
  ASSERT_EQ(InsertList.size(), 5u);
  EXPECT_EQ(InsertList[0].Data, "abcd");
  struct Expected {
    ByteString path;
    bool atEnd;
    ByteString head;
  } expected[] = {
      {"\\moov\\", true, "udta"},
      {"\\moov\\", true, "uuidUSMT" + kTail},
      {"\\", false, "uuidPROF" + kTail},
      {"\\moov\\trak\\", true, "uuidUSMT" + kTail},
  };
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(InsertList[i + 1].Path, expected[i].path) << i;
    EXPECT_EQ(InsertList[i + 1].AtEnd, expected[i].atEnd) << i;
    EXPECT_EQ(InsertList[i + 1].Data.substr(0, expected[i].head.size()), expected[i].head) << i;
  }
  EXPECT_EQ(Settings.UUID, kTail);
  EXPECT_EQ(ExitStatus, 0);
}

TEST_F(MetadataTest, MovieUsmtBytes) {
  Settings.MQV = 2;
  SetBothTracks();
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 3u);
  ByteString entries =
      // size, kind, language, text flag, payload
      Hex("00 0C") + U32(0x0B) + Hex("55 C4") + U16(0) + Hex("02 1C") +
      Hex("00 48") + U32(0x04) + Hex("15 C7") + U16(1) + Utf16OfAscii(kTool) + U16(0) +
      Hex("00 14") + U32(0x01) + Hex("2A 0E") + U16(1) + Utf16OfAscii("Clip") + U16(0) +
      Hex("00 32") + U32(0x03) + Hex("55 C4") + U16(1) + Utf16OfAscii(kDate) + U16(0);
  ByteString mtdt = U32(164) + "MTDT" + U16(4) + entries;
  EXPECT_EQ(InsertList[0].Data, "uuidUSMT" + kTail + mtdt);
}

TEST_F(MetadataTest, MovieUsmtTitleIsUtf16) {
  Settings.MQV = 2;
  Settings.MovieTitle = Utf8ToCodePage("映画");
  SetBothTracks();
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 3u);
  ByteString entry = Hex("00 10 00 00 00 01 2A 0E 00 01 66 20 75 3B 00 00");
  EXPECT_NE(InsertList[0].Data.find(entry), ByteString::npos);
}

TEST_F(MetadataTest, TrackUsmtBytes) {
  Settings.MQV = 2;
  SetBothTracks();
  AppendAndCapture();
  ASSERT_EQ(InsertList.size(), 3u);
  EXPECT_EQ(InsertList[2].Data,
            "uuidUSMT" + kTail + U32(0x1C) + "MTDT" +
                Hex("00 01  00 12  00 00 00 0A  55 C4  00 00  00 00 00 01 00 00 00 00"));
}

TEST_F(MetadataTest, ProfileBytesWithBothTracks) {
  Settings.MQV = 2;
  Facts.VideoTrackID = 1;
  Facts.VideoMaxBitrate = 500999;
  Facts.VideoAvgBitrate = 64999;
  Facts.VideoFrameRate = 15.0;
  Facts.VideoWidth = 176;
  Facts.VideoHeight = 144;
  Facts.AudioTrackID = 2;
  Facts.AudioMaxBitrate = 128000;
  Facts.AudioAvgBitrate = 96000;
  Facts.AudioSampleRate = 44100;
  Facts.AudioChannels = 2;
  EXPECT_EQ(AppendAndCapture(), "");
  ASSERT_EQ(InsertList.size(), 3u);
  EXPECT_EQ(InsertList[1].Path, "\\");
  EXPECT_FALSE(InsertList[1].AtEnd);
  ByteString fprf = U32(20) + "FPRF" + U32(0) + U32(0) + U32(0);
  ByteString aprf = U32(44) + "APRF" + U32(0) + U32(2) + "mp4a" + Hex("00 00 02 0F") + U32(0) +
                    U32(128) + U32(96) + U32(44100) + U32(2);
  ByteString vprf = U32(52) + "VPRF" + U32(0) + U32(1) + "avc1" + Hex("00 00 01 F3") + U32(0) +
                    U32(500) + U32(64) + Hex("00 0F 00 00") + Hex("00 0F 00 00") + Hex("00 B0") +
                    Hex("00 90") + U16(1) + U16(1);
  EXPECT_EQ(InsertList[1].Data, "uuidPROF" + kTail + U32(0) + U32(3) + fprf + aprf + vprf);
  EXPECT_EQ(ExitStatus, 0);
}

TEST_F(MetadataTest, MissingTracksAreWarnedAndLeftOut) {
  struct Case {
    uint32_t video, audio;
    uint32_t count;
    ByteString output;
    std::vector<ByteString> profiles;
    int32_t exitStatus;
  } cases[] = {
      {1, 2, 3, "", {"FPRF", "APRF", "VPRF"}, 0},
      {1, 0, 2, Text(kNoAudio) + "\r\n", {"FPRF", "VPRF"}, -2},
      {0, 2, 2, Text(kNoVideo) + "\r\n", {"FPRF", "APRF"}, -2},
      {0, 0, 1, Text(kNoAudio) + "\r\n" + Text(kNoVideo) + "\r\n", {"FPRF"}, -2},
  };
  for (const Case& c : cases) {
    ResetRunState();
    Settings.MQV = 2;
    Facts.VideoTrackID = c.video;
    Facts.AudioTrackID = c.audio;
    EXPECT_EQ(AppendAndCapture(), c.output);
    ASSERT_EQ(InsertList.size(), 3u);
    // The output is still built: every item is there.
    const ByteString& prof = InsertList[1].Data;
    EXPECT_EQ(ReadU32BE(prof.data(), 24), c.count);
    std::vector<ByteString> profiles;
    for (size_t at = 28; at + 8 <= prof.size(); at += ReadU32BE(prof.data(), int64_t(at)))
      profiles.push_back(prof.substr(at + 4, 4));
    EXPECT_EQ(profiles, c.profiles);
    EXPECT_EQ(ExitStatus, c.exitStatus);
  }
}

// The VPRF frame-rate field, its second copy, width and height.
ByteString VideoProfileTail() {
  const ByteString& prof = InsertList[1].Data;
  size_t vprf = prof.find("VPRF");
  // After the type: seven 32-bit fields up to the maximum and average rates.
  return prof.substr(vprf + 4 + 28, 12);
}

TEST_F(MetadataTest, FrameRateIsSixteenDotSixteenRoundedHalfToEven) {
  struct Case {
    double rate;
    uint32_t fixed;
  } cases[] = {
      {15.0, 0x000F0000},
      {1.0, 0x00010000},  // the default of a track without a time-to-sample table
      {30000.0 / 1001.0, 1964116},
      {1.0 + 1.0 / 131072, 0x00010000},  // 65536.5 goes down to the even value
      {1.0 + 3.0 / 131072, 0x00010002},  // 65537.5 goes up to the even value
      {0.0, 0},
  };
  for (const Case& c : cases) {
    ResetRunState();
    Settings.MQV = 2;
    SetBothTracks();
    Facts.VideoFrameRate = c.rate;
    AppendAndCapture();
    ASSERT_EQ(InsertList.size(), 3u);
    EXPECT_EQ(VideoProfileTail().substr(0, 8), U32(c.fixed) + U32(c.fixed)) << c.rate;
  }
}

TEST_F(MetadataTest, ForcedSizesReplaceTheMeasuredOnes) {
  struct Case {
    int32_t forceWidth, forceHeight;
    ByteString sizes;
  } cases[] = {
      {0, 0, Hex("00 B0 00 90")},
      {320, 0, Hex("01 40 00 90")},
      {0, 240, Hex("00 B0 00 F0")},
      {0x10140, -1, Hex("01 40 FF FF")},  // low 16 bits
  };
  for (const Case& c : cases) {
    ResetRunState();
    Settings.MQV = 2;
    Settings.ForceWidth = c.forceWidth;
    Settings.ForceHeight = c.forceHeight;
    SetBothTracks();
    Facts.VideoWidth = 176;
    Facts.VideoHeight = 144;
    AppendAndCapture();
    ASSERT_EQ(InsertList.size(), 3u);
    EXPECT_EQ(VideoProfileTail().substr(8, 4), c.sizes) << c.forceWidth << "x" << c.forceHeight;
  }
}

}  // namespace
